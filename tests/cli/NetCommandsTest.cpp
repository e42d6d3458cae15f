// tessaly-cli's network commands where no peer is needed: a port where nothing listens, and
// command lines that are wrong.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/TestSupport.h"

using testsupport::RunCommand;

TEST(CliEcho, PortWhereNothingListensAndUsageErrors) {
    const std::string port = std::to_string(testsupport::FreePort());
    auto result = testsupport::RunCommand({testsupport::CliPath(), "echo", "127.0.0.1", port});
    EXPECT_EQ(result.exitCode, 1);
    const std::string why = "  nothing listens on 127.0.0.1:" + port +
                            " (connection refused): check the port and that the peer's DICOM "
                            "service runs\n";
    EXPECT_EQ(result.output, "ECHO failed to connect to: ANY-SCP (127.0.0.1:" + port + ")\n" + why);
    // An empty called title leaves two blanks.
    result =
        testsupport::RunCommand({testsupport::CliPath(), "echo", "127.0.0.1", port, "--aec", ""});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.output, "ECHO failed to connect to:  (127.0.0.1:" + port + ")\n" + why);
    // Usage errors.
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"echo", "127.0.0.1"},
          {"echo", "a", "1", "2"},
          {"echo", "a", "1", "--aet"},
          {"--log-level", "4", "echo", "a", "1"},
          {"--log-level", "2", "echo", "a", "1"},
          {"--log"},
          {"echo", "a", "1", "--aec", "SEVENTEEN-LETTERS"}}) {
        std::vector<std::string> argv = {testsupport::CliPath()};
        argv.insert(argv.end(), args.begin(), args.end());
        result = testsupport::RunCommand(argv);
        EXPECT_EQ(result.exitCode, 2) << args[0];
        EXPECT_EQ(result.output, "");
        EXPECT_TRUE(result.errors.find("usage: tessaly-cli") != std::string::npos ||
                    result.errors.find("AE title") != std::string::npos)
            << result.errors;
    }
}

TEST(CliStore, UsageErrors) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"store", "127.0.0.1", "104"},
          {"store", "127.0.0.1"},
          {"store", "a", "1", "f", "--ts"},
          {"store", "a", "1", "f", "--ts", "jpeg-baseline"},
          {"store", "a", "1", "f", "--bogus"},
          {"store", "a", "1", "f", "--aet", "SEVENTEEN-LETTERS"}}) {
        std::vector<std::string> argv = {testsupport::CliPath()};
        argv.insert(argv.end(), args.begin(), args.end());
        auto result = RunCommand(argv);
        EXPECT_EQ(result.exitCode, 2) << args.back();
        EXPECT_EQ(result.output, "");
        EXPECT_TRUE(result.errors.find("usage: tessaly-cli store") != std::string::npos ||
                    result.errors.find("AE title") != std::string::npos)
            << result.errors;
    }
}

TEST(CliProbe, NothingListeningAndUsageErrors) {
    const std::string port = std::to_string(testsupport::FreePort());
    auto result = RunCommand({testsupport::CliPath(), "probe", "127.0.0.1", port, "--json"});
    EXPECT_EQ(result.exitCode, 1);
    // Every section after a failed connection says so; the JSON holds each one.
    EXPECT_NE(result.output.find("{\"name\": \"Connection\", \"verdict\": \"failed\", \"detail\": "
                                 "\"nothing listens on 127.0.0.1:" +
                                 port +
                                 " (connection refused): check the port and that the peer's "
                                 "DICOM service runs\""),
              std::string::npos)
        << result.output;
    for (const char* section :
         {"Verification", "Storage", "Query/retrieve", "Worklist", "Retrieve path", "Print"})
        EXPECT_NE(result.output.find(std::string("{\"name\": \"") + section +
                                     "\", \"verdict\": \"failed\", \"detail\": \"no association "
                                     "(see Connection)\""),
                  std::string::npos)
            << section;
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"probe", "127.0.0.1"},
          {"probe", "a", "1", "--move-dest", "ME"},
          {"probe", "a", "1", "--receive", "104"},
          {"probe", "a", "1", "--html"},
          {"probe", "a", "1", "--bogus"},
          {"probe", "a", "1", "--aec", "SEVENTEEN-LETTERS"}}) {
        std::vector<std::string> argv = {testsupport::CliPath()};
        argv.insert(argv.end(), args.begin(), args.end());
        result = RunCommand(argv);
        EXPECT_EQ(result.exitCode, 2) << args.back();
        EXPECT_EQ(result.output, "");
    }
}
