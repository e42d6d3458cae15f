// Storage commitment against Orthanc, through tessaly-cli as an operator runs it: Orthanc answers
// on an association of its own to the AE it knows us by, so the command listens with --receive.
// An instance Orthanc holds is committed; one it was never sent fails with its reason.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "support/TestSupport.h"

namespace fs = std::filesystem;

namespace {

constexpr char CT_UID[] = "1.3.6.1.4.1.5962.1.1.1.1.1.20040119072730.12322";
constexpr char MR_UID[] = "1.3.6.1.4.1.5962.1.1.4.1.1.20040826185059.5457";

testsupport::CommandResult Cli(std::vector<std::string> args) {
    args.insert(args.begin(), testsupport::CliPath());
    return testsupport::RunCommand(args);
}

bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

}  // namespace

TEST(CommitInterop, OrthancCommitsWhatItHoldsOnItsOwnAssociation) {
    const fs::path ct = testsupport::PydicomTestFiles() / "CT_small.dcm";
    const fs::path mr = testsupport::PydicomTestFiles() / "MR_small.dcm";
    if (!fs::exists("/usr/sbin/Orthanc") || !fs::exists(mr))
        GTEST_SKIP() << "Orthanc or pydicom's test files are missing";
    testsupport::TempDir work;
    const uint16_t port = testsupport::FreePort(), http = testsupport::FreePort();
    const uint16_t receive = testsupport::FreePort();
    const std::string storage = (work / "storage").string();
    std::ofstream(work / "orthanc.json")
        << "{\"Name\": \"TESSALY-TEST\", \"DicomAet\": \"ORTHANC\", \"DicomPort\": " << port
        << ", \"HttpPort\": " << http << ",\n \"StorageDirectory\": \"" << storage
        << "\", \"IndexDirectory\": \"" << storage
        << "\", \"RemoteAccessAllowed\": false, \"DicomAlwaysAllowStore\": true,\n"
           " \"DicomModalities\": {\"tessaly\": [\"TESSALY\", \"127.0.0.1\", "
        << receive << "]}}\n";
    testsupport::BackgroundProcess orthanc({"/usr/sbin/Orthanc", (work / "orthanc.json").string()},
                                           work.Path());
    ASSERT_TRUE(testsupport::WaitForListener(port, 30000)) << orthanc.Output();
    const std::vector<std::string> peer = {
        "127.0.0.1", std::to_string(port), "--aet", "TESSALY", "--aec", "ORTHANC"};
    auto args = [&](std::vector<std::string> rest) {
        std::vector<std::string> all = {rest.front()};
        all.insert(all.end(), peer.begin(), peer.end());
        all.insert(all.end(), rest.begin() + 1, rest.end());
        return all;
    };
    const auto stored = Cli(args({"store", ct.string()}));
    ASSERT_EQ(stored.exitCode, 0) << stored.errors;

    const auto both = Cli(args({"commit", ct.string(), mr.string(), "--receive",
                                std::to_string(receive), "--wait", "30"}));
    EXPECT_EQ(both.exitCode, 1) << both.output << both.errors;
    EXPECT_TRUE(Has(both.output, std::string("committed: ") + CT_UID)) << both.output;
    EXPECT_TRUE(Has(both.output, std::string("failed: ") + MR_UID + ": no such object instance"))
        << both.output;
    EXPECT_TRUE(Has(both.output, "transaction 2.25.")) << both.output;
    EXPECT_TRUE(Has(both.errors,
                    "COMMIT failed: some instances were not committed: 1 of 2 "
                    "committed in "))
        << both.errors;
    EXPECT_TRUE(Has(both.errors, MR_UID)) << both.errors;

    const auto one = Cli(args({"commit", ct.string(), "--receive", std::to_string(receive)}));
    EXPECT_EQ(one.exitCode, 0) << one.output << one.errors;
    EXPECT_TRUE(Has(one.output, "COMMIT OK: 1 of 1 committed in ")) << one.output;
    EXPECT_TRUE(Has(one.output, "the report came on the peer's association")) << one.output;
}
