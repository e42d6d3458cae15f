// tessaly-cli scp --query --worklist as the archive and the worklist broker of a device under
// test: DCMTK's findscu asks it at every level of both models and for worklist items, and our
// own requestor asks it once.
#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <string>
#include <vector>

#include "support/Peers.h"
#include "support/TestSupport.h"

namespace fs = std::filesystem;
using testsupport::RunCommand;

namespace {

struct Stored {
    const char *patientId, *name, *study, *date, *series, *modality, *sop;
};

std::size_t Count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

class QueryProviderInterop : public testing::Test {
  protected:
    void SetUp() override {
        for (const char* tool : {"findscu", "storescu", "dump2dcm"})
            if (!testsupport::ToolAvailable(tool)) GTEST_SKIP() << tool << " (DCMTK) is missing";
        std::vector<std::string> store = {"storescu", "-aec", "TESSALY", "127.0.0.1"};
        std::vector<std::string> files;
        for (const Stored& s :
             std::vector<Stored>{{"P1", "DOE^JOHN", "1.1", "20240105", "1.1.1", "CT", "1.1.1.1"},
                                 {"P1", "DOE^JOHN", "1.1", "20240105", "1.1.1", "CT", "1.1.1.2"},
                                 {"P1", "DOE^JOHN", "1.2", "20240320", "1.2.1", "MR", "1.2.1.1"},
                                 {"P2", "ROE^JANE", "1.3", "20231201", "1.3.1", "US", "1.3.1.1"}}) {
            const fs::path dump = work_ / (std::string(s.sop) + ".dump");
            std::ofstream(dump) << "(0008,0016) UI =SecondaryCaptureImageStorage\n"
                                << "(0008,0018) UI [" << s.sop << "]\n(0008,0020) DA [" << s.date
                                << "]\n(0008,0060) CS [" << s.modality << "]\n(0010,0010) PN ["
                                << s.name << "]\n(0010,0020) LO [" << s.patientId
                                << "]\n(0020,000d) UI [" << s.study << "]\n(0020,000e) UI ["
                                << s.series << "]\n";
            files.push_back((work_ / (std::string(s.sop) + ".dcm")).string());
            ASSERT_EQ(RunCommand({"dump2dcm", dump.string(), files.back()}).exitCode, 0);
        }
        const std::string written = testsupport::WriteWorklist(
            work_ / "worklist",
            {{"DOE^JOHN", "P1", "20240105", "MR"}, {"ROE^JANE", "P2", "20240210", "CT"}});
        ASSERT_TRUE(written.empty()) << written;
        scp_ = Scp({"--query", "--worklist", (work_ / "worklist").string()});
        store.push_back(std::to_string(port_));
        store.insert(store.end(), files.begin(), files.end());
        const auto stored = RunCommand(store, testsupport::NO_DELAY);
        ASSERT_EQ(stored.exitCode, 0) << stored.output << stored.errors;
    }

    std::unique_ptr<testsupport::BackgroundProcess> Scp(std::vector<std::string> options) {
        port_ = testsupport::FreePort();
        std::vector<std::string> argv = {testsupport::CliPath(), "scp", std::to_string(port_),
                                         "images"};
        argv.insert(argv.end(), options.begin(), options.end());
        auto scp = std::make_unique<testsupport::BackgroundProcess>(argv, work_.Path());
        EXPECT_TRUE(testsupport::WaitForListener(port_)) << scp->Output();
        return scp;
    }

    // findscu -v with the model flag and keys; its output and errors together.
    std::string Findscu(const std::string& model, const std::vector<std::string>& keys) const {
        std::vector<std::string> argv = {"findscu", "-v", model, "-aec", "TESSALY"};
        for (const auto& key : keys) {
            argv.push_back("-k");
            argv.push_back(key);
        }
        argv.push_back("127.0.0.1");
        argv.push_back(std::to_string(port_));
        const auto found = RunCommand(argv, testsupport::NO_DELAY);
        return found.output + found.errors;
    }

    testsupport::TempDir work_;
    std::unique_ptr<testsupport::BackgroundProcess> scp_;
    uint16_t port_ = 0;
};

}  // namespace

// Each level of both models with a wildcard, a date range and a UID list: the number of
// matches, a value only the right match has, and a success at the end.
TEST_F(QueryProviderInterop, FindscuAtEveryLevel) {
    struct Case {
        std::string model;
        std::vector<std::string> keys;
        std::size_t matches;
        std::string shows;  // in findscu's dump of the responses
    };
    const std::vector<Case> cases = {
        {"-P", {"QueryRetrieveLevel=PATIENT", "PatientID", "PatientName=R*"}, 1, "[P2]"},
        {"-P",
         {"QueryRetrieveLevel=STUDY", "PatientID=P1", "StudyInstanceUID=1.2\\1.3", "StudyDate"},
         1,
         "[20240320]"},
        {"-S",
         {"QueryRetrieveLevel=STUDY", "StudyDate=20240101-", "StudyInstanceUID"},
         2,
         "UI [1.2"},
        {"-S", {"QueryRetrieveLevel=STUDY", "PatientName=DOE*", "ModalitiesInStudy"}, 2, "[MR]"},
        {"-S", {"QueryRetrieveLevel=SERIES", "StudyInstanceUID=1.1", "Modality"}, 1, "[CT]"},
        {"-P",
         {"QueryRetrieveLevel=SERIES", "PatientID=P*", "StudyInstanceUID=1.3", "SeriesInstanceUID"},
         1,
         "UI [1.3.1"},
        {"-S",
         {"QueryRetrieveLevel=IMAGE", "StudyInstanceUID=1.1", "SeriesInstanceUID=1.1.1",
          "SOPInstanceUID=1.1.1.1\\1.1.1.2\\9.9"},
         2,
         "UI [1.1.1.2"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.model + " " + c.keys[0] + " " + c.keys[1]);
        const std::string out = Findscu(c.model, c.keys);
        EXPECT_EQ(Count(out, "(Pending)"), c.matches) << out;
        EXPECT_NE(out.find(c.shows), std::string::npos) << out;
        EXPECT_NE(out.find("Received Final Find Response (Success)"), std::string::npos) << out;
    }
    const std::string unknown = Findscu("-S", {"QueryRetrieveLevel=SERIE"});
    EXPECT_NE(unknown.find("Final Find Response (Error: DataSetDoesNotMatchSOPClass)"),
              std::string::npos)
        << unknown;
    EXPECT_EQ(scp_->Stop(SIGTERM), 0);
    EXPECT_NE(scp_->Output().find("status 0xA900 (failed: identifier does not match the SOP "
                                  "class: Query/Retrieve Level \"SERIE\" is not STUDY, SERIES or "
                                  "IMAGE)"),
              std::string::npos)
        << scp_->Output();
}

// A worklist query on the step's keys answers the one item, its step nested with the keys asked
// for; our own requestors read the same provider.
TEST_F(QueryProviderInterop, WorklistAndOurOwnRequestors) {
    const std::string out =
        Findscu("-W", {"PatientName", "ScheduledProcedureStepSequence[0].Modality=MR",
                       "ScheduledProcedureStepSequence[0].ScheduledStationAETitle=MR*",
                       "ScheduledProcedureStepSequence[0].ScheduledProcedureStepStartDate="
                       "20240101-20240131"});
    EXPECT_EQ(Count(out, "(Pending)"), 1u) << out;
    const auto answer = out.rfind("Find Response: 1 (Pending)");
    ASSERT_NE(answer, std::string::npos) << out;
    EXPECT_NE(out.find("ScheduledProcedureStepSequence", answer), std::string::npos) << out;
    EXPECT_NE(out.find("CS [MR]", answer), std::string::npos) << out;
    EXPECT_NE(out.find("AE [MR01]", answer), std::string::npos) << out;

    const std::string port = std::to_string(port_);
    const auto find = RunCommand({testsupport::CliPath(), "find", "127.0.0.1", port, "--aec",
                                  "TESSALY", "--key", "PatientID=P1"});
    EXPECT_EQ(find.exitCode, 0) << find.errors;
    EXPECT_EQ(Count(find.output, "StudyInstanceUID: "), 2u) << find.output;
    const auto worklist = RunCommand({testsupport::CliPath(), "worklist", "127.0.0.1", port,
                                      "--aec", "TESSALY", "--key", "Modality=CT"});
    EXPECT_EQ(worklist.exitCode, 0) << worklist.errors;
    EXPECT_NE(worklist.output.find("PatientName: ROE^JANE"), std::string::npos) << worklist.output;
    EXPECT_NE(worklist.output.find("1 result"), std::string::npos) << worklist.output;
}

// --pending N: findscu counts N more pending responses than there are matches, and the line
// marks the fault.
TEST_F(QueryProviderInterop, ExtraPendingResponses) {
    scp_->Stop(SIGTERM);
    scp_ = Scp({"--query", "--pending", "3"});
    const std::string out = Findscu("-S", {"QueryRetrieveLevel=STUDY", "PatientID=P2"});
    EXPECT_EQ(Count(out, "(Pending)"), 4u) << out;
    EXPECT_NE(out.find("Received Final Find Response (Success)"), std::string::npos) << out;
    EXPECT_EQ(scp_->Stop(SIGTERM), 0);
    EXPECT_NE(scp_->Output().find("[fault: 3 extra pending responses]"), std::string::npos)
        << scp_->Output();
}

// Orthanc, from a configuration of this test's own, queries the provider as one of its
// modalities, lists the matching studies, and retrieves them into itself by C-MOVE.
TEST_F(QueryProviderInterop, OrthancQueriesTheProvider) {
    if (!testsupport::ToolAvailable("curl") || !fs::exists("/usr/sbin/Orthanc"))
        GTEST_SKIP() << "needs Orthanc and curl";
    const uint16_t httpPort = testsupport::FreePort();
    const uint16_t dicomPort = testsupport::FreePort();
    std::ofstream(work_ / "nodes.txt") << "ORTHANC 127.0.0.1 " << dicomPort << "\n";
    scp_->Stop();
    scp_ = Scp({"--query", "--nodes", "nodes.txt"});
    const fs::path config = work_ / "orthanc.json";
    std::ofstream(config) << "{\"Name\": \"TESSALY-TEST\", \"StorageDirectory\": \""
                          << (work_ / "orthanc").string() << "\", \"IndexDirectory\": \""
                          << (work_ / "orthanc").string()
                          << "\", \"DicomAet\": \"ORTHANC\", \"DicomPort\": " << dicomPort
                          << ", \"HttpPort\": " << httpPort
                          << ", \"RemoteAccessAllowed\": false, \"AuthenticationEnabled\": "
                             "false, \"Plugins\": [], \"DicomModalities\": {\"tessaly\": "
                             "[\"TESSALY\", \"127.0.0.1\", "
                          << port_ << "]}}\n";
    testsupport::BackgroundProcess orthanc({"/usr/sbin/Orthanc", config.string()}, work_.Path());
    ASSERT_TRUE(testsupport::WaitForListener(httpPort, 30000)) << orthanc.Output();
    const std::string rest = "http://127.0.0.1:" + std::to_string(httpPort);
    const auto query = RunCommand(
        {"curl", "-sS", "-X", "POST", rest + "/modalities/tessaly/query", "-d",
         R"({"Level": "Study", "Query": {"PatientName": "DOE*", "StudyDate": "20240101-"}})"});
    // Orthanc answers {"ID" : "...", "Path" : "/queries/..."}.
    const std::string key = "\"Path\" : \"";
    const std::size_t at = query.output.find(key);
    ASSERT_NE(at, std::string::npos) << query.output << query.errors << scp_->Output();
    const std::size_t from = at + key.size();
    const std::string path = query.output.substr(from, query.output.find('"', from) - from);
    const auto answers =
        RunCommand({"curl", "-sS", rest + path + "/answers?expand&simplify"}).output;
    EXPECT_EQ(Count(answers, "\"StudyInstanceUID\""), 2u) << answers;
    EXPECT_NE(answers.find("\"1.2\""), std::string::npos) << answers;

    // Both studies' three instances arrive in Orthanc through the provider's nodes file.
    const auto retrieved = RunCommand({"curl", "-sS", "-X", "POST", rest + path + "/retrieve", "-d",
                                       R"({"TargetAet": "ORTHANC", "Synchronous": true})"});
    EXPECT_EQ(retrieved.exitCode, 0) << retrieved.output << retrieved.errors;
    const auto instances = RunCommand({"curl", "-sS", rest + "/tools/find", "-d",
                                       R"({"Level": "Instance", "Query": {}, "Expand": true})"})
                               .output;
    EXPECT_EQ(Count(instances, "\"SOPInstanceUID\""), 3u) << instances << scp_->Output();
    for (const char* uid : {"\"1.1.1.1\"", "\"1.1.1.2\"", "\"1.2.1.1\""})
        EXPECT_NE(instances.find(uid), std::string::npos) << uid << instances;
    orthanc.Stop();
}
