// The window's query and print jobs against dcmqrscp, wlmscpfs and dcmprscp, and against the
// scripted provider find_peer for failure statuses, a held answer, long listings and endless
// pending responses.
#include <QCheckBox>
#include <QComboBox>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBlock>
#include <QTextDocument>

#include "AppTest.h"
#include "Qfilter.h"
#include "Setup.h"
#include "support/Peers.h"
#include "tessaly.h"
#include "zedavura.h"

using apptest::Click;
using apptest::Control;

namespace {

const QString SAMPLES = "/usr/lib/python3/dist-packages/pydicom/data/test_files/";

struct FindPeer {
    QProcess process;
    QString port;
    explicit FindPeer(const QStringList& args) {
        process.start(FIND_PEER, args);
        if (process.waitForReadyRead(10000)) port = process.readLine().mid(5).trimmed();
    }
    ~FindPeer() { process.kill(), process.waitForFinished(); }
};

// A data set element's text as a peer sends it: padded, up to a NUL.
QString FileText(const QString& file, uint16_t group, uint16_t element) {
    ElementList* meta = NewElementList();
    ElementList* data = NewElementList();
    uint8_t explicitVr = 0;
    QByteArray text;
    DICOMFile(file.toLocal8Bit().constData(), meta, data, &explicitVr);
    for (uint32_t i = 0; i < TagCount(data); ++i) {
        const DicomElement* e = TagAt(data, i);
        if (e->group == group && e->element == element && e->value != nullptr)
            text = QByteArray(reinterpret_cast<const char*>(e->value), e->length).split('\0')[0];
    }
    DeleteElementList(meta);
    DeleteElementList(data);
    return QString::fromLatin1(text);
}

bool Run(const QString& program, const QStringList& args, QByteArray* output = nullptr) {
    QProcess p;
    p.start(program, args);
    const bool ran = p.waitForFinished(30000) && p.exitCode() == 0;
    if (output != nullptr) *output = p.readAllStandardOutput();
    return ran;
}

// A job run without the window: how many lines, the first and the last three.
struct Lines : app::JobOutput {
    qsizetype count = 0;
    QStringList first, last;
    void ClearMemo() override {}
    void MemoLine(const std::string& text) override {
        (++count <= 3 ? first : last) << QString::fromStdString(text);
        if (last.size() > 3) last.removeFirst();
    }
};

}  // namespace

class QueryJobsTest : public QObject {
    Q_OBJECT

    QTemporaryDir work_, files_;
    app::AppValues values_;
    std::unique_ptr<app::TForm1> form_;
    std::unique_ptr<apptest::JobRecorder> jobs_;

    QStringList Memo() const {
        return Control<QPlainTextEdit>(form_.get(), "Memo1")->toPlainText().split('\n');
    }
    // The runner's last lines of today's log of service.
    QStringList Log(const QString& service, qsizetype count = 2) const {
        const QStringList lines = apptest::LogLines(work_.path(), service);
        return lines.mid(lines.size() - count);
    }
    QByteArray LogText(const QString& service) const {
        return apptest::ReadFile(
            work_.filePath(QDate::currentDate().toString("ddMMyyyy") + "_" + service + ".log"));
    }
    QString Failure(const QString& service, const QString& aet, const QString& port) const {
        return service + " failed to connect to: " + aet + " (127.0.0.1:" + port + ")";
    }
    // Waits until that many jobs have ended and the memo shows their last line; returns what
    // they sent, and the next jobs start afresh.
    QStringList Ended(qsizetype jobs) {
        const QTextDocument* memo1 = Control<QPlainTextEdit>(form_.get(), "Memo1")->document();
        (void)QTest::qWaitFor(
            [&] {
                return jobs_->ended.size() >= jobs &&
                       memo1->lastBlock().text() == jobs_->memo.value(jobs_->memo.size() - 1);
            },
            60000);
        const QStringList memo = jobs_->memo;
        jobs_->ended.clear(), jobs_->memo.clear();
        return memo;
    }

    // The Setup dialog: the peer, the film size (an index, or text typed in), the log level,
    // the query character set.
    void Setup(const QString& port, const QString& aet, const QVariant& filmSize = 0,
               int logLevel = 0, const QString& characterSet = "") {
        apptest::OnModal<app::TForm2>([=](app::TForm2* setup) {
            Control<QLineEdit>(setup, "Edit3")->setText(port);
            Control<QLineEdit>(setup, "Edit5")->setText(aet);
            Control<QComboBox>(setup, "ComboBox1")->setCurrentIndex(logLevel);
            Control<QComboBox>(setup, "ComboBox6")->setEditText(characterSet);
            auto* size = Control<QComboBox>(setup, "ComboBox4");
            size->setCurrentIndex(filmSize.toInt());
            if (filmSize.typeId() == QMetaType::QString) size->setEditText(filmSize.toString());
            Click(setup, "Button1");
        });
        Click(form_.get(), "BitBtn2");
    }

    // Query PACS (BitBtn7) or Query WorkList (BitBtn8) with a name and dates.
    void Query(const char* button, const QString& name, const QString& from = {},
               const QString& to = {}) {
        apptest::OnModal<app::TForm3>([=](app::TForm3* filter) {
            Control<QLineEdit>(filter, "Edit2")->setText(name);
            Control<QCheckBox>(filter, "CheckBox1")->setChecked(!from.isEmpty());
            Control<QLineEdit>(filter, "Edit3")->setText(from);
            Control<QCheckBox>(filter, "CheckBox2")->setChecked(!to.isEmpty());
            Control<QLineEdit>(filter, "Edit4")->setText(to);
            Click(filter, "Button1");
        });
        Click(form_.get(), button);
    }

    void Print(const QString& file) {
        apptest::ChooseFile(file);
        Click(form_.get(), "BitBtn9");
    }

  private slots:
    void initTestCase() {
        if (!QFile::exists(SAMPLES + "CT_small.dcm")) QSKIP("python3-pydicom's files are missing");
        if (!testsupport::ToolAvailable("dcmqrscp")) QSKIP("DCMTK is missing");
        QDir::setCurrent(work_.path());
        form_ = std::make_unique<app::TForm1>(values_);
        form_->show();
        jobs_ = std::make_unique<apptest::JobRecorder>(form_->findChild<app::MainThread*>());
    }

    void cleanupTestCase() { form_.reset(); }

    // Of three studies one has the name and a date in the range; dcmqrscp leaves out
    // Modalities in Study and Institution Name. An unknown AE title is refused.
    void queriesDcmqrscpByNameAndDates() {
        const QString ct = files_.filePath("ct.dcm"), other = files_.filePath("other.dcm");
        QVERIFY(QFile::copy(SAMPLES + "CT_small.dcm", ct));
        QVERIFY(QFile::copy(SAMPLES + "MR_small.dcm", other));
        QVERIFY(
            Run("dcmodify", {"-nb", "-i", "PatientBirthDate=19700101", "-i", "AccessionNumber=A12",
                             "-i", "ReferringPhysicianName=HOUSE^G", ct}));
        QVERIFY(
            Run("dcmodify", {"-nb", "-i", "PatientName=OTHER", "-i", "StudyDate=20040301", "-i",
                             "StudyInstanceUID=1.2.3.4", "-i", "SOPInstanceUID=1.2.3.5", other}));
        const testsupport::Dcmqrscp archive;
        QVERIFY(archive.Ready());
        QCOMPARE(archive.Fill({ct.toStdString(), other.toStdString(),
                               (SAMPLES + "MR_small.dcm").toStdString()}),
                 "");
        const QString port = QString::number(archive.Port());
        Setup(port, "ARCHIVE");
        apptest::OnModal<QMessageBox>([](QMessageBox* box) {  // no filter: Cancel, no job
            QCOMPARE(box->windowTitle(), QString("WARNING"));
            box->button(QMessageBox::Cancel)->click();
        });
        Query("BitBtn7", "");
        Query("BitBtn7", "CompressedSamples*", "20040101", "20040630");
        QStringList expected = {"<cleared>", "No studies: 1", ""};
        for (const auto& [label, tag] :
             std::initializer_list<std::pair<QString, uint32_t>>{{"PatientName", 0x00100010},
                                                                 {"PatientID", 0x00100020},
                                                                 {"PatientSex", 0x00100040},
                                                                 {"PatientBD", 0x00100030},
                                                                 {"StudyID", 0x00200010},
                                                                 {"StudyInstanceUID", 0x0020000D},
                                                                 {"StudyDate", 0x00080020},
                                                                 {"StudyTime", 0x00080030},
                                                                 {"StudyDescription", 0x00081030},
                                                                 {"Modalities", 0},
                                                                 {"InstitutionName", 0},
                                                                 {"AccessionNumber", 0x00080050},
                                                                 {"PhysiciansName", 0x00080090}})
            expected << label + ": " +
                            FileText(ct, static_cast<uint16_t>(tag >> 16),
                                     static_cast<uint16_t>(tag & 0xFFFF));
        QCOMPARE(Ended(1), expected << ""
                                    << "FIND OK");
        QCOMPARE(Log("FIND"), QStringList({"Starting FIND Service", "FIND OK"}));

        // Refused: each job's memo and log end in its failure line and, under it, why, as the
        // command line says it for the same peer.
        Setup(port, "NOBODY");
        Query("BitBtn7", "DOE*");
        Query("BitBtn8", "DOE*");
        Print(SAMPLES + "CT_small.dcm");
        const QStringList memo = Ended(3);
        const QString why = apptest::CliExplanation(
            {"echo", "127.0.0.1", port, "--aet", "local", "--aec", "NOBODY"});
        QVERIFY2(why.contains("NOBODY"), qPrintable(why));
        QCOMPARE(
            memo.mid(0, 10),
            QStringList({"<cleared>", "Association Failed!", Failure("FIND", "NOBODY", port), why,
                         "<cleared>", "Association Failed!", Failure("WORKLIST", "NOBODY", port),
                         why, "<cleared>", "Connection Failed!"}));
        QCOMPARE(memo.mid(11), QStringList({Failure("PRINT", "NOBODY", port), why}));
        for (const QString service : {"FIND", "WORKLIST", "PRINT"})
            QCOMPARE(Log(service, 3), QStringList({"Starting " + service + " Service",
                                                   Failure(service, "NOBODY", port), why}));
    }

    void queriesTheWorklistOfWlmscpfs() {
        const testsupport::Wlmscpfs provider({{"DOE^JOHN", "P1", "20240315", "CT"},
                                              {"DOE^JANE", "P2", "20240402", "MR"},
                                              {"ROE^RICHARD", "P3", "20240320", "CT"}});
        QVERIFY(provider.Ready());
        Setup(QString::number(provider.Port()), "WLM");
        Query("BitBtn8", "DOE*", "20240301", "20240331");
        QCOMPARE(Ended(1),
                 QStringList({"<cleared>", "No studies: 1", "", "PatientName: DOE^JOHN",
                              "PatientID: P1", "PatientBD: 19700101", "PatientSex: O ",
                              "Modality: CT", "Scheduled Station AET: CT01",
                              "Scheduled Procedure Step Start Date: 20240315",
                              "Scheduled Procedure Step Start Time: 093000",
                              "Scheduled Performing Physician: WILSON^J", "", "WORKLIST OK"}));
        QCOMPARE(Log("WORKLIST"), QStringList({"Starting WORKLIST Service", "WORKLIST OK"}));
    }

    // Names in other sets show in UTF-8; the name key goes in the set chosen in Setup, and one
    // that set cannot hold is refused in the memo before anything is sent.
    void showsNamesOfEverySetAndSendsTheKeyInTheChosenOne() {
        const testsupport::Wlmscpfs provider({{"Yamada^Tarou=\x1b$B;3ED\x1b(B^\x1b$BB@O:\x1b(B",
                                               "P1", "20240315", "MR", "\\ISO 2022 IR 87"},
                                              {"\xbb\xee\xda"
                                               "ce\xdc\xd1yp\xd3",
                                               "P2", "20240315", "CT", "ISO_IR 144"}});
        QVERIFY(provider.Ready());
        const QString port = QString::number(provider.Port());
        Setup(port, "WLM", 0, 0, "ISO_IR 144");
        Query("BitBtn8", "Люк*");
        Query("BitBtn8", "山田*");
        Setup(port, "WLM");
        Query("BitBtn8", "", "20240315", "20240315");
        const QStringList memo = Ended(3);
        QCOMPARE(memo.mid(0, 4),
                 QStringList({"<cleared>", "No studies: 1", "", "PatientName: Люкceмбypг"}));
        QCOMPARE(memo.mid(14, 3),
                 QStringList({"<cleared>",
                              "PatientName \"山田*\": \"山\" cannot be written in ISO_IR 144",
                              Failure("WORKLIST", "WLM", port)}));
        QVERIFY(memo.contains("PatientName: Yamada^Tarou=山田^太郎"));
        QVERIFY(memo.contains("No studies: 2"));
    }

    void printsADicomFileAndABitmapOnEachFilmSize() {
        testsupport::Dcmprscp printer;
        const QString bitmap = files_.filePath("gradient.bmp");
        QVERIFY(Run("convert", {"-size", "67x45", "gradient:navy-orange", "BMP3:" + bitmap}));
        QVERIFY(printer.Ready());
        const QString port = QString::number(printer.Port());
        const QStringList sizes = {"14INX17IN", "14INX14IN", "10INX12IN", "8INX10IN"};
        for (int i = 0; i < sizes.size(); ++i) {
            Setup(port, "PRINTER", i);
            Print(i % 2 == 0 ? SAMPLES + "CT_small.dcm" : bitmap);
            QCOMPARE(Ended(1), QStringList({"<cleared>", "PRINT OK"}));
            QCOMPARE(printer.NewFiles("HG_").size(), 1u);
            QByteArray film;
            QVERIFY(Run("dcmdump", {printer.NewFiles("SP_").at(0).c_str()}, &film));
            QVERIFY(film.contains("(2010,0050) CS [" + sizes[i].toLatin1() + "]"));
        }
        // A film size typed in is none of the list: the film box goes without one (the trace
        // at PDU level shows what was sent) and the printer's default applies.
        Setup(port, "PRINTER", QString("24CMX24CM"), 1);
        Print(bitmap);
        QCOMPARE(Ended(1), QStringList({"<cleared>", "PRINT OK"}));
        const QByteArray log = LogText("PRINT");
        const qsizetype at = log.indexOf("local >> PRINTER\r\n\t(2010,0010)");
        const QByteArray filmBox = log.mid(at, log.indexOf("\r\n\r\n", at) - at);
        QVERIFY(at >= 0 && filmBox.contains("(2010,0040)") && !filmBox.contains("(2010,0050)"));
        // A cancelled file choice sends nothing.
        printer.NewFiles("SP_");
        Print("");
        QCOMPARE(Ended(1), QStringList({"<cleared>", Failure("PRINT", "PRINTER", port),
                                        QString("  ") + app::NO_FILE_CHOSEN}));
        QCOMPARE(printer.NewFiles("SP_").size(), 0u);
        QCOMPARE(Log("PRINT", 100).count("PRINT OK"), 5);

        // A printer without blue film refuses the film session: the step and why.
        testsupport::Dcmprscp paperOnly("PAPER");
        QVERIFY(paperOnly.Ready());
        Setup(QString::number(paperOnly.Port()), "PRINTER");
        Print(bitmap);
        const QStringList memo = Ended(1);
        QCOMPARE(memo.mid(0, 2), QStringList({"<cleared>", "Create Film Session: Failed!"}));
        QVERIFY2(memo[2].startsWith("Film session: status 0x"), qPrintable(memo[2]));
        QCOMPARE(Log("PRINT", 2), memo.mid(3));
    }

    // Two pending responses, then 0xC000: the records and the failure's own are listed, and
    // under the failure line why, as the command line says it. At PDU level the log holds the
    // messages.
    void listsTheRecordsOfAFailedQuery() {
        FindPeer failing({"2", "C000"});
        Setup(failing.port, "FAILING", 0, 1);
        Query("BitBtn7", "PATIENT*");
        Query("BitBtn8", "PATIENT*");
        const QStringList memo = Ended(2);
        const QString status = "Final status 0xC000 (failed: unable to process)";
        const QString why = apptest::CliExplanation(
            {"find", "127.0.0.1", failing.port, "--aet", "local", "--aec", "FAILING"});
        QCOMPARE(memo.mid(0, 5), QStringList({"<cleared>", "No studies: 3", "",
                                              "PatientName: PATIENT^1", "PatientID: ID1"}));
        QCOMPARE(memo.mid(3 + 2 * 14, 2), QStringList({"PatientName: ", "PatientID: "}));
        QCOMPARE(memo.mid(3 + 3 * 14, 6),
                 QStringList({status, Failure("FIND", "FAILING", failing.port), why, "<cleared>",
                              "No studies: 3", ""}));
        QCOMPARE(memo.mid(3 + 3 * 14 + 6 + 3 * 10),
                 QStringList({status, Failure("WORKLIST", "FAILING", failing.port), why}));
        QCOMPARE(Log("WORKLIST", 2), memo.mid(memo.size() - 2));
        QCOMPARE(LogText("FIND").count("local << FAILING\r\n"), 2 * 2 + 1);
    }

    void echoWaitsForARunningQuery() {
        FindPeer held({"3", "0", "--hold"});
        Setup(held.port, "HELD");
        Query("BitBtn7", "PATIENT*");
        QVERIFY(held.process.waitForReadyRead(10000));
        Click(form_.get(), "BitBtn4");
        QTest::qWait(300);  // the echo waits for the query, which waits for its answer
        QCOMPARE(jobs_->memo, QStringList({"<cleared>"}));
        held.process.write("go\n");
        const QStringList memo = Ended(2);
        QCOMPARE(memo.size(), 1 + 2 + 3 * 14 + 1 + 2);
        QCOMPARE(memo.mid(memo.size() - 3), QStringList({"FIND OK", "<cleared>", "ECHO OK"}));
        QCOMPARE(Log("FIND"), QStringList({"Starting FIND Service", "FIND OK"}));
        QCOMPARE(Log("ECHO"), QStringList({"Starting ECHO Service", "ECHO OK"}));
    }

    // 140,003 lines reach the memo in blocks, and the event loop turns between the blocks.
    void listsTenThousandStudiesInBlocks() {
        FindPeer many({"10000", "0"});
        Setup(many.port, "MANY");
        int turns = 0, blocks = 0, turnAtFirst = 0, turnAtLast = 0;
        QTimer turning;
        connect(&turning, &QTimer::timeout, this, [&] { ++turns; });
        turning.start(0);
        connect(Control<QPlainTextEdit>(form_.get(), "Memo1")->document(),
                &QTextDocument::contentsChange, this, [&](int, int, int added) {
                    if (added < 1000) return;
                    turnAtFirst = blocks++ == 0 ? turns : turnAtFirst;
                    turnAtLast = turns;
                });
        Query("BitBtn7", "PATIENT*");
        QCOMPARE(Ended(1).size(), 1 + 2 + 10000 * 14 + 1);
        const QStringList lines = Memo();
        QCOMPARE(lines.size(), 2 + 10000 * 14 + 1);
        QCOMPARE(lines.mid(2 + 9999 * 14, 2),
                 QStringList({"PatientName: PATIENT^10000", "PatientID: ID10000"}));
        QVERIFY2(blocks > 10 && blocks < 1000, qPrintable(QString::number(blocks)));
        QVERIFY2(turnAtLast - turnAtFirst >= blocks / 2, qPrintable(QString::number(turns)));
    }

    // Without the window: past 100000 pending responses the association is aborted and the
    // job fails with those listed.
    void endlessPendingResponsesEndTheQuery() {
        FindPeer endless({"100001", "0"});
        app::ServiceJob job;
        job.Service = "FIND";
        job.settings = app::DefaultSettings();
        job.WorkDir = work_.path().toStdString();
        app::SetField(job.settings.RemotePort, endless.port);
        Lines out;
        QVERIFY(!app::RunServiceJob(job, out));
        QCOMPARE(out.count, 2 + 100000 * 14 + 2);
        QCOMPARE(out.first, QStringList({"No studies: 100000", "", "PatientName: PATIENT^1"}));
        QCOMPARE(
            out.last,
            QStringList({"",
                         "No final status: more than 100000 pending responses: "
                         "the association was aborted",
                         "FIND failed to connect to: remote (127.0.0.1:" + endless.port + ")"}));
    }
};

QObject* NewQueryJobsTest() {
    return new QueryJobsTest;
}

#include "QueryJobsTest.moc"
