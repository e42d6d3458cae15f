// The main window against tessaly-cli's storage provider and a silent peer: Dump, Echo, Store,
// jobs pressed in a row, End while a job waits, About, an exception in a handler, and the query
// filter and transfer syntax dialogs.
#include <signal.h>
#include <sys/prctl.h>

#include <QCheckBox>
#include <QComboBox>
#include <QDate>
#include <QDeadlineTimer>
#include <QDirIterator>
#include <QFileDialog>
#include <QLineEdit>
#include <QListView>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include "AppTest.h"
#include "Qfilter.h"
#include "Setup.h"
#include "Tsselect.h"
#include "tessaly.h"

using apptest::Click;
using apptest::Control;

namespace {

// What the runner sent to the window, in the order the window got it.
struct JobRecorder : QObject {
    QStringList ended;
    QStringList memo;
    explicit JobRecorder(app::MainThread* runner) {
        connect(runner, &app::MainThread::MemoCleared, this, [this] { memo << "<cleared>"; });
        connect(runner, &app::MainThread::MemoLine, this, [this](const QString& l) { memo << l; });
        connect(runner, &app::MainThread::JobEnded, this,
                [this](const QString& service) { ended << service; });
    }
};

// As an operator does: the whole path typed into the name field, then Open. Typing drops the
// selection of the list, which the dialog keeps from its last use.
void TypeFileName(QFileDialog* dialog, const QString& file) {
    dialog->findChild<QListView*>("listView")->clearSelection();
    dialog->findChild<QLineEdit*>("fileNameEdit")->setText(file);
    static_cast<QDialog*>(dialog)->accept();
}

void ChooseFile(const QString& file) {
    apptest::OnModal<QFileDialog>([file](QFileDialog* dialog) { TypeFileName(dialog, file); });
}

void CancelFileChoice() {
    apptest::OnModal<QFileDialog>([](QFileDialog* dialog) { dialog->reject(); });
}

void ChooseSyntax(int index) {
    apptest::OnModal<app::TForm4>([index](app::TForm4* dialog) {
        Control<QComboBox>(dialog, "ComboBox1")->setCurrentIndex(index);
        Click(dialog, "Button1");
    });
}

// The runner's own lines of today's log of service.
QStringList LogLines(const QString& workDir, const QString& service) {
    const QString name = QDate::currentDate().toString("ddMMyyyy") + "_" + service + ".log";
    const QString text = QString::fromLatin1(apptest::ReadFile(workDir + "/" + name));
    QStringList lines;
    static const QRegularExpression own("^\\d\\d:\\d\\d:\\d\\d: ((Starting|ECHO|STORE).*)\r$",
                                        QRegularExpression::MultilineOption);
    for (auto it = own.globalMatch(text); it.hasNext();)
        lines << it.next().captured(1);
    return lines;
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

  private slots:
    void initTestCase() {
        QDir::setCurrent(work_.path());
        values_ = std::make_unique<app::AppValues>();
        form_ = std::make_unique<app::TForm1>(*values_);
        form_->show();
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost));
        scpPort_ = QString::number(probe.serverPort());
        probe.close();
        scp_.setWorkingDirectory(work_.path());
        scp_.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
        scp_.start(apptest::CliPath(), {"scp", scpPort_, images_.path()});
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
        if (apptest::SampleFile().isEmpty()) QSKIP("python3-pydicom's test files are missing");
        // A file named as on DICOMDIR media, without a dot, is listed under "All Files".
        QTemporaryDir media;
        QVERIFY(QFile::copy(apptest::SampleFile(), media.filePath("IM000001")));
        bool listed = false;
        apptest::OnModal<QFileDialog>([&](QFileDialog* dialog) {
            dialog->setDirectory(media.path());
            auto* view = dialog->findChild<QListView*>("listView");
            for (QDeadlineTimer wait(10000); !listed && !wait.hasExpired(); QTest::qWait(20)) {
                for (int row = 0; row < view->model()->rowCount(view->rootIndex()); ++row)
                    listed |= view->model()->index(row, 0, view->rootIndex()).data() == "IM000001";
            }
            TypeFileName(dialog, media.filePath("IM000001"));
        });
        Click(form_.get(), "BitBtn1");
        QVERIFY(listed);
        QProcess cli;
        cli.start(apptest::CliPath(), {"dump", media.filePath("IM000001")});
        QVERIFY(cli.waitForFinished(10000));
        QCOMPARE(Memo() + "\n", QString::fromUtf8(cli.readAllStandardOutput()));
        QVERIFY(Memo().contains("\"CompressedSamples^CT1 \" - Patient\u2019s Name\n"));

        apptest::WriteFile(media.filePath("note.txt"), "not DICOM");
        ChooseFile(media.filePath("note.txt"));
        Click(form_.get(), "BitBtn1");
        QCOMPARE(Memo(), QString("Dump Failed!"));
        CancelFileChoice();
        Click(form_.get(), "BitBtn1");
        QCOMPARE(Memo(), QString());
    }

    void echoesAndStoresIntoTheProvider() {
        if (apptest::SampleFile().isEmpty()) QSKIP("python3-pydicom's test files are missing");
        JobRecorder jobs(Runner());
        Click(form_.get(), "BitBtn4");
        QTRY_COMPARE_WITH_TIMEOUT(jobs.ended.size(), 1, 30000);
        QCOMPARE(Memo(), QString("ECHO OK"));
        QCOMPARE(LogLines(work_.path(), "ECHO"), QStringList({"Starting ECHO Service", "ECHO OK"}));

        // The JPEG lossless choice is proposed after the file's own syntax; the provider
        // prefers it and keeps it in the file it writes.
        ChooseSyntax(3);
        ChooseFile(apptest::SampleFile());
        Click(form_.get(), "BitBtn6");
        ChooseSyntax(0);
        CancelFileChoice();
        Click(form_.get(), "BitBtn6");
        QTRY_COMPARE_WITH_TIMEOUT(jobs.ended.size(), 3, 30000);
        QCOMPARE(jobs.memo.mid(2),
                 QStringList({"<cleared>", "STORE OK", "<cleared>", Failure("STORE", scpPort_)}));
        QCOMPARE(LogLines(work_.path(), "STORE"),
                 QStringList({"Starting STORE Service", "STORE OK", "Starting STORE Service",
                              Failure("STORE", scpPort_)}));
        QStringList stored;
        for (QDirIterator it(images_.path(), {"*.dcm"}, QDir::Files, QDirIterator::Subdirectories);
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
        CancelFileChoice();
        Click(form_.get(), "BitBtn6");
        // The store waits for the echo, which waits for its peer.
        QTest::qWait(300);
        QCOMPARE(jobs.memo, QStringList({"<cleared>"}));
        silent.nextPendingConnection()->abort();
        QTRY_COMPARE_WITH_TIMEOUT(jobs.ended, QStringList({"ECHO", "STORE"}), 30000);
        QCOMPARE(jobs.memo, QStringList({"<cleared>", Failure("ECHO", port), "<cleared>",
                                         Failure("STORE", port)}));
        QCOMPARE(Memo(), Failure("STORE", port));
        SetPeerPort(scpPort_);
    }

    void endsWhileAJobWaitsOnASilentPeer() {
        QTcpServer silent;
        QVERIFY(silent.listen(QHostAddress::LocalHost));
        QTemporaryDir dir;
        app::Settings settings = app::DefaultSettings();
        app::SetField(settings.RemotePort, QString::number(silent.serverPort()));
        QVERIFY(app::SaveSettings(dir.filePath("dovazuz.cfg").toStdString(), settings, nullptr));
        QProcess child;
        child.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
        child.setWorkingDirectory(dir.path());
        child.setProcessChannelMode(QProcess::ForwardedChannels);
        child.start(QCoreApplication::applicationFilePath(), {"--end-while-waiting"});
        QVERIFY(silent.waitForNewConnection(10000));
        QVERIFY(child.waitForFinished(15000));
        QCOMPARE(child.exitStatus(), QProcess::NormalExit);
        QCOMPARE(child.exitCode(), 0);
        QCOMPARE(LogLines(dir.path(), "ECHO"), QStringList({"Starting ECHO Service"}));
    }

    void aboutShowsTheLibraryVersion() {
        QString text;
        apptest::OnModal<QMessageBox>([&](QMessageBox* box) {
            text = box->text();
            box->accept();
        });
        Click(form_.get(), "BitBtn3");
        QVERIFY2(text.contains("ZEDAVURA DICOM library version 2.48"), qPrintable(text));
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
        CancelFileChoice();
        Click(form_.get(), "BitBtn1");  // the loop goes on: Dump clears the memo
        QCOMPARE(Memo(), QString());
    }

    void queryFilterAndTransferSyntaxDialogs() {
        auto* filter = form_->findChild<app::TForm3*>("TForm3");
        const QString today = QDate::currentDate().toString("yyyyMMdd");
        struct Case {
            bool from, to;
            QString name, patient, date;
        };
        const Case cases[] = {{false, false, "", "", ""},
                              {true, false, "DOE^J", "DOE^J", "20240101-"},
                              {false, true, "", "", "-" + today},
                              {true, true, "", "", "20240101-" + today}};
        for (const Case& c : cases) {
            values_->PatientFilter = values_->DateFilter = "";
            filter->show();
            QVERIFY(!Control(filter, "Edit3")->isEnabled() &&
                    !Control(filter, "Edit4")->isEnabled());
            QCOMPARE(Control<QLineEdit>(filter, "Edit4")->text(), today);
            Control<QLineEdit>(filter, "Edit2")->setText(c.name);
            Control<QCheckBox>(filter, "CheckBox1")->setChecked(c.from);
            Control<QCheckBox>(filter, "CheckBox2")->setChecked(c.to);
            QCOMPARE(Control(filter, "Edit3")->isEnabled(), c.from);
            Control<QLineEdit>(filter, "Edit3")->setText("20240101");
            Click(filter, "Button1");
            QCOMPARE(values_->PatientFilter, c.patient);
            QCOMPARE(values_->DateFilter, c.date);
        }

        auto* syntax = form_->findChild<app::TForm4*>("TForm4");
        syntax->show();
        Control<QComboBox>(syntax, "ComboBox1")->setCurrentIndex(2);
        Click(syntax, "Button1");
        syntax->show();
        QCOMPARE(Control<QComboBox>(syntax, "ComboBox1")->currentIndex(), 0);
        syntax->reject();
        QCOMPARE(values_->TransferSyntaxChoice, 2);
    }
};

QObject* NewWindowTest() {
    return new WindowTest;
}

#include "WindowTest.moc"
