// Names in other scripts through real providers, as an operator sees them with tessaly-cli: a
// worklist of wlmscpfs (DCMTK) holding a Japanese patient in ISO 2022 and a Russian one in
// ISO 8859-5, listed and as JSON in UTF-8; and a study query whose key goes in UTF-8 to an
// Orthanc that holds that patient.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "support/Peers.h"
#include "support/TestSupport.h"

namespace fs = std::filesystem;
using testsupport::RunCommand;

namespace {

testsupport::CommandResult Cli(std::vector<std::string> args) {
    args.insert(args.begin(), testsupport::CliPath());
    return RunCommand(args);
}

// pydicom's samples chrH31.dcm and chrRuss.dcm hold these names in these bytes.
const std::string JAPANESE_BYTES =
    "Yamada^Tarou=\x1b$B;3ED\x1b(B^\x1b$BB@O:\x1b(B=\x1b$B$d$^$@\x1b(B^\x1b$B$?$m$&\x1b(B";
const std::string RUSSIAN_BYTES =
    "\xbb\xee\xda"
    "ce\xdc\xd1yp\xd3";

}  // namespace

TEST(CharacterSetInterop, WorklistOfWlmscpfsInJapaneseAndRussian) {
    for (const char* tool : {"wlmscpfs", "dump2dcm"})
        if (!testsupport::ToolAvailable(tool)) GTEST_SKIP() << tool << " (DCMTK) is missing";
    const testsupport::Wlmscpfs provider(
        {{JAPANESE_BYTES, "P1", "20240315", "MR", "\\ISO 2022 IR 87"},
         {RUSSIAN_BYTES, "P2", "20240315", "CT", "ISO_IR 144"}});
    ASSERT_TRUE(provider.Ready()) << provider.Output();
    const std::string port = std::to_string(provider.Port());

    const auto listed = Cli({"worklist", "127.0.0.1", port, "--aec", "WLM"});
    EXPECT_EQ(listed.exitCode, 0) << listed.errors;
    EXPECT_NE(listed.output.find("PatientName: Yamada^Tarou=山田^太郎=やまだ^たろう\n"),
              std::string::npos)
        << listed.output;
    EXPECT_NE(listed.output.find("PatientName: Люкceмбypг\n"), std::string::npos) << listed.output;

    const auto json = Cli({"worklist", "127.0.0.1", port, "--aec", "WLM", "--json"});
    EXPECT_EQ(json.exitCode, 0) << json.errors;
    EXPECT_NE(json.output.find("{\"Alphabetic\":\"Yamada^Tarou\",\"Ideographic\":\"山田^太郎\","
                               "\"Phonetic\":\"やまだ^たろう\"}"),
              std::string::npos)
        << json.output;
    EXPECT_NE(json.output.find("{\"Alphabetic\":\"Люкceмбypг\"}"), std::string::npos)
        << json.output;

    // A key in the Russian patient's set matches the bytes of that name alone.
    const auto keyed = Cli({"worklist", "127.0.0.1", port, "--aec", "WLM", "--charset",
                            "ISO_IR 144", "--key", "PatientName=Люк*"});
    EXPECT_EQ(keyed.exitCode, 0) << keyed.errors;
    EXPECT_NE(keyed.output.find("PatientName: Люкceмбypг\n"), std::string::npos) << keyed.output;
    EXPECT_NE(keyed.output.find("\n1 result\n"), std::string::npos) << keyed.output;

    // A procedure step made from the Japanese entry keeps its bytes and says their set: our
    // provider files it, and pydicom reads the name back in its three scripts.
    testsupport::TempDir work;
    const uint16_t ris = testsupport::FreePort();
    testsupport::BackgroundProcess scp({testsupport::CliPath(), "scp", std::to_string(ris), "in",
                                        "--mpps", (work / "steps").string()},
                                       work.Path());
    ASSERT_TRUE(testsupport::WaitForListener(ris)) << scp.Output();
    const auto created = Cli({"mpps", "127.0.0.1", std::to_string(ris), "create", "--from-worklist",
                              "127.0.0.1", port, "--worklist-aec", "WLM", "--key", "PatientID=P1"});
    ASSERT_EQ(created.exitCode, 0) << created.errors;
    const fs::path step =
        work / "steps" / (created.output.substr(0, created.output.find('\n')) + ".dcm");
    const auto read = RunCommand({"/usr/bin/python3", "-c",
                                  "import sys, pydicom; d = pydicom.dcmread(sys.argv[1]); "
                                  "sys.stdout.buffer.write(('%s|%s' % (d.SpecificCharacterSet, "
                                  "d.PatientName)).encode('utf-8'))",
                                  step.string()});
    EXPECT_EQ(read.output, "['', 'ISO 2022 IR 87']|Yamada^Tarou=山田^太郎=やまだ^たろう")
        << read.errors;
}

TEST(CharacterSetInterop, StudyQueryWithAUtf8KeyAgainstOrthanc) {
    if (!fs::exists("/usr/sbin/Orthanc")) GTEST_SKIP() << "Orthanc is missing";
    for (const char* tool : {"storescu", "dcmodify"})
        if (!testsupport::ToolAvailable(tool)) GTEST_SKIP() << tool << " (DCMTK) is missing";
    if (testsupport::PydicomTestFiles().empty()) GTEST_SKIP() << "needs pydicom's files";
    testsupport::TempDir work;
    const fs::path file = work / "wang.dcm";
    fs::copy_file(testsupport::PydicomTestFiles() / "CT_small.dcm", file);
    ASSERT_EQ(RunCommand({"dcmodify", "-nb", "-i", "(0008,0005)=ISO_IR 192", "-i",
                          "(0010,0010)=Wang^XiaoDong=王^小東", file.string()})
                  .exitCode,
              0);
    const uint16_t port = testsupport::FreePort();
    const std::string storage = (work / "storage").string();
    std::ofstream(work / "orthanc.json")
        << "{\"DicomAet\": \"ORTHANC\", \"DicomPort\": " << port
        << ", \"HttpPort\": " << testsupport::FreePort() << ", \"RemoteAccessAllowed\": false,\n"
        << " \"StorageDirectory\": \"" << storage << "\", \"IndexDirectory\": \"" << storage
        << "\",\n \"DicomAlwaysAllowFind\": true, \"DicomAlwaysAllowStore\": true,\n"
        << " \"DefaultEncoding\": \"Utf8\"}\n";
    testsupport::BackgroundProcess orthanc({"/usr/sbin/Orthanc", (work / "orthanc.json").string()},
                                           work.Path());
    ASSERT_TRUE(testsupport::WaitForListener(port, 30000)) << orthanc.Output();
    const auto stored = RunCommand(
        {"storescu", "-aec", "ORTHANC", "127.0.0.1", std::to_string(port), file.string()},
        testsupport::NO_DELAY);
    ASSERT_EQ(stored.exitCode, 0) << stored.errors;

    const auto found = Cli({"find", "127.0.0.1", std::to_string(port), "--aec", "ORTHANC",
                            "--charset", "ISO_IR 192", "--key", "PatientName=*王^小東*"});
    EXPECT_EQ(found.exitCode, 0) << found.errors;
    EXPECT_NE(found.output.find("PatientName: Wang^XiaoDong=王^小東\n"), std::string::npos)
        << found.output;
    EXPECT_NE(found.output.find("1 result\n"), std::string::npos) << found.output;
    // Another name in the same script matches nothing.
    const auto none = Cli({"find", "127.0.0.1", std::to_string(port), "--aec", "ORTHANC",
                           "--charset", "ISO_IR 192", "--key", "PatientName=*李*"});
    EXPECT_NE(none.output.find("0 results\n"), std::string::npos) << none.output;
}
