// tessaly-cli probe against real peers whose configuration each test writes: the report is
// compared with what each peer was told to accept. Timings and ports vary from run to run and
// are masked before the reports are compared with the golden ones.
#include <gtest/gtest.h>

#include <cctype>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/Peers.h"
#include "support/TestSupport.h"

namespace fs = std::filesystem;
using testsupport::RunCommand;

namespace {

#define REQUIRE_TOOL(name) \
    if (!testsupport::ToolAvailable(name)) GTEST_SKIP() << name << " is not installed"

testsupport::CommandResult Probe(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {testsupport::CliPath(), "probe"};
    argv.insert(argv.end(), args.begin(), args.end());
    return RunCommand(argv);
}

void ReplaceAll(std::string& text, const std::string& from, const std::string& to) {
    for (std::size_t at = text.find(from); at != std::string::npos;
         at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
}

// Timings, ports and the date become fixed words (without std::regex, which GCC 12's
// sanitizer build warns about falsely).
std::string Masked(std::string text, const std::vector<uint16_t>& ports) {
    for (const uint16_t port : ports)
        ReplaceAll(text, std::to_string(port), "PORT");
    for (std::size_t at = text.find(" ms"); at != std::string::npos; at = text.find(" ms", at)) {
        std::size_t from = at;
        while (from > 0 && (std::isdigit(static_cast<unsigned char>(text[from - 1])) != 0 ||
                            text[from - 1] == '.'))
            --from;
        if (from < at) {
            text.replace(from, at - from, "T");
            at = from + 1;
        }
        at += 3;
    }
    const std::size_t today = text.find("today (");
    if (today != std::string::npos) text.replace(today + 7, 8, "DATE");
    return text;
}

// Compares with the golden file; TESSALY_UPDATE_GOLDEN=1 writes it instead.
void ExpectGolden(const std::string& text, const std::string& name) {
    const fs::path golden = testsupport::SourceDir() / "tests/cli/interop/golden" / name;
    if (std::getenv("TESSALY_UPDATE_GOLDEN") != nullptr) std::ofstream(golden) << text;
    EXPECT_EQ(text, testsupport::ReadFileText(golden)) << name;
}

// The line of a report that starts with the item (after its indent).
std::string LineOf(const std::string& report, const std::string& item) {
    const std::size_t at = report.find("\n  " + item + " ");
    if (at == std::string::npos) return "<no line for " + item + ">";
    return report.substr(at + 3, report.find('\n', at + 1) - at - 3);
}

fs::path CtFile() {
    return testsupport::PydicomTestFiles() / "CT_small.dcm";
}

}  // namespace

TEST(ProbeInterop, StorescpWithAProfileThatTakesSomeClassesAndSyntaxes) {
    REQUIRE_TOOL("storescp");
    testsupport::TempDir dir;
    // CT in explicit and implicit VR little endian, MR in JPEG lossless only, and verification.
    std::ofstream(dir / "profile.cfg")
        << "[[TransferSyntaxes]]\n[Plain]\nTransferSyntax1 = 1.2.840.10008.1.2.1\n"
           "TransferSyntax2 = 1.2.840.10008.1.2\n[Lossless]\nTransferSyntax1 = "
           "1.2.840.10008.1.2.4.70\n[[PresentationContexts]]\n[Some]\n"
           "PresentationContext1 = 1.2.840.10008.1.1\\Plain\n"
           "PresentationContext2 = 1.2.840.10008.5.1.4.1.1.2\\Plain\n"
           "PresentationContext3 = 1.2.840.10008.5.1.4.1.1.4\\Lossless\n"
           "[[Profiles]]\n[Probe]\nPresentationContexts = Some\n";
    const uint16_t port = testsupport::FreePort();
    testsupport::BackgroundProcess peer(
        {"storescp", "--config-file", (dir / "profile.cfg").string(), "Probe", "-od",
         dir.Path().string(), std::to_string(port)},
        dir.Path(), testsupport::NO_DELAY);
    ASSERT_TRUE(testsupport::WaitForListener(port)) << peer.Output();

    const auto text =
        Probe({"127.0.0.1", std::to_string(port), "--aet", "PROBE", "--aec", "STORESCP"});
    EXPECT_EQ(text.exitCode, 0) << text.errors;
    const std::string report = Masked(text.output, {port});
    ExpectGolden(report, "probe_storescp.txt");
    // What the profile says, whatever the golden file holds.
    EXPECT_NE(LineOf(report, "CT Image Storage")
                  .find("works        x  x  .  .  .  .  .  .  .  .  .  .  .  .  .  ."),
              std::string::npos);
    EXPECT_NE(LineOf(report, "MR Image Storage").find("works        .  .  .  .  .  .  .  .  x  ."),
              std::string::npos);
    EXPECT_NE(LineOf(report, "Segmentation Storage")
                  .find("not offered  .  .  .  .  .  .  .  .  .  .  .  .  .  .  .  .  .  .  .  "
                        "abstract syntax not supported: the peer does not offer this SOP class"),
              std::string::npos);

    const auto json = Probe({"127.0.0.1", std::to_string(port), "--aet", "PROBE", "--aec",
                             "STORESCP", "--json", "--html", (dir / "report.html").string()});
    EXPECT_EQ(json.exitCode, 0);
    EXPECT_NE(json.output.find("{\"item\": \"CT Image Storage\", \"uid\": "
                               "\"1.2.840.10008.5.1.4.1.1.2\", \"verdict\": \"works\", \"detail\": "
                               "\"\", \"syntaxes\": {\"1.2.840.10008.1.2\": 0, "
                               "\"1.2.840.10008.1.2.1\": 0, \"1.2.840.10008.1.2.2\": 4"),
              std::string::npos)
        << json.output;
    const std::string html = testsupport::ReadFileText(dir / "report.html");
    EXPECT_EQ(html.rfind("<!DOCTYPE html>", 0), 0u);
    EXPECT_EQ(html.find("<script"), std::string::npos);
    EXPECT_EQ(html.find("src="), std::string::npos);  // nothing fetched from elsewhere
    EXPECT_NE(html.find("<td class=\"works\">&#10003;</td>"), std::string::npos);
    peer.Stop();
}

TEST(ProbeInterop, DcmqrscpRefusesAnUnknownCalledTitleAndMovesOnlyToKnownDestinations) {
    REQUIRE_TOOL("dcmqrscp");
    if (testsupport::PydicomTestFiles().empty()) GTEST_SKIP() << "needs pydicom's files";
    const uint16_t receive = testsupport::FreePort();
    {
        testsupport::Dcmqrscp archive({{"PROBE", receive}});
        ASSERT_TRUE(archive.Ready()) << archive.Output();
        ASSERT_EQ(archive.Fill({CtFile()}), "");
        const std::string port = std::to_string(archive.Port());

        const auto wrong = Probe({"127.0.0.1", port, "--aet", "PROBE", "--aec", "WRONG"});
        EXPECT_EQ(wrong.exitCode, 1);
        EXPECT_NE(wrong.output.find("Connection      refused      rejected permanently by the "
                                    "peer's application: called AE title not recognised: the "
                                    "peer does not know the called title WRONG; ask for its AE "
                                    "title and call it by that"),
                  std::string::npos)
            << wrong.output;
        EXPECT_NE(wrong.output.find("Storage         failed       no association (see "
                                    "Connection)"),
                  std::string::npos);

        const auto moved = Probe({"127.0.0.1", port, "--aet", "PROBE", "--aec", "ARCHIVE",
                                  "--move-dest", "PROBE", "--receive", std::to_string(receive)});
        EXPECT_EQ(moved.exitCode, 0) << moved.errors;
        EXPECT_NE(moved.output.find("Retrieve path   works        one instance moved to PROBE "
                                    "arrived in"),
                  std::string::npos)
            << moved.output;
        EXPECT_NE(LineOf(moved.output, "STUDY level").find("works        1 record; filled: "),
                  std::string::npos);
    }
    testsupport::Dcmqrscp archive;
    ASSERT_TRUE(archive.Ready()) << archive.Output();
    ASSERT_EQ(archive.Fill({CtFile()}), "");
    const auto unknown =
        Probe({"127.0.0.1", std::to_string(archive.Port()), "--aet", "PROBE", "--aec", "ARCHIVE",
               "--move-dest", "PROBE", "--receive", std::to_string(receive)});
    EXPECT_NE(unknown.output.find("Retrieve path   failed       status 0xA801 (refused: move "
                                  "destination unknown): add PROBE to the peer's nodes with this "
                                  "machine's address and port " +
                                  std::to_string(receive) + "\n"),
              std::string::npos)
        << unknown.output;
}

TEST(ProbeInterop, DcmqrscpWithMoreStudiesThanTheProbeReadsIsToldToStop) {
    REQUIRE_TOOL("dcmqrscp");
    REQUIRE_TOOL("dcmodify");
    if (testsupport::PydicomTestFiles().empty()) GTEST_SKIP() << "needs pydicom's files";
    testsupport::TempDir dir;
    std::vector<std::string> modify = {"dcmodify", "-nb", "-gst", "-gse", "-gin"};
    std::vector<fs::path> studies;
    for (int i = 0; i < 8; ++i) {
        studies.push_back(dir / ("ct" + std::to_string(i) + ".dcm"));
        fs::copy_file(CtFile(), studies.back());
        modify.push_back(studies.back().string());
    }
    ASSERT_EQ(RunCommand(modify).exitCode, 0);
    testsupport::Dcmqrscp archive;
    ASSERT_TRUE(archive.Ready()) << archive.Output();
    ASSERT_EQ(archive.Fill(studies), "");

    const fs::path log = dir / "trace.log";
    const auto run =
        RunCommand({testsupport::CliPath(), "--log", log.string(), "probe", "127.0.0.1",
                    std::to_string(archive.Port()), "--aet", "PROBE", "--aec", "ARCHIVE"});
    EXPECT_EQ(run.exitCode, 0) << run.errors;
    EXPECT_NE(LineOf(run.output, "STUDY level").find("works        5 records; filled: "),
              std::string::npos)
        << run.output;
    // Only the study level holds more than five: its query is cancelled and read to its final
    // response (cancelled, or complete when the peer had sent everything before it saw the
    // cancel); then the association is released, not aborted.
    const std::string trace = testsupport::ReadFileText(log);
    const std::size_t cancel = trace.find("C-CANCEL-RQ sent\r\n");
    ASSERT_NE(cancel, std::string::npos) << trace;
    EXPECT_EQ(trace.find("C-CANCEL-RQ", cancel + 1), std::string::npos);
    const std::string final = trace.substr(trace.find("C-FIND-RSP: ", cancel) + 12, 6);
    EXPECT_TRUE(final == "0xFE00" || final == "0x0000") << trace;
    EXPECT_EQ(trace.find("abort"), std::string::npos) << trace;
    // Errors of the archive's other than those of storage associations it answers too late.
    std::istringstream lines(archive.Output());
    for (std::string line; std::getline(lines, line);)
        EXPECT_TRUE(line.rfind("E: ", 0) != 0 || line.find("Association Reject Failed") == 3)
            << line;
}

TEST(ProbeInterop, WlmscpfsCountsTodaysEntriesOnly) {
    REQUIRE_TOOL("wlmscpfs");
    REQUIRE_TOOL("dump2dcm");
    const std::time_t now = std::time(nullptr);
    char today[16];
    std::strftime(today, sizeof today, "%Y%m%d", std::localtime(&now));
    testsupport::Wlmscpfs worklist(
        {{"DOE^JANE", "P1", today, "CT"}, {"ROE^JOHN", "P2", "20200101", "MR"}});
    ASSERT_TRUE(worklist.Ready()) << worklist.Output();
    const auto run = Probe({"127.0.0.1", std::to_string(worklist.Port()), "--aec", "WLM"});
    EXPECT_EQ(run.exitCode, 0) << run.errors;
    EXPECT_NE(run.output.find("Worklist        works        1 entry for today (" +
                              std::string(today) + ")\n"),
              std::string::npos)
        << run.output;
    EXPECT_NE(run.output.find("Query/retrieve  not offered  the peer offers no query/retrieve "
                              "model"),
              std::string::npos);
}

TEST(ProbeInterop, DcmprscpTellsItsStatusAndName) {
    REQUIRE_TOOL("dcmprscp");
    testsupport::Dcmprscp printer;
    ASSERT_TRUE(printer.Ready()) << printer.Output();
    const auto run =
        Probe({"127.0.0.1", std::to_string(printer.Port()), "--aec", "PRINTER", "--json"});
    EXPECT_EQ(run.exitCode, 0) << run.errors;
    EXPECT_NE(run.output.find("{\"name\": \"Print\", \"verdict\": \"works\", \"detail\": \"Basic "
                              "Grayscale Print accepted\",\n     \"facts\": {\"printer status\": "
                              "\"NORMAL\""),
              std::string::npos)
        << run.output;
    EXPECT_NE(run.output.find("{\"name\": \"Storage\", \"verdict\": \"not offered\""),
              std::string::npos);
}

TEST(ProbeInterop, OrthancWithItsWorklistPluginAndAMoveBack) {
    const fs::path plugin = "/usr/share/orthanc/plugins/libModalityWorklists.so";
    if (!fs::exists("/usr/sbin/Orthanc") || !fs::exists(plugin))
        GTEST_SKIP() << "Orthanc or its worklist plugin is missing";
    if (testsupport::PydicomTestFiles().empty()) GTEST_SKIP() << "needs pydicom's files";
    testsupport::TempDir work;
    const std::time_t now = std::time(nullptr);
    char today[16];
    std::strftime(today, sizeof today, "%Y%m%d", std::localtime(&now));
    ASSERT_EQ(testsupport::WriteWorklist(work / "worklist", {{"DOE^JANE", "P1", today, "CT"},
                                                             {"ROE^JOHN", "P2", "20200101", "MR"}}),
              "");
    const uint16_t port = testsupport::FreePort(), http = testsupport::FreePort(),
                   receive = testsupport::FreePort();
    const std::string storage = (work / "storage").string();
    std::ofstream(work / "orthanc.json")
        << "{\"Name\": \"PROBE-TEST\", \"DicomAet\": \"ORTHANC\", \"DicomPort\": " << port
        << ", \"HttpPort\": " << http << ",\n \"StorageDirectory\": \"" << storage
        << "\", \"IndexDirectory\": \"" << storage
        << "\", \"RemoteAccessAllowed\": false,\n \"DicomAlwaysAllowFind\": true, "
           "\"DicomAlwaysAllowMove\": true, \"DicomAlwaysAllowFindWorklist\": true,\n"
           " \"DicomAlwaysAllowStore\": true, \"DicomModalities\": {\"probe\": [\"PROBE\", "
           "\"127.0.0.1\", "
        << receive << "]},\n \"Plugins\": [\"" << plugin.string()
        << "\"], \"Worklists\": {\"Enable\": true, \"Database\": \"" << (work / "worklist").string()
        << "\"}}\n";
    testsupport::BackgroundProcess orthanc({"/usr/sbin/Orthanc", (work / "orthanc.json").string()},
                                           work.Path());
    ASSERT_TRUE(testsupport::WaitForListener(port, 30000)) << orthanc.Output();
    const auto run = Probe({"127.0.0.1", std::to_string(port), "--aet", "PROBE", "--aec", "ORTHANC",
                            "--store-test", CtFile().string(), "--move-dest", "PROBE", "--receive",
                            std::to_string(receive), "--json"});
    EXPECT_EQ(run.exitCode, 0) << run.errors;
    std::string json = Masked(run.output, {port, receive});
    ReplaceAll(json, CtFile().string(), "CT_small.dcm");
    const std::string key = "\"peer implementation\": \"";
    if (const std::size_t at = json.find(key); at != std::string::npos)
        json.replace(at + key.size(), json.find('"', at + key.size()) - at - key.size(), "ORTHANC");
    ExpectGolden(json, "probe_orthanc.json");
    orthanc.Stop();
}

// With --store-test the instance is fetched back by a C-GET on our own association and then
// committed; our own provider reports the commitment on the requestor's association. A provider
// that refuses both is reported in its statuses' words. The folder the instance comes back into
// is gone afterwards.
TEST(ProbeInterop, OurProviderGivesTheTestInstanceBackAndCommitsIt) {
    if (testsupport::PydicomTestFiles().empty()) GTEST_SKIP() << "needs pydicom's files";
    testsupport::TempDir dir;
    fs::create_directories(dir / "tmp");
    auto probe = [&](const std::string& images, const std::vector<std::string>& faults) {
        const uint16_t port = testsupport::FreePort();
        std::vector<std::string> scp = {testsupport::CliPath(),  "scp",     std::to_string(port),
                                        (dir / images).string(), "--query", "--commit"};
        scp.insert(scp.end(), faults.begin(), faults.end());
        testsupport::BackgroundProcess provider(scp, dir.Path());
        EXPECT_TRUE(testsupport::WaitForListener(port)) << provider.Output();
        const auto run =
            RunCommand({testsupport::CliPath(), "probe", "127.0.0.1", std::to_string(port), "--aet",
                        "PROBE", "--aec", "TESSALY", "--store-test", CtFile().string()},
                       {"TMPDIR=" + (dir / "tmp").string()});
        EXPECT_EQ(run.exitCode, 0) << run.errors;
        EXPECT_TRUE(fs::is_empty(dir / "tmp"));
        return Masked(run.output, {port});
    };
    const std::string good = probe("good", {});
    EXPECT_NE(LineOf(good, "Study Root GET of the test instance")
                  .find("works        it came back on our association in T ms: the same data set "
                        "as the file sent"),
              std::string::npos)
        << good;
    EXPECT_NE(LineOf(good, "commit of the test instance")
                  .find("works        committed in T ms, the report on our association"),
              std::string::npos)
        << good;
    EXPECT_NE(good.find("\nWorkflow        works        Storage Commitment Push Model accepted\n"),
              std::string::npos);

    const std::string bad =
        probe("bad", {"--status", "C-GET=0xA701", "--status", "N-ACTION=0x0110"});
    EXPECT_NE(LineOf(bad, "Study Root GET of the test instance").find("failed       status 0xA701"),
              std::string::npos)
        << bad;
    EXPECT_NE(LineOf(bad, "commit of the test instance")
                  .find("failed       the archive refused the request: status 0x0110"),
              std::string::npos)
        << bad;
    EXPECT_NE(bad.find("\nWorkflow        failed       Storage Commitment Push Model accepted; "
                       "commit of the test instance failed\n"),
              std::string::npos);
}
