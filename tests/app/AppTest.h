// Helpers of the window's tests: acting on modal dialogs from inside their own loop, and the
// peers and files the tests use.
#pragma once

#include <functional>

#include <QAbstractButton>
#include <QApplication>
#include <QByteArray>
#include <QString>
#include <QTimer>
#include <QWidget>

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

// python3-pydicom's CT_small.dcm, explicit VR little endian with a Patient's Name; empty when
// it is not installed.
QString SampleFile();
QString CliPath();
QByteArray ReadFile(const QString& path);
void WriteFile(const QString& path, const QByteArray& bytes);

}  // namespace apptest
