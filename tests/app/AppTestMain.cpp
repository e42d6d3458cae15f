// Runs the window's test class named by the first argument under the program's application
// object. "--end-while-waiting" is the program itself, started by the window test: it presses
// Echo, then End a second later.
#include <cstring>
#include <memory>

#include <QTest>

#include "AppTest.h"
#include "Application.h"
#include "tessaly.h"

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
