#include "Application.h"

#include <cstdio>
#include <cstdlib>

#include <QMessageBox>

#include "tessaly.h"

namespace app {

void ShowException(const QString& what) {
    auto* box = new QMessageBox(QMessageBox::Critical, "TESSALY", what, QMessageBox::Ok);
    box->setObjectName("ExceptionBox");
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
}

TessalyApplication::TessalyApplication(int& argc, char** argv) : QApplication(argc, argv) {}

bool TessalyApplication::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception& e) {
        ShowException(QString::fromLocal8Bit(e.what()));
    } catch (...) {
        ShowException("unknown exception");
    }
    return false;
}

int RunTessaly(int argc, char** argv, const std::function<void(TForm1&)>& started) {
    TessalyApplication application(argc, argv);
    application.setApplicationName("TESSALY");
    try {
        AppValues values;
        TForm1 form(values);
        form.show();
        if (started) started(form);
        const int code = application.exec();
        if (form.JobRunning()) {
            // A job still waits on its peer (up to the library's receive wait). Its thread
            // cannot be destroyed while it runs, and waiting would keep the closed window's
            // process alive: end here, without destroying anything.
            std::fflush(nullptr);
            std::_Exit(code);
        }
        return code;
    } catch (const std::exception& e) {
        QMessageBox::critical(nullptr, "TESSALY", QString::fromLocal8Bit(e.what()));
    } catch (...) {
        QMessageBox::critical(nullptr, "TESSALY", "unknown exception");
    }
    return 1;
}

}  // namespace app
