// Runs the window's test class named by the first argument under the program's application
// object. "--end-while-waiting BUTTON" is the program itself, started by the window test: it
// presses BUTTON (Echo, Probe), then End a second later. "--screenshot OUT.png PORT AET ACTION
// [NAME | FILE...]", for tools/screenshot.sh, is the program running one action and capturing
// the window.
#include <cstring>
#include <memory>

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProcess>
#include <QSpinBox>
#include <QTabWidget>
#include <QTest>

#include "AppTest.h"
#include "Application.h"
#include "Qfilter.h"
#include "Setup.h"
#include "tessaly.h"

namespace {

// The Setup dialog's Connection page as an operator fills it for TLS with a user identity,
// captured into out; the dialog is then cancelled and the window closed.
void ConnectionShot(app::TForm1& form, const QString& out) {
    using apptest::Control;
    apptest::OnModal<app::TForm2>([&form, out](app::TForm2* setup) {
        Control<QTabWidget>(setup, "PageControl1")->setCurrentIndex(2);
        Control<QLineEdit>(setup, "Edit8")->setText("60");
        Control<QCheckBox>(setup, "CheckBox1")->setChecked(true);
        Control<QLineEdit>(setup, "Edit10")->setText("/home/operator/tls/tessaly.pem");
        Control<QLineEdit>(setup, "Edit11")->setText("/home/operator/tls/tessaly.key");
        Control<QLineEdit>(setup, "Edit13")->setText("/home/operator/tls/hospital-ca.pem");
        Control<QComboBox>(setup, "ComboBox8")->setCurrentIndex(2);
        Control<QLineEdit>(setup, "Edit14")->setText("operator");
        Control<QLineEdit>(setup, "Edit15")->setText("/home/operator/tls/password.txt");
        setup->resize(560, setup->sizeHint().height());
        QTest::qWait(500);
        QProcess::execute("import", {"-window", "Setup", out});
        setup->reject();
        QTimer::singleShot(0, &form, [&form] { form.close(); });
    });
    apptest::Click(&form, "BitBtn2");
}

// The Receive panel's provider on port, with every storage class accepted and the services group
// open, answering queries (the faults folded), and DCMTK's storescu sending files into it; once
// storescu has ended and the lines are in the list, the window is captured into out and closed.
void ReceiveShot(app::TForm1& form, const QString& out, const QString& port,
                 const QStringList& files) {
    using apptest::Control;
    form.resize(1000, 620);  // room for the live lines
    Control<QSpinBox>(&form, "SpinEdit1")->setValue(port.toInt());
    Control<QCheckBox>(&form, "CheckBox1")->setChecked(true);
    Control<QGroupBox>(&form, "GroupBox2")->setChecked(true);  // the services shown
    Control<QCheckBox>(&form, "CheckBox2")->setChecked(true);
    apptest::Click(&form, "BitBtn13");
    auto* storescu = new QProcess(&form);
    QObject::connect(storescu, &QProcess::finished, &form, [&form, out] {
        QTimer::singleShot(1000, &form, [&form, out] {
            QProcess::execute("import", {"-window", "- TESSALY V1.9", out});
            form.close();
        });
    });
    storescu->start(
        "storescu",
        QStringList({"-aet", "MODALITY", "-aec", "TESSALY", "127.0.0.1", port}) + files);
}

// The window for tools/screenshot.sh: ACTION ("query", "echo" or "probe") against
// 127.0.0.1:PORT, called AET; once the job has ended and its lines are shown, the memo is
// scrolled to its top, the window captured with ImageMagick's import and closed. ACTION
// "connection" captures the Setup dialog's Connection page instead, and "receive" the Receive
// panel on PORT after storescu has sent it the files named after the action.
int Screenshot(int argc, char** argv) {
    app::Settings settings = app::DefaultSettings();
    app::SetField(settings.RemotePort, argv[3]);
    app::SetField(settings.RemoteAET, argv[4]);
    if (!app::SaveSettings(app::SETTINGS_FILE_NAME, settings, nullptr)) return 1;
    const QString out = argv[2], port = argv[3], action = argv[5], name = argc > 6 ? argv[6] : "";
    QStringList files;
    for (int i = 6; i < argc; ++i)
        files << argv[i];
    return app::RunTessaly(argc, argv, [out, port, action, name, files](app::TForm1& form) {
        if (action == "connection") return ConnectionShot(form, out);
        if (action == "receive") return ReceiveShot(form, out, port, files);
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
        if (action == "echo") {
            form.resize(1100, 433);  // room for the reason under the failure line
            return apptest::Click(&form, "BitBtn4");
        }
        if (action == "probe") {
            form.resize(1000, 720);  // room for the report's columns
            return apptest::Click(&form, "BitBtn11");
        }
        apptest::OnModal<app::TForm3>([name](app::TForm3* filter) {
            apptest::Control<QLineEdit>(filter, "Edit2")->setText(name);
            apptest::Click(filter, "Button1");
        });
        apptest::Click(&form, "BitBtn7");
    });
}

}  // namespace

QObject* NewSettingsTest();
QObject* NewWindowTest();
QObject* NewScreenshotTest();
QObject* NewQueryJobsTest();

int main(int argc, char** argv) {
    if (argc > 2 && std::strcmp(argv[1], "--end-while-waiting") == 0) {
        const std::string button = argv[2];
        return app::RunTessaly(argc, argv, [button](app::TForm1& form) {
            apptest::Click(&form, button.c_str());
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
