#include "net/NService.h"

#include <gtest/gtest.h>

#include "DimseFixtures.h"
#include "data/Encoder.h"

using namespace dicomlib;
using namespace dicomlib::net;
using namespace nettest;

namespace {

constexpr char COMMITMENT[] = "1.2.840.10008.1.20.1";             // 20 characters
constexpr char COMMITMENT_INSTANCE[] = "1.2.840.10008.1.20.1.1";  // 22
constexpr char STEP[] = "1.2.840.10008.3.1.2.3.3";                // 23: padded to 24
constexpr char STEP_INSTANCE[] = "1.2.3.4.5";                     // 9: padded to 10

Bytes E(uint16_t element, const Bytes& value) {
    return ImplicitElement(0x0000, element, value);
}

Bytes Encoded(CommandSet command) {
    return data::EncodeList(command.List(), false);
}

}  // namespace

// The command sets that storage commitment and performed procedure steps send and answer.
TEST(NServiceCommandSets, RequestsAndResponsesByteExact) {
    // clang-format off
    const Bytes action = Cat({
        E(0x0000, Le32(28 + 30 + 10 + 10 + 10 + 10)),
        E(0x0003, Uid(COMMITMENT)),          // Requested SOP Class UID
        E(0x0100, Le16(0x0130)),             // N-ACTION-RQ
        E(0x0110, Le16(7)),                  // Message ID
        E(0x0800, Le16(0x0102)),             // the transaction's data set follows
        E(0x1001, Uid(COMMITMENT_INSTANCE)), // Requested SOP Instance UID
        E(0x1008, Le16(1)),                  // Action Type ID: request storage commitment
    });
    const Bytes eventReport = Cat({
        E(0x0000, Le32(28 + 30 + 10 + 10 + 10 + 10)),
        E(0x0002, Uid(COMMITMENT)),          // Affected SOP Class UID
        E(0x0100, Le16(0x0100)),             // N-EVENT-REPORT-RQ
        E(0x0110, Le16(4)),
        E(0x0800, Le16(0x0102)),
        E(0x1000, Uid(COMMITMENT_INSTANCE)), // Affected SOP Instance UID
        E(0x1002, Le16(2)),                  // Event Type ID: some failed
    });
    const Bytes eventReportResponse = Cat({
        E(0x0000, Le32(28 + 30 + 10 + 10 + 10 + 10 + 10)),
        E(0x0002, Uid(COMMITMENT)),
        E(0x0100, Le16(0x8100)),             // N-EVENT-REPORT-RSP
        E(0x0120, Le16(4)),                  // Message ID Being Responded To
        E(0x0800, Le16(0x0101)),             // nothing follows
        E(0x0900, Le16(0x0000)),
        E(0x1000, Uid(COMMITMENT_INSTANCE)),
        E(0x1002, Le16(2)),
    });
    const Bytes create = Cat({
        E(0x0000, Le32(32 + 10 + 10 + 10 + 18)),
        E(0x0002, Uid(STEP)),                // Affected SOP Class UID, 0x00 pad
        E(0x0100, Le16(0x0140)),             // N-CREATE-RQ
        E(0x0110, Le16(9)),
        E(0x0800, Le16(0x0102)),
        E(0x1000, Uid(STEP_INSTANCE)),       // the requestor names the instance
    });
    const Bytes set = Cat({
        E(0x0000, Le32(32 + 10 + 10 + 10 + 18)),
        E(0x0003, Uid(STEP)),
        E(0x0100, Le16(0x0120)),             // N-SET-RQ
        E(0x0110, Le16(11)),
        E(0x0800, Le16(0x0102)),
        E(0x1001, Uid(STEP_INSTANCE)),
    });
    const Bytes createResponse = Cat({
        E(0x0000, Le32(10 + 10 + 10 + 10)),  // neither class nor instance given
        E(0x0100, Le16(0x8140)),             // N-CREATE-RSP
        E(0x0120, Le16(9)),
        E(0x0800, Le16(0x0101)),
        E(0x0900, Le16(0x0110)),             // processing failure
    });
    // clang-format on
    EXPECT_EQ(Encoded(NActionRequest(COMMITMENT, COMMITMENT_INSTANCE, 7, 1, true)), action);
    EXPECT_EQ(Encoded(NEventReportRequest(COMMITMENT, COMMITMENT_INSTANCE, 4, 2, true)),
              eventReport);
    EXPECT_EQ(Encoded(NServiceResponse(N_EVENT_REPORT_RSP, COMMITMENT, COMMITMENT_INSTANCE, 4,
                                       STATUS_SUCCESS, false, 2)),
              eventReportResponse);
    EXPECT_EQ(Encoded(NCreateRequest(STEP, 9, STEP_INSTANCE)), create);
    EXPECT_EQ(Encoded(NSetRequest(STEP, STEP_INSTANCE, 11)), set);
    EXPECT_EQ(Encoded(NServiceResponse(N_CREATE_RSP, "", "", 9, 0x0110, false)), createResponse);
}

// Responses as a peer sends them: the data set it announces is read with it, and the status
// words are the N-services' own.
TEST(NServiceExchange, ReadsTheResponseTheDataSetAndTheStatusWords) {
    ScriptedScp peer(
        [](std::size_t n, const Bytes& command) {
            const uint16_t id = UsOf(command, tag::MessageID);
            if (n == 0) return ResponseBytes(0x8130, id, 0x0000, COMMITMENT);
            Command c = {{0x0002, Uid(COMMITMENT)},
                         {0x0100, Le16(0x8120)},
                         {0x0120, Le16(id)},
                         {0x0800, Le16(0x0102)},
                         {0x0900, Le16(0x0106)}};
            return CommandBytes(c);
        },
        "",
        [](std::size_t n, const Bytes&) {
            return n == 1 ? ImplicitElement(0x0008, 0x0070, T("MAKER ")) : Bytes();
        });
    Association assoc;
    assoc.stream.Socket().SetReceiveTimeout(PEER_TIMEOUT);
    std::string calling = "local";
    ASSERT_TRUE(
        OpenAssoc(assoc, "127.0.0.1", peer.Port(), calling, "remote", COMMITMENT, std::nullopt));
    CommandSet action = NActionRequest(COMMITMENT, COMMITMENT_INSTANCE, 3, 1, false);
    const NResponse done = NExchange(assoc, action, COMMITMENT, nullptr, N_ACTION_RSP);
    EXPECT_EQ(done.outcome, 0);

    ElementList attributes;
    attributes.Append(data::NewTextElement({0x0008, 0x0070}, "LO", "MAKER "));
    CommandSet set = NSetRequest(COMMITMENT, COMMITMENT_INSTANCE, 5);
    // An N-SET answered with an N-SET-RSP of status 0x0106 and a data set.
    const NResponse refused = NExchange(assoc, set, COMMITMENT, &attributes, N_SET_RSP);
    EXPECT_EQ(refused.outcome, 0x0106);
    EXPECT_EQ(data::GetTagString(refused.dataSet, 0x0008, 0x0070), "MAKER");
    EXPECT_EQ(DescribeNOutcome(refused, N_SET_RSP),
              "status 0x0106 (failure: invalid attribute value)");
    CloseAssoc(assoc);
    peer.Join();
    ASSERT_EQ(peer.dataSets.size(), 1u);
    EXPECT_TRUE(peer.released);
}
