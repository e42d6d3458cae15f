// Probe and Save Report... of the window against DCMTK's storescp and a closed port: what the
// memo shows, section by section, and the saved pages, against tessaly-cli probe of the same
// peer.
#include <QComboBox>
#include <QFileDialog>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

#include "AppTest.h"
#include "Setup.h"
#include "support/Peers.h"
#include "tessaly.h"

using apptest::Click;
using apptest::Control;

namespace {

const QStringList SECTIONS = {"Connection", "Verification",  "Storage", "Query/retrieve",
                              "Worklist",   "Retrieve path", "Print"};

// Timings vary from run to run: "0.8 ms" becomes "T ms".
QString Masked(QString text) {
    static const QRegularExpression time("\\d+(\\.\\d+)? ms");
    return text.replace(time, "T ms");
}

}  // namespace

class ProbeTest : public QObject {
    Q_OBJECT

    QTemporaryDir work_;
    app::AppValues values_;
    std::unique_ptr<app::TForm1> form_;
    QList<QStringList> blocks_;  // what the runner sent, a block of lines at a time
    QStringList ended_;

    void Setup(const QString& port) {
        apptest::OnModal<app::TForm2>([port](app::TForm2* setup) {
            Control<QLineEdit>(setup, "Edit3")->setText(port);
            Control<QLineEdit>(setup, "Edit5")->setText("STORESCP");
            Control<QComboBox>(setup, "ComboBox1")->setCurrentIndex(0);
            Click(setup, "Button1");
        });
        Click(form_.get(), "BitBtn2");
    }

    // Save Report... with the filter and the file name chosen in its dialog.
    QByteArray SaveReport(const QString& filter, const QString& name) {
        const QString file = work_.filePath(name);
        apptest::OnModal<QFileDialog>([=](QFileDialog* dialog) {
            dialog->selectNameFilter(filter);
            apptest::Choose(dialog, file);
        });
        Click(form_.get(), "BitBtn12");
        return apptest::ReadFile(file);
    }

    // Probes port from the window and from the command line; compares the memo with the text
    // report and the saved pages with --json and --html.
    void CompareWithCommandLine(const QString& port, const QString& outcome) {
        blocks_.clear(), ended_.clear();
        Click(form_.get(), "BitBtn11");
        QTRY_COMPARE_WITH_TIMEOUT(ended_, QStringList({"PROBE"}), 120000);
        const QList<QStringList> blocks = blocks_;

        // Each section came in a block of its own, in order, as it was finished: after the
        // heading's block, each begins with an empty line and the section's line.
        QVERIFY(blocks.size() >= 1 + SECTIONS.size());
        for (qsizetype i = 0; i < SECTIONS.size(); ++i)
            QVERIFY2(blocks[i + 1].value(1).startsWith(SECTIONS[i] + " "),
                     qPrintable(blocks[i + 1].value(1)));
        auto* memo1 = Control<QPlainTextEdit>(form_.get(), "Memo1");
        QTRY_VERIFY(memo1->toPlainText().endsWith(outcome));  // the memo takes a block a turn
        const QString memo = memo1->toPlainText();
        const QStringList common = {"probe", "127.0.0.1", port,      "--aet",
                                    "local", "--aec",     "STORESCP"};
        QCOMPARE(Masked(memo), Masked(apptest::CliOutput(common) + outcome));

        const QString html = work_.filePath("cli-" + port + ".html");
        const QString json = apptest::CliOutput(QStringList(common) << "--json"
                                                                    << "--html" << html);
        QCOMPARE(Masked(QString::fromUtf8(SaveReport("JSON (*.json)", port + ".json"))),
                 Masked(json));
        QCOMPARE(Masked(QString::fromUtf8(SaveReport("HTML page (*.html)", port + ".html"))),
                 Masked(QString::fromUtf8(apptest::ReadFile(html))));
    }

  private slots:
    void initTestCase() {
        if (!testsupport::ToolAvailable("storescp")) QSKIP("DCMTK is missing");
        QDir::setCurrent(work_.path());
        form_ = std::make_unique<app::TForm1>(values_);
        form_->show();
        auto* runner = form_->findChild<app::MainThread*>();
        connect(runner, &app::MainThread::MemoLines, this,
                [this](const QStringList& block) { blocks_ << block; });
        connect(runner, &app::MainThread::JobEnded, this,
                [this](const QString& service) { ended_ << service; });
    }

    void cleanupTestCase() { form_.reset(); }

    void probesStorescpAndAClosedPort() {
        QVERIFY(!Control<QWidget>(form_.get(), "BitBtn12")->isEnabled());
        const uint16_t port = testsupport::FreePort();
        testsupport::BackgroundProcess peer(
            {"storescp", "-od", work_.path().toStdString(), std::to_string(port)},
            work_.path().toStdString(), testsupport::NO_DELAY);
        QVERIFY(testsupport::WaitForListener(port));
        Setup(QString::number(port));
        CompareWithCommandLine(QString::number(port), "PROBE OK");
        if (QTest::currentTestFailed()) return;
        QCOMPARE(apptest::LogLines(work_.path(), "PROBE"),
                 QStringList({"Starting PROBE Service", "PROBE OK"}));

        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost));
        const QString closedPort = QString::number(closed.serverPort());
        closed.close();
        Setup(closedPort);
        const QString failure =
            "PROBE failed to connect to: STORESCP (127.0.0.1:" + closedPort + ")";
        const QString why = apptest::CliExplanation(
            {"echo", "127.0.0.1", closedPort, "--aet", "local", "--aec", "STORESCP"});
        CompareWithCommandLine(closedPort, failure + '\n' + why);
        QCOMPARE(apptest::LogLines(work_.path(), "PROBE").mid(2),
                 QStringList({"Starting PROBE Service", failure, why}));
    }
};

QObject* NewProbeTest() {
    return new ProbeTest;
}

#include "ProbeTest.moc"
