// Association set-up and release against DCMTK: our requestor with storescp, echoscu with our
// acceptor. The tools run with TCP_NODELAY=1, as this system's own sockets do.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "../NetFixtures.h"
#include "data/TransferSyntax.h"
#include "net/Association.h"
#include "net/PduCodec.h"
#include "store/ProviderProfile.h"
#include "support/TestSupport.h"

using namespace dicomlib;
using namespace dicomlib::net;
using namespace nettest;

namespace {

// The provider's standard profile, for acceptors built by hand.
const dicomlib::store::ProviderProfile& StandardProfile() {
    static const dicomlib::store::ProviderProfile profile = dicomlib::store::StandardProfile({});
    return profile;
}

constexpr char VERIFICATION[] = "1.2.840.10008.1.1";
const std::vector<std::string> NO_DELAY = {"TCP_NODELAY=1"};

#define REQUIRE_TOOL(name) \
    if (!testsupport::ToolAvailable(name)) GTEST_SKIP() << name << " (DCMTK) is not installed"

// Little-endian implicit VR element, as command sets travel.
void AppendElement(Bytes& out, uint16_t element, const Bytes& value) {
    const Bytes header = {0x00,
                          0x00,
                          static_cast<uint8_t>(element),
                          static_cast<uint8_t>(element >> 8),
                          static_cast<uint8_t>(value.size()),
                          static_cast<uint8_t>(value.size() >> 8),
                          0x00,
                          0x00};
    out.insert(out.end(), header.begin(), header.end());
    out.insert(out.end(), value.begin(), value.end());
}

Bytes Us(uint16_t v) {
    return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8)};
}

// The value of a command element of group 0x0000 with a 16-bit value; 0 when absent.
uint16_t CommandUs(const Bytes& command, uint16_t element) {
    std::size_t at = 0;
    while (at + 8 <= command.size()) {
        const uint16_t e = static_cast<uint16_t>(command[at + 2] | (command[at + 3] << 8));
        const uint32_t length = command[at + 4] | (command[at + 5] << 8) | (command[at + 6] << 16) |
                                (static_cast<uint32_t>(command[at + 7]) << 24);
        if (at + 8 + length > command.size()) break;
        if (e == element && length == 2)
            return static_cast<uint16_t>(command[at + 8] | (command[at + 9] << 8));
        at += 8 + length;
    }
    return 0;
}

// A C-ECHO-RSP command set answering the given Message ID with status success.
Bytes EchoResponse(uint16_t messageId) {
    Bytes rest;
    AppendElement(rest, 0x0002, Cat({T(VERIFICATION), {0x00}}));  // Affected SOP Class UID
    AppendElement(rest, 0x0100, Us(0x8030));                      // Command Field: C-ECHO-RSP
    AppendElement(rest, 0x0120, Us(messageId));                   // Message ID Being Responded To
    AppendElement(rest, 0x0800, Us(0x0101));                      // Command Data Set Type: none
    AppendElement(rest, 0x0900, Us(0x0000));                      // Status: success
    Bytes command;
    const auto length = static_cast<uint32_t>(rest.size());
    AppendElement(command, 0x0000,
                  {static_cast<uint8_t>(length), static_cast<uint8_t>(length >> 8),
                   static_cast<uint8_t>(length >> 16), static_cast<uint8_t>(length >> 24)});
    return Cat({command, rest});
}

}  // namespace

TEST(DcmtkStorescp, OpenAndCloseVerificationAssociation) {
    REQUIRE_TOOL("storescp");
    testsupport::TempDir dir;
    const uint16_t port = testsupport::FreePort();
    testsupport::BackgroundProcess scp({"storescp", "-v", "--aetitle", "STORESCP", "-od",
                                        dir.Path().string(), std::to_string(port)},
                                       dir.Path(), NO_DELAY);
    ASSERT_TRUE(testsupport::WaitForListener(port)) << scp.Output();

    Association assoc;
    assoc.stream.Socket().SetReceiveTimeout(PEER_TIMEOUT);
    std::string calling = "TESSALY";
    ASSERT_TRUE(OpenAssoc(assoc, "127.0.0.1", std::to_string(port), calling, "STORESCP",
                          VERIFICATION, uid::ImplicitVRLittleEndian))
        << scp.Output();
    ASSERT_EQ(assoc.acceptedContexts.size(), 1u);
    EXPECT_EQ(assoc.acceptedContexts[0].id, 1);
    EXPECT_EQ(assoc.acceptedContexts[0].transferSyntax, uid::ImplicitVRLittleEndian);
    EXPECT_EQ(assoc.answer.calledAeTitle, "STORESCP");  // read without its space padding
    EXPECT_GT(assoc.answer.userInformation.maximumLength, 0u);
    EXPECT_FALSE(assoc.answer.userInformation.implementationClassUid.empty());
    EXPECT_TRUE(CloseAssoc(assoc));

    // A SOP class storescp does not take: every context refused, so no association.
    Association refused;
    refused.stream.Socket().SetReceiveTimeout(PEER_TIMEOUT);
    EXPECT_FALSE(OpenAssoc(refused, "127.0.0.1", std::to_string(port), calling, "STORESCP",
                           "1.2.840.10008.5.1.1.9", std::nullopt));
    EXPECT_FALSE(refused.stream.Connected());
    ASSERT_FALSE(refused.answer.contexts.empty());
    EXPECT_NE(refused.answer.contexts[0].result, 0);

    scp.Stop();
    const std::string log = scp.Output();
    EXPECT_NE(log.find("Association Received"), std::string::npos) << log;
    EXPECT_NE(log.find("Association Release"), std::string::npos) << log;
}

TEST(DcmtkEchoscu, AssociationAcceptedAndReleased) {
    REQUIRE_TOOL("echoscu");
    TcpSocket listener;
    ASSERT_TRUE(listener.ListenOn(0));
    const std::string port = std::to_string(listener.LocalPort());

    bool accepted = false;
    bool released = false;
    AssociateRQ request;
    std::thread acceptor([&] {
        if (!listener.Accept()) return;
        Association assoc;
        assoc.stream.Socket().SetReceiveTimeout(PEER_TIMEOUT);
        accepted = AcceptAssoc(assoc, listener.ReleaseConnection(),
                               dicomlib::store::AnswerWith(StandardProfile()));
        request = assoc.request;
        // Answer the echo with a canned response, then the release.
        Bytes command;
        while (accepted) {
            auto pdu = assoc.stream.ReadPdu();
            if (!pdu) break;
            if (pdu->type == PDU_RELEASE_RQ) {
                released = assoc.stream.Write(EncodeReleaseRP());
                break;
            }
            auto pdvs = DecodePDataTF(pdu->bytes);
            if (!pdvs) break;
            for (const auto& pdv : *pdvs) {
                command.insert(command.end(), pdv.data.begin(), pdv.data.end());
                if (pdv.control & PDV_LAST_FRAGMENT) {
                    assoc.stream.Write(EncodePDataTF(pdv.contextId, PDV_COMMAND | PDV_LAST_FRAGMENT,
                                                     EchoResponse(CommandUs(command, 0x0110))));
                    command.clear();
                }
            }
        }
        assoc.stream.Close();
    });

    auto result = testsupport::RunCommand(
        {"echoscu", "-v", "-aet", "ECHOSCU", "-aec", "ANY-SCP", "127.0.0.1", port}, NO_DELAY);
    acceptor.join();
    const std::string output = result.output + result.errors;
    EXPECT_TRUE(accepted);
    EXPECT_NE(output.find("Association Accepted"), std::string::npos) << output;
    EXPECT_NE(output.find("Received Echo Response (Success)"), std::string::npos) << output;
    EXPECT_EQ(result.exitCode, 0) << output;
    EXPECT_TRUE(released);
    EXPECT_EQ(request.callingAeTitle, "ECHOSCU");  // read without their space padding
    EXPECT_EQ(request.calledAeTitle, "ANY-SCP");
}
