// The window's query and print jobs: Query PACS against dcmqrscp, Query WorkList against
// wlmscpfs, DICOM Print on dcmprscp, and the scripted provider find_peer for what these do not
// do: rejecting, failure statuses, long listings, a held answer and endless pending responses.
#include <QCheckBox>
#include <QComboBox>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QTextDocument>

#include <algorithm>

#include "AppTest.h"
#include "Qfilter.h"
#include "QueryJobs.h"
#include "Setup.h"
#include "support/Peers.h"
#include "tessaly.h"
#include "zedavura.h"

using apptest::Click;
using apptest::Control;
using apptest::JobRecorder;
using apptest::LogLines;
namespace fs = std::filesystem;

namespace {

const QString SAMPLES = "/usr/lib/python3/dist-packages/pydicom/data/test_files/";

// find_peer with its arguments, and the port it listens on.
struct FindPeer {
    QProcess process;
    QString port;
    explicit FindPeer(const QStringList& args) {
        process.start(FIND_PEER, args);
        if (process.waitForReadyRead(10000))
            port = QString::fromLatin1(process.readLine()).mid(5).trimmed();
    }
    ~FindPeer() {
        process.kill();
        process.waitForFinished(10000);
    }
};

// The text of an element of a file's data set as a peer sends it: padded, up to a NUL.
QString FileText(const QString& file, uint16_t group, uint16_t element) {
    ElementList* meta = NewElementList();
    ElementList* data = NewElementList();
    uint8_t explicitVr = 0;
    QString text;
    if (DICOMFile(file.toLocal8Bit().constData(), meta, data, &explicitVr) == 1) {
        for (uint32_t i = 0; i < TagCount(data); ++i) {
            const DicomElement* e = TagAt(data, i);
            if (e->group == group && e->element == element && e->value != nullptr)
                text = QString::fromLatin1(QByteArray(reinterpret_cast<const char*>(e->value),
                                                      static_cast<qsizetype>(e->length))
                                               .split('\0')
                                               .first());
        }
    }
    DeleteElementList(meta);
    DeleteElementList(data);
    return text;
}

// The memo's block of a study file, with what dcmqrscp leaves out (Modalities in Study and
// Institution Name) empty.
QStringList StudyBlock(const QString& file) {
    const std::pair<const char*, std::pair<uint16_t, uint16_t>> fields[] = {
        {"PatientName", {0x0010, 0x0010}},
        {"PatientID", {0x0010, 0x0020}},
        {"PatientSex", {0x0010, 0x0040}},
        {"PatientBD", {0x0010, 0x0030}},
        {"StudyID", {0x0020, 0x0010}},
        {"StudyInstanceUID", {0x0020, 0x000D}},
        {"StudyDate", {0x0008, 0x0020}},
        {"StudyTime", {0x0008, 0x0030}},
        {"StudyDescription", {0x0008, 0x1030}},
        {"Modalities", {0, 0}},
        {"InstitutionName", {0, 0}},
        {"AccessionNumber", {0x0008, 0x0050}},
        {"PhysiciansName", {0x0008, 0x0090}}};
    QStringList block;
    for (const auto& [label, tag] : fields)
        block << QString(label) + ": " + FileText(file, tag.first, tag.second);
    return block << "";
}

// A listing's blocks after "No studies: N" and its empty line, in the order of the peer.
QList<QStringList> Blocks(QStringList lines, qsizetype size) {
    QList<QStringList> blocks;
    for (qsizetype at = 2; at + size <= lines.size(); at += size)
        blocks << lines.mid(at, size);
    return blocks;
}

bool RunTool(const QString& program, const QStringList& args) {
    QProcess p;
    p.start(program, args);
    return p.waitForFinished(30000) && p.exitCode() == 0;
}

QString Dcmdump(const fs::path& file) {
    QProcess p;
    p.start("dcmdump", {QString::fromStdString(file.string())});
    p.waitForFinished(30000);
    return QString::fromLatin1(p.readAllStandardOutput());
}

// How many lines a job run without the window wrote, its first and its last three.
struct Lines : app::JobOutput {
    qsizetype count = 0;
    QStringList first, last;
    void ClearMemo() override {}
    void MemoLine(const std::string& text) override {
        ++count;
        (first.size() < 3 ? first : last) << QString::fromStdString(text);
        if (last.size() > 3) last.removeFirst();
    }
};

}  // namespace

class QueryJobsTest : public QObject {
    Q_OBJECT

    QTemporaryDir work_, files_;
    std::unique_ptr<app::AppValues> values_;
    std::unique_ptr<app::TForm1> form_;

    QStringList Memo() const {
        return Control<QPlainTextEdit>(form_.get(), "Memo1")->toPlainText().split('\n');
    }
    app::MainThread* Runner() const { return form_->findChild<app::MainThread*>("MainThread"); }
    // The runner's lines of today's log of service, the last count of them.
    QStringList Log(const QString& service, qsizetype count = 2) const {
        const QStringList lines = LogLines(work_.path(), service);
        return lines.mid(std::max<qsizetype>(0, lines.size() - count));
    }
    QString Failure(const QString& service, const QString& aet, const QString& port) const {
        return service + " failed to connect to: " + aet + " (127.0.0.1:" + port + ")";
    }

    // The Setup dialog: the peer, and the print choices (an index, or text typed in).
    void Setup(const QString& port, const QString& aet, const QVariant& filmSize = 0,
               int logLevel = 0) {
        apptest::OnModal<app::TForm2>([=](app::TForm2* setup) {
            Control<QLineEdit>(setup, "Edit3")->setText(port);
            Control<QLineEdit>(setup, "Edit5")->setText(aet);
            Control<QComboBox>(setup, "ComboBox1")->setCurrentIndex(logLevel);
            auto* size = Control<QComboBox>(setup, "ComboBox4");
            if (filmSize.typeId() == QMetaType::Int) size->setCurrentIndex(filmSize.toInt());
            if (filmSize.typeId() == QMetaType::QString) size->setEditText(filmSize.toString());
            Click(setup, "Button1");
        });
        Click(form_.get(), "BitBtn2");
    }

    // Presses Query PACS (BitBtn7) or Query WorkList (BitBtn8) with a name and dates.
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
        QDir::setCurrent(work_.path());
        values_ = std::make_unique<app::AppValues>();
        form_ = std::make_unique<app::TForm1>(*values_);
        form_->show();
    }

    void cleanupTestCase() { form_.reset(); }

    void queriesDcmqrscpByNameAndDates() {
        if (!testsupport::ToolAvailable("dcmqrscp")) QSKIP("DCMTK is missing");
        // Four studies: two match, one by another name, one on a later date.
        const QString ct = SAMPLES + "CT_small.dcm", mr = files_.filePath("mr.dcm"),
                      other = files_.filePath("other.dcm"), later = files_.filePath("later.dcm");
        for (const QString& f : {mr, other, later})
            QVERIFY(QFile::copy(SAMPLES + "MR_small.dcm", f));
        const QString uid = "1.2.826.0.1.3680043.2.7251.13.";
        QVERIFY(RunTool("dcmodify",
                        {"-nb", "-i", "PatientBirthDate=19700101", "-i", "AccessionNumber=A123",
                         "-i", "ReferringPhysicianName=HOUSE^G", mr}));
        QVERIFY(RunTool("dcmodify", {"-nb", "-i", "PatientName=OTHER^PATIENT", "-i",
                                     "StudyInstanceUID=" + uid + "1", "-i",
                                     "SOPInstanceUID=" + uid + "2", other}));
        QVERIFY(RunTool("dcmodify",
                        {"-nb", "-i", "StudyDate=20050301", "-i", "StudyInstanceUID=" + uid + "3",
                         "-i", "SOPInstanceUID=" + uid + "4", later}));
        const testsupport::Dcmqrscp archive;
        QVERIFY2(archive.Ready(), archive.Output().c_str());
        const auto filled = archive.Fill(
            {ct.toStdString(), mr.toStdString(), other.toStdString(), later.toStdString()});
        QVERIFY2(filled.empty(), filled.c_str());
        const QString port = QString::number(archive.Port());
        Setup(port, "ARCHIVE");

        JobRecorder jobs(Runner());
        // Without any filter the warning comes; Cancel starts no job.
        apptest::OnModal<QMessageBox>([](QMessageBox* box) {
            QCOMPARE(box->windowTitle(), QString("WARNING"));
            box->button(QMessageBox::Cancel)->click();
        });
        Query("BitBtn7", "");
        Query("BitBtn7", "CompressedSamples*", "20040101", "20041231");
        QTRY_COMPARE_WITH_TIMEOUT(jobs.ended, QStringList({"FIND"}), 30000);
        QTRY_COMPARE(Memo().last(), QString("FIND OK"));
        const QStringList memo = Memo();
        QCOMPARE(memo.mid(0, 2), QStringList({"No studies: 2", ""}));
        QCOMPARE(memo.size(), 2 + 2 * 14 + 1);
        QList<QStringList> blocks = Blocks(memo, 14), expected = {StudyBlock(ct), StudyBlock(mr)};
        std::sort(blocks.begin(), blocks.end());
        std::sort(expected.begin(), expected.end());
        QCOMPARE(blocks, expected);
        QCOMPARE(Log("FIND"), QStringList({"Starting FIND Service", "FIND OK"}));
    }

    void queriesTheWorklistOfWlmscpfs() {
        if (!testsupport::ToolAvailable("wlmscpfs")) QSKIP("DCMTK is missing");
        const std::vector<testsupport::WorklistEntry> entries = {
            {"DOE^JOHN", "P1", "20240315", "CT"},
            {"DOE^JANE", "P2", "20240402", "MR"},
            {"ROE^RICHARD", "P3", "20240320", "CT"}};
        const testsupport::Wlmscpfs provider(entries);
        QVERIFY2(provider.Ready(), provider.Output().c_str());
        Setup(QString::number(provider.Port()), "WLM");
        JobRecorder jobs(Runner());
        Query("BitBtn8", "DOE*", "20240301", "20240331");
        QTRY_COMPARE_WITH_TIMEOUT(jobs.ended, QStringList({"WORKLIST"}), 30000);
        QTRY_COMPARE(Memo(),
                     QStringList({"No studies: 1", "", "PatientName: DOE^JOHN", "PatientID: P1",
                                  "PatientBD: 19700101", "PatientSex: O ", "Modality: CT",
                                  "Scheduled Station AET: CT01",
                                  "Scheduled Procedure Step Start Date: 20240315",
                                  "Scheduled Procedure Step Start Time: 093000",
                                  "Scheduled Performing Physician: WILSON^J", "", "WORKLIST OK"}));
        QCOMPARE(Log("WORKLIST"), QStringList({"Starting WORKLIST Service", "WORKLIST OK"}));
    }

    void printsADicomFileAndABitmapOnEachFilmSize() {
        if (!testsupport::ToolAvailable("dcmprscp") || !testsupport::ToolAvailable("convert"))
            QSKIP("DCMTK or ImageMagick is missing");
        testsupport::Dcmprscp printer;
        QVERIFY2(printer.Ready(), printer.Output().c_str());
        const QString bitmap = files_.filePath("gradient.bmp");
        QVERIFY(RunTool("convert", {"-size", "67x45", "gradient:navy-orange", "-type", "TrueColor",
                                    "BMP3:" + bitmap}));
        const QString port = QString::number(printer.Port());
        JobRecorder jobs(Runner());
        const QStringList sizes = {"14INX17IN", "14INX14IN", "10INX12IN", "8INX10IN"};
        for (int i = 0; i < sizes.size(); ++i) {
            Setup(port, "PRINTER", i);
            Print(i % 2 == 0 ? SAMPLES + "CT_small.dcm" : bitmap);
            QTRY_COMPARE_WITH_TIMEOUT(jobs.ended.size(), i + 1, 30000);
            QTRY_COMPARE(Memo(), QStringList({"PRINT OK"}));
            QCOMPARE(printer.NewFiles("HG_").size(), 1u);
            const auto films = printer.NewFiles("SP_");
            QCOMPARE(films.size(), 1u);
            QVERIFY(Dcmdump(films[0]).contains("(2010,0050) CS [" + sizes[i] + "]"));
        }
        // A film size typed in rather than chosen is no item of the list: the film box goes
        // without one and the printer's default applies. At PDU level the log shows what went.
        Setup(port, "PRINTER", QString("24CMX24CM"), 1);
        Print(bitmap);
        QTRY_COMPARE_WITH_TIMEOUT(jobs.ended.size(), 5, 30000);
        QTRY_COMPARE(Memo(), QStringList({"PRINT OK"}));
        QCOMPARE(printer.NewFiles("SP_").size(), 1u);
        const QByteArray log = apptest::ReadFile(
            work_.filePath(QDate::currentDate().toString("ddMMyyyy") + "_PRINT.log"));
        const qsizetype at = log.indexOf("local >> PRINTER\r\n\t(2010,0010)");
        const QByteArray filmBox = log.mid(at, log.indexOf("\r\n\r\n", at) - at);
        QVERIFY(at >= 0 && filmBox.contains("(2010,0040)") && !filmBox.contains("(2010,0050)"));
        QCOMPARE(Log("PRINT", 100).count("PRINT OK"), 5);
        // A cancelled file choice sends nothing.
        Print("");
        QTRY_COMPARE_WITH_TIMEOUT(jobs.ended.size(), 6, 30000);
        QTRY_COMPARE(Memo(), QStringList({Failure("PRINT", "PRINTER", port)}));
        QCOMPARE(printer.NewFiles("SP_").size(), 0u);
    }

    void refusedAssociationsAndFailureStatuses() {
        FindPeer reject({"0", "0", "--reject"});
        Setup(reject.port, "NOBODY");
        JobRecorder jobs(Runner());
        Query("BitBtn7", "DOE*");
        Query("BitBtn8", "DOE*");
        Print(SAMPLES + "CT_small.dcm");
        QTRY_COMPARE_WITH_TIMEOUT(jobs.ended.size(), 3, 30000);
        const QString findFailed = Failure("FIND", "NOBODY", reject.port),
                      worklistFailed = Failure("WORKLIST", "NOBODY", reject.port),
                      printFailed = Failure("PRINT", "NOBODY", reject.port);
        QCOMPARE(jobs.memo.mid(0, 6),
                 QStringList({"<cleared>", "Association Failed!", findFailed, "<cleared>",
                              "Association Failed!", worklistFailed}));
        QCOMPARE(jobs.memo.mid(6, 2), QStringList({"<cleared>", "Connection Failed!"}));
        QVERIFY(jobs.memo[8].startsWith("Association: "));
        QCOMPARE(jobs.memo.mid(9), QStringList({printFailed}));
        QCOMPARE(Log("FIND"), QStringList({"Starting FIND Service", findFailed}));
        QCOMPARE(Log("WORKLIST"), QStringList({"Starting WORKLIST Service", worklistFailed}));
        QCOMPARE(Log("PRINT"), QStringList({"Starting PRINT Service", printFailed}));

        // Two pending responses, then 0xC000: the records and the failure's own are listed.
        FindPeer failing({"2", "C000"});
        Setup(failing.port, "FAILING");
        jobs.memo.clear();
        Query("BitBtn7", "PATIENT*");
        Query("BitBtn8", "PATIENT*");
        QTRY_COMPARE_WITH_TIMEOUT(jobs.ended.size(), 5, 30000);
        const QString status = "Final status 0xC000 (failed: unable to process)";
        const qsizetype worklistAt = jobs.memo.lastIndexOf("<cleared>");
        const QStringList find = jobs.memo.mid(0, worklistAt), worklist = jobs.memo.mid(worklistAt);
        QCOMPARE(find.mid(0, 3), QStringList({"<cleared>", "No studies: 3", ""}));
        QCOMPARE(find.mid(3, 2), QStringList({"PatientName: PATIENT^1", "PatientID: ID1"}));
        QCOMPARE(find.mid(3 + 2 * 14, 2), QStringList({"PatientName: ", "PatientID: "}));
        QCOMPARE(find.mid(3 + 3 * 14),
                 QStringList({status, Failure("FIND", "FAILING", failing.port)}));
        QCOMPARE(worklist.mid(1, 3), QStringList({"No studies: 3", "", "PatientName: PATIENT^1"}));
        QCOMPARE(worklist.mid(3 + 3 * 10),
                 QStringList({status, Failure("WORKLIST", "FAILING", failing.port)}));
        QCOMPARE(Log("FIND", 1), QStringList({Failure("FIND", "FAILING", failing.port)}));

        // A printer that has no blue film refuses the film session.
        if (!testsupport::ToolAvailable("dcmprscp")) QSKIP("DCMTK is missing");
        testsupport::Dcmprscp paperOnly("PAPER");
        QVERIFY2(paperOnly.Ready(), paperOnly.Output().c_str());
        const QString port = QString::number(paperOnly.Port());
        Setup(port, "PRINTER");
        Print(SAMPLES + "CT_small.dcm");
        QTRY_COMPARE_WITH_TIMEOUT(jobs.ended.size(), 6, 30000);
        QTRY_COMPARE(Memo().size(), 3);
        QCOMPARE(Memo()[0], QString("Create Film Session: Failed!"));
        QVERIFY2(Memo()[1].startsWith("Film session: status 0x"), qPrintable(Memo()[1]));
        QCOMPARE(Memo()[2], Failure("PRINT", "PRINTER", port));
        QCOMPARE(Log("PRINT", 1), QStringList({Failure("PRINT", "PRINTER", port)}));
    }

    void echoWaitsForARunningQuery() {
        FindPeer held({"3", "0", "--hold"});
        Setup(held.port, "HELD");
        JobRecorder jobs(Runner());
        Query("BitBtn7", "PATIENT*");
        QVERIFY(held.process.waitForReadyRead(10000));
        QCOMPARE(held.process.readLine(), QByteArray("request\n"));
        Click(form_.get(), "BitBtn4");
        QTest::qWait(300);  // the echo waits for the query, which waits for its answer
        QCOMPARE(jobs.memo, QStringList({"<cleared>"}));
        held.process.write("go\n");
        QTRY_COMPARE_WITH_TIMEOUT(jobs.ended, QStringList({"FIND", "ECHO"}), 30000);
        QCOMPARE(jobs.memo.size(), 1 + 2 + 3 * 14 + 1 + 2);
        QCOMPARE(jobs.memo.mid(1, 2), QStringList({"No studies: 3", ""}));
        QCOMPARE(jobs.memo.mid(jobs.memo.size() - 3),
                 QStringList({"FIND OK", "<cleared>", "ECHO OK"}));
        QCOMPARE(Log("FIND"), QStringList({"Starting FIND Service", "FIND OK"}));
        QCOMPARE(Log("ECHO"), QStringList({"Starting ECHO Service", "ECHO OK"}));
    }

    void listsTenThousandStudiesInBlocks() {
        FindPeer many({"10000", "0"});
        Setup(many.port, "MANY");
        JobRecorder jobs(Runner());
        // The memo grows block by block, and the event loop turns between the blocks.
        int turns = 0, blocks = 0, turnAtFirst = 0, turnAtLast = 0;
        QTimer turning;
        connect(&turning, &QTimer::timeout, this, [&] { ++turns; });
        turning.start(0);
        auto* memo = Control<QPlainTextEdit>(form_.get(), "Memo1");
        connect(memo->document(), &QTextDocument::contentsChange, this, [&](int, int, int added) {
            if (added < 1000) return;
            if (blocks++ == 0) turnAtFirst = turns;
            turnAtLast = turns;
        });
        Query("BitBtn7", "PATIENT*");
        QTRY_COMPARE_WITH_TIMEOUT(jobs.ended, QStringList({"FIND"}), 120000);
        QTRY_COMPARE_WITH_TIMEOUT(Memo().last(), QString("FIND OK"), 60000);
        const int turned = turnAtLast - turnAtFirst;
        const QStringList lines = Memo();
        QCOMPARE(lines.size(), 2 + 10000 * 14 + 1);
        QCOMPARE(lines[0], QString("No studies: 10000"));
        QCOMPARE(lines[2 + 9999 * 14], QString("PatientName: PATIENT^10000"));
        QCOMPARE(lines[2 + 9999 * 14 + 5],
                 QString("StudyInstanceUID: 1.2.826.0.1.3680043.2.7251.13.10000"));
        QVERIFY2(blocks > 10 && blocks < 1000, qPrintable(QString::number(blocks)));
        QVERIFY2(turned >= blocks / 2, qPrintable(QString::number(turned)));
    }

    // Without the window: a peer that never stops sending pending responses is cut off at
    // 100000, and the job fails with those listed.
    void endlessPendingResponsesEndTheQuery() {
        FindPeer endless({"100001", "0"});
        app::ServiceJob job;
        job.Service = "FIND";
        job.settings = app::DefaultSettings();
        app::SetField(job.settings.RemotePort, endless.port);
        job.WorkDir = work_.path().toStdString();
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
