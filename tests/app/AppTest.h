// Helpers of the window's tests: acting on a modal dialog from inside its own loop, controls
// by name, files, what the runner sent and what it logged.
#pragma once

#include <functional>

#include <QAbstractButton>
#include <QApplication>
#include <QDate>
#include <QFile>
#include <QFileDialog>
#include <QLineEdit>
#include <QListView>
#include <QProcess>
#include <QRegularExpression>
#include <QTimer>

#include "MainThread.h"

namespace apptest {

// Calls act on the next modal dialog of type T once it is shown; its exec() is then running.
template <typename T>
void OnModal(std::function<void(T*)> act) {
    auto* poll = new QTimer;
    QObject::connect(poll, &QTimer::timeout, [poll, act] {
        auto* dialog = qobject_cast<T*>(QApplication::activeModalWidget());
        if (dialog == nullptr || !dialog->isVisible()) return;
        poll->stop();
        poll->deleteLater();
        act(dialog);
    });
    poll->start(10);
}

template <typename T = QWidget>
T* Control(QWidget* root, const char* name) {
    return root->findChild<T*>(name);
}

inline void Click(QWidget* root, const char* name) {
    Control<QAbstractButton>(root, name)->click();
}

inline QByteArray ReadFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

inline void WriteFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    if (file.open(QIODevice::WriteOnly)) file.write(bytes);
}

// What the runner sent to the window, in the order the window got it.
struct JobRecorder : QObject {
    QStringList ended, memo;
    QList<QStringList> blocks;  // the memo's lines as they were sent
    explicit JobRecorder(app::MainThread* runner) {
        connect(runner, &app::MainThread::MemoCleared, this, [this] { memo << "<cleared>"; });
        connect(runner, &app::MainThread::MemoLines, this,
                [this](const QStringList& l) { memo << l, blocks << l; });
        connect(runner, &app::MainThread::JobEnded, this, [this](const QString& s) { ended << s; });
    }
};

// As an operator does: the whole path typed into the name field (typing drops the list's
// selection, which the dialog keeps from its last use), then Open; an empty name cancels.
inline void Choose(QFileDialog* dialog, const QString& file) {
    if (file.isEmpty()) return dialog->reject();
    dialog->findChild<QListView*>("listView")->clearSelection();
    dialog->findChild<QLineEdit*>("fileNameEdit")->setText(file);
    static_cast<QDialog*>(dialog)->accept();
}

inline void ChooseFile(const QString& file) {
    OnModal<QFileDialog>([file](QFileDialog* dialog) { Choose(dialog, file); });
}

// The runner's own lines of today's log of service, without their time of day: the starting
// and outcome lines and the explanations indented under them.
inline QStringList LogLines(const QString& workDir, const QString& service) {
    const QString name = QDate::currentDate().toString("ddMMyyyy") + "_" + service + ".log";
    const QString text = QString::fromLatin1(ReadFile(workDir + "/" + name));
    static const QRegularExpression own(
        "^\\d\\d:\\d\\d:\\d\\d: ((Starting|ECHO|STORE|FIND|WORKLIST|PRINT|PROBE|RECEIVE) .*|  "
        ".*)\r$",
        QRegularExpression::MultilineOption);
    QStringList lines;
    for (auto it = own.globalMatch(text); it.hasNext();)
        lines << it.next().captured(1);
    return lines;
}

// What tessaly-cli writes for args: standard output, then standard error.
inline QString CliOutput(const QStringList& args) {
    QProcess cli;
    cli.start(TESSALY_CLI, args);
    cli.waitForFinished(120000);
    return QString::fromUtf8(cli.readAllStandardOutput() + cli.readAllStandardError());
}

// The same, line by line, without empty lines.
inline QStringList CliLines(const QStringList& args) {
    return CliOutput(args).split('\n', Qt::SkipEmptyParts);
}

// The line tessaly-cli writes under its failure line for args: the one indented by two spaces.
inline QString CliExplanation(const QStringList& args) {
    for (const QString& line : CliLines(args))
        if (line.startsWith("  ")) return line;
    return "<no explanation>";
}

}  // namespace apptest
