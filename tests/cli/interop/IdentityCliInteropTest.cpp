// User identity on the command line: DCMTK's storescu and our echo with a user name and
// password into our scp --require-user, accepted, refused with an A-ASSOCIATE-RJ, and the
// password never in the provider's trace log, not even in its hex dump.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "support/Peers.h"
#include "support/TestSupport.h"

namespace fs = std::filesystem;
using testsupport::RunCommand;

TEST(CliIdentity, TheProviderTakesOnlyItsUsersAndNeverLogsTheirPasswords) {
    if (!testsupport::ToolAvailable("storescu")) GTEST_SKIP() << "storescu is not installed";
    testsupport::TempDir dir;
    std::ofstream(dir / "users.txt") << "ALICE:wonder-land\nBOB:builder\n";
    std::ofstream(dir / "alice.pass") << "wonder-land\n";
    std::ofstream(dir / "wrong.pass") << "not-her-password\n";
    const std::string port = std::to_string(testsupport::FreePort());
    const fs::path trace = dir / "trace.log";
    testsupport::BackgroundProcess scp(
        {testsupport::CliPath(), "--log", trace.string(), "--log-level", "3", "scp", port,
         (dir / "in").string(), "--require-user", (dir / "users.txt").string()},
        dir.Path());
    ASSERT_TRUE(testsupport::WaitForListener(static_cast<uint16_t>(std::stoi(port))));
    const std::string ct = (testsupport::PydicomTestFiles() / "CT_small.dcm").string();
    const auto storescu = [&](std::vector<std::string> identity) {
        std::vector<std::string> argv = {"storescu", "-aec", "TESSALY"};
        argv.insert(argv.end(), identity.begin(), identity.end());
        argv.insert(argv.end(), {"127.0.0.1", port, ct});
        return RunCommand(argv, testsupport::NO_DELAY);
    };
    const auto accepted = storescu({"-usr", "ALICE", "-pwd", "wonder-land", "-rsp"});
    EXPECT_EQ(accepted.exitCode, 0) << accepted.output << accepted.errors;
    for (const auto& refusedIdentity : std::vector<std::vector<std::string>>{
             {"-usr", "ALICE", "-pwd", "not-her-password"}, {"-usr", "BOB"}, {}}) {
        const auto refused = storescu(refusedIdentity);
        EXPECT_NE(refused.exitCode, 0);
        EXPECT_NE((refused.output + refused.errors).find("Rejected Permanent"), std::string::npos)
            << refused.output << refused.errors;
    }

    const auto echo = [&](const std::string& passwordFile, bool response) {
        std::vector<std::string> argv = {testsupport::CliPath(),
                                         "echo",
                                         "127.0.0.1",
                                         port,
                                         "--user",
                                         "ALICE",
                                         "--password-file",
                                         (dir / passwordFile).string()};
        if (response) argv.push_back("--user-response");
        return RunCommand(argv);
    };
    EXPECT_EQ(echo("alice.pass", true).exitCode, 0);
    const auto wrong = echo("wrong.pass", false);
    EXPECT_EQ(wrong.exitCode, 1);
    EXPECT_NE(wrong.output.find("may have refused our user identity"), std::string::npos)
        << wrong.output;
    // A token has no passcode to check against the list: refused, and the log says why.
    std::ofstream(dir / "token.jwt") << "eyJhbGciOiJIUzI1NiJ9.e30.secret-signature";
    EXPECT_EQ(RunCommand({testsupport::CliPath(), "echo", "127.0.0.1", port, "--user-jwt",
                          (dir / "token.jwt").string()})
                  .exitCode,
              1);
    scp.Stop();
    {
        // A provider that checks no identity confirms none: a requestor that asked fails.
        testsupport::BackgroundProcess open(
            {testsupport::CliPath(), "scp", port, (dir / "in").string()}, dir.Path());
        ASSERT_TRUE(testsupport::WaitForListener(static_cast<uint16_t>(std::stoi(port))));
        const auto unconfirmed = echo("alice.pass", true);
        EXPECT_EQ(unconfirmed.exitCode, 1);
        EXPECT_NE(unconfirmed.output.find(
                      "\n  the peer accepted the association without the positive response to "
                      "our user identity that we asked for (--user-response)"),
                  std::string::npos)
            << unconfirmed.output;
        EXPECT_EQ(echo("alice.pass", false).exitCode, 0);
        open.Stop();
    }

    std::size_t stored = 0;
    for (const auto& entry : fs::recursive_directory_iterator(dir / "in"))
        stored += entry.path().extension() == ".dcm" ? 1 : 0;
    EXPECT_EQ(stored, 1u);
    const std::string log = testsupport::ReadFileText(trace);
    EXPECT_NE(log.find("User identity: user name and passcode, user ALICE, positive response"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("User identity refused: none given"), std::string::npos);
    EXPECT_NE(log.find("User identity refused: not a known user and password"), std::string::npos);
    EXPECT_NE(log.find("User identity refused: JSON Web Token, 41 bytes: no passcode to check"),
              std::string::npos);
    for (const char* secret : {"wonder-land", "not-her-password", "secret-signature"})
        EXPECT_EQ(log.find(secret), std::string::npos) << secret << " in the trace log";
}
