// Helpers of the window's tests: acting on a modal dialog from inside its own loop, controls
// by name, files.
#pragma once

#include <functional>

#include <QAbstractButton>
#include <QApplication>
#include <QFile>
#include <QTimer>

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

}  // namespace apptest
