// Query/retrieve and worklist against real providers, through tessaly-cli as an operator runs
// it: DCMTK's dcmqrscp (filled with storescu) and wlmscpfs (a worklist folder made with
// dump2dcm), and Orthanc with its worklist plugin, each started here on free loopback ports
// with a configuration written here. Queries run at the three levels; C-MOVE sends a study back
// into `tessaly-cli scp`, and every moved file must hold the elements of the file the provider
// was given. The DCMTK tools run with TCP_NODELAY=1, as this system's own sockets do.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "data/Datadec.h"
#include "data/Tags.h"
#include "net/DimseFixtures.h"
#include "support/DcmtkCompare.h"
#include "support/Peers.h"
#include "support/TestSupport.h"

namespace fs = std::filesystem;
using namespace dicomlib;
using testsupport::NO_DELAY;
using testsupport::RunCommand;

namespace {

struct Instance {
    fs::path file;
    std::string study, series, sop, patient;
};

Instance Describe(const fs::path& file) {
    data::DecoderState state;
    ElementList meta, dataSet;
    EXPECT_TRUE(data::ReadPart10File(state, file, meta, dataSet)) << file;
    return {file, data::GetTagString(dataSet, tag::StudyInstanceUID),
            data::GetTagString(dataSet, tag::SeriesInstanceUID),
            data::GetTagString(dataSet, tag::SOPInstanceUID),
            data::GetTagString(dataSet, tag::PatientID)};
}

void WriteText(const fs::path& path, const std::string& text) {
    std::ofstream(path) << text;
}

testsupport::CommandResult Cli(std::vector<std::string> args) {
    args.insert(args.begin(), testsupport::CliPath());
    return RunCommand(args);
}

std::size_t Count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

const std::vector<testsupport::WorklistEntry> WORKLIST = {
    {"DOE^JOHN", "P1", "20240315", "CT"},
    {"DOE^JANE", "P2", "20240402", "MR"},
    {"ROE^RICHARD", "P3", "20240320", "CT"},
};

// The storage provider of this system, as the move destination.
class TessalyScp {
  public:
    TessalyScp()
        : process_({testsupport::CliPath(), "scp", std::to_string(port_), "images"}, work_.Path()) {
    }
    bool Ready() { return testsupport::WaitForListener(port_); }
    uint16_t Port() const { return port_; }
    fs::path StoredOf(const Instance& i) const {
        return work_ / "images" / i.study / i.series / (i.sop + ".dcm");
    }

  private:
    testsupport::TempDir work_;
    uint16_t port_ = testsupport::FreePort();
    testsupport::BackgroundProcess process_;
};

class QueryInterop : public testing::Test {
  protected:
    void SetUp() override {
        for (const char* tool :
             {"dcmqrscp", "wlmscpfs", "storescu", "dump2dcm", "dcmdump", "dcmdjpeg"}) {
            if (!testsupport::ToolAvailable(tool)) GTEST_SKIP() << tool << " (DCMTK) is missing";
        }
        if (testsupport::PydicomTestFiles().empty()) GTEST_SKIP() << "needs pydicom's files";
        const fs::path p = testsupport::PydicomTestFiles();
        for (const fs::path& f : {p / "CT_small.dcm", p / "MR_small.dcm"})
            instances_.push_back(Describe(f));
        const auto r = RunCommand({(testsupport::SourceDir() / "bench" / "make_images.py").string(),
                                   (inputs_ / "ct").string(), "--count", "3", "--size", "64"});
        ASSERT_EQ(r.exitCode, 0) << r.errors;
        for (const auto& entry : fs::directory_iterator(inputs_ / "ct"))
            instances_.push_back(Describe(entry.path()));
        series_ = instances_.back();
    }

    // Fills a provider with every instance.
    void Fill(const std::string& calledAe, uint16_t port) {
        std::vector<std::string> argv = {"storescu", "-aec", calledAe, "127.0.0.1",
                                         std::to_string(port)};
        for (const auto& i : instances_)
            argv.push_back(i.file.string());
        const auto r = RunCommand(argv, NO_DELAY);
        ASSERT_EQ(r.exitCode, 0) << r.output << r.errors;
    }

    // Queries at the three levels: every study, a name wildcard, the generated study's series
    // and the images of that series.
    void ExpectQueries(const std::string& calledAe, uint16_t port) {
        const std::string p = std::to_string(port);
        auto all = Cli({"find", "127.0.0.1", p, "--aec", calledAe});
        EXPECT_EQ(all.exitCode, 0) << all.errors;
        EXPECT_NE(all.output.find("3 results\nFIND OK: final status 0x0000 (success: matching is "
                                  "complete)\n"),
                  std::string::npos)
            << all.output;
        for (const auto& i : instances_)
            EXPECT_NE(all.output.find("StudyInstanceUID: " + i.study + "\n"), std::string::npos);

        auto mr = Cli({"find", "127.0.0.1", p, "--aec", calledAe, "--json", "--key",
                       "PatientName=CompressedSamples^MR*"});
        EXPECT_EQ(mr.exitCode, 0);
        EXPECT_EQ(Count(mr.output, "\"0020000D\""), 1u) << mr.output;
        EXPECT_NE(mr.output.find(instances_[1].study), std::string::npos);
        EXPECT_EQ(mr.errors.rfind("1 result\n", 0), 0u) << mr.errors;
        WriteText(inputs_ / "answer.json", mr.output);
        EXPECT_EQ(
            RunCommand({"/usr/bin/python3", "-m", "json.tool", (inputs_ / "answer.json")}).exitCode,
            0);

        auto series = Cli({"find", "127.0.0.1", p, "--aec", calledAe, "--level", "series", "--key",
                           "StudyInstanceUID=" + series_.study});
        EXPECT_EQ(series.exitCode, 0);
        EXPECT_NE(series.output.find("SeriesInstanceUID: " + series_.series + "\n"),
                  std::string::npos)
            << series.output;
        EXPECT_NE(series.output.find("1 result\n"), std::string::npos);

        auto images = Cli({"find", "127.0.0.1", p, "--aec", calledAe, "--level", "image", "--key",
                           "StudyInstanceUID=" + series_.study, "--key",
                           "SeriesInstanceUID=" + series_.series});
        EXPECT_EQ(images.exitCode, 0);
        EXPECT_NE(images.output.find("3 results\n"), std::string::npos) << images.output;
        for (std::size_t i = 2; i < instances_.size(); ++i)
            EXPECT_NE(images.output.find("SOPInstanceUID: " + instances_[i].sop + "\n"),
                      std::string::npos);
    }

    // Moves the generated study into the provider of this system and compares every file.
    void ExpectMoveBack(const std::string& calledAe, uint16_t port, TessalyScp& scp) {
        auto move = Cli({"move", "127.0.0.1", std::to_string(port), "--aec", calledAe, "--dest",
                         "TESSALY", "--key", "StudyInstanceUID=" + series_.study});
        EXPECT_EQ(move.exitCode, 0) << move.output << move.errors;
        EXPECT_NE(move.output.find("MOVE OK: final status 0x0000 (success: sub-operations "
                                   "complete without failures): 3 completed, 0 failed"),
                  std::string::npos)
            << move.output;
        for (std::size_t i = 2; i < instances_.size(); ++i) {
            SCOPED_TRACE(instances_[i].file.filename().string());
            const fs::path stored = scp.StoredOf(instances_[i]);
            ASSERT_TRUE(fs::exists(stored)) << stored;
            testsupport::ExpectSameDataSet(instances_[i].file, stored, inputs_);
        }
    }

    // A name wildcard, a date range, and both.
    void ExpectWorklist(const std::string& calledAe, uint16_t port) {
        const std::string p = std::to_string(port);
        auto doe =
            Cli({"worklist", "127.0.0.1", p, "--aec", calledAe, "--key", "PatientName=DOE*"});
        EXPECT_EQ(doe.exitCode, 0) << doe.errors;
        EXPECT_EQ(Count(doe.output, "PatientName: DOE^J"), 2u) << doe.output;
        EXPECT_NE(doe.output.find("2 results\nWORKLIST OK: final status 0x0000"),
                  std::string::npos);

        auto march = Cli({"worklist", "127.0.0.1", p, "--aec", calledAe, "--key",
                          "SPSStartDate=20240301-20240331", "--json"});
        EXPECT_EQ(march.exitCode, 0);
        EXPECT_EQ(Count(march.output, "\"00400100\":{\"vr\":\"SQ\",\"Value\":[{"), 2u)
            << march.output;
        EXPECT_NE(march.output.find("\"Alphabetic\":\"ROE^RICHARD\""), std::string::npos);
        EXPECT_NE(march.output.find("\"00400001\":{\"vr\":\"AE\",\"Value\":[\"CT01\"]}"),
                  std::string::npos);

        auto both = Cli({"worklist", "127.0.0.1", p, "--aec", calledAe, "--key", "PatientName=DOE*",
                         "--key", "SPSStartDate=20240301-20240331"});
        EXPECT_NE(both.output.find("PatientName: DOE^JOHN"), std::string::npos) << both.output;
        EXPECT_NE(both.output.find("Modality: CT\nScheduledStationAET: CT01\n"), std::string::npos);
        EXPECT_NE(both.output.find("\n1 result\n"), std::string::npos);
    }

    testsupport::TempDir inputsDir_;
    fs::path inputs_ = inputsDir_.Path();
    std::vector<Instance> instances_;  // two pydicom files, then one generated series
    Instance series_;                  // one of the generated series
};

}  // namespace

TEST_F(QueryInterop, DcmqrscpAtEachLevelAndMovingAStudyBack) {
    TessalyScp scp;
    ASSERT_TRUE(scp.Ready());
    const testsupport::Dcmqrscp archive({{"TESSALY", scp.Port()}});
    ASSERT_TRUE(archive.Ready()) << archive.Output();
    const uint16_t port = archive.Port();
    Fill("ARCHIVE", port);
    ExpectQueries("ARCHIVE", port);
    ExpectMoveBack("ARCHIVE", port, scp);

    auto unknown = Cli({"move", "127.0.0.1", std::to_string(port), "--aec", "ARCHIVE", "--dest",
                        "NOWHERE", "--key", "StudyInstanceUID=" + series_.study});
    EXPECT_EQ(unknown.exitCode, 1);
    EXPECT_NE(unknown.errors.find("MOVE failed: final status 0xA801 (refused: move destination "
                                  "unknown)"),
              std::string::npos)
        << unknown.errors;
}

// C-GET brings the instances back on our own association, into a folder laid out as the
// provider lays it out: the generated study whole, then one image of the CT file by its UIDs.
TEST_F(QueryInterop, DcmqrscpSendsAStudyAndAnImageOnOurGetAssociation) {
    const testsupport::Dcmqrscp archive;
    ASSERT_TRUE(archive.Ready()) << archive.Output();
    const std::string port = std::to_string(archive.Port());
    Fill("ARCHIVE", archive.Port());
    const fs::path work = inputs_ / "get";
    fs::create_directories(work);
    const auto Get = [&](std::vector<std::string> keys) {
        std::vector<std::string> argv = {
            testsupport::CliPath(), "get", "127.0.0.1", port, "images", "--aec", "ARCHIVE"};
        argv.insert(argv.end(), keys.begin(), keys.end());
        return RunCommand(argv, {}, work);
    };
    const auto Stored = [&](const Instance& i) {
        return work / "images" / i.study / i.series / (i.sop + ".dcm");
    };

    auto study = Get({"--key", "StudyInstanceUID=" + series_.study});
    EXPECT_EQ(study.exitCode, 0) << study.output << study.errors;
    EXPECT_NE(study.output.find("GET OK: final status 0x0000 (success: sub-operations complete "
                                "without failures): 3 completed, 0 failed"),
              std::string::npos)
        << study.output;
    EXPECT_NE(study.output.find("3 stored in images"), std::string::npos);
    EXPECT_NE(study.output.find("pending: 2 remaining, 1 completed, 0 failed, 0 warning; 1 "
                                "received\n"),
              std::string::npos);
    for (std::size_t i = 2; i < instances_.size(); ++i) {
        SCOPED_TRACE(instances_[i].file.filename().string());
        ASSERT_TRUE(fs::exists(Stored(instances_[i])));
        testsupport::ExpectSameDataSet(instances_[i].file, Stored(instances_[i]), inputs_);
    }
    EXPECT_TRUE(fs::exists(work / "Database" / "LXStudy.dir"));

    const Instance& ct = instances_[0];
    auto image = Get({"--level", "image", "--key", "StudyInstanceUID=" + ct.study, "--key",
                      "SeriesInstanceUID=" + ct.series, "--key", "SOPInstanceUID=" + ct.sop});
    EXPECT_EQ(image.exitCode, 0) << image.output << image.errors;
    EXPECT_NE(image.output.find("1 completed, 0 failed"), std::string::npos) << image.output;
    ASSERT_TRUE(fs::exists(Stored(ct)));
    testsupport::ExpectSameDataSet(ct.file, Stored(ct), inputs_);
    EXPECT_FALSE(fs::exists(Stored(instances_[1])));  // the MR study was not asked for

    // A class beyond the provider's standard ones: dcmqrscp's C-FIND does not say which class
    // an instance is, so the retrieve cannot propose our role for it and says why.
    const Instance plan = Describe(testsupport::PydicomTestFiles() / "rtplan.dcm");
    const auto fill = RunCommand(
        {"storescu", "-aec", "ARCHIVE", "127.0.0.1", port, plan.file.string()}, NO_DELAY);
    ASSERT_EQ(fill.exitCode, 0) << fill.output << fill.errors;
    auto rt = Get({"--key", "StudyInstanceUID=" + plan.study});
    EXPECT_EQ(rt.exitCode, 1) << rt.output << rt.errors;
    EXPECT_NE(rt.errors.find("warning: the peer's C-FIND names no SOP Class UID for the "
                             "instances asked for: only the standard storage classes were "
                             "proposed (give others with --classes)"),
              std::string::npos)
        << rt.errors;
    auto chosen = Get(
        {"--key", "StudyInstanceUID=" + plan.study, "--classes", "1.2.840.10008.5.1.4.1.1.481.5"});
    EXPECT_EQ(chosen.exitCode, 0) << chosen.output << chosen.errors;
    EXPECT_TRUE(fs::exists(Stored(plan)));

    // Patient Root names the patient above the study and series: without its ID the command
    // says what is missing before it connects; with it the series comes whole.
    const std::vector<std::string> seriesKeys = {"--root",  "patient",
                                                 "--level", "series",
                                                 "--key",   "StudyInstanceUID=" + series_.study,
                                                 "--key",   "SeriesInstanceUID=" + series_.series};
    auto nameless = Get(seriesKeys);
    EXPECT_EQ(nameless.exitCode, 2);
    EXPECT_NE(nameless.errors.find("a Patient Root retrieve names the patient of what it asks "
                                   "for: add --key PatientID=ID"),
              std::string::npos)
        << nameless.errors;
    fs::remove_all(work / "images");
    std::vector<std::string> named = seriesKeys;
    named.insert(named.end(), {"--key", "PatientID=" + series_.patient});
    auto patient = Get(named);
    EXPECT_EQ(patient.exitCode, 0) << patient.output << patient.errors;
    EXPECT_NE(patient.output.find("3 completed, 0 failed"), std::string::npos) << patient.output;
    for (std::size_t i = 2; i < instances_.size(); ++i)
        EXPECT_TRUE(fs::exists(Stored(instances_[i]))) << instances_[i].file;
}

TEST_F(QueryInterop, WlmscpfsWithANameWildcardAndADateRange) {
    const testsupport::Wlmscpfs provider(WORKLIST);
    ASSERT_TRUE(provider.Ready()) << provider.Output();
    ExpectWorklist("WLM", provider.Port());

    // A procedure step created from the worklist carries what its entry scheduled.
    using namespace nettest;
    ScriptedScp ris([](std::size_t, const Bytes& command) {
        const ElementList c = ParseImplicit(command);
        return CommandBytes({{0x0002, Uid("1.2.840.10008.3.1.2.3.3")},
                             {0x0100, Le16(0x8140)},
                             {0x0120, Le16(data::GetTagUS(c, tag::MessageID))},
                             {0x0800, Le16(0x0101)},
                             {0x0900, Le16(0)}});
    });
    auto created =
        Cli({"mpps", "127.0.0.1", ris.Port(), "create", "--from-worklist", "127.0.0.1",
             std::to_string(provider.Port()), "--worklist-aec", "WLM", "--key", "PatientID=P2"});
    ris.Join();
    EXPECT_EQ(created.exitCode, 0) << created.errors;
    ASSERT_EQ(ris.dataSets.size(), 1u) << created.errors;
    const Bytes& step = ris.dataSets[0].data;
    auto text = [](uint16_t group, uint16_t element, std::string value) {
        if (value.size() % 2 != 0) value += ' ';
        return ImplicitElement(group, element, Bytes(value.begin(), value.end()));
    };
    for (const Bytes& part :
         {text(0x0008, 0x0060, "MR"), text(0x0010, 0x0010, "DOE^JANE"), text(0x0010, 0x0020, "P2"),
          text(0x0008, 0x0050, "AP2"), text(0x0040, 0x0009, "SP2"), text(0x0040, 0x1001, "RP2"),
          text(0x0032, 0x1060, "PROCEDURE"), text(0x0040, 0x0007, "STEP"),
          ImplicitElement(0x0020, 0x000D, Uid("1.2.826.0.1.3680043.2.7251.1.2"))})
        EXPECT_NE(std::search(step.begin(), step.end(), part.begin(), part.end()), step.end());

    auto none = Cli({"mpps", "127.0.0.1", "1", "create", "--from-worklist", "127.0.0.1",
                     std::to_string(provider.Port()), "--worklist-aec", "WLM", "--key",
                     "PatientID=NOBODY"});
    EXPECT_EQ(none.exitCode, 1);
    EXPECT_NE(none.errors.find("holds no entry for the keys"), std::string::npos) << none.errors;
}

TEST_F(QueryInterop, OrthancQueriesMovesAndItsWorklistPlugin) {
    const fs::path plugin = "/usr/share/orthanc/plugins/libModalityWorklists.so";
    if (!fs::exists("/usr/sbin/Orthanc") || !fs::exists(plugin))
        GTEST_SKIP() << "Orthanc or its worklist plugin is missing";
    TessalyScp scp;
    ASSERT_TRUE(scp.Ready());
    testsupport::TempDir work;
    ASSERT_EQ(testsupport::WriteWorklist(work / "worklist", WORKLIST), "");
    const uint16_t port = testsupport::FreePort();
    const uint16_t http = testsupport::FreePort();
    const std::string storage = (work / "storage").string();
    WriteText(work / "orthanc.json",
              "{\"Name\": \"TESSALY-TEST\", \"DicomAet\": \"ORTHANC\",\n"
              " \"DicomPort\": " +
                  std::to_string(port) + ", \"HttpPort\": " + std::to_string(http) +
                  ",\n \"StorageDirectory\": \"" + storage + "\", \"IndexDirectory\": \"" +
                  storage +
                  "\",\n \"RemoteAccessAllowed\": false,\n"
                  " \"DicomAlwaysAllowFind\": true, \"DicomAlwaysAllowMove\": true,\n"
                  " \"DicomAlwaysAllowGet\": true,\n"
                  " \"DicomAlwaysAllowFindWorklist\": true, \"DicomAlwaysAllowStore\": true,\n"
                  " \"DicomModalities\": {\"tessaly\": [\"TESSALY\", \"127.0.0.1\", " +
                  std::to_string(scp.Port()) + "]},\n \"Plugins\": [\"" + plugin.string() +
                  "\"],\n \"Worklists\": {\"Enable\": true, \"Database\": \"" +
                  (work / "worklist").string() + "\"}}\n");
    testsupport::BackgroundProcess orthanc({"/usr/sbin/Orthanc", (work / "orthanc.json").string()},
                                           work.Path());
    ASSERT_TRUE(testsupport::WaitForListener(port, 30000)) << orthanc.Output();
    Fill("ORTHANC", port);
    ExpectQueries("ORTHANC", port);
    ExpectMoveBack("ORTHANC", port, scp);
    ExpectWorklist("ORTHANC", port);

    // Orthanc's C-GET provider sends the generated study on our own association, and nothing
    // else (it sends every study for an identifier with a zero-length Accession Number).
    auto get =
        RunCommand({testsupport::CliPath(), "get", "127.0.0.1", std::to_string(port), "images",
                    "--aec", "ORTHANC", "--key", "StudyInstanceUID=" + series_.study},
                   {}, work.Path());
    EXPECT_EQ(get.exitCode, 0) << get.output << get.errors;
    EXPECT_NE(get.output.find(": 3 completed, 0 failed"), std::string::npos) << get.output;
    for (std::size_t i = 2; i < instances_.size(); ++i) {
        const Instance& got = instances_[i];
        testsupport::ExpectSameDataSet(
            got.file, work / "images" / got.study / got.series / (got.sop + ".dcm"), inputs_);
    }
    // And at series and image level, into folders of their own.
    const Instance& image = instances_[2];
    for (const auto& [folder, keys] : std::vector<std::pair<std::string, std::vector<std::string>>>{
             {"series",
              {"--level", "series", "--key", "StudyInstanceUID=" + series_.study, "--key",
               "SeriesInstanceUID=" + series_.series}},
             {"image",
              {"--level", "image", "--key", "StudyInstanceUID=" + image.study, "--key",
               "SeriesInstanceUID=" + image.series, "--key", "SOPInstanceUID=" + image.sop}}}) {
        SCOPED_TRACE(folder);
        std::vector<std::string> argv = {testsupport::CliPath(),
                                         "get",
                                         "127.0.0.1",
                                         std::to_string(port),
                                         folder,
                                         "--aec",
                                         "ORTHANC"};
        argv.insert(argv.end(), keys.begin(), keys.end());
        const auto level = RunCommand(argv, {}, work.Path());
        EXPECT_EQ(level.exitCode, 0) << level.output << level.errors;
        const std::size_t expected = folder == "series" ? 3 : 1;
        EXPECT_NE(level.output.find(": " + std::to_string(expected) + " completed, 0 failed"),
                  std::string::npos)
            << level.output;
        for (std::size_t i = 2; i < instances_.size(); ++i) {
            const Instance& got = instances_[i];
            const fs::path stored = work / folder / got.study / got.series / (got.sop + ".dcm");
            if (folder == "image" && got.sop != image.sop) {
                EXPECT_FALSE(fs::exists(stored));
                continue;
            }
            testsupport::ExpectSameDataSet(got.file, stored, inputs_);
        }
    }
    // A class beyond the provider's standard ones: Orthanc's image-level C-FIND names it, so
    // the retrieve proposes our role for it without --classes.
    const Instance plan = Describe(testsupport::PydicomTestFiles() / "rtplan.dcm");
    const auto fill = RunCommand(
        {"storescu", "-aec", "ORTHANC", "127.0.0.1", std::to_string(port), plan.file.string()},
        NO_DELAY);
    ASSERT_EQ(fill.exitCode, 0) << fill.output << fill.errors;
    auto rt = RunCommand({testsupport::CliPath(), "get", "127.0.0.1", std::to_string(port),
                          "images", "--aec", "ORTHANC", "--key", "StudyInstanceUID=" + plan.study},
                         {}, work.Path());
    EXPECT_EQ(rt.exitCode, 0) << rt.output << rt.errors;
    EXPECT_NE(rt.output.find(": 1 completed, 0 failed"), std::string::npos) << rt.output;
    testsupport::ExpectSameDataSet(
        plan.file, work / "images" / plan.study / plan.series / (plan.sop + ".dcm"), inputs_);

    // Orthanc answers every C-MOVE failure with 0xC000.
    auto unknown = Cli({"move", "127.0.0.1", std::to_string(port), "--aec", "ORTHANC", "--dest",
                        "NOWHERE", "--key", "StudyInstanceUID=" + series_.study});
    EXPECT_EQ(unknown.exitCode, 1);
    EXPECT_NE(unknown.errors.find("0xC000 (failed: unable to process)"), std::string::npos)
        << unknown.errors;
}
