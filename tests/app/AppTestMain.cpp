// Runs the window's test class named by the first argument under the program's application
// object. "--end-while-waiting" is the program itself, started by the window test: it presses
// Echo, then End a second later. "--screenshot OUT.png PORT AET NAME", for
// tools/screenshot.sh, is the program querying 127.0.0.1:PORT for the patient name NAME; once
// the result is shown the window is captured with ImageMagick's import and closed.
#include <cstring>
#include <memory>

#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProcess>
#include <QTest>

#include "AppTest.h"
#include "Application.h"
#include "Qfilter.h"
#include "tessaly.h"

namespace {

int Screenshot(int argc, char** argv) {
    app::Settings settings = app::DefaultSettings();
    app::SetField(settings.RemotePort, argv[3]);
    app::SetField(settings.RemoteAET, argv[4]);
    if (!app::SaveSettings(app::SETTINGS_FILE_NAME, settings, nullptr)) return 1;
    const QString out = argv[2], name = argv[5];
    return app::RunTessaly(argc, argv, [out, name](app::TForm1& form) {
        apptest::OnModal<app::TForm3>([name](app::TForm3* filter) {
            apptest::Control<QLineEdit>(filter, "Edit2")->setText(name);
            apptest::Click(filter, "Button1");
        });
        apptest::Click(&form, "BitBtn7");
        QObject::connect(form.findChild<app::MainThread*>(), &app::MainThread::JobEnded, &form,
                         [&form, out] {
                             QTimer::singleShot(1000, &form, [&form, out] {
                                 auto* memo = apptest::Control<QPlainTextEdit>(&form, "Memo1");
                                 memo->moveCursor(QTextCursor::Start);
                                 QTest::qWait(500);
                                 QProcess::execute("import", {"-window", "- TESSALY V1.9", out});
                                 form.close();
                             });
                         });
    });
}

}  // namespace

QObject* NewSettingsTest();
QObject* NewWindowTest();
QObject* NewScreenshotTest();
QObject* NewQueryJobsTest();

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--end-while-waiting") == 0) {
        return app::RunTessaly(argc, argv, [](app::TForm1& form) {
            apptest::Click(&form, "BitBtn4");
            QTimer::singleShot(1000, &form, [&form] { apptest::Click(&form, "BitBtn5"); });
        });
    }
    if (argc > 5 && std::strcmp(argv[1], "--screenshot") == 0) return Screenshot(argc, argv);
    if (argc < 2) return 2;
    const std::string suite = argv[1];
    app::TessalyApplication application(argc, argv);
    std::unique_ptr<QObject> test(suite == "Settings"     ? NewSettingsTest()
                                  : suite == "Window"     ? NewWindowTest()
                                  : suite == "Screenshot" ? NewScreenshotTest()
                                  : suite == "QueryJobs"  ? NewQueryJobsTest()
                                                          : nullptr);
    if (!test) return 2;
    argv[1] = argv[0];
    return QTest::qExec(test.get(), argc - 1, argv + 1);
}
