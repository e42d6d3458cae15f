#include "services/Mpps.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>

#include "data/Encoder.h"
#include "net/DimseFixtures.h"
#include "support/TestSupport.h"
#include "zedavura.h"

using namespace dicomlib;
using namespace nettest;

namespace {

constexpr char MPPS[] = "1.2.840.10008.3.1.2.3.3";

Bytes Text(uint16_t group, uint16_t element, std::string text) {
    if (text.size() % 2 != 0) text += ' ';
    return ImplicitElement(group, element, Bytes(text.begin(), text.end()));
}

Bytes NResponse(uint16_t field, uint16_t messageId, uint16_t status, const std::string& instance) {
    return CommandBytes({{0x0002, Uid(MPPS)},
                         {0x0100, Le16(field)},
                         {0x0120, Le16(messageId)},
                         {0x0800, Le16(0x0101)},
                         {0x0900, Le16(status)},
                         {0x1000, Uid(instance)}});
}

uint16_t MessageIdOf(const Bytes& command) {
    return UsOf(command, tag::MessageID);
}

// The text of an element of an implicit VR command set, pads taken off.
std::string TextOf(const Bytes& bytes, uint16_t group, uint16_t element) {
    for (std::size_t at = 0; at + 8 <= bytes.size();) {
        const auto g = static_cast<uint16_t>(bytes[at] | (bytes[at + 1] << 8)),
                   e = static_cast<uint16_t>(bytes[at + 2] | (bytes[at + 3] << 8));
        const uint32_t length = bytes[at + 4] | (bytes[at + 5] << 8) | (bytes[at + 6] << 16) |
                                (uint32_t(bytes[at + 7]) << 24);
        if (g == group && e == element) {
            std::string text(bytes.begin() + at + 8, bytes.begin() + at + 8 + length);
            while (!text.empty() && (text.back() == '\0' || text.back() == ' '))
                text.pop_back();
            return text;
        }
        at += 8 + length;
    }
    return {};
}

bool Holds(const Bytes& bytes, const Bytes& part) {
    return std::search(bytes.begin(), bytes.end(), part.begin(), part.end()) != bytes.end();
}

}  // namespace

// The final N-SET carries status, end date and time, and per series its references in tag
// order, every attribute the step asks for present, empty where nothing is known.
TEST(Mpps, TheFinalDataSetByteForByte) {
    services::PerformedSeries series{
        "1.2.3.4",
        "HEAD",
        "ROUTINE",
        {{"1.2.840.10008.5.1.4.1.1.2", "1.2.3.4.1"}, {"1.2.840.10008.5.1.4.1.1.2", "1.2.3.4.2"}}};
    const Bytes image1 = Cat({ImplicitElement(0x0008, 0x1150, Uid("1.2.840.10008.5.1.4.1.1.2")),
                              ImplicitElement(0x0008, 0x1155, Uid("1.2.3.4.1"))});
    const Bytes image2 = Cat({ImplicitElement(0x0008, 0x1150, Uid("1.2.840.10008.5.1.4.1.1.2")),
                              ImplicitElement(0x0008, 0x1155, Uid("1.2.3.4.2"))});
    const Bytes expected = Cat(
        {Text(0x0040, 0x0250, "20261209"), Text(0x0040, 0x0251, "101500"),
         Text(0x0040, 0x0252, "COMPLETED"),
         Sequence(
             0x0040, 0x0340,
             {Cat({Text(0x0008, 0x0054, ""), Text(0x0008, 0x103E, "HEAD"), Text(0x0008, 0x1050, ""),
                   Text(0x0008, 0x1070, ""), Sequence(0x0008, 0x1140, {image1, image2}),
                   Text(0x0018, 0x1030, "ROUTINE"), ImplicitElement(0x0020, 0x000E, Uid("1.2.3.4")),
                   Sequence(0x0040, 0x0220, {})})})});
    EXPECT_EQ(data::EncodeList(
                  services::MppsFinalDataSet("COMPLETED", "20261209", "101500", {series}), false),
              expected);
    EXPECT_EQ(services::NewUid().rfind("2.25.", 0), 0u);
    EXPECT_NE(services::NewUid(), services::NewUid());
}

// Create then end a step against a provider that keeps the state: the N-CREATE names our
// instance and goes IN PROGRESS with the scheduled step's attributes; the N-SET ends it; a
// second N-SET is refused with 0x0110 and the words say the step cannot change any more.
TEST(Mpps, CreateThenCompleteAndTheStepCannotChangeAgain) {
    // One association per request, each with a provider of its own that shares the step's state.
    std::string created;
    bool ended = false;
    const auto provider = [&] {
        return std::make_unique<ScriptedScp>([&](std::size_t, const Bytes& command) {
            if (UsOf(command, tag::CommandField) == 0x0140) {
                created = TextOf(command, 0x0000, 0x1000);
                return NResponse(0x8140, MessageIdOf(command), 0, created);
            }
            const uint16_t status = ended ? 0x0110 : 0;
            ended = true;
            return NResponse(0x8120, MessageIdOf(command), status, created);
        });
    };
    const char* fields[] = {"PatientName", "PatientID", "AccessionNumber", "Modality"};
    const char* values[] = {"DOE^JANE", "P-17", "ACC-5", "CT"};
    char uid[65] = {};
    auto peer = provider();
    std::string port;
    ConnectionOptions ris{};
    ris.structSize = sizeof ris;
    ris.host = "127.0.0.1";
    ris.callingAeTitle = "MODALITY";
    ris.calledAeTitle = "RIS";
    const auto at = [&](const std::string& p) {
        port = p;
        ris.port = port.c_str();
        return &ris;
    };
    ASSERT_EQ(MppsCreateSCU(at(peer->Port()), fields, values, 4, uid, sizeof uid), 0);
    peer->Join();
    ASSERT_EQ(created, uid);
    ASSERT_EQ(peer->dataSets.size(), 1u);
    for (const Bytes& part : {Text(0x0008, 0x0060, "CT"), Text(0x0010, 0x0010, "DOE^JANE"),
                              Text(0x0040, 0x0241, "MODALITY"), Text(0x0040, 0x0252, "IN PROGRESS"),
                              Text(0x0008, 0x0050, "ACC-5")})
        EXPECT_TRUE(Holds(peer->dataSets[0].data, part));

    const auto ct = testsupport::PydicomTestFiles() / "CT_small.dcm";
    const std::string file = ct.string();
    const char* files[] = {file.c_str()};
    const uint32_t count = std::filesystem::exists(ct) ? 1 : 0;
    peer = provider();
    EXPECT_EQ(MppsSetSCU(at(peer->Port()), uid, "COMPLETED", files, count), 0);
    peer->Join();
    ASSERT_EQ(peer->dataSets.size(), 1u);
    EXPECT_TRUE(Holds(peer->dataSets[0].data, Text(0x0040, 0x0252, "COMPLETED")));
    EXPECT_EQ(TextOf(peer->commands[0].data, 0x0000, 0x1001), uid);

    peer = provider();
    EXPECT_EQ(MppsSetSCU(at(peer->Port()), uid, "DISCONTINUED", nullptr, 0), 0x0110);
    peer->Join();
    char why[512];
    LastFailureText(why, sizeof why);
    EXPECT_NE(std::string(why).find("cannot be changed any more"), std::string::npos) << why;
    EXPECT_EQ(MppsSetSCU(at("1"), uid, "DONE", nullptr, 0), MPPS_BAD_ARGUMENT);
}
