// The main window against tessaly-cli's storage provider, DCMTK's storescp and a silent peer:
// Dump, Echo, Store, Probe and Save Report..., why under failure lines, jobs pressed in a row,
// End while a job waits, an exception in a handler; and DCMTK's storescu sending into the
// window's own provider (Receive).
#include <QCheckBox>
#include <QComboBox>
#include <QDate>
#include <QDeadlineTimer>
#include <QDirIterator>
#include <QFileDialog>
#include <QGroupBox>
#include <QLineEdit>
#include <QListView>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProcess>
#include <QRegularExpression>
#include <QSpinBox>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include "AppTest.h"
#include "Setup.h"
#include "Tsselect.h"
#include "support/Peers.h"
#include "support/TestCertificates.h"
#include "tessaly.h"

using apptest::ChooseFile;
using apptest::Click;
using apptest::Control;
using apptest::JobRecorder;
using apptest::LogLines;

namespace {

// python3-pydicom's CT_small.dcm: explicit VR little endian, 16-bit grayscale.
const QString SAMPLE = "/usr/lib/python3/dist-packages/pydicom/data/test_files/CT_small.dcm";
const QString SAMPLE_MR = "/usr/lib/python3/dist-packages/pydicom/data/test_files/MR_small.dcm";

void ChooseSyntax(int index) {
    apptest::OnModal<app::TForm4>([index](app::TForm4* dialog) {
        Control<QComboBox>(dialog, "ComboBox1")->setCurrentIndex(index);
        Click(dialog, "Button1");
    });
}

// Timings vary from run to run: "0.8 ms" becomes "T ms".
QString Masked(QString text) {
    static const QRegularExpression time("\\d+(\\.\\d+)? ms");
    return text.replace(time, "T ms");
}

}  // namespace

class WindowTest : public QObject {
    Q_OBJECT

    QTemporaryDir work_, images_;
    QProcess scp_;
    QString scpPort_;
    std::unique_ptr<app::AppValues> values_;
    std::unique_ptr<app::TForm1> form_;

    QString Memo() const { return Control<QPlainTextEdit>(form_.get(), "Memo1")->toPlainText(); }
    app::MainThread* Runner() const { return form_->findChild<app::MainThread*>("MainThread"); }
    QString Failure(const QString& service, const QString& port) const {
        return service + " failed to connect to: TESSALY-SCP (127.0.0.1:" + port + ")";
    }

    void SetPeerPort(const QString& port) {
        apptest::OnModal<app::TForm2>([port](app::TForm2* setup) {
            Control<QLineEdit>(setup, "Edit3")->setText(port);
            Control<QLineEdit>(setup, "Edit5")->setText("TESSALY-SCP");
            Control<QComboBox>(setup, "ComboBox1")->setCurrentIndex(0);
            Click(setup, "Button1");
        });
        Click(form_.get(), "BitBtn2");
    }

    // Save Report... with the filter and a new file chosen in its dialog; what it wrote.
    QString SaveReport(const QString& filter, const QString& name) {
        const QString file = work_.filePath(name);
        apptest::OnModal<QFileDialog>([=](QFileDialog* dialog) {
            dialog->selectNameFilter(filter);
            apptest::Choose(dialog, file);
        });
        Click(form_.get(), "BitBtn12");
        return QString::fromUtf8(apptest::ReadFile(file));
    }

    // Probes port from the window and from the command line: the memo, each section sent as
    // soon as it was finished, and the pages Save Report... writes are the command line's.
    void ProbeAsTheCommandLine(const QString& port, const QString& outcome) {
        SetPeerPort(port);
        JobRecorder jobs(Runner());
        Click(form_.get(), "BitBtn11");
        QTRY_COMPARE_WITH_TIMEOUT(jobs.ended, QStringList({"PROBE"}), 120000);
        // After the heading's block, each section's: an empty line, then the section's line.
        const QStringList sections = {"Connection", "Verification",  "Storage", "Query/retrieve",
                                      "Worklist",   "Retrieve path", "Print"};
        QVERIFY(jobs.blocks.size() > sections.size());
        for (qsizetype i = 0; i < sections.size(); ++i)
            QVERIFY2(jobs.blocks[i + 1].value(1).startsWith(sections[i] + " "),
                     qPrintable(jobs.blocks[i + 1].value(1)));
        QTRY_VERIFY(Memo().endsWith(outcome));  // the memo takes a block a turn
        const QStringList probe = {"probe", "127.0.0.1", port,         "--aet",
                                   "local", "--aec",     "TESSALY-SCP"};
        QCOMPARE(Masked(Memo()), Masked(apptest::CliOutput(probe) + outcome));
        const QString html = work_.filePath("cli" + port + ".html");
        const QString json = apptest::CliOutput(QStringList(probe) << "--json"
                                                                   << "--html" << html);
        QCOMPARE(Masked(SaveReport("JSON (*.json)", port + ".json")), Masked(json));
        QCOMPARE(Masked(SaveReport("HTML page (*.html)", port + ".html")),
                 Masked(QString::fromUtf8(apptest::ReadFile(html))));
    }

  private slots:
    void initTestCase() {
        if (!QFile::exists(SAMPLE)) QSKIP("python3-pydicom's test files are missing");
        QDir::setCurrent(work_.path());
        values_ = std::make_unique<app::AppValues>();
        form_ = std::make_unique<app::TForm1>(*values_);
        form_->show();
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost));
        scpPort_ = QString::number(probe.serverPort());
        probe.close();
        scp_.setWorkingDirectory(work_.path());
        // Bounded by timeout(1), which passes our SIGTERM on, should this test be killed.
        scp_.start("timeout", {"600", TESSALY_CLI, "scp", scpPort_, images_.path()});
        QVERIFY(scp_.waitForReadyRead(10000));
        QVERIFY(scp_.readAllStandardOutput().startsWith("SCP listening"));
        SetPeerPort(scpPort_);
    }

    void cleanupTestCase() {
        form_.reset();
        scp_.terminate();
        scp_.waitForFinished(10000);
    }

    void dumpsAFileIntoTheMemo() {
        // A file named as on DICOMDIR media, without a dot, is listed under "All Files".
        QTemporaryDir media;
        const QString file = media.filePath("IM000001");
        QVERIFY(QFile::copy(SAMPLE, file));
        bool listed = false;
        apptest::OnModal<QFileDialog>([&](QFileDialog* dialog) {
            dialog->setDirectory(media.path());
            auto* view = dialog->findChild<QListView*>("listView");
            for (QDeadlineTimer wait(10000); !listed && !wait.hasExpired(); QTest::qWait(20))
                listed = view->model()->index(0, 0, view->rootIndex()).data() == "IM000001";
            apptest::Choose(dialog, file);
        });
        Click(form_.get(), "BitBtn1");
        QVERIFY(listed);
        QProcess cli;
        cli.start(TESSALY_CLI, {"dump", file});
        QVERIFY(cli.waitForFinished(10000));
        QCOMPARE(Memo() + "\n", QString::fromUtf8(cli.readAllStandardOutput()));
        QVERIFY(Memo().contains("\"CompressedSamples^CT1 \" - Patient\u2019s Name\n"));

        apptest::WriteFile(media.filePath("note.txt"), "not DICOM");
        ChooseFile(media.filePath("note.txt"));
        Click(form_.get(), "BitBtn1");
        QCOMPARE(Memo(), QString("Dump Failed!"));
        ChooseFile("");
        Click(form_.get(), "BitBtn1");
        QCOMPARE(Memo(), QString());
    }

    void echoesAndStoresIntoTheProvider() {
        JobRecorder jobs(Runner());
        Click(form_.get(), "BitBtn4");
        QTRY_COMPARE_WITH_TIMEOUT(jobs.ended.size(), 1, 30000);
        QCOMPARE(Memo(), QString("ECHO OK"));
        QCOMPARE(LogLines(work_.path(), "ECHO"), QStringList({"Starting ECHO Service", "ECHO OK"}));

        // JPEG lossless is proposed after the file's own syntax; the provider prefers it and
        // keeps it in the file it writes.
        ChooseSyntax(3);
        ChooseFile(SAMPLE);
        Click(form_.get(), "BitBtn6");
        ChooseSyntax(0);
        ChooseFile("");
        Click(form_.get(), "BitBtn6");
        QTRY_COMPARE_WITH_TIMEOUT(jobs.ended.size(), 3, 30000);
        const QString noFile = QString("  ") + app::NO_FILE_CHOSEN;
        const QStringList store = {"<cleared>", "STORE OK", "<cleared>", Failure("STORE", scpPort_),
                                   noFile};
        QCOMPARE(jobs.memo.mid(2), store);
        QCOMPARE(LogLines(work_.path(), "STORE"),
                 QStringList({"Starting STORE Service", "STORE OK", "Starting STORE Service",
                              Failure("STORE", scpPort_), noFile}));
        QStringList stored;
        for (QDirIterator it(images_.path(), QDir::Files, QDirIterator::Subdirectories);
             it.hasNext();)
            stored << it.next();
        QCOMPARE(stored.size(), 1);
        QVERIFY(apptest::ReadFile(stored[0]).contains("1.2.840.10008.1.2.4.70"));
    }

    void runsPressedJobsOneAfterAnother() {
        QTcpServer silent;
        QVERIFY(silent.listen(QHostAddress::LocalHost));
        const QString port = QString::number(silent.serverPort());
        SetPeerPort(port);
        JobRecorder jobs(Runner());
        Click(form_.get(), "BitBtn4");
        QVERIFY(silent.waitForNewConnection(10000));
        ChooseSyntax(0);
        ChooseFile("");
        Click(form_.get(), "BitBtn6");
        QTest::qWait(300);  // the store waits for the echo, which waits for its peer
        QCOMPARE(jobs.memo, QStringList({"<cleared>"}));
        silent.nextPendingConnection()->abort();
        QTRY_COMPARE_WITH_TIMEOUT(jobs.ended, QStringList({"ECHO", "STORE"}), 30000);
        QCOMPARE(jobs.memo.size(), 6);
        QCOMPARE(jobs.memo.mid(0, 2), QStringList({"<cleared>", Failure("ECHO", port)}));
        QVERIFY2(jobs.memo[2].startsWith("  ") && jobs.memo[2].size() > 10,
                 qPrintable(jobs.memo[2]));
        QCOMPARE(jobs.memo.mid(3, 2), QStringList({"<cleared>", Failure("STORE", port)}));
        QCOMPARE(Memo(), Failure("STORE", port) + "\n  " + app::NO_FILE_CHOSEN);
        SetPeerPort(scpPort_);
    }

    // Under the failure line, in the memo and the log, the command line's second line for the
    // same peer: here, nothing listens on the port.
    void explainsAFailedEchoAsTheCommandLineDoes() {
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost));
        const QString port = QString::number(closed.serverPort());
        closed.close();
        SetPeerPort(port);
        JobRecorder jobs(Runner());
        Click(form_.get(), "BitBtn4");
        QTRY_COMPARE_WITH_TIMEOUT(jobs.ended.size(), 1, 30000);
        const QStringList cli = apptest::CliLines(
            {"echo", "127.0.0.1", port, "--aet", "local", "--aec", "TESSALY-SCP"});
        QCOMPARE(cli.size(), 2);
        QCOMPARE(jobs.memo, QStringList({"<cleared>"}) + cli);
        const QStringList log = LogLines(work_.path(), "ECHO");
        QCOMPARE(log.mid(log.size() - 3), QStringList({"Starting ECHO Service"}) + cli);
        SetPeerPort(scpPort_);
    }

    // TLS as the Connection page sets it: an echo into storescp over TLS, then, with a key
    // that does not belong to our certificate, a failure whose reason the memo gives.
    void echoesOverTlsAsTheConnectionPageSays() {
        const auto& certs = testsupport::TestCertificates::Get();
        QVERIFY2(certs.Ok(), certs.Errors().c_str());
        const auto path = [](const std::filesystem::path& p) { return QString::fromStdString(p); };
        const uint16_t port = testsupport::FreePort();
        QProcess storescp;
        storescp.start("timeout", {"120", "storescp", "+tls", path(certs.Key("server")),
                                   path(certs.Cert("server")), "+cf", path(certs.Cert("ca")),
                                   QString::number(port)});
        QVERIFY(testsupport::WaitForListener(port));
        const auto setTls = [&](bool on, const char* key) {
            apptest::OnModal<app::TForm2>([&](app::TForm2* setup) {
                Control<QLineEdit>(setup, "Edit3")->setText(QString::number(port));
                Control<QCheckBox>(setup, "CheckBox1")->setChecked(on);
                Control<QLineEdit>(setup, "Edit10")->setText(path(certs.Cert("client")));
                Control<QLineEdit>(setup, "Edit11")->setText(path(certs.Key(key)));
                Control<QLineEdit>(setup, "Edit13")->setText(path(certs.Cert("ca")));
                Click(setup, "Button1");
            });
            Click(form_.get(), "BitBtn2");
        };
        setTls(true, "client");
        JobRecorder jobs(Runner());
        Click(form_.get(), "BitBtn4");
        QTRY_COMPARE_WITH_TIMEOUT(jobs.ended.size(), 1, 30000);
        QCOMPARE(Memo(), QString("ECHO OK"));

        setTls(true, "otherclient");
        Click(form_.get(), "BitBtn4");
        QTRY_COMPARE_WITH_TIMEOUT(jobs.ended.size(), 2, 30000);
        const QStringList lines = Memo().split('\n');
        QCOMPARE(lines.size(), 2);
        QCOMPARE(lines[0], Failure("ECHO", QString::number(port)));
        QVERIFY2(lines[1].startsWith("  the TLS settings cannot be used: ") &&
                     lines[1].endsWith("(Setup, Connection)"),
                 qPrintable(lines[1]));

        setTls(false, "client");
        SetPeerPort(scpPort_);
        storescp.kill();
        storescp.waitForFinished();
    }

    // An echo and a probe each wait for the answer to their association request.
    void endsWhileAJobWaitsOnASilentPeer() {
        for (const auto& [button, service] :
             {std::pair{"BitBtn4", "ECHO"}, {"BitBtn11", "PROBE"}}) {
            QTcpServer silent;
            QVERIFY(silent.listen(QHostAddress::LocalHost));
            QTemporaryDir dir;
            app::Settings settings = app::DefaultSettings();
            app::SetField(settings.RemotePort, QString::number(silent.serverPort()));
            QVERIFY(
                app::SaveSettings(dir.filePath("dovazuz.cfg").toStdString(), settings, nullptr));
            QProcess child;
            child.setWorkingDirectory(dir.path());
            child.setProcessChannelMode(QProcess::ForwardedChannels);
            child.start(QCoreApplication::applicationFilePath(), {"--end-while-waiting", button});
            QVERIFY(silent.waitForNewConnection(10000));
            QVERIFY(child.waitForFinished(15000));
            QCOMPARE(child.exitStatus(), QProcess::NormalExit);
            QCOMPARE(child.exitCode(), 0);
            QCOMPARE(LogLines(dir.path(), service),
                     QStringList({QString("Starting ") + service + " Service"}));
        }
    }

    void probesStorescpAndAClosedPort() {
        if (!testsupport::ToolAvailable("storescp")) QSKIP("DCMTK is missing");
        QVERIFY(!Control<QWidget>(form_.get(), "BitBtn12")->isEnabled());
        const uint16_t port = testsupport::FreePort();
        testsupport::BackgroundProcess peer(
            {"storescp", "-od", images_.path().toStdString(), std::to_string(port)},
            images_.path().toStdString(), testsupport::NO_DELAY);
        QVERIFY(testsupport::WaitForListener(port));
        ProbeAsTheCommandLine(QString::number(port), "PROBE OK");
        if (QTest::currentTestFailed()) return;
        QCOMPARE(LogLines(work_.path(), "PROBE"),
                 QStringList({"Starting PROBE Service", "PROBE OK"}));

        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost));
        const QString closedPort = QString::number(closed.serverPort());
        closed.close();
        const QStringList why = apptest::CliLines(
            {"echo", "127.0.0.1", closedPort, "--aet", "local", "--aec", "TESSALY-SCP"});
        const QString failure = "PROBE" + why.value(0).mid(4);
        ProbeAsTheCommandLine(closedPort, failure + '\n' + why.value(1));
        QCOMPARE(LogLines(work_.path(), "PROBE").mid(2),
                 QStringList({"Starting PROBE Service", failure, why.value(1)}));
        SetPeerPort(scpPort_);
    }

    // The Receive panel's provider: storescu's two files on disk and a line each in the list;
    // stopped while a sender waits for a delayed answer, it returns and leaves only whole
    // files; answering findscu's study query, and only to the users it accepts; a port another
    // program holds springs the button back with the reason; a new window shows the settings
    // kept in tessaly.ini.
    void receivesIntoThePanelsProvider() {
        if (!testsupport::ToolAvailable("storescu")) QSKIP("DCMTK is missing");
        auto* button = Control<QAbstractButton>(form_.get(), "BitBtn13");
        auto* list = Control<QPlainTextEdit>(form_.get(), "Memo2");
        const auto receive = [&](const QString& folder, uint16_t port) {
            Control<QSpinBox>(form_.get(), "SpinEdit1")->setValue(port);
            Control<QLineEdit>(form_.get(), "Edit1")->setText(folder);
            list->clear();
            button->click();
        };
        const auto send = [](QProcess& storescu, uint16_t port) {
            storescu.start("storescu", {"-aet", "MODALITY", "-aec", "TESSALY", "127.0.0.1",
                                        QString::number(port), SAMPLE, SAMPLE_MR});
        };
        const auto stop = [&] {
            button->click();
            QTRY_VERIFY_WITH_TIMEOUT(button->isEnabled(), 30000);
            QVERIFY(!button->isChecked());
            QVERIFY(list->toPlainText().endsWith("RECEIVE stopped"));
        };
        // Every file the provider left, each one whole as the command line's dump reads it.
        const auto whole = [](const QString& folder) {
            QStringList files;
            for (QDirIterator it(folder, QDir::Files, QDirIterator::Subdirectories);
                 it.hasNext();) {
                const QString file = it.next();
                QProcess dump;
                dump.start(TESSALY_CLI, {"dump", file});
                files << (file.endsWith(".dcm") && dump.waitForFinished(30000) &&
                                  dump.exitCode() == 0
                              ? "whole"
                              : file);
            }
            return files;
        };

        QTemporaryDir received;
        uint16_t port = testsupport::FreePort();
        receive(received.path(), port);
        QVERIFY(button->isChecked());
        QProcess storescu;
        send(storescu, port);
        QVERIFY(storescu.waitForFinished(60000));
        QCOMPARE(storescu.exitCode(), 0);
        QTRY_VERIFY_WITH_TIMEOUT(list->toPlainText().contains(" ended: "), 30000);
        const QString time = "\\d\\d:\\d\\d:\\d\\d\\.\\d{3} #\\d+ ";
        const QStringList patterns = {
            "RECEIVE listening on port " + QString::number(port) + ", files into .*",
            time + "association from 127\\.0\\.0\\.1:\\d+: MODALITY -> TESSALY, accepted: .*",
            time + "C-STORE-RQ CT Image Storage, .*, \\d+ bytes: status 0x0000 \\(.+\\), \\d+ ms",
            time + "C-STORE-RQ MR Image Storage, .*, \\d+ bytes: status 0x0000 \\(.+\\), \\d+ ms",
            time + "ended: 2 messages, \\d+ bytes, released"};
        const QStringList lines = list->toPlainText().split('\n');
        QCOMPARE(lines.size(), patterns.size());
        for (qsizetype i = 0; i < lines.size(); ++i)
            QVERIFY2(QRegularExpression("^" + patterns[i] + "$").match(lines[i]).hasMatch(),
                     qPrintable(lines[i]));
        QCOMPARE(whole(received.path()), QStringList({"whole", "whole"}));
        stop();

        // Each answer waits a second: the stop comes while the first file is on its way or
        // waits for its answer (on a slow machine the second may have arrived too, and is then
        // served); whatever was stored is whole.
        QTemporaryDir stopped;
        Control<QGroupBox>(form_.get(), "GroupBox1")->setChecked(true);
        Control<QSpinBox>(form_.get(), "SpinEdit4")->setValue(1000);
        port = testsupport::FreePort();
        receive(stopped.path(), port);
        send(storescu, port);
        QTRY_VERIFY_WITH_TIMEOUT(list->toPlainText().contains(" association from "), 30000);
        stop();
        QVERIFY(storescu.state() == QProcess::NotRunning || storescu.waitForFinished(30000));
        const QStringList left = whole(stopped.path());
        QVERIFY(left.size() <= 2);
        QCOMPARE(left.count("whole"), left.size());

        // The services on: a nodes file with a bad line springs the button back with the
        // library's reason; then findscu finds the study storescu sent.
        Control<QGroupBox>(form_.get(), "GroupBox1")->setChecked(false);
        Control<QGroupBox>(form_.get(), "GroupBox2")->setChecked(true);
        Control<QCheckBox>(form_.get(), "CheckBox2")->setChecked(true);
        const QString nodes = work_.filePath("nodes.txt"), users = work_.filePath("users.txt");
        apptest::WriteFile(nodes, "DEST 127.0.0.1\n");
        Control<QLineEdit>(form_.get(), "Edit3")->setText(nodes);
        QTemporaryDir served;
        port = testsupport::FreePort();
        receive(served.path(), port);
        QVERIFY(!button->isChecked() && button->isEnabled());
        const QStringList refused = list->toPlainText().split('\n');
        QCOMPARE(refused.value(0), "RECEIVE failed to listen on port " + QString::number(port));
        QVERIFY2(refused.size() == 2 && refused[1].startsWith("  " + nodes + ", line 1 ") &&
                     refused[1].contains("AE HOST PORT"),
                 qPrintable(refused.join('\n')));
        apptest::WriteFile(nodes, "DEST 127.0.0.1 11113\n");
        receive(served.path(), port);
        QVERIFY(button->isChecked());
        const auto run = [](const QString& tool, const QStringList& args) {
            QProcess peer;
            peer.setProcessChannelMode(QProcess::MergedChannels);
            peer.start(tool, args);
            return peer.waitForFinished(60000) ? QString::fromUtf8(peer.readAll()) : "<hangs>";
        };
        const QStringList to = {"-aec", "TESSALY", "127.0.0.1", QString::number(port)};
        run("storescu", QStringList(to) << SAMPLE_MR);
        const QString found =
            run("findscu",
                QStringList({"-v", "-S", "-k", "QueryRetrieveLevel=STUDY", "-k",
                             "PatientName=CompressedSamples^MR1", "-k", "StudyInstanceUID"}) +
                    to);
        QVERIFY2(found.count("(0010,0010) PN [CompressedSamples^MR1]") == 1, qPrintable(found));
        QTRY_VERIFY2_WITH_TIMEOUT(list->toPlainText().count(" ended: ") == 2,
                                  qPrintable(list->toPlainText()), 30000);
        QVERIFY2(QRegularExpression("C-FIND-RQ Study Root Query/Retrieve FIND, .*: status "
                                    "0x0000 \\(.+\\), \\d+ ms\n")
                     .match(list->toPlainText())
                     .hasMatch(),
                 qPrintable(list->toPlainText()));
        stop();

        // Only the users of the file may associate: storescu without a user is rejected, with
        // one of them it stores.
        apptest::WriteFile(users, "ALICE:secret\n");
        Control<QLineEdit>(form_.get(), "Edit2")->setText(users);
        receive(served.path(), port);
        run("storescu", QStringList(to) << SAMPLE);
        run("storescu", QStringList({"-usr", "ALICE", "-pwd", "secret"}) + to << SAMPLE);
        QTRY_VERIFY2_WITH_TIMEOUT(list->toPlainText().count(" ended: ") == 2,
                                  qPrintable(list->toPlainText()), 30000);
        QVERIFY2(list->toPlainText().count(", rejected (") == 1 &&
                     list->toPlainText().count("; user ALICE") == 1 &&
                     list->toPlainText().count("C-STORE-RQ CT Image Storage") == 1,
                 qPrintable(list->toPlainText()));
        stop();

        // The rest of the services, kept with the others for the window below.
        Control<QSpinBox>(form_.get(), "SpinEdit7")->setValue(3);
        Control<QCheckBox>(form_.get(), "CheckBox3")->setChecked(true);
        Control<QCheckBox>(form_.get(), "CheckBox4")->setChecked(true);
        Control<QLineEdit>(form_.get(), "Edit4")->setText(served.path());
        Control<QLineEdit>(form_.get(), "Edit5")->setText(work_.filePath("steps"));
        Control<QGroupBox>(form_.get(), "GroupBox1")->setChecked(true);
        QTcpServer taken;
        QVERIFY(taken.listen(QHostAddress::Any));
        const QString takenPort = QString::number(taken.serverPort());
        receive(stopped.path(), taken.serverPort());
        QVERIFY(!button->isChecked());
        QVERIFY(button->isEnabled());
        const QStringList failure = {"RECEIVE failed to listen on port " + takenPort,
                                     "  another program listens on port " + takenPort +
                                         " already (another provider, a PACS, storescp): stop it "
                                         "or choose another port"};
        QCOMPARE(list->toPlainText().split('\n'), failure);
        const QStringList log = LogLines(work_.path(), "RECEIVE");
        QCOMPARE(log.mid(log.size() - 3), QStringList({"Starting RECEIVE Service"}) + failure);

        app::AppValues values;
        app::TForm1 again(values);
        QCOMPARE(Control<QSpinBox>(&again, "SpinEdit1")->value(), int{taken.serverPort()});
        QCOMPARE(Control<QLineEdit>(&again, "Edit1")->text(), stopped.path());
        QVERIFY(Control<QGroupBox>(&again, "GroupBox1")->isChecked());
        QCOMPARE(Control<QSpinBox>(&again, "SpinEdit4")->value(), 1000);
        QCOMPARE(Control<QLineEdit>(&again, "Edit2")->text(), users);
        QVERIFY(Control<QGroupBox>(&again, "GroupBox2")->isChecked());
        for (const char* on : {"CheckBox2", "CheckBox3", "CheckBox4"})
            QVERIFY2(Control<QCheckBox>(&again, on)->isChecked(), on);
        QVERIFY(Control<QCheckBox>(&again, "CheckBox4")->isEnabled());
        QCOMPARE(Control<QSpinBox>(&again, "SpinEdit7")->value(), 3);
        QCOMPARE(Control<QLineEdit>(&again, "Edit3")->text(), nodes);
        QCOMPARE(Control<QLineEdit>(&again, "Edit4")->text(), served.path());
        QCOMPARE(Control<QLineEdit>(&again, "Edit5")->text(), work_.filePath("steps"));
        Control<QGroupBox>(form_.get(), "GroupBox1")->setChecked(false);
        Control<QGroupBox>(form_.get(), "GroupBox2")->setChecked(false);
        Control<QLineEdit>(form_.get(), "Edit2")->clear();
    }

    void showsAnExceptionAndGoesOn() {
        struct Thrower : QObject {
            bool event(QEvent* e) override {
                if (e->type() == QEvent::User) throw std::runtime_error("broken handler");
                return QObject::event(e);
            }
        } thrower;
        QCoreApplication::postEvent(&thrower, new QEvent(QEvent::User));
        QMessageBox* box = nullptr;
        QTRY_VERIFY((box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())));
        QCOMPARE(box->text(), QString("broken handler"));
        box->accept();
        ChooseFile("");
        Click(form_.get(), "BitBtn1");  // the loop goes on: Dump clears the memo
        QCOMPARE(Memo(), QString());
    }
};

QObject* NewWindowTest() {
    return new WindowTest;
}

#include "WindowTest.moc"
