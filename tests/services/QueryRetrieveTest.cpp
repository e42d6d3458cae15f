#include "services/QueryRetrieve.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "data/Encoder.h"
#include "net/DimseFixtures.h"
#include "net/TraceLog.h"
#include "services/QueryFixtures.h"
#include "services/Retrieve.h"
#include "services/Worklist.h"
#include "support/DataSetBuilder.h"
#include "support/TestSupport.h"

using namespace dicomlib;
using namespace dicomlib::services;
using namespace nettest;
using testsupport::DataSetBuilder;

namespace {

constexpr char WORKLIST[] = "1.2.840.10008.5.1.4.31";
constexpr char UID27[] = "1.2.840.10008.99.1.23456789";

Bytes E(uint16_t group, uint16_t element, const Bytes& value = {}) {
    return ImplicitElement(group, element, value);
}
Bytes Undefined(uint16_t group, uint16_t element) {
    return Cat({Le16(group), Le16(element), Le32(0xFFFFFFFF)});
}

// A key record of kind with the given fields set.
void* Key(RecordType kind, std::vector<std::pair<std::size_t, std::string>> fields = {}) {
    void* record = NewRecord(kind);
    for (const auto& [index, text] : fields)
        SetField(kind, record, index, text);
    return record;
}

std::string Field(const RecordList& list, std::size_t record, std::size_t index) {
    return FieldText(*list.Kind(), list[record], index);
}

}  // namespace

TEST(QueryCommandSets, FindMoveAndCancelRequestsByteExact) {
    // clang-format off
    const Bytes find = Cat({
        E(0x0000, 0x0000, Le32(28 + 48)),                 // group length L + 48
        E(0x0000, 0x0002, Uid(FIND)),                     // 27 characters and a 0x00
        E(0x0000, 0x0100, Le16(0x0020)),                  // C-FIND-RQ
        E(0x0000, 0x0110, Le16(7)),                       // Message ID
        E(0x0000, 0x0700, Le16(0x0000)),                  // priority medium
        E(0x0000, 0x0800, Le16(0x0102)),                  // an identifier follows
    });
    const Bytes move = Cat({
        E(0x0000, 0x0000, Le32(28 + 8 + 56)),             // L + D + 56
        E(0x0000, 0x0002, Uid(STUDY_ROOT_MOVE)),
        E(0x0000, 0x0100, Le16(0x0021)),                  // C-MOVE-RQ
        E(0x0000, 0x0110, Le16(9)),
        E(0x0000, 0x0600, T("TESSALY ")),                 // odd title: one space
        E(0x0000, 0x0700, Le16(0x0000)),
        E(0x0000, 0x0800, Le16(0x0102)),
    });
    const Bytes cancel = Cat({
        E(0x0000, 0x0000, Le32(30)),
        E(0x0000, 0x0100, Le16(0x0FFF)),                  // C-CANCEL-RQ
        E(0x0000, 0x0120, Le16(7)),                       // the C-FIND's Message ID
        E(0x0000, 0x0800, Le16(0x0101)),                  // nothing follows
    });
    // clang-format on
    EXPECT_EQ(data::EncodeList(net::CancelRequest(7).List(), false), cancel);
    EXPECT_EQ(data::EncodeList(FindRequest(FIND, 7).List(), false), find);
    EXPECT_EQ(data::EncodeList(MoveRequest(STUDY_ROOT_MOVE, 9, "TESSALY").List(), false), move);
}

TEST(QueryIdentifier, KeysInTagOrderWithTheirPadding) {
    void* study = Key(RecordType::Study, {{0, "DOE^JON"}, {9, UID27}, {5, "20240101-20240131"}});
    // clang-format off
    const Bytes studyBytes = Cat({
        E(0x0008, 0x0020, T("20240101-20240131 ")),      // StudyDate, a range padded to 18
        E(0x0008, 0x0030), E(0x0008, 0x0050),
        E(0x0008, 0x0052, T("STUDY ")),                  // the level in its tag place
        E(0x0008, 0x0061), E(0x0008, 0x0080), E(0x0008, 0x0090), E(0x0008, 0x1030),
        E(0x0010, 0x0010, T("DOE^JON ")),                // 7 characters and a space
        E(0x0010, 0x0020), E(0x0010, 0x0030), E(0x0010, 0x0040), E(0x0010, 0x1010),
        E(0x0020, 0x000D, Cat({T(UID27), {0x00}})),      // 27 characters and a 0x00
        E(0x0020, 0x0010),
    });
    const Bytes seriesBytes = Cat({
        E(0x0008, 0x0021), E(0x0008, 0x0031), E(0x0008, 0x0052, T("SERIES")),
        E(0x0008, 0x0060), E(0x0008, 0x103E), E(0x0018, 0x0015), E(0x0018, 0x1030),
        E(0x0018, 0x5100), E(0x0020, 0x000D), E(0x0020, 0x000E), E(0x0020, 0x0011),
    });
    // Of the higher levels only their unique keys: no (0020,0011) Series Number.
    const Bytes imageBytes = Cat({
        E(0x0008, 0x0008), E(0x0008, 0x0016), E(0x0008, 0x0018), E(0x0008, 0x0022),
        E(0x0008, 0x0023), E(0x0008, 0x0032), E(0x0008, 0x0033),
        E(0x0008, 0x0052, T("IMAGE ")),
        E(0x0020, 0x000D), E(0x0020, 0x000E), E(0x0020, 0x0012),
        E(0x0020, 0x0013), E(0x0020, 0x0030), E(0x0020, 0x0032), E(0x0020, 0x0037),
        E(0x0020, 0x0052), E(0x0020, 0x1041), E(0x0028, 0x0008),
    });
    // clang-format on
    void* series = Key(RecordType::Series);
    void* image = Key(RecordType::Image, {{8, "12"}});  // a Series Number set: still left out
    EXPECT_EQ(data::EncodeList(QueryIdentifier(RecordType::Study, study), false), studyBytes);
    EXPECT_EQ(data::EncodeList(QueryIdentifier(RecordType::Series, series), false), seriesBytes);
    EXPECT_EQ(data::EncodeList(QueryIdentifier(RecordType::Image, image), false), imageBytes);
    for (void* record : {study, series, image})
        EXPECT_TRUE(FreeLoneRecord(record));
}

TEST(WorklistIdentifier, TwentySixElementsWithTheStepItem) {
    void* key = Key(RecordType::Worklist,
                    {{0, "DOE^JO"}, {7, "never sent"}, {11, "20240301-20240331"}, {8, UID27}});
    // clang-format off
    const Bytes expected = Cat({
        E(0x0008, 0x0050), E(0x0010, 0x0010, T("DOE^JO")), E(0x0010, 0x0020),
        E(0x0010, 0x0030), E(0x0010, 0x0040),
        E(0x0010, 0x2110),                                // Allergies: always empty
        E(0x0020, 0x000D, Cat({T(UID27), {0x00}})),
        E(0x0032, 0x1032), E(0x0032, 0x1060),
        Undefined(0x0040, 0x0100),                        // the step sequence
        Undefined(0xFFFE, 0xE000),                        //   and its item
        E(0x0008, 0x0060), E(0x0032, 0x1070), E(0x0040, 0x0001),
        E(0x0040, 0x0002, T("20240301-20240331 ")),
        E(0x0040, 0x0003), E(0x0040, 0x0006), E(0x0040, 0x0007), E(0x0040, 0x0009),
        E(0x0040, 0x0010), E(0x0040, 0x0011), E(0x0040, 0x0012),
        E(0xFFFE, 0xE00D), E(0xFFFE, 0xE0DD),             // item and sequence delimiters
        E(0x0040, 0x1001), E(0x0040, 0x1003),
    });
    // clang-format on
    const ElementList identifier = WorklistIdentifier(key);
    EXPECT_EQ(identifier.Size(), 26u);
    EXPECT_EQ(data::EncodeList(identifier, false), expected);
    // In explicit VR the item and the delimiters keep their bare headers.
    const Bytes explicitBytes = data::EncodeList(identifier, true);
    for (const Bytes& bare :
         {Undefined(0xFFFE, 0xE000), Cat({E(0xFFFE, 0xE00D), E(0xFFFE, 0xE0DD)})})
        EXPECT_NE(std::search(explicitBytes.begin(), explicitBytes.end(), bare.begin(), bare.end()),
                  explicitBytes.end());
    EXPECT_TRUE(FreeLoneRecord(key));
}

// Every case runs on an association of its own against a peer that answers as scripted.
TEST(QueryResponses, AgainstAScriptedPeer) {
    testsupport::TempDir dir;
    const std::string trace = (dir / "trace.log").string();
    net::SetLog(trace, 1);
    const Bytes patient = Implicit([](DataSetBuilder& b) {
        b.Text(0x0010, 0x0010, "PN", "DOE^JOHN ").Text(0x0020, 0x0010, "SH", "S7");
    });

    struct FindCase {
        const char* name;
        std::vector<Bytes> answer;
        int32_t status;
        std::vector<std::vector<std::string>> records;  // PatientName, StudyID of each
        const char* end;                                // how the association ended
    };
    const FindCase finds[] = {
        {"0xFF01 with an identifier, success without",
         {Response(0xFF01, true), DataSetPdu(patient), Response(0x0000, false)},
         0,
         {{"DOE^JOHN ", "S7"}},
         "release"},
        {"a final failure with an identifier",
         {Response(0xFF00, true), DataSetPdu(patient), Response(0xA700, true),
          DataSetPdu(Implicit([](DataSetBuilder& b) { b.Text(0x0020, 0x0010, "SH", "X1"); }))},
         0xA700,
         {{"DOE^JOHN ", "S7"}, {"", "X1"}},
         "release"},
        {"a final failure without identifier",
         {Response(0xC001, false)},
         0xC001,
         {{"", ""}},
         "release"},
        {"no status at all reads as success",
         {PDataTF({{1, 0x03, CommandBytes({{0x0100, Le16(0x8020)}, {0x0800, Le16(0x0101)}})}})},
         0,
         {},
         "release"},
        {"elements of undefined length fill nothing, nested ones are not the study's",
         {Response(0xFF00, true), DataSetPdu(Implicit([](DataSetBuilder& b) {
              b.Undefined(0x0010, 0x0020, "")
                  .SequenceEnd()
                  .Undefined(0x0008, 0x1110, "")
                  .Item()
                  .Text(0x0020, 0x0010, "SH", "NESTED")
                  .ItemEnd()
                  .SequenceEnd()
                  .Text(0x0010, 0x0010, "PN", std::string_view("AFTER^IT\0GARBAGE", 16));
          })),
          Response(0x0000, false)},
         0,
         {{"AFTER^IT", ""}},
         "release"},
        {"a data set announced and not sent",
         {Response(0xFF00, true), Response(0x0000, false)},
         services::QUERY_NO_RESPONSE,
         {},
         "abort"},
        {"a response of another service",
         {Response(0x0000, false, 0x8021)},
         services::QUERY_NO_RESPONSE,
         {},
         "release"},
    };
    for (const auto& c : finds) {
        SCOPED_TRACE(c.name);
        QueryPeer peer(c.answer);
        RecordList list;
        list.Append(Key(RecordType::Study, {{0, "DOE*"}}));
        EXPECT_EQ(FindSCUStatus("127.0.0.1", peer.Port(), "local", "remote", "STUDY", list),
                  c.status);
        peer.Join();
        EXPECT_EQ(UsOf(peer.command.data, tag::CommandField), net::C_FIND_RQ);
        EXPECT_EQ(ParseImplicit(peer.identifier.data).Size(), 15u);
        ASSERT_EQ(list.Size(), c.records.size());  // the key record is gone
        for (std::size_t r = 0; r < list.Size(); ++r) {
            EXPECT_EQ(Field(list, r, 0), c.records[r][0]);
            EXPECT_EQ(Field(list, r, 7), c.records[r][1]);
        }
        ASSERT_FALSE(peer.end.empty());
        EXPECT_EQ(peer.end[0], std::string(c.end) == "abort" ? 0x07 : 0x05);
    }
    const std::string log = testsupport::ReadFileText(trace);
    EXPECT_NE(log.find("C-FIND-RSP: 0xA700 (refused: out of resources)"), std::string::npos);
    EXPECT_NE(log.find("C-FIND-RSP: 0xC001 (failed: unable to process)"), std::string::npos);
    EXPECT_NE(log.find("a command came where the data set belonged"), std::string::npos);

    // A peer that never stops answering "pending": the records up to the limit stay.
    {
        const Bytes pending = Response(0xFF00, false);
        Bytes endless;
        for (uint32_t i = 0; i < MAX_PENDING_RESPONSES + 10; ++i)
            endless.insert(endless.end(), pending.begin(), pending.end());
        QueryPeer peer({endless});
        RecordList list;
        list.Append(Key(RecordType::Series));
        EXPECT_EQ(FindSCUStatus("127.0.0.1", peer.Port(), "local", "remote", "SERIES", list),
                  services::QUERY_TOO_MANY_PENDING);
        peer.Join();
        EXPECT_EQ(list.Size(), MAX_PENDING_RESPONSES);
        EXPECT_NE(testsupport::ReadFileText(trace).find("more than 100000 pending responses"),
                  std::string::npos);
    }

    // C-MOVE: the remaining count of every response; a failure's data set is read and dropped.
    {
        const Command counts = {{0x1020, Le16(1)}, {0x1021, Le16(4)}, {0x1022, Le16(0)}};
        QueryPeer peer({Response(0xFF00, false, net::C_MOVE_RSP, counts),
                        Response(0xA702, true, net::C_MOVE_RSP, {{0x1022, Le16(5)}}),
                        DataSetPdu(Implicit(
                            [](DataSetBuilder& b) { b.Text(0x0008, 0x0058, "UI", "1.2.3.4"); }))});
        RecordList list;
        list.Append(Key(RecordType::Image, {{6, "1.2.3.4"}}));
        std::vector<MoveResponse> seen;
        EXPECT_EQ(MoveSCUStatus("127.0.0.1", peer.Port(), "local", "remote", "DEST", "IMAGE", list,
                                [&](const MoveResponse& r) { seen.push_back(r); }),
                  0xA702);
        peer.Join();
        EXPECT_EQ(list.Size(), 0u);
        ASSERT_EQ(seen.size(), 2u);
        EXPECT_EQ(seen[0].remaining, 1);
        EXPECT_EQ(seen[0].completed, 4);
        EXPECT_EQ(seen[0].warning, -1);
        EXPECT_EQ(seen[1].failed, 5);
        EXPECT_EQ(seen[1].remaining, -1);
        EXPECT_EQ(ParseImplicit(peer.identifier.data).Size(), 18u);  // every key of the level
        EXPECT_EQ(peer.end, RELEASE_RQ);
    }

    // Worklist: the step item in undefined length with a nested sequence of undefined length
    // before the step's later fields, and in defined length in explicit VR big endian.
    DataSetBuilder nested(false, false);
    nested.Text(0x0010, 0x0010, "PN", "ROE^JANE")
        .Text(0x0040, 0x0001, "AE", "OUTSIDE ")  // not in a step: ignored
        .Undefined(0x0040, 0x0100, "")
        .Item()
        .Text(0x0008, 0x0060, "CS", "MR")
        .Undefined(0x0040, 0x0008, "")
        .Item()
        .Text(0x0008, 0x0100, "SH", "X1")
        .ItemEnd()
        .SequenceEnd()
        .Text(0x0040, 0x0009, "SH", "SPS9")
        .ItemEnd()
        .SequenceEnd()
        .Text(0x0040, 0x1001, "SH", "RP1 ");
    DataSetBuilder item(true, true);
    item.Text(0x0008, 0x0060, "CS", "CT").Text(0x0040, 0x0001, "AE", "CT01");
    DataSetBuilder step(true, true);
    step.ItemWithValue(item.Bytes());
    DataSetBuilder bigEndian(true, true);
    bigEndian.Text(0x0010, 0x0010, "PN", "POE^AL")
        .Element(0x0040, 0x0100, "SQ", step.Bytes())
        .Text(0x0032, 0x1070, "LO", "IODINE");
    struct WorklistCase {
        const char* name;
        Bytes identifier;
        std::string syntax;
        std::vector<std::pair<std::size_t, std::string>> fields;
    };
    const WorklistCase worklists[] = {
        {"nested sequence inside the step item",
         nested.Bytes(),
         "",
         {{0, "ROE^JANE"}, {12, "MR"}, {16, "SPS9"}, {21, "RP1 "}, {13, ""}}},
        {"defined-length step sequence, explicit VR big endian",
         bigEndian.Bytes(),
         "1.2.840.10008.1.2.2",
         {{0, "POE^AL"}, {12, "CT"}, {13, "CT01"}, {15, "IODINE"}}},
    };
    for (const auto& c : worklists) {
        SCOPED_TRACE(c.name);
        QueryPeer peer({Response(0xFF00, true), DataSetPdu(c.identifier), Response(0, false)},
                       c.syntax);
        Association assoc;
        std::string calling = "local";
        std::optional<std::string_view> syntax;
        if (!c.syntax.empty()) syntax = c.syntax;
        ASSERT_TRUE(
            net::OpenAssoc(assoc, "127.0.0.1", peer.Port(), calling, "remote", WORKLIST, syntax));
        RecordList list;
        list.Append(Key(RecordType::Worklist, {{0, "*"}}));
        EXPECT_TRUE(WriteWLFindRQ(assoc, list, WORKLIST));
        EXPECT_EQ(list.Size(), 1u);  // the key record stays for the caller
        EXPECT_TRUE(ClearWL(list));
        EXPECT_EQ(ReadWLFindRSP(assoc, list), net::STATUS_PENDING);
        EXPECT_EQ(ReadWLFindRSP(assoc, list), 0);
        net::CloseAssoc(assoc);
        peer.Join();
        ASSERT_EQ(list.Size(), 1u);
        for (const auto& [index, text] : c.fields)
            EXPECT_EQ(Field(list, 0, index), text) << index;
    }
    net::SetLog("", 0);
}

TEST(QueryCancel, PendingsAfterTheCancelAreDroppedUpToTheFinalResponseOrTheLimit) {
    struct CancelCase {
        uint32_t pendings;  // sent before the final response
        std::optional<uint16_t> final;
        int32_t outcome;
    };
    const CancelCase cases[] = {
        {4, 0xFE00, 0xFE00},
        {2, 0x0000, 0x0000},  // the query ended before the peer saw the cancel
        {MAX_RESPONSES_AFTER_CANCEL + 3, std::nullopt, services::QUERY_TOO_MANY_PENDING},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.pendings);
        std::vector<Bytes> answer(c.pendings, Response(0xFF00, false));
        if (c.final) answer.push_back(Response(*c.final, false));
        QueryPeer peer(answer);
        Association assoc;
        std::string calling = "local";
        ASSERT_TRUE(
            net::OpenAssoc(assoc, "127.0.0.1", peer.Port(), calling, "remote", FIND, std::nullopt));
        RecordList list;
        list.Append(Key(RecordType::Study));
        ASSERT_EQ(SendFind(assoc, list, FIND, "STUDY"), 0);
        EXPECT_EQ(ReadFindRSP(assoc, list, "STUDY"), net::STATUS_PENDING);
        EXPECT_EQ(CancelQuery(assoc, net::C_FIND_RSP), c.outcome);
        EXPECT_EQ(list.Size(), 1u);  // nothing kept after the cancel
        net::CloseAssoc(assoc);
        peer.Join();
        // The cancel names the C-FIND's Message ID.
        const Bytes cancel = CommandBytes(
            {{0x0100, Le16(0x0FFF)}, {0x0120, Le16(assoc.queryMessageId)}, {0x0800, Le16(0x0101)}});
        EXPECT_TRUE(
            peer.cancel.size() > cancel.size() &&
            std::equal(cancel.begin(), cancel.end(), peer.cancel.end() - std::ssize(cancel)));
        ASSERT_FALSE(peer.end.empty());
        EXPECT_EQ(peer.end[0], c.final ? 0x05 : 0x07);  // released, or aborted past the limit
        ClearQuery(list, "STUDY");
    }
}

TEST(FindSCU, AnAbortOrAnUnsoundAnswerToTheRequestIsNoLackOfConnection) {
    const std::pair<Bytes, int32_t> answers[] = {{ABORT, services::QUERY_ASSOCIATION_ABORTED},
                                                 {P_DATA_TF, services::QUERY_MALFORMED_ANSWER},
                                                 {ASSOCIATE_RJ, services::QUERY_REJECTED}};
    for (const auto& [answer, outcome] : answers) {
        FakePeer peer;
        peer.Start([&answer = answer](net::PduStream& s) {
            ReadPduBytes(s);
            s.Write(answer);
            ReadPduBytes(s);
        });
        RecordList list;
        list.Append(Key(RecordType::Study, {{0, "DOE*"}}));
        EXPECT_EQ(FindSCUStatus("127.0.0.1", peer.Port(), "local", "remote", "STUDY", list),
                  outcome);
        peer.Join();
        EXPECT_EQ(list.Size(), 1u);  // nothing was sent
        EXPECT_STRNE(QueryFailureText(outcome), QueryFailureText(services::QUERY_NO_CONNECTION));
    }
}

// What a peer sends while a C-FIND waits for its responses goes through the dispatcher: a
// request is answered as not served (or by the handler the association has for it) and the
// query goes on; a command that does not exist aborts the association.
TEST(QueryDispatch, RequestsArrivingDuringAQueryAreAnsweredAndTheQueryGoesOn) {
    constexpr char CT[] = "1.2.840.10008.5.1.4.1.1.2";
    const Bytes storeRq = PDataTF({{1, 0x03,
                                    CommandBytes({{0x0002, Uid(CT)},
                                                  {0x0100, Le16(0x0001)},
                                                  {0x0110, Le16(77)},
                                                  {0x0700, Le16(0)},
                                                  {0x0800, Le16(0x0000)},
                                                  {0x1000, Uid("1.2.3.4")}})}});
    const Bytes instance =
        DataSetPdu(Implicit([](DataSetBuilder& b) { b.Text(0x0008, 0x0018, "UI", "1.2.3.4"); }));
    const Bytes patient =
        Implicit([](DataSetBuilder& b) { b.Text(0x0010, 0x0010, "PN", "DOE^JOHN "); });
    const std::vector<Bytes> answer = {storeRq, instance, Response(0xFF00, true),
                                       DataSetPdu(patient), Response(0x0000, false)};
    {
        QueryPeer peer(answer);
        RecordList list;
        list.Append(Key(RecordType::Study));
        EXPECT_EQ(FindSCUStatus("127.0.0.1", peer.Port(), "local", "remote", "STUDY", list), 0);
        peer.Join();
        ASSERT_EQ(list.Size(), 1u);
        EXPECT_EQ(Field(list, 0, 0), "DOE^JOHN ");
        // clang-format off
        const Bytes expected = CommandBytes({
            {0x0002, Uid(CT)},                          // the request's class
            {0x0100, Le16(0x8001)},                     // C-STORE-RSP
            {0x0120, Le16(77)},                         // the request's Message ID
            {0x0800, Le16(0x0101)},                     // no data set
            {0x0900, Le16(0x0122)},                     // SOP class not supported
            {0x0902, T("C-STORE-RQ not served here")},  // Error Comment
        });
        // clang-format on
        EXPECT_EQ(peer.cancel, PDataTF({{1, 0x03, expected}}));
        EXPECT_EQ(peer.end, RELEASE_RQ);
    }
    {
        // A handler registered on the association serves the sub-operation instead.
        QueryPeer peer(answer);
        Association assoc;
        std::string calling = "local";
        ASSERT_TRUE(
            net::OpenAssoc(assoc, "127.0.0.1", peer.Port(), calling, "remote", FIND, std::nullopt));
        std::vector<std::string> stored;
        assoc.handlers.On(net::C_STORE_RQ, [&](Association&, net::DimseMessage& m) {
            stored.push_back(m.SopClass() + " " +
                             data::GetTagString(m.dataSet, tag::SOPInstanceUID));
            return net::HandlerResult::Continue;
        });
        RecordList list;
        list.Append(Key(RecordType::Study));
        ASSERT_EQ(SendFind(assoc, list, FIND, "STUDY"), 0);
        EXPECT_EQ(ReadFindRSP(assoc, list, "STUDY"), 0xFF00);
        EXPECT_EQ(ReadFindRSP(assoc, list, "STUDY"), 0);
        EXPECT_EQ(stored, std::vector<std::string>{std::string(CT) + " 1.2.3.4"});
        net::CloseAssoc(assoc);
        peer.Join();
        EXPECT_TRUE(peer.cancel.empty());
    }
    {
        QueryPeer peer(
            {PDataTF({{1, 0x03, CommandBytes({{0x0100, Le16(0x0042)}, {0x0800, Le16(0x0101)}})}})});
        RecordList list;
        list.Append(Key(RecordType::Study));
        EXPECT_EQ(FindSCUStatus("127.0.0.1", peer.Port(), "local", "remote", "STUDY", list),
                  services::QUERY_NO_RESPONSE);
        peer.Join();
        EXPECT_EQ(peer.end, ABORT);
    }
}

// A C-GET asks for our SCP role in the request; a peer that does not grant it, and then reports
// a completed sub-operation that never came, is said and fails.
// A retrieve cancelled after its first pending response: the C-CANCEL-RQ names the C-GET's
// Message ID, and the peer's final response and its counts are what the caller gets.
TEST(GetSCU, ACancelGoesOutAfterAResponseAndTheFinalOneIsKept) {
    testsupport::TempDir dir;
    FakePeer peer;
    MessagePart cancel;
    peer.Start([&](net::PduStream& s) {
        AcceptAssociation(s);
        ReadMessagePart(s);
        ReadMessagePart(s);
        s.Write(Response(0xFF00, false, 0x8010, {{0x1020, Le16(3)}, {0x1021, Le16(0)}}));
        cancel = ReadMessagePart(s);
        s.Write(Response(0xFE00, false, 0x8010,
                         {{0x1020, Le16(3)}, {0x1021, Le16(0)}, {0x1022, Le16(0)}}));
        if (ReadPduBytes(s) == RELEASE_RQ) s.Write(RELEASE_RP);
    });
    GetJob job;
    job.level = "STUDY";
    job.storageClasses = {"1.2.840.10008.5.1.4.1.1.2"};
    job.directory = dir.Path().string();
    job.indexRoot = dir / "Database";
    uint32_t responses = 0;
    job.cancelled = [&] { return responses > 0; };
    RecordList list;
    list.Append(Key(RecordType::Study, {{9, "1.2.3"}}));
    std::vector<std::string> notes;
    services::GetProgress last;
    EXPECT_EQ(GetSCUStatus(
                  net::SettingsFor("127.0.0.1", peer.Port(), "local", "remote"), job, list, last,
                  [&](const services::GetProgress&) { ++responses; },
                  [&](const std::string& w) { notes.push_back(w); }),
              0xFE00);
    peer.Join();
    EXPECT_EQ(responses, 2u);
    EXPECT_EQ(last.response.remaining, 3);
    EXPECT_EQ(notes.back(), "C-CANCEL-RQ sent: waiting for the peer's final response");
    EXPECT_EQ(cancel.data, CommandBytes({
                               {0x0100, Le16(0x0FFF)},  // C-CANCEL-RQ
                               {0x0120, Le16(9)},       // the C-GET-RQ's Message ID
                               {0x0800, Le16(0x0101)},  // no data set
                           }));
}

TEST(GetSCU, ARoleNotGrantedIsSaidAndASuccessWithoutTheInstanceFails) {
    constexpr char CT[] = "1.2.840.10008.5.1.4.1.1.2";
    testsupport::TempDir dir;
    FakePeer peer;
    Bytes rq;
    MessagePart command, identifier;
    peer.Start([&](net::PduStream& s) {
        rq = AcceptAssociation(s);
        command = ReadMessagePart(s);
        identifier = ReadMessagePart(s);
        s.Write(Response(0x0000, false, 0x8010,
                         {{0x1021, Le16(1)}, {0x1022, Le16(0)}, {0x1023, Le16(0)}}));
        if (ReadPduBytes(s) == RELEASE_RQ) s.Write(RELEASE_RP);
    });
    GetJob job;
    job.level = "STUDY";
    job.storageClasses = {CT};
    job.directory = dir.Path().string();
    job.indexRoot = dir / "Database";
    RecordList list;
    list.Append(Key(RecordType::Study, {{9, "1.2.3"}}));
    std::vector<std::string> notes;
    services::GetProgress last;
    EXPECT_EQ(GetSCUStatus(net::SettingsFor("127.0.0.1", peer.Port(), "local", "remote"), job, list,
                           last, {}, [&](const std::string& w) { notes.push_back(w); }),
              services::GET_INCOMPLETE);
    peer.Join();
    EXPECT_EQ(notes, std::vector<std::string>{"the peer did not accept our SCP role for CT Image "
                                              "Storage: it cannot send CT on this association"});
    EXPECT_EQ(last.received, 0u);
    EXPECT_EQ(last.response.completed, 1);

    // clang-format off
    const Bytes role = Cat({
        {0x54, 0x00, 0x00, 0x1D},  // role selection sub-item, length 29
        {0x00, 0x19}, T(CT),       // the SOP class, not padded
        {0x00, 0x01},              // SCU role 0, SCP role 1
    });
    EXPECT_EQ(command.data, CommandBytes({
        {0x0002, Uid(STUDY_ROOT_GET)},  // Affected SOP Class UID
        {0x0100, Le16(0x0010)},         // C-GET-RQ
        {0x0110, Le16(9)},              // Message ID, after the four context IDs
        {0x0700, Le16(0x0000)},         // medium priority
        {0x0800, Le16(0x0102)},         // an identifier follows
    }));
    // clang-format on
    // In the user information, before the implementation version name.
    const Bytes version = Cat({{0x55, 0x00, 0x00, 0x0C}, T("OstrovaPrism")});
    EXPECT_EQ(Bytes(rq.end() - std::ssize(role) - std::ssize(version), rq.end()),
              Cat({role, version}));
    EXPECT_TRUE(identifier.ok);
}

// Patient Root below the patient level: the series record holds no Patient ID, so the job's
// goes into the identifier, in its tag place, beside the series' unique keys.
TEST(GetSCU, PatientRootNamesThePatientAboveTheSeries) {
    testsupport::TempDir dir;
    FakePeer peer;
    MessagePart command, identifier;
    peer.Start([&](net::PduStream& s) {
        AcceptAssociation(s, "1.2.840.10008.1.2");
        command = ReadMessagePart(s);
        identifier = ReadMessagePart(s);
        s.Write(Response(0x0000, false, 0x8010,
                         {{0x1021, Le16(0)}, {0x1022, Le16(0)}, {0x1023, Le16(0)}}));
        if (ReadPduBytes(s) == RELEASE_RQ) s.Write(RELEASE_RP);
    });
    GetJob job;
    job.sopClassUid = PATIENT_ROOT_GET;
    job.level = "SERIES";
    job.patientId = "PAT1";
    job.storageClasses = {"1.2.840.10008.5.1.4.1.1.2"};
    job.directory = dir.Path().string();
    job.indexRoot = dir / "Database";
    void* key = NewRecord(RecordType::Series);
    SetFieldNamed(RecordType::Series, key, "StudyInstanceUID", "1.2.3");
    SetFieldNamed(RecordType::Series, key, "SeriesInstanceUID", "1.2.3.4");
    RecordList list;
    list.Append(key);
    services::GetProgress last;
    EXPECT_EQ(GetSCUStatus(net::SettingsFor("127.0.0.1", peer.Port(), "local", "remote"), job, list,
                           last, {}, {}),
              0x0000);
    peer.Join();
    const Bytes model = ImplicitElement(0x0000, 0x0002, Uid(PATIENT_ROOT_GET));
    EXPECT_NE(std::search(command.data.begin(), command.data.end(), model.begin(), model.end()),
              command.data.end());
    // clang-format off
    EXPECT_EQ(identifier.data, Cat({
        E(0x0008, 0x0052, T("SERIES")),
        E(0x0010, 0x0020, T("PAT1")),               // the patient, between level and study
        E(0x0020, 0x000D, Cat({T("1.2.3"), {0x00}})),
        E(0x0020, 0x000E, Cat({T("1.2.3.4"), {0x00}})),
    }));
    // clang-format on
}

// A strictly hierarchical peer refuses an image-level query without the series: the classes
// are then asked series by series, on the same association.
TEST(GetSCU, ThePeersClassesAreAskedSeriesBySeriesWhereItWantsTheSeriesNamed) {
    constexpr char RT_PLAN[] = "1.2.840.10008.5.1.4.1.1.481.5";
    FakePeer peer;
    std::vector<MessagePart> identifiers;
    peer.Start([&](net::PduStream& s) {
        AcceptAssociation(s, "1.2.840.10008.1.2");
        const auto ask = [&] {
            ReadMessagePart(s);
            identifiers.push_back(ReadMessagePart(s));
        };
        ask();  // image level, no series: refused
        s.Write(Response(0xA900, false));
        ask();  // the study's series
        for (const char* series : {"1.2.3.1", "1.2.3.2"}) {
            s.Write(Response(0xFF00, true));
            s.Write(DataSetPdu(Implicit(
                [&](testsupport::DataSetBuilder& b) { b.Text(0x0020, 0x000E, "UI", series); })));
        }
        s.Write(Response(0x0000, false));
        for (const char* sopClass : {RT_PLAN, "1.2.840.10008.5.1.4.1.1.2"}) {
            ask();  // the images of one series
            s.Write(Response(0xFF00, true));
            s.Write(DataSetPdu(Implicit(
                [&](testsupport::DataSetBuilder& b) { b.Text(0x0008, 0x0016, "UI", sopClass); })));
            s.Write(Response(0x0000, false));
        }
        if (ReadPduBytes(s) == RELEASE_RQ) s.Write(RELEASE_RP);
    });
    void* key = NewRecord(RecordType::Study);
    SetFieldNamed(RecordType::Study, key, "StudyInstanceUID", "1.2.3");
    std::string caveat;
    const auto classes =
        StorageClassesThePeerNames(net::SettingsFor("127.0.0.1", peer.Port(), "local", "remote"),
                                   RecordType::Study, key, caveat);
    peer.Join();
    EXPECT_TRUE(FreeLoneRecord(key));
    EXPECT_EQ(classes, (std::vector<std::string>{"1.2.840.10008.5.1.4.1.1.2", RT_PLAN}));
    EXPECT_EQ(caveat, "");
    ASSERT_EQ(identifiers.size(), 4u);
    const Bytes seriesKey = E(0x0020, 0x000E, Cat({T("1.2.3.2"), {0x00}}));
    EXPECT_NE(std::search(identifiers[3].data.begin(), identifiers[3].data.end(), seriesKey.begin(),
                          seriesKey.end()),
              identifiers[3].data.end());
}
