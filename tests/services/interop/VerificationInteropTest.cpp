// Verification against DCMTK: EchoSCU and tessaly-cli echo with storescp, echoscu and
// storescu with a small acceptor built from AcceptAssoc, ReceiveMessage and SendMessage. The
// tools run with TCP_NODELAY=1, as this system's own sockets do.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>

#include "data/Datadec.h"
#include "data/Tags.h"
#include "net/Association.h"
#include "net/CommandSet.h"
#include "net/Dimse.h"
#include "net/TraceLog.h"
#include "services/Storage.h"
#include "services/Verification.h"
#include "store/ProviderProfile.h"
#include "support/TestSupport.h"
#include "zedavura.h"

using namespace dicomlib;
using namespace dicomlib::net;

namespace {

// The provider's standard profile, for acceptors built by hand.
const dicomlib::store::ProviderProfile& StandardProfile() {
    static const dicomlib::store::ProviderProfile profile = dicomlib::store::StandardProfile({});
    return profile;
}

const std::vector<std::string> NO_DELAY = {"TCP_NODELAY=1"};

#define REQUIRE_TOOL(name) \
    if (!testsupport::ToolAvailable(name)) GTEST_SKIP() << name << " (DCMTK) is not installed"

// storescp on a free port, writing into its own folder.
struct Storescp {
    testsupport::TempDir dir;
    uint16_t port = testsupport::FreePort();
    testsupport::BackgroundProcess process{{"storescp", "-v", "--aetitle", "STORESCP", "-od",
                                            dir.Path().string(), std::to_string(port)},
                                           dir.Path(),
                                           NO_DELAY};
    std::string Port() const { return std::to_string(port); }
};

// What the acceptor below saw.
struct Served {
    bool accepted = false;
    int echoes = 0;
    int stores = 0;
    bool released = false;
    ElementList lastDataSet;
};

// One association on the listener: answers every C-ECHO-RQ and C-STORE-RQ with success until
// the peer releases.
void ServeOneAssociation(TcpSocket& listener, Served& served) {
    if (!listener.Accept()) return;
    Association assoc;
    assoc.stream.Socket().SetReceiveTimeout(std::chrono::seconds(20));
    served.accepted = AcceptAssoc(assoc, listener.ReleaseConnection(),
                                  dicomlib::store::AnswerWith(StandardProfile()));
    for (ElementList command; served.accepted; command.Clear()) {
        if (!ReceiveMessage(assoc, command)) {
            served.released = assoc.stream.Connected();  // a release request was answered
            break;
        }
        const uint16_t field = data::GetTagUS(command, tag::CommandField);
        const std::string sopClass = data::GetTagString(command, tag::AffectedSOPClassUID);
        if (field == net::C_STORE_RQ) {
            served.lastDataSet.Clear();
            if (!ReceiveMessage(assoc, served.lastDataSet)) break;
            ++served.stores;
        } else if (field == net::C_ECHO_RQ) {
            ++served.echoes;
        } else {
            break;
        }
        net::CommandSet response;
        response.AppendUid(tag::AffectedSOPClassUID, sopClass)
            .AppendUs(tag::CommandField, field | 0x8000)
            .AppendUs(tag::MessageIDBeingRespondedTo, data::GetTagUS(command, tag::MessageID))
            .AppendUs(tag::CommandDataSetType, net::NO_DATA_SET)
            .AppendUs(tag::Status, net::STATUS_SUCCESS);
        if (!SendMessage(assoc, response.List(), sopClass, MessageKind::Command)) break;
    }
    assoc.stream.Close();
}

}  // namespace

TEST(EchoWithStorescp, EchoSCUAndTheCliEchoWithTheirLogs) {
    REQUIRE_TOOL("storescp");
    Storescp scp;
    ASSERT_TRUE(testsupport::WaitForListener(scp.port)) << scp.process.Output();
    testsupport::TempDir logDir;
    const std::string trace = (logDir / "trace.log").string();
    SetLog(trace, LOG_MESSAGES);
    EXPECT_TRUE(services::EchoSCU("127.0.0.1", scp.Port(), "TESSALY", "STORESCP"));
    EXPECT_TRUE(services::EchoSCU("127.0.0.1", scp.Port(), "", "STORESCP"));
    SetLog("", 0);
    std::string text = testsupport::ReadFileText(trace);
    for (const std::string line : {"TESSALY >> STORESCP\r\n", "ORLANE << STORESCP\r\n",
                                   "\t(0000,0100),  2,\tUS, \"32816\" - Command Field\r\n",
                                   "\t(0000,0900),  2,\tUS, \"0\" - Status\r\n"}) {
        EXPECT_NE(text.find(line), std::string::npos) << line << text;
    }

    const std::string log = (logDir / "echo.log").string();
    auto result =
        testsupport::RunCommand({testsupport::CliPath(), "--log", log, "echo", "127.0.0.1",
                                 scp.Port(), "--aet", "TESSALY", "--aec", "STORESCP"});
    EXPECT_EQ(result.exitCode, 0) << result.errors;
    EXPECT_EQ(result.output, "ECHO OK\n");
    EXPECT_EQ(result.errors, "");
    // The runner's lines around the library's association lines (level 1 by default).
    text = testsupport::ReadFileText(log);
    const std::size_t starting = text.find(": Starting ECHO Service\r\n");
    const std::size_t connected = text.find("Connected to: 127.0.0.1:" + scp.Port() + "\r\n");
    const std::size_t ok = text.find(": ECHO OK\r\n");
    EXPECT_EQ(starting, 8u) << text;  // after the time of day
    EXPECT_LT(starting, connected);
    EXPECT_LT(connected, ok);
    EXPECT_NE(ok, std::string::npos);
    EXPECT_EQ(text.find(" >> "), std::string::npos) << "no message dumps at level 1";

    // Level 3: the message dumps and the socket dumps as well.
    result = testsupport::RunCommand({testsupport::CliPath(), "--log", log, "--log-level", "3",
                                      "echo", "127.0.0.1", scp.Port(), "--aec", "STORESCP"});
    EXPECT_EQ(result.exitCode, 0);
    text = testsupport::ReadFileText(log);
    EXPECT_NE(text.find("ORLANE >> STORESCP\r\n"), std::string::npos);
    EXPECT_NE(text.find("    80 >> 04 00 00 00 00 4A "), std::string::npos);
    scp.process.Stop();
    EXPECT_NE(scp.process.Output().find("Received Echo Request"), std::string::npos);
}

TEST(EchoscuWithAcceptor, AnsweredOnTheMessageLayer) {
    REQUIRE_TOOL("echoscu");
    TcpSocket listener;
    ASSERT_TRUE(listener.ListenOn(0));
    Served served;
    std::thread acceptor([&] { ServeOneAssociation(listener, served); });
    auto result =
        testsupport::RunCommand({"echoscu", "-v", "--repeat", "3", "-aet", "ECHOSCU", "-aec",
                                 "ANY-SCP", "127.0.0.1", std::to_string(listener.LocalPort())},
                                NO_DELAY);
    acceptor.join();
    const std::string output = result.output + result.errors;
    EXPECT_EQ(result.exitCode, 0) << output;
    EXPECT_TRUE(served.accepted);
    EXPECT_EQ(served.echoes, 3);
    EXPECT_TRUE(served.released);
    std::size_t successes = 0;
    for (std::size_t at = 0;
         (at = output.find("Received Echo Response (Success)", at)) != std::string::npos; ++at)
        ++successes;
    EXPECT_EQ(successes, 3u) << output;
}

TEST(StorescuWithAcceptor, DataSetArrivesWholeInManyPdus) {
    REQUIRE_TOOL("storescu");
    const auto files = testsupport::PydicomTestFiles();
    if (files.empty()) GTEST_SKIP() << "pydicom's test files are not installed";
    const auto file = files / "CT_small.dcm";
    TcpSocket listener;
    ASSERT_TRUE(listener.ListenOn(0));
    Served served;
    std::thread acceptor([&] { ServeOneAssociation(listener, served); });
    auto result =
        testsupport::RunCommand({"storescu", "-v", "-aet", "STORESCU", "-aec", "ANY-SCP",
                                 "127.0.0.1", std::to_string(listener.LocalPort()), file.string()},
                                NO_DELAY);
    acceptor.join();
    EXPECT_EQ(result.exitCode, 0) << result.output << result.errors;
    EXPECT_EQ(served.stores, 1);
    EXPECT_TRUE(served.released);

    data::DecoderState state;
    ElementList meta, original;
    ASSERT_TRUE(data::ReadPart10File(state, file, meta, original));
    EXPECT_EQ(data::GetTagString(served.lastDataSet, tag::SOPInstanceUID),
              data::GetTagString(original, tag::SOPInstanceUID));
    DicomElement* sent = data::FindTag(original, tag::PixelData);
    const DicomElement* got = data::FindTag(served.lastDataSet, tag::PixelData);
    ASSERT_NE(sent, nullptr);
    ASSERT_NE(got, nullptr);
    ASSERT_EQ(got->length, sent->length);
    ASSERT_TRUE(data::LoadValue(*sent));
    EXPECT_EQ(std::memcmp(got->value, sent->value, sent->length), 0);
    EXPECT_GT(sent->length, 16384u);  // more than one PDU
}
