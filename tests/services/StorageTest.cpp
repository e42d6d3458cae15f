#include "services/Storage.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "data/Datadec.h"
#include "data/Encoder.h"
#include "data/Tags.h"
#include "imaging/LosslessJpeg.h"
#include "net/DimseFixtures.h"
#include "net/TraceLog.h"
#include "support/DataSetBuilder.h"
#include "support/TestSupport.h"
#include "zedavura.h"

using namespace dicomlib;
using namespace dicomlib::net;
using namespace nettest;
using testsupport::DataSetBuilder;
namespace fs = std::filesystem;

namespace {

constexpr char SECONDARY_CAPTURE[] = "1.2.840.10008.5.1.4.1.1.7";  // 25 characters
constexpr char XA_IMAGE[] = "1.2.840.10008.5.1.4.1.1.12.1";        // 28 characters
constexpr char IMPLICIT[] = "1.2.840.10008.1.2";
constexpr char EXPLICIT[] = "1.2.840.10008.1.2.1";
constexpr char BIG[] = "1.2.840.10008.1.2.2";

// A small Secondary Capture data set: the class (stored with its pad), the instance UID stored
// exactly as given (none: left out), a name, rows 2, columns 3 and six 16-bit pixels. Values
// are big endian in a big-endian body, or under little-endian headers when bigValues is set.
Bytes ImageBody(bool explicitVr, bool bigEndian, const std::optional<std::string>& instance = {},
                bool bigValues = false) {
    auto us = [&](uint16_t v) {
        return bigEndian || bigValues ? Bytes{static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)}
                                      : Le16(v);
    };
    DataSetBuilder b(explicitVr, bigEndian);
    b.Element(0x0008, 0x0016, "UI", Uid(SECONDARY_CAPTURE));
    if (instance) b.Text(0x0008, 0x0018, "UI", *instance);
    b.Text(0x0010, 0x0010, "PN", "TEST^STORE")
        .Element(0x0028, 0x0010, "US", us(2))
        .Element(0x0028, 0x0011, "US", us(3))
        .Element(0x7FE0, 0x0010, "OW", Cat({us(1), us(2), us(3), us(0x100), us(0x200), us(0x300)}));
    return b.Bytes();
}

ElementList ReadBody(const Bytes& body, bool explicitVr, bool bigEndian) {
    ElementList list;
    EXPECT_TRUE(data::ReadDataSetBytes(
        {static_cast<uint8_t>(explicitVr), static_cast<uint8_t>(bigEndian), 0}, body, list));
    return list;
}

fs::path WriteImage(const fs::path& path, const std::string& syntax, const Bytes& body) {
    testsupport::WriteFileBytes(path, testsupport::Part10File(syntax, body));
    return path;
}

// The first C-STORE-RQ of an association (Message ID 3) as it must travel.
Bytes StoreCommand(const std::optional<Bytes>& instance) {
    Command c = {{0x0002, Uid(SECONDARY_CAPTURE)},
                 {0x0100, Le16(0x0001)},   // C-STORE-RQ
                 {0x0110, Le16(3)},        // Message ID
                 {0x0700, Le16(0x0000)},   // Priority: medium
                 {0x0800, Le16(0x0102)}};  // a data set follows
    if (instance) c.push_back({0x1000, *instance});
    return CommandBytes(c);
}

// Answers the n-th C-STORE-RQ with statuses[n], success once the list runs out.
ScriptedScp::Responder StoreAnswers(std::vector<uint16_t> statuses = {}) {
    return [statuses](std::size_t n, const Bytes& command) {
        return ResponseBytes(0x8001, UsOf(command, tag::MessageID),
                             n < statuses.size() ? statuses[n] : 0, SECONDARY_CAPTURE);
    };
}
ScriptedScp::Responder Abort() {
    return [](std::size_t, const Bytes&) { return Bytes{}; };
}

// An association opened for Secondary Capture to a ScriptedScp.
struct StoreSession {
    ScriptedScp peer;
    Association assoc;

    explicit StoreSession(ScriptedScp::Responder respond = StoreAnswers(),
                          const std::string& acceptSyntax = "")
        : peer(std::move(respond), acceptSyntax) {
        assoc.stream.Socket().SetReceiveTimeout(PEER_TIMEOUT);
    }
    bool Open(const std::string& fileSyntax) {
        std::string calling = "local";
        return OpenStorageAssoc(assoc, "127.0.0.1", peer.Port(), calling, "remote",
                                SECONDARY_CAPTURE, fileSyntax, std::nullopt);
    }
    void Close() {
        CloseAssoc(assoc);
        peer.Join();
    }
};

}  // namespace

TEST(StoreRequest, CommandSetByteExactWithoutTheInstanceUid) {
    net::CommandSet none = services::StoreRequest(XA_IMAGE, 3, std::nullopt);
    // clang-format off
    EXPECT_EQ(data::EncodeList(none.List(), false), Cat({
        {0x00, 0x00, 0x00, 0x00}, {0x04, 0x00, 0x00, 0x00},  // (0000,0000) UL, length 4
        {0x4C, 0x00, 0x00, 0x00},                            //   76 = 28 + 48
        {0x00, 0x00, 0x02, 0x00}, {0x1C, 0x00, 0x00, 0x00},  // (0000,0002), length 28
        T(XA_IMAGE),                                         //   even: no pad
        {0x00, 0x00, 0x00, 0x01}, {0x02, 0x00, 0x00, 0x00},  // (0000,0100), length 2
        {0x01, 0x00},                                        //   C-STORE-RQ
        {0x00, 0x00, 0x10, 0x01}, {0x02, 0x00, 0x00, 0x00},  // (0000,0110) Message ID
        {0x03, 0x00},
        {0x00, 0x00, 0x00, 0x07}, {0x02, 0x00, 0x00, 0x00},  // (0000,0700) Priority
        {0x00, 0x00},                                        //   medium
        {0x00, 0x00, 0x00, 0x08}, {0x02, 0x00, 0x00, 0x00},  // (0000,0800) Data Set Type
        {0x02, 0x01},                                        //   a data set follows
    }));
    // clang-format on
}

// A C-MOVE's sub-operation names the requestor's title (space-padded) and its C-MOVE-RQ.
TEST(StoreRequest, CommandSetByteExactForASubOperationOfAMove) {
    const services::MoveOriginator originator{"MOVER", 7};
    net::CommandSet moved = services::StoreRequest(XA_IMAGE, 5, "1.2.3", &originator);
    // clang-format off
    EXPECT_EQ(data::EncodeList(moved.List(), false), Cat({
        {0x00, 0x00, 0x00, 0x00}, {0x04, 0x00, 0x00, 0x00},  // (0000,0000) UL, length 4
        {0x72, 0x00, 0x00, 0x00},                            //   114 = 36 + 4 * 10 + 14 + 14 + 10
        {0x00, 0x00, 0x02, 0x00}, {0x1C, 0x00, 0x00, 0x00},  // (0000,0002), length 28
        T(XA_IMAGE),
        {0x00, 0x00, 0x00, 0x01}, {0x02, 0x00, 0x00, 0x00},  // (0000,0100) C-STORE-RQ
        {0x01, 0x00},
        {0x00, 0x00, 0x10, 0x01}, {0x02, 0x00, 0x00, 0x00},  // (0000,0110) Message ID
        {0x05, 0x00},
        {0x00, 0x00, 0x00, 0x07}, {0x02, 0x00, 0x00, 0x00},  // (0000,0700) Priority
        {0x00, 0x00},
        {0x00, 0x00, 0x00, 0x08}, {0x02, 0x00, 0x00, 0x00},  // (0000,0800) Data Set Type
        {0x02, 0x01},
        {0x00, 0x00, 0x00, 0x10}, {0x06, 0x00, 0x00, 0x00},  // (0000,1000) Affected SOP Instance
        T("1.2.3"), {0x00},                                  //   UID, 0x00 pad
        {0x00, 0x00, 0x30, 0x10}, {0x06, 0x00, 0x00, 0x00},  // (0000,1030) Move Originator AE
        T("MOVER "),                                         //   Title, space pad
        {0x00, 0x00, 0x31, 0x10}, {0x02, 0x00, 0x00, 0x00},  // (0000,1031) Move Originator
        {0x07, 0x00},                                        //   Message ID
    }));
    // clang-format on
}

TEST(WriteStoreRQ, SendsCommandThenDataSetConvertedOnlyWhenAsked) {
    const std::string uid = "1.2.3.44";
    const Bytes implicitLittle = ImageBody(false, false, uid);
    struct Case {
        const char* name;
        std::optional<std::string> stored;  // (0008,0018) as the file holds it
        std::optional<Bytes> sent;          // (0000,1000) on the wire
        const char* fileSyntax;
        bool convert;
        const char* accepted;  // empty: the file's syntax
        Bytes expected;        // the data set on the wire
    };
    // The class is odd: padded with 0x00 and counted so in each case.
    const Case cases[] = {
        {"no instance UID: L + 48", std::nullopt, std::nullopt, EXPLICIT, true, "",
         ImageBody(true, false)},
        {"even instance UID: L + 56 + I", uid, T(uid), EXPLICIT, true, "",
         ImageBody(true, false, uid)},
        {"odd instance UID stored unpadded", "1.2.3.4", Uid("1.2.3.4"), EXPLICIT, true, "",
         ImageBody(true, false, "1.2.3.4")},
        {"odd instance UID stored with its pad", std::string("1.2.3.4") + '\0', Uid("1.2.3.4"),
         EXPLICIT, true, "", ImageBody(true, false, std::string("1.2.3.4") + '\0')},
        {"explicit little endian, converted", uid, T(uid), EXPLICIT, true, IMPLICIT,
         implicitLittle},
        {"explicit little endian, element for element", uid, T(uid), EXPLICIT, false, IMPLICIT,
         implicitLittle},
        {"big endian, converted", uid, T(uid), BIG, true, IMPLICIT, implicitLittle},
        // Without conversion every element goes as it is held: big-endian values under
        // little-endian headers.
        {"big endian, element for element", uid, T(uid), BIG, false, IMPLICIT,
         ImageBody(false, false, uid, true)},
    };
    auto vrs = [](const ElementList& list) {
        std::string all;
        for (const DicomElement* e : list)
            all.append(e->vr, 2);
        return all;
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        StoreSession session(StoreAnswers(), c.accepted);
        ASSERT_TRUE(session.Open(c.fileSyntax));
        const bool big = std::string(c.fileSyntax) == BIG;
        ElementList dataSet = ReadBody(ImageBody(true, big, c.stored), true, big);
        const std::string before = vrs(dataSet);
        EXPECT_TRUE(services::WriteStoreRQ(session.assoc, dataSet, SECONDARY_CAPTURE, c.fileSyntax,
                                           c.convert));
        EXPECT_EQ(services::ReadStoreRSP(session.assoc), 0);
        session.Close();
        ASSERT_EQ(session.peer.commands.size(), 1u);
        // The command is one PDU of its own: context 1, command, last fragment.
        EXPECT_EQ(session.peer.commands[0].pdus,
                  std::vector<Bytes>{PDataTF({{1, 0x03, StoreCommand(c.sent)}})});
        ASSERT_EQ(session.peer.dataSets.size(), 1u);
        EXPECT_EQ(session.peer.dataSets[0].data, c.expected);
        EXPECT_EQ(vrs(dataSet), before);  // the caller's list is as it was
    }
}

TEST(WriteStoreRQ, NothingIsSentWithoutAContextOrWhenTheConversionFails) {
    StoreSession session(StoreAnswers(), "1.2.840.10008.1.2.4.70");
    ASSERT_TRUE(session.Open(EXPLICIT));
    ElementList dataSet = ReadBody(ImageBody(true, false), true, false);
    // No context for another class.
    EXPECT_EQ(services::StoreDataSet(session.assoc, dataSet, XA_IMAGE, EXPLICIT, true),
              services::STORE_CONTEXT_REFUSED);
    // An unknown source syntax cannot be converted to lossless JPEG.
    EXPECT_EQ(services::StoreDataSet(session.assoc, dataSet, SECONDARY_CAPTURE, "1.2.3", true),
              services::STORE_CONVERSION_FAILED);
    session.Close();
    EXPECT_TRUE(session.peer.commands.empty());
    EXPECT_TRUE(session.peer.released);
}

TEST(WriteStoreRQ, FromItsFileADataSetGoesOutAsFromMemoryAndAFrameFailingMidwayAborts) {
    testsupport::TempDir dir;
    struct Case {
        const char* fileSyntax;
        const char* accepted;
        bool convert;
    };
    for (const Case& c :
         {Case{EXPLICIT, "", true}, Case{BIG, IMPLICIT, true}, Case{EXPLICIT, IMPLICIT, false}}) {
        SCOPED_TRACE(std::string(c.fileSyntax) + " as " + c.accepted);
        const bool big = std::string(c.fileSyntax) == BIG;
        const Bytes body = ImageBody(true, big, "1.2.3.44");
        const fs::path file = WriteImage(dir / "image.dcm", c.fileSyntax, body);
        std::vector<Bytes> sent;
        for (bool fromFile : {false, true}) {
            ElementList meta, dataSet = fromFile ? ElementList() : ReadBody(body, true, big);
            data::DecoderState state;
            if (fromFile) {
                ASSERT_TRUE(data::ReadPart10File(state, file, meta, dataSet));
            }
            StoreSession session(StoreAnswers(), c.accepted);
            ASSERT_TRUE(session.Open(c.fileSyntax));
            EXPECT_EQ(services::StoreDataSet(session.assoc, dataSet, SECONDARY_CAPTURE,
                                             c.fileSyntax, c.convert),
                      0);
            EXPECT_EQ(services::ReadStoreRSP(session.assoc), 0);
            session.Close();
            ASSERT_EQ(session.peer.dataSets.size(), 1u);
            sent.push_back(session.peer.dataSets[0].data);
        }
        EXPECT_EQ(sent[0], sent[1]);
    }

    // The first frame converts, the second does not: the command and part of the data set have
    // gone, so the association is aborted.
    const Bytes frame = {1, 2, 3, 4, 5, 6};
    Bytes stream = imaging::EncodeLosslessJpeg(frame, 3, 2, 8);
    if (stream.size() % 2 != 0) stream.push_back(0);
    const Bytes body = DataSetBuilder(true, false)
                           .Element(0x0008, 0x0016, "UI", Uid(SECONDARY_CAPTURE))
                           .Text(0x0028, 0x0004, "CS", "MONOCHROME2 ")
                           .Text(0x0028, 0x0008, "IS", "2 ")
                           .US(0x0028, 0x0010, 2)
                           .US(0x0028, 0x0011, 3)
                           .US(0x0028, 0x0100, 8)
                           .Element(0x0029, 0x1010, "OB", Bytes(9000, 7))  // more than a PDU
                           .Undefined(0x7FE0, 0x0010, "OB")
                           .ItemWithValue({})
                           .ItemWithValue(stream)
                           .ItemWithValue({0xFF, 0xD8, 0xFF, 0xD9})
                           .SequenceEnd()
                           .Bytes();
    const char* lossless = "1.2.840.10008.1.2.4.70";
    const fs::path file = WriteImage(dir / "frames.dcm", lossless, body);
    data::DecoderState state;
    ElementList meta, dataSet;
    ASSERT_TRUE(data::ReadPart10File(state, file, meta, dataSet));
    StoreSession session(StoreAnswers(), EXPLICIT);
    ASSERT_TRUE(session.Open(lossless));
    testing::internal::CaptureStderr();
    EXPECT_EQ(services::StoreDataSet(session.assoc, dataSet, SECONDARY_CAPTURE, lossless, true),
              services::STORE_CONVERSION_FAILED);
    testing::internal::GetCapturedStderr();
    session.peer.Join();
    ASSERT_EQ(session.peer.dataSets.size(), 1u);
    EXPECT_FALSE(session.peer.dataSets[0].ok);
    EXPECT_EQ(session.peer.dataSets[0].pdus.back(), ABORT);
    EXPECT_FALSE(session.assoc.stream.Connected());
}

TEST(StoreFile, OutcomeIsTheResponseStatusOrWhyThereIsNone) {
    testsupport::TempDir dir;
    const fs::path image = WriteImage(dir / "image.dcm", BIG, ImageBody(true, true, "1.2.3.4"));
    auto answer = [](uint16_t commandField, std::optional<uint16_t> status) {
        return [=](std::size_t, const Bytes& command) {
            return ResponseBytes(commandField, UsOf(command, tag::MessageID), status);
        };
    };
    struct Case {
        const char* name;
        ScriptedScp::Responder respond;
        int32_t expected;
        std::optional<std::string_view> preferred;
        std::vector<std::string> proposed;
    };
    // The preferred syntax follows the file's; an empty one is an empty sub-item.
    const Case cases[] = {
        {"success", StoreAnswers({0x0000}), 0, std::nullopt, {BIG, IMPLICIT}},
        {"warning", StoreAnswers({0xB000}), 45056, "", {BIG, "", IMPLICIT}},
        {"failure", StoreAnswers({0xA700}), 0xA700, EXPLICIT, {BIG, EXPLICIT, IMPLICIT}},
        {"no status: reads as 0", answer(0x8001, std::nullopt), 0, BIG, {BIG, IMPLICIT}},
        {"an echo response", answer(0x8030, 0), services::STORE_NOT_STORE_RESPONSE, {}, {}},
        {"abort", Abort(), services::STORE_NO_RESPONSE, {}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedScp peer(c.respond);
        EXPECT_EQ(services::StoreFile("127.0.0.1", peer.Port(), "local", "remote", image,
                                      c.preferred, true),
                  c.expected);
        peer.Join();
        if (!c.proposed.empty()) {
            EXPECT_EQ(peer.Proposed(), c.proposed);
        }
        EXPECT_EQ(peer.released, c.expected != services::STORE_NO_RESPONSE);
        ASSERT_EQ(peer.commands.size(), 1u);
        EXPECT_EQ(peer.commands[0].data, StoreCommand(Uid("1.2.3.4")));
        // A warning counts as failure for the yes/no form.
        ScriptedScp again(c.respond);
        EXPECT_EQ(services::StoreSCU("127.0.0.1", again.Port(), "", "", image, c.preferred, true),
                  c.expected == 0);
    }

    FakePeer rejecting;
    rejecting.Start([](PduStream& s) {
        ReadPduBytes(s);
        s.Write(ASSOCIATE_RJ);
    });
    EXPECT_EQ(services::StoreFile("127.0.0.1", rejecting.Port(), "", "", image, "", true),
              services::STORE_REJECTED);
    FakePeer refusing;
    refusing.Start([](PduStream& s) { s.Write(AcceptEvery(ReadPduBytes(s), "", 3)); });
    EXPECT_EQ(services::StoreFile("127.0.0.1", refusing.Port(), "", "", image, "", true),
              services::STORE_CONTEXT_REFUSED);

    // The peer's own words on a failure follow ours, its control codes shown as '?'.
    ScriptedScp commenting([](std::size_t, const Bytes& command) {
        return CommandBytes({{0x0002, Uid("1.2.3.4")},
                             {0x0100, Le16(0x8001)},
                             {0x0120, Le16(UsOf(command, tag::MessageID))},
                             {0x0800, Le16(0x0101)},
                             {0x0900, Le16(0xA700)},
                             {0x0902, T("DISK FULL\x1b[2J ")}});
    });
    EXPECT_EQ(services::StoreFile("127.0.0.1", commenting.Port(), "", "", image, "", true), 0xA700);
    commenting.Join();
    EXPECT_EQ(LastFailure(),
              "status 0xA700 (refused: out of resources): the peer is short of disk space or "
              "memory; ask its administrator; the peer says: \"DISK FULL?[2J\"");
}

TEST(StoreFile, FilesThatCannotBeSentOpenNoAssociation) {
    testsupport::TempDir dir;
    const Bytes body = ImageBody(true, false);
    Bytes bare = body;
    bare.resize(200, 0);
    Bytes cut = testsupport::Part10File(EXPLICIT, body);
    cut.resize(cut.size() - 5);
    const Bytes noClass = DataSetBuilder(true, false).Text(0x0008, 0x0018, "UI", "1.2.3.4").Bytes();
    struct Case {
        const char* name;
        std::optional<Bytes> file;
        int32_t expected;
    };
    const Case cases[] = {
        {"missing", std::nullopt, services::STORE_CANNOT_OPEN},
        {"text", T("not a DICOM file at all"), services::STORE_NOT_PART10},
        {"zero-filled bare data set", bare, services::STORE_NOT_PART10},
        {"cut", cut, services::STORE_DAMAGED_FILE},
        {"no syntax", testsupport::Part10File("", body), services::STORE_NO_TRANSFER_SYNTAX},
        {"no class", testsupport::Part10File(EXPLICIT, noClass), services::STORE_NO_SOP_CLASS},
        // One that can be sent: nothing listens, so any other result means nothing was tried.
        {"good", testsupport::Part10File(EXPLICIT, body), services::STORE_NO_CONNECTION},
        {"bare data set", body, services::STORE_NO_CONNECTION},
    };
    const std::string closed = std::to_string(testsupport::FreePort());
    auto outcome = [&](const fs::path& file) {
        return services::StoreFile("127.0.0.1", closed, "", "remote", file, std::nullopt, true);
    };
    for (const auto& c : cases) {
        if (c.file) testsupport::WriteFileBytes(dir / c.name, *c.file);
        EXPECT_EQ(outcome(dir / c.name), c.expected) << c.name;
    }
    EXPECT_EQ(outcome(dir.Path()), services::STORE_CANNOT_OPEN);
}

TEST(ListPart10Files, SortedByNameWithoutOtherFilesOrFolders) {
    testsupport::TempDir dir;
    const Bytes body = ImageBody(true, false);
    for (const char* name : {"c.dcm", "a.dcm", "B.dcm", "noext"})
        WriteImage(dir / name, EXPLICIT, body);
    testsupport::WriteFileBytes(dir / "b.txt", T("notes"));
    testsupport::WriteFileBytes(dir / "short", {0x44, 0x49, 0x43, 0x4D});
    fs::create_directory(dir / "d.dcm");
    WriteImage(dir / "d.dcm" / "inner.dcm", EXPLICIT, body);
    std::vector<std::string> names;
    for (const auto& path : services::ListPart10Files(dir.Path()))
        names.push_back(path.filename().string());
    EXPECT_EQ(names, (std::vector<std::string>{"B.dcm", "a.dcm", "c.dcm", "noext"}));
    EXPECT_TRUE(services::ListPart10Files(dir / "missing").empty());
    EXPECT_FALSE(services::IsPart10File(dir / "missing"));
}

class Series : public ::testing::Test {
  protected:
    // Three images named in reverse of their instance UIDs' order.
    void SetUp() override {
        for (int i = 1; i <= 3; ++i) {
            WriteImage(dir_ / ("f" + std::to_string(4 - i) + ".dcm"), EXPLICIT,
                       ImageBody(true, false, "1.2.3.4" + std::to_string(i)));
        }
    }

    // Sends the directory to the peer; returns the outcome and keeps each file's.
    int32_t Send(ScriptedScp& peer, std::vector<int32_t>& outcomes,
                 std::optional<std::string_view> preferred = std::nullopt) {
        const int32_t result = services::SendSeriesStatus(
            "127.0.0.1", peer.Port(), "local", "remote", dir_.Path(), preferred, true,
            [&](std::size_t index, std::size_t count, const fs::path&, int32_t outcome) {
                EXPECT_LT(index, count);
                outcomes.push_back(outcome);
            });
        peer.Join();
        return result;
    }
    // The instance UIDs received, in order.
    static std::vector<std::string> Sent(const ScriptedScp& peer) {
        std::vector<std::string> sent;
        for (const auto& command : peer.commands)
            sent.push_back(
                data::GetTagString(ParseImplicit(command.data), tag::AffectedSOPInstanceUID));
        return sent;
    }

    testsupport::TempDir dir_;
};

TEST_F(Series, ScanModeOnOneAssociationWhereOnlyTheLastFileDecides) {
    testsupport::WriteFileBytes(dir_ / "e.txt", T("not DICOM"));
    struct Case {
        const char* name;
        ScriptedScp::Responder respond;
        std::vector<int32_t> outcomes;
        int32_t yesNo;
    };
    const Case cases[] = {
        {"all stored", StoreAnswers(), {0, 0, 0}, 1},
        {"the last fails", StoreAnswers({0, 0, 0xA700}), {0, 0, 0xA700}, 0},
        {"only the last succeeds", StoreAnswers({0xA700, 0xB000, 0}), {0xA700, 0xB000, 0}, 1},
        // The rest is not sent once the association is lost.
        {"aborted after the first",
         Abort(),
         {services::STORE_NO_RESPONSE, services::STORE_SEND_FAILED, services::STORE_SEND_FAILED},
         0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedScp peer(c.respond);
        std::vector<int32_t> outcomes;
        EXPECT_EQ(Send(peer, outcomes), c.outcomes.back());
        EXPECT_EQ(outcomes, c.outcomes);
        const bool aborted = c.outcomes[0] == services::STORE_NO_RESPONSE;
        const std::vector<std::string> sent = Sent(peer);
        EXPECT_EQ(sent, (aborted ? std::vector<std::string>{"1.2.3.43"}
                                 : std::vector<std::string>{"1.2.3.43", "1.2.3.42", "1.2.3.41"}));
        // Contexts 1 and 3 (explicit, then implicit VR little endian) come first.
        for (std::size_t i = 0; i < peer.commands.size(); ++i)
            EXPECT_EQ(UsOf(peer.commands[i].data, tag::MessageID), 5 + 2 * i);
        EXPECT_EQ(peer.released, !aborted);

        ScriptedScp again(c.respond);
        EXPECT_EQ(services::SendSeries("127.0.0.1", again.Port(), "", "", dir_.Path(), std::nullopt,
                                       true),
                  c.yesNo);
    }

    EXPECT_EQ(services::SendSeries("127.0.0.1", std::to_string(testsupport::FreePort()), "", "",
                                   dir_.Path(), std::nullopt, true),
              0);
    testsupport::TempDir empty;
    testsupport::WriteFileBytes(empty / "readme.txt", T("nothing to send"));
    for (const fs::path& directory : {empty.Path(), empty / "missing"}) {
        EXPECT_EQ(
            services::SendSeriesStatus("127.0.0.1", "104", "", "", directory, std::nullopt, true),
            services::STORE_NO_FILES);
    }
}

TEST_F(Series, IndexModeReadsTheThirdFieldAndSkipsWhatItCannotSend) {
    // Index order, not name order; a line whose file is missing, one that would leave the
    // directory, one of two fields, and a file of the directory that the index does not name.
    WriteImage(dir_ / "1.2.3.99.dcm", EXPLICIT, ImageBody(true, false, "1.2.3.99"));
    fs::rename(dir_ / "f3.dcm", dir_ / "1.2.3.41.dcm");
    fs::rename(dir_ / "f2.dcm", dir_ / "1.2.3.42.dcm");
    fs::rename(dir_ / "f1.dcm", dir_ / "1.2.3.43.dcm");
    testsupport::WriteFileBytes(dir_ / "Image.dir",
                                T("1,2,1.2.3.42,20260101,,,,,1.2.840.10008.5.1.4.1.1.7,2,3,\r\n"
                                  "1,9,1.2.3.77,,,,,,,,,\r\n"
                                  "1,3,../1.2.3.99,,,,,,,,,\r\n"
                                  "1,4\r\n"
                                  "1,1,1.2.3.41\r\n"
                                  "1,5,1.2.3.43"));
    ScriptedScp peer(StoreAnswers());
    std::vector<int32_t> outcomes;
    EXPECT_EQ(Send(peer, outcomes), 0);
    EXPECT_EQ(Sent(peer), (std::vector<std::string>{"1.2.3.42", "1.2.3.41", "1.2.3.43"}));
    EXPECT_EQ(outcomes,
              (std::vector<int32_t>{0, services::STORE_CANNOT_OPEN, services::STORE_CANNOT_OPEN,
                                    services::STORE_CANNOT_OPEN, 0, 0}));

    // A missing first file is skipped like any other.
    testsupport::WriteFileBytes(dir_ / "Image.dir", T("1,9,1.2.3.77\r\n1,2,1.2.3.42\r\n"));
    ScriptedScp second(StoreAnswers());
    outcomes.clear();
    EXPECT_EQ(Send(second, outcomes), 0);
    EXPECT_EQ(outcomes, (std::vector<int32_t>{services::STORE_CANNOT_OPEN, 0}));
    EXPECT_EQ(Sent(second), std::vector<std::string>{"1.2.3.42"});
}

TEST(SeriesPlan, OneContextPerClassAndSyntaxInTheFilesOrderWithinTheContextLimit) {
    using services::ScannedFile;
    const std::string ct = "1.2.840.10008.5.1.4.1.1.2", ls = "1.2.840.10008.1.2.4.80",
                      rle = "1.2.840.10008.1.2.5", lossless = "1.2.840.10008.1.2.4.70";
    const std::vector<ScannedFile> files = {
        {0, SECONDARY_CAPTURE, EXPLICIT},       {0, SECONDARY_CAPTURE, ls},       {0, ct, IMPLICIT},
        {services::STORE_DAMAGED_FILE, "", ""}, {0, SECONDARY_CAPTURE, EXPLICIT}, {0, ct, rle},
    };
    const auto plan = services::PlanSeries(files, lossless);
    ASSERT_EQ(plan.size(), 1u);
    const std::vector<PresentationContextRQ> expected = {
        {0, SECONDARY_CAPTURE, {EXPLICIT}},
        {0, SECONDARY_CAPTURE, {ls}},
        {0, SECONDARY_CAPTURE, {lossless}},
        {0, SECONDARY_CAPTURE, {IMPLICIT}},
        {0, ct, {IMPLICIT}},
        {0, ct, {rle}},
        {0, ct, {lossless}},
    };
    EXPECT_EQ(plan[0].proposals, expected);
    EXPECT_EQ(plan[0].entries, (std::vector<std::size_t>{0, 1, 2, 3, 4, 5}));

    // 70 classes of two contexts each, the first of three: 63 classes fill the first
    // association (127 contexts), the rest go on a second; a class is never split, and a file
    // that cannot be sent goes with the file before it.
    std::vector<ScannedFile> many;
    for (int i = 0; i < 70; ++i) {
        many.push_back({0, "1.2.3." + std::to_string(i), EXPLICIT});
        if (i == 64) many.push_back({services::STORE_NO_SOP_CLASS, "", ""});
    }
    many.push_back({0, "1.2.3.0", BIG});  // a third context for the first class
    const auto split = services::PlanSeries(many, std::nullopt);
    ASSERT_EQ(split.size(), 2u);
    EXPECT_EQ(split[0].proposals.size(), 127u);
    EXPECT_EQ(split[1].proposals.size(), 14u);
    EXPECT_EQ(split[0].proposals[1].transferSyntaxes, std::vector<std::string>{BIG});
    EXPECT_EQ(split[1].proposals[0].abstractSyntax, "1.2.3.63");
    EXPECT_EQ(split[1].entries,
              (std::vector<std::size_t>{63, 64, 65, 66, 67, 68, 69, 70}));  // 65: no class
    EXPECT_EQ(split[0].entries.back(), many.size() - 1);
}

TEST_F(Series, EachFileGoesInItsOwnSyntaxWhereAcceptedAndIsConvertedOnlyElsewhere) {
    // Explicit (f1 and f3 from SetUp), big endian (f2), and one in a syntax nobody reads.
    WriteImage(dir_ / "f2.dcm", BIG, ImageBody(true, true, "1.2.3.42"));
    WriteImage(dir_ / "f4.dcm", "1.2.3.9", ImageBody(true, false, "1.2.3.44"));
    // Big endian and the unknown syntax refused, everything else accepted.
    auto answer = [](const Bytes& rqBytes) {
        auto rq = DecodeAssociateRQ(rqBytes);
        AssociateAC ac;
        ac.applicationContext = APPLICATION_CONTEXT_NAME;
        for (const auto& pc : rq->contexts) {
            const std::string& syntax = pc.transferSyntaxes.at(0);
            const bool take = syntax == EXPLICIT || syntax == IMPLICIT;
            ac.contexts.push_back(
                {pc.id, static_cast<uint8_t>(take ? 0 : 4), take ? syntax : "", ""});
        }
        ac.userInformation = {16384, "1.2.3.4", "PEER", 0, {}, {}, {}, {}};
        return EncodeAssociateAC(ac);
    };
    ScriptedScp peer(StoreAnswers(), "", {}, answer);
    std::vector<int32_t> outcomes;
    EXPECT_EQ(Send(peer, outcomes), services::STORE_CONVERSION_FAILED);
    EXPECT_EQ(LastFailure(),
              "cannot convert 1.2.3.9 to Implicit VR Little Endian: a syntax the library does not "
              "read");
    EXPECT_EQ(outcomes, (std::vector<int32_t>{0, 0, 0, services::STORE_CONVERSION_FAILED}));
    auto rq = DecodeAssociateRQ(peer.associateRq);
    ASSERT_TRUE(rq);
    std::vector<std::vector<std::string>> proposed;
    for (const auto& pc : rq->contexts)
        proposed.push_back(pc.transferSyntaxes);
    EXPECT_EQ(proposed,
              (std::vector<std::vector<std::string>>{{EXPLICIT}, {BIG}, {"1.2.3.9"}, {IMPLICIT}}));
    // f1 and f3 on the explicit context (1) as they are; f2 converted for the implicit one (7).
    ASSERT_EQ(peer.commands.size(), 3u);
    const std::vector<uint8_t> contexts = {
        peer.commands[0].pdus[0][10], peer.commands[1].pdus[0][10], peer.commands[2].pdus[0][10]};
    EXPECT_EQ(contexts, (std::vector<uint8_t>{1, 7, 1}));
    EXPECT_EQ(peer.dataSets[0].data, ImageBody(true, false, "1.2.3.43"));
    EXPECT_EQ(peer.dataSets[1].data, ImageBody(false, false, "1.2.3.42"));
    EXPECT_EQ(UsOf(peer.commands[0].data, tag::MessageID), 9);  // after contexts 1 to 7

    // A preferred syntax the peer takes but nothing can be converted into (no JPEG Baseline
    // encoder): the big-endian file goes in implicit VR little endian instead.
    fs::remove(dir_ / "f4.dcm");
    const std::string baseline = "1.2.840.10008.1.2.4.50";
    ScriptedScp again(StoreAnswers(), "", {}, [&](const Bytes& rqBytes) {
        Bytes ac = answer(rqBytes);
        auto decoded = DecodeAssociateAC(ac);
        for (auto& pc : decoded->contexts)
            if (pc.id == 5) pc = {5, 0, baseline, ""};  // big, baseline, implicit: 3, 5, 7
        return EncodeAssociateAC(*decoded);
    });
    outcomes.clear();
    EXPECT_EQ(Send(again, outcomes, baseline), 0);
    EXPECT_EQ(outcomes, (std::vector<int32_t>{0, 0, 0}));
    ASSERT_EQ(again.commands.size(), 3u);
    EXPECT_EQ(again.commands[1].pdus[0][10], 7);
    EXPECT_EQ(again.dataSets[1].data, ImageBody(false, false, "1.2.3.42"));
}

TEST(StorageExports, WrappersAndTheTrace) {
    testsupport::TempDir dir;
    const fs::path image =
        WriteImage(dir / "image.dcm", EXPLICIT, ImageBody(true, false, "1.2.3.4"));
    const std::string trace = (dir / "trace.log").string();
    // Encapsulated pixel data whose fragment reads like an element header.
    const fs::path jpeg = WriteImage(dir / "jpeg.dcm", "1.2.840.10008.1.2.4.70",
                                     DataSetBuilder(true, false)
                                         .Element(0x0008, 0x0016, "UI", Uid(SECONDARY_CAPTURE))
                                         .Undefined(0x7FE0, 0x0010, "OB")
                                         .Item(0)
                                         .ItemWithValue({0xFF, 0xD8, 0xFF, 0xC1, 0x0C, 0x04, 0, 0})
                                         .SequenceEnd()
                                         .Bytes());
    SetLog(trace, LOG_MESSAGES);
    for (const fs::path& file : {image, jpeg}) {
        ScriptedScp peer(StoreAnswers());
        EXPECT_EQ(StoreSCU("127.0.0.1", peer.Port().c_str(), "local", "remote",
                           file.string().c_str(), "", 1),
                  1);
    }
    SetLog("", 0);
    const std::string text = testsupport::ReadFileText(trace);
    for (const char* expected :
         {"local >> remote\r\n", "(0000,1000)", "(7FE0,0010)", "local << remote\r\n",
          "\t(FFFE,E000),  8,\tDL, \"\xFF\xD8\xFF\xC1\x0C\x04\" - Item\r\n\t(FFFE,E0DD)"}) {
        EXPECT_NE(text.find(expected), std::string::npos) << expected << text;
    }
    {
        ScriptedScp peer(StoreAnswers());
        Association* assoc = NewPDU();
        char calling[17] = "";
        ASSERT_EQ(OpenAssoc(assoc, "127.0.0.1", peer.Port().c_str(), calling, "remote",
                            SECONDARY_CAPTURE, EXPLICIT),
                  1);
        ElementList* list = NewElementList();
        ASSERT_TRUE(data::ReadDataSetBytes({1, 0, 0}, ImageBody(true, false, "1.2.3.4"), *list));
        EXPECT_EQ(WriteStoreRQ(assoc, list, SECONDARY_CAPTURE, EXPLICIT, 1), 1);
        EXPECT_EQ(ReadStoreRSP(assoc), 0);
        EXPECT_EQ(TagCount(list), 6u);  // still the caller's
        DeleteElementList(list);
        DeletePDU(assoc);
    }
    EXPECT_EQ(StoreSCU(nullptr, "104", "", "", "x", "", 1), 0);
    EXPECT_EQ(StoreSCUStatus("127.0.0.1", "104", "", "", nullptr, "", 1),
              services::STORE_NO_CONNECTION);
    EXPECT_EQ(WriteStoreRQ(nullptr, nullptr, SECONDARY_CAPTURE, EXPLICIT, 1), 0);
    EXPECT_EQ(ReadStoreRSP(nullptr), -1);
    EXPECT_EQ(SendSeries("127.0.0.1", "104", "", "", nullptr, "", 1), 0);
}
