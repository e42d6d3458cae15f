// `tessaly-cli load` against scripted peers: latencies that follow a peer's known delay, and
// each way an operation or an association fails, counted by its words.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "net/DimseFixtures.h"
#include "support/DcmtkCompare.h"
#include "support/TestSupport.h"

namespace {

using namespace std::chrono_literals;
using namespace nettest;
using dicomlib::net::PduStream;
using testsupport::RunCommand;

testsupport::CommandResult Load(const std::string& port, std::vector<std::string> args) {
    std::vector<std::string> argv = {testsupport::CliPath(), "load", "127.0.0.1", port,
                                     "--associations",       "1"};
    argv.insert(argv.end(), args.begin(), args.end());
    return RunCommand(argv);
}

TEST(Load, LatenciesFollowThePeersDelay) {
    // The peer holds each response 50 ms and notes how long it really held it.
    std::vector<double> held;
    ScriptedScp scp([&](std::size_t, const Bytes& command) {
        const auto begin = std::chrono::steady_clock::now();
        std::this_thread::sleep_for(50ms);
        held.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - begin)
                .count());
        return EchoResponseBytes(UsOf(command, dicomlib::tag::MessageID), 0);
    });
    const auto r = Load(scp.Port(), {"--op", "echo", "--count", "10", "--json"});
    scp.Join();
    ASSERT_EQ(r.exitCode, 0) << r.output << r.errors;
    ASSERT_EQ(held.size(), 10u);
    EXPECT_TRUE(scp.released);
    const auto report = nlohmann::json::parse(r.output);
    EXPECT_EQ(report["operations"]["done"], 10);
    EXPECT_EQ(report["associations"]["opened"], 1);
    const auto& latency = report["latencyMs"]["operation"];
    EXPECT_EQ(latency["count"], 10);
    std::sort(held.begin(), held.end());
    // Never less than the peer held it, and only a few ms more at the median (sanitizer builds
    // on a busy machine included): an operation that counted a neighbour's time too would
    // show twice the delay.
    EXPECT_GE(latency["min"].get<double>(), held.front());
    EXPECT_GE(latency["p50"].get<double>(), held[4]);
    EXPECT_GE(latency["max"].get<double>(), held.back());
    EXPECT_LT(latency["p50"].get<double>(), held[4] + 25.0);
    EXPECT_LE(latency["p90"].get<double>(), latency["p99"].get<double>());
}

TEST(Load, EveryFailureIsCountedByItsKindInWords) {
    testsupport::TempDir dir;
    const auto file = testsupport::WriteGeneratedImage(dir / "ct.dcm", 16, 32, 32, "1.2.3.4.5");
    {
        FakePeer peer;
        peer.Start([](PduStream& s) {
            ReadPduBytes(s);
            s.Write(ASSOCIATE_RJ);
        });
        const auto r = Load(peer.Port(), {"--op", "echo", "--count", "1"});
        peer.Join();
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_NE(r.output.find("associations: 0 opened, 1 failed"), std::string::npos) << r.output;
        EXPECT_NE(r.output.find("  1 x association: rejected permanently by the peer's "
                                "application: called AE title not recognised"),
                  std::string::npos)
            << r.output;
    }
    {
        // Aborted in the middle: what was done before still counts.
        ScriptedScp scp([](std::size_t n, const Bytes& command) {
            return n < 2 ? EchoResponseBytes(UsOf(command, dicomlib::tag::MessageID), 0) : Bytes();
        });
        const auto r = Load(scp.Port(), {"--op", "echo", "--count", "3"});
        scp.Join();
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_NE(r.output.find("operations: 2 done, 1 failed"), std::string::npos) << r.output;
        EXPECT_NE(r.output.find("  1 x C-ECHO: aborted by the peer"), std::string::npos)
            << r.output;
    }
    {
        // A failing status leaves the association standing: every store goes on it.
        ScriptedScp scp([](std::size_t, const Bytes& command) {
            return ResponseBytes(0x8001, UsOf(command, dicomlib::tag::MessageID), 0xA700);
        });
        const auto r = Load(scp.Port(), {"--op", "store", file.string(), "--count", "3"});
        scp.Join();
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(scp.dataSets.size(), 3u);
        EXPECT_NE(r.output.find("associations: 1 opened, 0 failed"), std::string::npos) << r.output;
        EXPECT_NE(r.output.find("  3 x C-STORE: status 0xA700 (refused: out of resources"),
                  std::string::npos)
            << r.output;
    }
    {
        FakePeer peer;
        peer.Start([](PduStream& s) {
            AcceptAssociation(s);
            ReadMessagePart(s);
            ReadPduBytes(s);  // until we give up and go
        });
        const auto r = Load(peer.Port(), {"--op", "echo", "--count", "1", "--dimse-timeout", "1"});
        peer.Join();
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_NE(r.output.find("  1 x C-ECHO: time-out: no C-ECHO response within 1 s "
                                "(--dimse-timeout)"),
                  std::string::npos)
            << r.output;
    }
}

TEST(Load, WrongCommandLinesAndFilesThatCannotBeSent) {
    testsupport::TempDir dir;
    testsupport::WriteFileBytes(dir / "notes.txt", {'h', 'i'});
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--op", "ping"},
          {"--op", "echo", "--duration", "2", "--count", "5"},
          {"--op", "store"},
          {"--op", "echo", "--new-uids"},
          {"--op", "echo", "--key", "PatientName=X"},
          {"--op", "find", "--key", "NoSuchField=1"},
          {"--op", "echo", "--associations", "0"},
          {"--op", "echo", "--rate", "fast"}}) {
        const auto r = Load("104", args);
        EXPECT_EQ(r.exitCode, 2) << args.back();
        EXPECT_EQ(r.output, "");
    }
    const auto r = Load("104", {"--op", "store", (dir / "notes.txt").string()});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.errors.find("notes.txt: not a DICOM file"), std::string::npos) << r.errors;
}

}  // namespace
