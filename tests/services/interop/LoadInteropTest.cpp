// `tessaly-cli load` against real providers it starts: DCMTK's storescp and our own
// `tessaly-cli scp`. What the report counts as stored is what arrived; a rate is kept; Ctrl-C
// ends a run with the report of what was done.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "support/DcmtkCompare.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;
using testsupport::BackgroundProcess;
using testsupport::RunCommand;

std::size_t FilesUnder(const fs::path& folder) {
    std::size_t n = 0;
    for (const auto& entry : fs::recursive_directory_iterator(folder))
        n += entry.is_regular_file() && entry.path().extension() == ".dcm" ? 1 : 0;
    return n;
}

// Our provider on a free port, storing under its folder's "in".
struct OurScp {
    testsupport::TempDir dir;
    uint16_t port = testsupport::FreePort();
    BackgroundProcess process{{testsupport::CliPath(), "scp", std::to_string(port),
                               (dir / "in").string(), "--max-associations", "4"},
                              dir.Path()};
};

TEST(LoadInterop, WhatTheReportCountsAsStoredIsWhatArrived) {
    testsupport::TempDir images;
    std::vector<std::string> files;
    for (int i = 0; i < 3; ++i)
        files.push_back(testsupport::WriteGeneratedImage(images / ("ct" + std::to_string(i)), 16,
                                                         64, 64, "1.2.3.4.1" + std::to_string(i))
                            .string());
    const auto load = [&](uint16_t port) {
        std::vector<std::string> argv = {testsupport::CliPath(),
                                         "load",
                                         "127.0.0.1",
                                         std::to_string(port),
                                         "--op",
                                         "store",
                                         "--count",
                                         "14",
                                         "--associations",
                                         "4",
                                         "--new-uids",
                                         "--json"};
        argv.insert(argv.end(), files.begin(), files.end());
        return RunCommand(argv);
    };
    {
        OurScp scp;
        ASSERT_TRUE(testsupport::WaitForListener(scp.port));
        const auto r = load(scp.port);
        ASSERT_EQ(r.exitCode, 0) << r.output << r.errors;
        const auto report = nlohmann::json::parse(r.output);
        EXPECT_EQ(report["operations"]["done"], 14);
        EXPECT_GT(report["megabytes"].get<double>(), 14 * 64 * 64 * 2 / 1e6);
        scp.process.Stop();
        EXPECT_EQ(FilesUnder(scp.dir / "in"), 14u);
        // Five passes through the three files: five new studies of one series each.
        std::size_t studies = 0;
        for (const auto& study : fs::directory_iterator(scp.dir / "in")) {
            ++studies;
            EXPECT_EQ(std::distance(fs::directory_iterator(study), fs::directory_iterator()), 1);
        }
        EXPECT_EQ(studies, 5u);
    }
    if (!testsupport::ToolAvailable("storescp"))
        GTEST_SKIP() << "storescp (DCMTK) is not installed";
    testsupport::TempDir received;
    const uint16_t port = testsupport::FreePort();
    BackgroundProcess storescp({"storescp", "--fork", "-od", received.Path().string(), "-fe",
                                ".dcm", std::to_string(port)},
                               received.Path(), {"TCP_NODELAY=1"});
    ASSERT_TRUE(testsupport::WaitForListener(port));
    const auto r = load(port);
    ASSERT_EQ(r.exitCode, 0) << r.output << r.errors;
    EXPECT_EQ(nlohmann::json::parse(r.output)["operations"]["done"], 14);
    // Four workers share the count: one that starts after the others have sent everything
    // opens nothing, so four is the most, never the exact number.
    const auto opened = nlohmann::json::parse(r.output)["associations"]["opened"].get<int>();
    EXPECT_GE(opened, 1);
    EXPECT_LE(opened, 4);
    storescp.Stop();
    EXPECT_EQ(FilesUnder(received.Path()), 14u);
}

// Without new UIDs the pixel data goes out read from the files at each send, by several
// associations at once: what storescp wrote holds the same data set as each file sent.
TEST(LoadInterop, ImagesSentFromTheirFilesArriveWhole) {
    if (!testsupport::ToolAvailable("storescp"))
        GTEST_SKIP() << "storescp (DCMTK) is not installed";
    testsupport::TempDir images, received, scratch;
    std::vector<std::pair<std::string, fs::path>> sent;  // instance UID, file
    std::vector<std::string> argv = {
        testsupport::CliPath(), "load", "127.0.0.1", "", "--op", "store", "--count", "4",
        "--associations",       "2",    "--json"};
    for (int i = 0; i < 4; ++i) {
        const std::string uid = "1.2.826.0.1.3680043.2.7251.60" + std::to_string(i);
        sent.emplace_back(
            uid, testsupport::WriteGeneratedImage(images / ("ct" + std::to_string(i) + ".dcm"), 16,
                                                  256, static_cast<uint16_t>(300 + i), uid, i));
        argv.push_back(sent.back().second.string());
    }
    const uint16_t port = testsupport::FreePort();
    argv[3] = std::to_string(port);
    BackgroundProcess storescp({"storescp", "--fork", "-od", received.Path().string(), "-fe",
                                ".dcm", std::to_string(port)},
                               received.Path(), {"TCP_NODELAY=1"});
    ASSERT_TRUE(testsupport::WaitForListener(port));
    const auto r = RunCommand(argv);
    ASSERT_EQ(r.exitCode, 0) << r.output << r.errors;
    EXPECT_EQ(nlohmann::json::parse(r.output)["operations"]["done"], 4);
    storescp.Stop();
    ASSERT_EQ(FilesUnder(received.Path()), 4u);
    for (const auto& [uid, file] : sent) {
        SCOPED_TRACE(uid);
        fs::path arrived;
        for (const auto& entry : fs::directory_iterator(received.Path()))
            if (entry.path().filename().string().find(uid + ".dcm") != std::string::npos)
                arrived = entry.path();
        ASSERT_FALSE(arrived.empty());
        testsupport::ExpectSameDataSet(file, arrived, scratch.Path());
    }
}

// One file over four associations at once: they take turns with its data set, which a send
// writes VRs into (the thread sanitizer build fails the run otherwise).
TEST(LoadInterop, OneFileOverSeveralAssociationsAtOnce) {
    if (!testsupport::ToolAvailable("storescp"))
        GTEST_SKIP() << "storescp (DCMTK) is not installed";
    testsupport::TempDir images, received;
    const auto file = testsupport::WriteGeneratedImage(images / "ct.dcm", 16, 128, 128,
                                                       "1.2.826.0.1.3680043.2.7251.70");
    const uint16_t port = testsupport::FreePort();
    BackgroundProcess storescp({"storescp", "--fork", "-od", received.Path().string(), "-fe",
                                ".dcm", std::to_string(port)},
                               received.Path(), {"TCP_NODELAY=1"});
    ASSERT_TRUE(testsupport::WaitForListener(port));
    const auto r =
        RunCommand({testsupport::CliPath(), "load", "127.0.0.1", std::to_string(port), "--op",
                    "store", "--count", "24", "--associations", "4", "--json", file.string()});
    ASSERT_EQ(r.exitCode, 0) << r.output << r.errors;
    EXPECT_EQ(nlohmann::json::parse(r.output)["operations"]["done"], 24);
    EXPECT_EQ(r.errors.find("ThreadSanitizer"), std::string::npos) << r.errors;
}

// More files than the process may keep open: those beyond are read into memory, and every one
// is sent.
TEST(LoadInterop, MoreFilesThanMayStayOpenAreAllSent) {
    testsupport::TempDir images;
    std::vector<std::string> argv = {"sh",
                                     "-c",
                                     "ulimit -n 32 && exec \"$0\" \"$@\"",
                                     testsupport::CliPath(),
                                     "load",
                                     "127.0.0.1",
                                     "",
                                     "--op",
                                     "store",
                                     "--count",
                                     "40",
                                     "--associations",
                                     "2",
                                     "--json"};
    for (int i = 0; i < 40; ++i)
        argv.push_back(testsupport::WriteGeneratedImage(images / ("ct" + std::to_string(i)), 16, 32,
                                                        32, "1.2.3.4.7" + std::to_string(i))
                           .string());
    OurScp scp;
    ASSERT_TRUE(testsupport::WaitForListener(scp.port));
    argv[6] = std::to_string(scp.port);
    const auto r = RunCommand(argv);
    ASSERT_EQ(r.exitCode, 0) << r.output << r.errors;
    EXPECT_EQ(nlohmann::json::parse(r.output)["operations"]["done"], 40);
    scp.process.Stop();
    EXPECT_EQ(FilesUnder(scp.dir / "in"), 40u);
}

TEST(LoadInterop, ARateIsKeptAndCtrlCEndsWithTheReport) {
    OurScp scp;
    ASSERT_TRUE(testsupport::WaitForListener(scp.port));
    const std::string port = std::to_string(scp.port);
    {
        const auto r = RunCommand({testsupport::CliPath(), "load", "127.0.0.1", port, "--op",
                                   "echo", "--rate", "25", "--duration", "2", "--json"});
        ASSERT_EQ(r.exitCode, 0) << r.output << r.errors;
        const auto done = nlohmann::json::parse(r.output)["operations"]["done"].get<int>();
        EXPECT_GE(done, 45);
        EXPECT_LE(done, 55);
    }
    BackgroundProcess load({testsupport::CliPath(), "load", "127.0.0.1", port, "--op", "echo",
                            "--duration", "600", "--rate", "100", "--per-association", "10"});
    // Stopped once its first progress line is out.
    for (int i = 0; i < 600 && load.Output().find("load: ") == std::string::npos; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_NE(load.Output().find("load: "), std::string::npos) << load.Output();
    EXPECT_EQ(load.Stop(SIGINT), 0);
    const std::string output = load.Output();
    EXPECT_NE(output.find("stopped by Ctrl-C\n"), std::string::npos) << output;
    EXPECT_NE(output.find("failures: none\n"), std::string::npos) << output;
    EXPECT_EQ(output.find("operations: 0 done"), std::string::npos) << output;
}

}  // namespace
