#include "net/Dimse.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "DimseFixtures.h"
#include "data/Deflate.h"
#include "data/ElementList.h"
#include "data/Encoder.h"
#include "data/TransferSyntax.h"
#include "support/DataSetBuilder.h"
#include "support/TestSupport.h"

using namespace dicomlib;
using namespace dicomlib::net;
using namespace nettest;

namespace {

constexpr char VERIFICATION[] = "1.2.840.10008.1.1";
constexpr char GRAYSCALE_META[] = "1.2.840.10008.5.1.1.9";
constexpr char COLOR_META[] = "1.2.840.10008.5.1.1.18";
constexpr char PRINTER[] = "1.2.840.10008.5.1.1.16";
constexpr char FILM_SESSION[] = "1.2.840.10008.5.1.1.1";
constexpr char FILM_BOX[] = "1.2.840.10008.5.1.1.2";
constexpr char GRAYSCALE_IMAGE_BOX[] = "1.2.840.10008.5.1.1.4";
constexpr char COLOR_IMAGE_BOX[] = "1.2.840.10008.5.1.1.4.1";
constexpr char CT_IMAGE_STORAGE[] = "1.2.840.10008.5.1.4.1.1.2";

// Accepted contexts hold (ID, syntax); refused ones only appear among the proposals.
std::unique_ptr<Association> WithContexts(
    const std::vector<std::pair<uint8_t, std::string>>& proposals,
    const std::vector<uint8_t>& refused = {}) {
    auto assoc = std::make_unique<Association>();
    for (const auto& [id, abstractSyntax] : proposals) {
        assoc->request.contexts.push_back({id, abstractSyntax, {uid::ImplicitVRLittleEndian}});
        if (std::find(refused.begin(), refused.end(), id) == refused.end())
            assoc->acceptedContexts.push_back(
                {id, RESULT_ACCEPTANCE, uid::ImplicitVRLittleEndian, abstractSyntax});
    }
    return assoc;
}

void Add(ElementList& list, uint16_t group, uint16_t element, const char* vr, const Bytes& value) {
    list.Append(
        data::NewElement(group, element, static_cast<uint32_t>(value.size()), value.data(), vr));
}
void AddUndefined(ElementList& list, uint16_t group, uint16_t element, const char* vr) {
    list.Append(data::NewElement(group, element, UNDEFINED_LENGTH, nullptr, vr));
}

// The peer's side of a receive test: sends the bytes, then records the next PDU it gets (an
// A-ABORT, an A-RELEASE-RP) and whether the connection then ended.
struct Reply {
    Bytes pdu;
    bool closedAfterwards = false;
};

std::function<void(PduStream&)> SendThenRecord(std::vector<Bytes> sends, Reply& reply) {
    return [sends = std::move(sends), &reply](PduStream& s) {
        for (const auto& b : sends)
            s.Write(b);
        reply.pdu = ReadPduBytes(s);
        if (reply.pdu == RELEASE_RQ)
            s.Write(RELEASE_RP);
        else if (!reply.pdu.empty())
            reply.closedAfterwards = ClosedByOtherSide(s);
    };
}

const Bytes ECHO_RESPONSE = EchoResponseBytes(3, 0x0000);

}  // namespace

TEST(FindContextForClass, MetaClassesOwnProposalsAndRefusals) {
    struct Case {
        std::vector<std::pair<uint8_t, std::string>> proposals;
        std::vector<uint8_t> refused;
        std::vector<std::pair<const char*, int>> lookups;  // class, context expected
    };
    const Case cases[] = {
        // A print meta class stands for its members and itself.
        {{{1, GRAYSCALE_META}},
         {},
         {{FILM_SESSION, 1},
          {FILM_BOX, 1},
          {GRAYSCALE_IMAGE_BOX, 1},
          {PRINTER, 1},
          {COLOR_IMAGE_BOX, 0},
          {GRAYSCALE_META, 1},
          {VERIFICATION, 0}}},
        // A later meta class replaces an earlier one for the members they share.
        {{{1, GRAYSCALE_META}, {3, COLOR_META}},
         {},
         {{PRINTER, 3}, {GRAYSCALE_IMAGE_BOX, 1}, {COLOR_IMAGE_BOX, 3}}},
        // A proposal of the class itself is taken at once, before or after a meta class.
        {{{1, FILM_SESSION}, {3, GRAYSCALE_META}}, {}, {{FILM_SESSION, 1}}},
        {{{1, GRAYSCALE_META}, {3, FILM_BOX}}, {}, {{FILM_BOX, 3}, {FILM_SESSION, 1}}},
        // Refused proposals are skipped.
        {{{1, CT_IMAGE_STORAGE}, {3, CT_IMAGE_STORAGE}}, {1}, {{CT_IMAGE_STORAGE, 3}}},
        {{{1, CT_IMAGE_STORAGE}}, {1}, {{CT_IMAGE_STORAGE, 0}}},
        {{{1, GRAYSCALE_META}, {3, COLOR_META}}, {3}, {{PRINTER, 1}}},
    };
    for (const auto& c : cases) {
        auto assoc = WithContexts(c.proposals, c.refused);
        for (const auto& [sopClass, expected] : c.lookups)
            EXPECT_EQ(FindContextForClass(*assoc, sopClass), expected)
                << c.proposals[0].second << " " << sopClass;
    }

    auto assoc = WithContexts({{1, CT_IMAGE_STORAGE}, {3, CT_IMAGE_STORAGE}}, {1});
    EXPECT_EQ(AcceptedSyntaxOf(*assoc, 3), std::optional<std::string>(uid::ImplicitVRLittleEndian));
    EXPECT_EQ(AcceptedSyntaxOf(*assoc, 1), std::nullopt);
    EXPECT_EQ(AcceptedSyntaxOf(*assoc, 5), std::nullopt);
    // Nothing to send on: nothing goes out, and the unconnected stream is not even tried.
    auto none = WithContexts({{1, CT_IMAGE_STORAGE}}, {1});
    ElementList list;
    Add(list, 0x0008, 0x0016, "UI", T("1.2"));
    EXPECT_FALSE(SendMessage(*none, list, CT_IMAGE_STORAGE, MessageKind::DataSet));
}

TEST(SendMessage, CutsMessagesIntoFragmentsOf4096WithTheirControlHeaders) {
    std::vector<Bytes> got;
    PeerSession session;
    ASSERT_TRUE(session.Open([&](PduStream& s) {
        for (int i = 0; i < 6; ++i)
            got.push_back(ReadPduBytes(s));
    }));

    // 8 header bytes and 9992 value bytes: 10000 bytes of implicit VR little endian.
    Bytes pixels(9992);
    for (std::size_t i = 0; i < pixels.size(); ++i)
        pixels[i] = static_cast<uint8_t>(i * 7);
    ElementList dataSet;
    Add(dataSet, 0x7FE0, 0x0010, "OW", pixels);
    ElementList command;
    Add(command, 0x0000, 0x1000, "UI", pixels);
    ElementList empty;

    EXPECT_TRUE(SendMessage(session.assoc, empty, VERIFICATION, MessageKind::DataSet));
    EXPECT_TRUE(SendMessage(session.assoc, dataSet, VERIFICATION, MessageKind::DataSet));
    EXPECT_TRUE(SendMessage(session.assoc, command, VERIFICATION, MessageKind::Command));
    session.peer.Join();
    ASSERT_EQ(got.size(), 6u);

    const std::size_t sizes[] = {4096, 4096, 1808};
    const uint8_t dataControls[] = {0x00, 0x00, 0x02};
    const uint8_t commandControls[] = {0x01, 0x01, 0x03};
    for (int i = 0; i < 6; ++i) {
        const Bytes& pdu = got[static_cast<std::size_t>(i)];
        const std::size_t n = sizes[i % 3];
        ASSERT_EQ(pdu.size(), n + 12) << "PDU " << i;
        Bytes header = {0x04, 0x00, 0, 0, 0,    0,
                        0,    0,    0, 0, 0x01, i < 3 ? dataControls[i] : commandControls[i - 3]};
        Put32(header, 2, static_cast<uint32_t>(n + 6));
        Put32(header, 6, static_cast<uint32_t>(n + 2));
        EXPECT_EQ(Bytes(pdu.begin(), pdu.begin() + 12), header) << "PDU " << i;
    }
    EXPECT_EQ(JoinedPdvData({got[0], got[1], got[2]}), ImplicitElement(0x7FE0, 0x0010, pixels));
    EXPECT_EQ(JoinedPdvData({got[3], got[4], got[5]}), ImplicitElement(0x0000, 0x1000, pixels));
}

TEST(SendMessage, AMessageOfWholeFragmentsEndsWithAFullLastOne) {
    std::vector<Bytes> got;
    PeerSession session;
    ASSERT_TRUE(session.Open([&](PduStream& s) {
        for (int i = 0; i < 2; ++i)
            got.push_back(ReadPduBytes(s));
    }));
    ElementList dataSet;
    Add(dataSet, 0x7FE0, 0x0010, "OW", Bytes(2 * FRAGMENT_SIZE - 8, 0x11));
    EXPECT_TRUE(SendMessage(session.assoc, dataSet, VERIFICATION, MessageKind::DataSet));
    session.peer.Join();
    ASSERT_EQ(got.size(), 2u);
    for (std::size_t i = 0; i < 2; ++i) {
        ASSERT_EQ(got[i].size(), FRAGMENT_SIZE + 12);
        EXPECT_EQ(got[i][11], i == 0 ? 0x00 : 0x02);
    }
}

// A value left in its file goes out read from there, cut at the same places as the same value
// in memory; a file that no longer holds it fails the send and aborts the association.
TEST(SendMessage, ValuesLeftInTheirFileGoOutAsTheSameBytesOrAbort) {
    testsupport::TempDir dir;
    Bytes fileBytes(100 + 70001);
    for (std::size_t i = 0; i < fileBytes.size(); ++i)
        fileBytes[i] = static_cast<uint8_t>(i * 13 + 5);
    const Bytes value(fileBytes.begin() + 100, fileBytes.end());
    Bytes padded = value;
    padded.push_back(0);  // the value's even length: the file ends one byte short of it
    testsupport::WriteFileBytes(dir / "values.bin", fileBytes);
    const auto file = data::ValueFile::Open(dir / "values.bin");
    ASSERT_TRUE(file);
    const auto deferred = [&](ElementList& list) {
        Add(list, 0x0008, 0x0016, "UI", Uid("1.2.840.10008.5.1.4.1.1.7"));
        list.Append(data::NewDeferredElement(0x7FE0, 0x0010, "OW",
                                             static_cast<uint32_t>(padded.size()),
                                             {file, 100, static_cast<uint32_t>(value.size())}));
    };

    std::vector<MessagePart> got;
    std::promise<void> twoRead;
    PeerSession session;
    ASSERT_TRUE(session.Open([&](PduStream& s) {
        for (int i = 0; i < 2; ++i)
            got.push_back(ReadMessagePart(s));
        twoRead.set_value();
        got.push_back(ReadMessagePart(s));  // ends with the A-ABORT or the reset after it
    }));
    ElementList inFile;
    deferred(inFile);
    ASSERT_TRUE(data::IsDeferred(*inFile[1]));
    ElementList inMemory;
    Add(inMemory, 0x0008, 0x0016, "UI", Uid("1.2.840.10008.5.1.4.1.1.7"));
    Add(inMemory, 0x7FE0, 0x0010, "OW", padded);
    EXPECT_TRUE(SendMessage(session.assoc, inFile, VERIFICATION, MessageKind::DataSet));
    EXPECT_TRUE(SendMessage(session.assoc, inMemory, VERIFICATION, MessageKind::DataSet));
    EXPECT_TRUE(data::IsDeferred(*inFile[1]));  // read for the send, not brought into the list

    // The file cut short under the value: nothing sound can be sent. (The abort resets the
    // connection, which would take what the peer has not read yet with it.)
    twoRead.get_future().wait();
    std::filesystem::resize_file(dir / "values.bin", 30000);
    ElementList cut;
    deferred(cut);
    EXPECT_FALSE(SendMessage(session.assoc, cut, VERIFICATION, MessageKind::DataSet));
    session.peer.Join();
    EXPECT_FALSE(session.assoc.stream.Connected());

    ASSERT_EQ(got.size(), 3u);
    ASSERT_TRUE(got[0].ok);
    EXPECT_EQ(got[0].data, got[1].data);
    EXPECT_EQ(got[0].data, Cat({ImplicitElement(0x0008, 0x0016, Uid("1.2.840.10008.5.1.4.1.1.7")),
                                ImplicitElement(0x7FE0, 0x0010, padded)}));
    ASSERT_EQ(got[0].pdus.size(), got[1].pdus.size());
    for (std::size_t i = 0; i < got[0].pdus.size(); ++i)
        EXPECT_EQ(got[0].pdus[i].size(), got[1].pdus[i].size()) << "PDU " << i;
    EXPECT_EQ(got[0].pdus[0].size(), FRAGMENT_SIZE + 12);
    // Nothing of the cut message went out: the first fragment was still to be completed.
    EXPECT_FALSE(got[2].ok);
    for (const Bytes& pdu : got[2].pdus)
        EXPECT_EQ(pdu[0], PDU_ABORT);
}

TEST(SendMessage, DataSetsGoInTheAcceptedSyntaxAndComeBackWhole) {
    for (const std::string syntax : {uid::ExplicitVRLittleEndian, uid::ExplicitVRBigEndian,
                                     uid::DeflatedExplicitVRLittleEndian}) {
        SCOPED_TRACE(syntax);
        const bool big = syntax == uid::ExplicitVRBigEndian;
        // Values are held in the list's byte order already: rows 512 is 0x02 0x00 here.
        const Bytes uid = Uid("1.2.840.10008.5.1.4.1.1.7"), rows = {0x02, 0x00};
        const Bytes pixels = {0x12, 0x34, 0x56, 0x78};
        ElementList list;
        Add(list, 0x0008, 0x0016, "UI", uid);
        Add(list, 0x0010, 0x0010, "LO", T("DOE^JANE"));  // the dictionary says PN
        Add(list, 0x0028, 0x0010, "US", rows);
        AddUndefined(list, 0x0009, 0x1010, "UN");  // an undefined-length private sequence
        AddUndefined(list, 0xFFFE, 0xE000, nullptr);
        Add(list, 0x0010, 0x0020, nullptr, T("ID01"));
        Add(list, 0xFFFE, 0xE00D, nullptr, {});
        Add(list, 0xFFFE, 0xE0DD, nullptr, {});
        Add(list, 0x7FE0, 0x0010, "OW", pixels);
        const Bytes expected = testsupport::DataSetBuilder(true, big)
                                   .Element(0x0008, 0x0016, "UI", uid)
                                   .Element(0x0010, 0x0010, "PN", T("DOE^JANE"))
                                   .Element(0x0028, 0x0010, "US", rows)
                                   .Undefined(0x0009, 0x1010, "SQ")
                                   .Item()
                                   .Text(0x0010, 0x0020, "LO", "ID01")
                                   .ItemEnd()
                                   .SequenceEnd()
                                   .Element(0x7FE0, 0x0010, "OW", pixels)
                                   .Bytes();
        ElementList command;
        Add(command, 0x0000, 0x0100, "US", Le16(0x0030));

        MessagePart sent, sentCommand;
        PeerSession session;
        ASSERT_TRUE(session.Open(
            [&](PduStream& s) {
                sent = ReadMessagePart(s);
                sentCommand = ReadMessagePart(s);
                // Back again: a command (little endian whatever the context) and the data set.
                s.Write(PDataTF({{1, 0x03, ECHO_RESPONSE}, {1, 0x02, sent.data}}));
                ReadPduBytes(s);
            },
            syntax));
        ASSERT_TRUE(SendMessage(session.assoc, list, VERIFICATION, MessageKind::DataSet));
        ASSERT_TRUE(SendMessage(session.assoc, command, VERIFICATION, MessageKind::Command));
        // The dictionary's VR is stored into the element that was sent.
        EXPECT_EQ(std::string(list[1]->vr, 2), "PN");

        ElementList response, back;
        ASSERT_TRUE(ReceiveMessage(session.assoc, response));
        EXPECT_EQ(data::GetTagUS(response, 0x0000, 0x0120), 3);
        ASSERT_TRUE(ReceiveMessage(session.assoc, back));
        CloseAssoc(session.assoc);
        session.peer.Join();
        // A deflated data set is the raw deflate of its explicit little endian bytes.
        EXPECT_EQ(syntax == uid::DeflatedExplicitVRLittleEndian
                      ? data::InflateBytes(sent.data).bytes
                      : sent.data,
                  expected);
        EXPECT_EQ(sentCommand.data, ImplicitElement(0x0000, 0x0100, Le16(0x0030)));
        EXPECT_EQ(data::EncodeList(back, true, big), expected);
    }
}

TEST(ReceiveMessage, TakesSeveralPdvsOfOnePduAndKeepsTheRestForTheNextCall) {
    const Bytes dataSet =
        testsupport::DataSetBuilder(false, false).Text(0x0010, 0x0010, "PN", "DOE^JOHN").Bytes();
    const Bytes firstHalf(ECHO_RESPONSE.begin(), ECHO_RESPONSE.begin() + 30);
    const Bytes secondHalf(ECHO_RESPONSE.begin() + 30, ECHO_RESPONSE.end());
    const Bytes dsStart(dataSet.begin(), dataSet.begin() + 5);
    const Bytes dsEnd(dataSet.begin() + 5, dataSet.end());
    Reply reply;
    PeerSession session;
    ASSERT_TRUE(session.Open(SendThenRecord(
        {
            // A command in three PDVs of one PDU.
            PDataTF({{1, 0x01, Bytes(firstHalf.begin(), firstHalf.begin() + 10)},
                     {1, 0x01, Bytes(firstHalf.begin() + 10, firstHalf.end())},
                     {1, 0x03, secondHalf}}),
            // A command and the first part of its data set, then the data set's rest.
            PDataTF({{1, 0x03, ECHO_RESPONSE}, {1, 0x00, dsStart}}),
            PDataTF({{1, 0x02, dsEnd}}),
            // A command and its whole data set in one PDU.
            PDataTF({{1, 0x03, ECHO_RESPONSE}, {1, 0x00, dsStart}, {1, 0x02, dsEnd}}),
        },
        reply)));

    for (int round = 0; round < 3; ++round) {
        ElementList command;
        ASSERT_TRUE(ReceiveMessage(session.assoc, command)) << round;
        EXPECT_EQ(data::GetTagUS(command, 0x0000, 0x0100), 0x8030);
        EXPECT_EQ(data::GetTagUS(command, 0x0000, 0x0900), 0x0000);
        EXPECT_EQ(command.Size(), 6u);
        if (round == 0) continue;
        ElementList received;
        ASSERT_TRUE(ReceiveMessage(session.assoc, received)) << round;
        ASSERT_EQ(received.Size(), 1u);
        EXPECT_EQ(data::GetTagString(received, 0x0010, 0x0010), "DOE^JOHN");
        EXPECT_EQ(std::string(received[0]->vr, 2), "PN");  // implicit: the dictionary's VR
    }
    CloseAssoc(session.assoc);
    session.peer.Join();
    EXPECT_EQ(reply.pdu, RELEASE_RQ);
}

TEST(ReceiveMessage, ReleaseAbortStrayAndBrokenPdus) {
    const Bytes pdvTooLong = {
        0x04, 0x00, 0x00, 0x00, 0x00, 0x0A,  // P-DATA-TF, length 10
        0x00, 0x00, 0x00, 0x64,              // PDV item length 100: beyond the PDU
        0x01, 0x03, 0xAA, 0xBB, 0xCC, 0xDD,
    };
    const Bytes pdvTooShort = {
        0x04, 0x00, 0x00, 0x00, 0x00, 0x05,  // P-DATA-TF, length 5
        0x00, 0x00, 0x00, 0x01,              // PDV item length 1: no room for its header
        0x01,
    };
    Bytes trailing = Cat({PDataTF({{1, 0x03, ECHO_RESPONSE}}), {0x00, 0x00, 0x00}});
    Put32(trailing, 2, static_cast<uint32_t>(trailing.size() - 6));
    // The later PDV of a PDU is checked before the first is handed out.
    Bytes laterPdvBroken = PDataTF({{1, 0x03, ECHO_RESPONSE}, {1, 0x02, {0x01, 0x02}}});
    Put32(laterPdvBroken, laterPdvBroken.size() - 8, 0x10);
    // The value of (0000,0900) claims 100 bytes; 2 follow.
    const Bytes overrun = Cat({ImplicitElement(0x0000, 0x0100, Le16(0x8030)),
                               {0x00, 0x00, 0x00, 0x09, 0x64, 0x00, 0x00, 0x00, 0x00, 0x00}});
    const Bytes cutHeader = Cat({ImplicitElement(0x0000, 0x0100, Le16(0x8030)), {0x00, 0x00}});
    const Bytes noVr = {0x10, 0x00, 0x10, 0x00, 0x00, 0x00, 0x02, 0x00, 0x41, 0x42};

    struct Case {
        const char* name;
        Bytes sent;
        Bytes answer;    // what the peer gets back, empty for nothing
        bool stillOpen;  // the connection stays for CloseAssoc
        std::size_t decodedBefore = 0;
        std::optional<std::string> syntax = std::nullopt;
    };
    const Case cases[] = {
        {"release request", RELEASE_RQ, RELEASE_RP, true},
        {"release reply", RELEASE_RP, {}, false},
        {"abort", ABORT, {}, false},
        {"associate request", AssociateRqFixture(), ABORT, false},
        {"associate accept", AssociateAcFixture(), ABORT, false},
        {"associate reject", ASSOCIATE_RJ, ABORT, false},
        {"type 0x00", {0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00}, ABORT, false},
        {"type 0x08", {0x08, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00}, ABORT, false},
        {"PDV longer than its PDU", pdvTooLong, ABORT, false},
        {"PDV length below 2", pdvTooShort, ABORT, false},
        {"bytes after the last PDV", trailing, ABORT, false},
        {"broken later PDV", laterPdvBroken, ABORT, false},
        {"PDU length beyond the limit",
         {0x04, 0x00, 0xFF, 0xFF, 0xFF, 0xF0, 0x00, 0x00},
         ABORT,
         false},
        {"value past the message", PDataTF({{1, 0x03, overrun}}), ABORT, false, 1},
        {"message ends inside a header", PDataTF({{1, 0x03, cutHeader}}), ABORT, false, 1},
        {"context not accepted", PDataTF({{3, 0x03, ECHO_RESPONSE}}), ABORT, false},
        {"explicit VR without VR letters", PDataTF({{1, 0x02, noVr}}), ABORT, false, 0,
         uid::ExplicitVRLittleEndian},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Reply reply;
        PeerSession session;
        ASSERT_TRUE(session.Open(SendThenRecord({c.sent}, reply), c.syntax));
        ElementList list;
        EXPECT_FALSE(ReceiveMessage(session.assoc, list));
        EXPECT_EQ(session.assoc.stream.Connected(), c.stillOpen);
        CloseAssoc(session.assoc);
        session.peer.Join();
        EXPECT_EQ(reply.pdu, c.answer);
        // An abort is followed by the end of the connection.
        EXPECT_EQ(reply.closedAfterwards, c.answer == ABORT);
        EXPECT_EQ(list.Size(), c.decodedBefore);
    }
}

TEST(ReceiveMessage, ConnectionEndingInsideAMessageFails) {
    PeerSession session;
    ASSERT_TRUE(session.Open([](PduStream& s) { s.Write(PDataTF({{1, 0x01, {0x00, 0x00}}})); }));
    ElementList list;
    EXPECT_FALSE(ReceiveMessage(session.assoc, list));
    EXPECT_FALSE(session.assoc.stream.Connected());
    EXPECT_FALSE(ReceiveMessage(session.assoc, list));  // not connected: at once
    EXPECT_TRUE(list.Empty());
}
