#include "store/StoreScp.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "data/Datadec.h"
#include "data/Deflate.h"
#include "data/Encoder.h"
#include "data/Tags.h"
#include "net/AssociationWords.h"
#include "net/CommandSet.h"
#include "net/DimseFixtures.h"
#include "support/DataSetBuilder.h"
#include "support/TestSupport.h"
#include "zedavura.h"

using namespace dicomlib;
using namespace dicomlib::net;
using namespace nettest;
namespace fs = std::filesystem;
using testsupport::DataSetBuilder;

namespace {

constexpr char VERIFICATION[] = "1.2.840.10008.1.1";
constexpr char CT[] = "1.2.840.10008.5.1.4.1.1.2";
constexpr char STUDY_ROOT_FIND[] = "1.2.840.10008.5.1.4.1.2.2.1";
constexpr char IMPLICIT[] = "1.2.840.10008.1.2";
constexpr char EXPLICIT[] = "1.2.840.10008.1.2.1";
constexpr char JPEG_LOSSLESS[] = "1.2.840.10008.1.2.4.70";
constexpr char JPEG_BASELINE[] = "1.2.840.10008.1.2.4.50";
constexpr char EXPLICIT_BIG[] = "1.2.840.10008.1.2.2";
constexpr char DEFLATED[] = "1.2.840.10008.1.2.1.99";

constexpr char STUDY[] = "1.2.826.0.1.3680043.2.7251.50";
constexpr char SERIES[] = "1.2.826.0.1.3680043.2.7251.50.1";
constexpr char INSTANCE[] = "1.2.826.0.1.3680043.2.7251.50.1.1";

// The C-ECHO-RSP to Message ID 7 with Data Set Type 0x0101 on context 1: 90 bytes.
Bytes EchoResponsePdu() {
    // clang-format off
    return Cat({
        {0x04, 0x00},                                        // P-DATA-TF, reserved
        {0x00, 0x00, 0x00, 0x54},                            // PDU length 84
        {0x00, 0x00, 0x00, 0x50},                            // PDV item length 80
        {0x01, 0x03},                                        // context 1; command, last
        {0x00, 0x00, 0x00, 0x00}, {0x04, 0x00, 0x00, 0x00},  // (0000,0000), length 4
        {0x42, 0x00, 0x00, 0x00},                            //   66 = 48 + 18
        {0x00, 0x00, 0x02, 0x00}, {0x12, 0x00, 0x00, 0x00},  // (0000,0002), length 18
        T(VERIFICATION), {0x00},                             //   padded with 0x00
        {0x00, 0x00, 0x00, 0x01}, {0x02, 0x00, 0x00, 0x00},  // (0000,0100) Command Field
        {0x30, 0x80},                                        //   C-ECHO-RSP
        {0x00, 0x00, 0x20, 0x01}, {0x02, 0x00, 0x00, 0x00},  // (0000,0120) Responded To
        {0x07, 0x00},                                        //   7
        {0x00, 0x00, 0x00, 0x08}, {0x02, 0x00, 0x00, 0x00},  // (0000,0800) Data Set Type
        {0x01, 0x01},                                        //   copied from the request
        {0x00, 0x00, 0x00, 0x09}, {0x02, 0x00, 0x00, 0x00},  // (0000,0900) Status
        {0x00, 0x00},                                        //   success
    });
    // clang-format on
}

// The C-STORE-RSP to Message ID 5 for CT Image Storage on context 3: 108 bytes.
Bytes StoreResponsePdu(uint16_t status) {
    // clang-format off
    return Cat({
        {0x04, 0x00},                                        // P-DATA-TF, reserved
        {0x00, 0x00, 0x00, 0x66},                            // PDU length 102
        {0x00, 0x00, 0x00, 0x62},                            // PDV item length 98
        {0x03, 0x03},                                        // context 3; command, last
        {0x00, 0x00, 0x00, 0x00}, {0x04, 0x00, 0x00, 0x00},  // (0000,0000), length 4
        {0x54, 0x00, 0x00, 0x00},                            //   84 = 58 + 26
        {0x00, 0x00, 0x02, 0x00}, {0x1A, 0x00, 0x00, 0x00},  // (0000,0002), length 26
        T(CT), {0x00},                                       //   padded with 0x00
        {0x00, 0x00, 0x00, 0x01}, {0x02, 0x00, 0x00, 0x00},  // (0000,0100) Command Field
        {0x01, 0x80},                                        //   C-STORE-RSP
        {0x00, 0x00, 0x10, 0x01}, {0x02, 0x00, 0x00, 0x00},  // (0000,0110) Message ID
        {0x05, 0x00},                                        //   5, as the request's
        {0x00, 0x00, 0x20, 0x01}, {0x02, 0x00, 0x00, 0x00},  // (0000,0120) Responded To
        {0x05, 0x00},                                        //   5
        {0x00, 0x00, 0x00, 0x08}, {0x02, 0x00, 0x00, 0x00},  // (0000,0800) Data Set Type
        {0x01, 0x01},                                        //   no data set
        {0x00, 0x00, 0x00, 0x09}, {0x02, 0x00, 0x00, 0x00},  // (0000,0900) Status
        Le16(status),                                        //   no instance UID follows
    });
    // clang-format on
}

// A C-ECHO-RQ whose class is sent as given: odd, empty, or (none) left out.
Bytes EchoRequest(uint16_t messageId, uint16_t dataSetType,
                  std::optional<std::string_view> sopClass = VERIFICATION) {
    Command c = {{0x0100, Le16(0x0030)}, {0x0110, Le16(messageId)}, {0x0800, Le16(dataSetType)}};
    if (sopClass) c.insert(c.begin(), {0x0002, T(*sopClass)});
    return CommandBytes(c);
}

Bytes StoreRequest(uint16_t messageId, std::string_view sopClass, uint16_t dataSetType = 0x0000,
                   uint16_t commandField = 0x0001) {
    Command c = {{0x0100, Le16(commandField)},
                 {0x0110, Le16(messageId)},
                 {0x0700, Le16(0x0000)},
                 {0x0800, Le16(dataSetType)},
                 {0x1000, Uid(INSTANCE)}};
    if (!sopClass.empty()) c.insert(c.begin(), {0x0002, Uid(sopClass)});
    return CommandBytes(c);
}

struct Uids {
    std::string study = STUDY;  // empty: the element is left out
    std::string series = SERIES;
    std::string instance = INSTANCE;
};

// A small CT data set in the builder's syntax, elements in tag order. With a sequence it holds
// a defined-length Referenced Image Sequence with one defined-length item; compressed, its
// pixel data is encapsulated (the fragment is not decoded on the way, so any bytes will do).
Bytes DataSet(bool explicitVr, const Uids& uids = {}, bool withSequence = true,
              bool compressed = false, bool bigEndian = false) {
    DataSetBuilder item(explicitVr, bigEndian);
    item.Element(0x0008, 0x1150, "UI", Uid(CT)).Element(0x0008, 0x1155, "UI", Uid("1.2.3.4.5"));
    DataSetBuilder sequence(explicitVr, bigEndian);
    sequence.ItemWithValue(item.Bytes());

    DataSetBuilder b(explicitVr, bigEndian);
    b.Element(0x0008, 0x0016, "UI", Uid(CT));
    if (!uids.instance.empty()) b.Element(0x0008, 0x0018, "UI", Uid(uids.instance));
    b.Text(0x0008, 0x0060, "CS", "CT");
    if (withSequence) b.Element(0x0008, 0x1140, "SQ", sequence.Bytes());
    b.Text(0x0010, 0x0010, "PN", "DOE^JANE");
    if (!uids.study.empty()) b.Element(0x0020, 0x000D, "UI", Uid(uids.study));
    if (!uids.series.empty()) b.Element(0x0020, 0x000E, "UI", Uid(uids.series));
    b.Text(0x0020, 0x0013, "IS", "1 ").US(0x0028, 0x0010, 4).US(0x0028, 0x0011, 4);
    if (compressed) {
        b.Undefined(0x7FE0, 0x0010, "OB")
            .Item(0)
            .ItemWithValue({0xFF, 0xD8, 0x01, 0x02, 0xFF, 0xD9})
            .SequenceEnd();
    } else {
        Bytes pixels(32);
        for (std::size_t i = 0; i < pixels.size(); ++i)
            pixels[i] = static_cast<uint8_t>(i * 7);
        b.Element(0x7FE0, 0x0010, "OW", pixels);
    }
    return b.Bytes();
}

uint16_t StatusOf(const Bytes& pdu) {
    const ElementList command = ParseImplicit(JoinedPdvData({pdu}));
    EXPECT_EQ(data::GetTagUS(command, tag::CommandField), net::C_STORE_RSP);
    return data::GetTagUS(command, tag::Status);
}

struct StoredFile {
    std::string syntax;
    std::string sopClass;
    std::string sopInstance;
    Bytes body;  // the bytes after the meta group
};

StoredFile ReadStored(const fs::path& path) {
    StoredFile stored;
    const Bytes bytes = testsupport::ReadFileBytes(path);
    EXPECT_GE(bytes.size(), 144u);
    if (bytes.size() < 144) return stored;
    EXPECT_EQ(std::string(bytes.begin() + 128, bytes.begin() + 132), "DICM");
    const uint32_t metaLength =
        bytes[140] | bytes[141] << 8 | bytes[142] << 16 | static_cast<uint32_t>(bytes[143]) << 24;
    stored.body.assign(bytes.begin() + 144 + metaLength, bytes.end());
    data::DecoderState state;
    ElementList meta, body;
    EXPECT_TRUE(data::ReadPart10File(state, path, meta, body));
    stored.syntax = data::GetTagString(meta, tag::TransferSyntaxUID);
    stored.sopClass = data::GetTagString(meta, tag::MediaStorageSOPClassUID);
    stored.sopInstance = data::GetTagString(meta, tag::MediaStorageSOPInstanceUID);
    return stored;
}

// Every regular file under a folder, as paths relative to it.
std::vector<std::string> FilesUnder(const fs::path& root) {
    std::vector<std::string> files;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != end(it);
         it.increment(ec)) {
        if (it->is_regular_file()) files.push_back(fs::relative(it->path(), root).string());
    }
    std::sort(files.begin(), files.end());
    return files;
}

struct Proposal {
    std::string abstractSyntax;
    std::vector<std::string> transferSyntaxes;
};

// Proposes the contexts with IDs 1, 3, 5... on the stream; returns the AC's answers.
std::vector<PresentationContextAC> Associate(PduStream& stream,
                                             const std::vector<Proposal>& proposals) {
    AssociateRQ rq;
    rq.calledAeTitle = "TESSALY";
    rq.callingAeTitle = "MODALITY";
    rq.applicationContext = APPLICATION_CONTEXT_NAME;
    for (std::size_t i = 0; i < proposals.size(); ++i)
        rq.contexts.push_back({static_cast<uint8_t>(2 * i + 1), proposals[i].abstractSyntax,
                               proposals[i].transferSyntaxes});
    rq.userInformation = {16384, "1.2.3.4", "PEER", 0, {}, {}, {}, {}};
    stream.Write(EncodeAssociateRQ(rq));
    auto ac = DecodeAssociateAC(ReadPduBytes(stream));
    if (!ac) return {};
    return ac->contexts;
}

// A folder to store into with an index root beside it, and one association served on its own
// thread, with the test as the requestor on the other end of a connected pair.
class Provider {
  public:
    explicit Provider(const std::string& storageIn = "images/",
                      const CancelSignal* cancel = nullptr,
                      store::AcceptPolicy policy = store::AcceptPolicy::Standard)
        : storage((dir / storageIn).string()) {
        int ours = -1, theirs = -1;
        EXPECT_TRUE(TcpSocket::ConnectedPair(ours, theirs));
        stream.Adopt(ours);
        stream.Socket().SetReceiveTimeout(PEER_TIMEOUT);
        thread_ = std::thread([=, this, directory = store::StorageDirectoryOf(storage)] {
            store::ServeAssociation(theirs, directory, index, cancel, policy);
        });
    }
    ~Provider() { Finish(); }

    std::string FileOf(const Uids& uids = {}) const {
        return storage + uids.study + "/" + uids.series + "/" + uids.instance + ".dcm";
    }
    std::vector<PresentationContextAC> Associate(const std::vector<Proposal>& proposals) {
        return ::Associate(stream, proposals);
    }

    void SendCommand(uint8_t context, const Bytes& command) {
        stream.Write(PDataTF({{context, 0x03, command}}));
    }
    void SendDataSet(uint8_t context, const Bytes& dataSet) {
        stream.Write(PDataTF({{context, 0x02, dataSet}}));
    }
    // A C-STORE-RQ with Message ID 5 on context 3 and its data set; returns the response PDU.
    Bytes Store(const Bytes& dataSet) {
        SendCommand(3, StoreRequest(5, CT));
        SendDataSet(3, dataSet);
        return ReadPduBytes(stream);
    }
    // Releases as a requestor does; true when the release was answered.
    bool Release() {
        stream.Write(RELEASE_RQ);
        return ReadPduBytes(stream) == RELEASE_RP;
    }
    // Closes this end and waits for the provider to finish.
    void Finish() {
        if (!thread_.joinable()) return;
        stream.Close();
        thread_.join();
    }

    testsupport::TempDir dir;
    std::string storage;
    fs::path index = dir / "Database";
    PduStream stream;

  private:
    std::thread thread_;
};

// Verification on context 1, CT Image Storage on context 3.
std::vector<Proposal> EchoAndCt(const char* ctSyntax = IMPLICIT) {
    return {{VERIFICATION, {IMPLICIT}}, {CT, {ctSyntax}}};
}

}  // namespace

TEST(StoreScpHelpers, StorageDirectoryAndUidRules) {
    EXPECT_EQ(store::StorageDirectoryOf("/data/images"), "/data/images/");
    EXPECT_EQ(store::StorageDirectoryOf("/data/images/"), "/data/images/");
    EXPECT_EQ(store::StorageDirectoryOf(""), "./");

    const std::string longest = "1." + std::string(62, '2');
    for (const char* good : {"1", "1.2.840.10008.1.2", "0.0", INSTANCE, longest.c_str()})
        EXPECT_TRUE(store::IsValidUid(good)) << good;
    for (const std::string& bad :
         std::vector<std::string>{"", ".", "..", "../../x", "/abs", "1..2", ".1", "1.", "1.2/3",
                                  "1.2 ", "1.a", std::string("1\0.2", 4), longest + "3"}) {
        EXPECT_FALSE(store::IsValidUid(bad)) << bad;
    }

    // The pads of the UIDs drop off the path; the UIDs of a sequence in front are not the
    // instance's.
    ElementList dataSet;
    dataSet.Append(data::NewElement(0x0008, 0x1115, UNDEFINED_LENGTH, nullptr, "SQ"));
    dataSet.Append(data::NewElement(0xFFFE, 0xE000, UNDEFINED_LENGTH, nullptr, nullptr));
    dataSet.Append(data::NewTextElement(tag::SeriesInstanceUID, "UI", "9.9"));
    dataSet.Append(data::NewElement(0xFFFE, 0xE00D, 0, nullptr, nullptr));
    dataSet.Append(data::NewElement(0xFFFE, 0xE0DD, 0, nullptr, nullptr));
    dataSet.Append(data::NewTextElement(tag::SOPInstanceUID, "UI", "1.2.3.4\0"));
    dataSet.Append(data::NewTextElement(tag::StudyInstanceUID, "UI", "1.2"));
    dataSet.Append(data::NewTextElement(tag::SeriesInstanceUID, "UI", "1.2.3 "));
    const auto plan = store::PlanStorage("/data/images/", dataSet);
    ASSERT_TRUE(plan);
    EXPECT_EQ(plan->seriesDirectory, "/data/images/1.2/1.2.3");
    EXPECT_EQ(plan->filePath, "/data/images/1.2/1.2.3/1.2.3.4.dcm");
    EXPECT_EQ(plan->sopInstanceUid, "1.2.3.4");
    EXPECT_EQ(store::SeriesIndexLine(dataSet).find("9.9"), std::string::npos);
}

TEST(StoreScpAssociation, EchoThenStoreOnOneAssociationByteExact) {
    Provider p;
    const auto answers = p.Associate(
        {{VERIFICATION, {IMPLICIT}}, {CT, {EXPLICIT, IMPLICIT}}, {"1.2.3", {IMPLICIT}}});
    ASSERT_EQ(answers.size(), 3u);
    EXPECT_EQ(answers[0].result, RESULT_ACCEPTANCE);
    EXPECT_EQ(answers[1].transferSyntax, IMPLICIT);
    EXPECT_EQ(answers[2].result, RESULT_ABSTRACT_SYNTAX_NOT_SUPPORTED);

    // The class comes odd, without its pad; the response rounds it up with 0x00.
    p.SendCommand(1, EchoRequest(7, 0x0101));
    EXPECT_EQ(ReadPduBytes(p.stream), EchoResponsePdu());
    // The Data Set Type is copied whatever it is.
    p.SendCommand(1, EchoRequest(9, 0x0102));
    const ElementList echo = ParseImplicit(JoinedPdvData({ReadPduBytes(p.stream)}));
    EXPECT_EQ(data::GetTagUS(echo, tag::MessageIDBeingRespondedTo), 9);
    EXPECT_EQ(data::GetTagUS(echo, tag::CommandDataSetType), 0x0102);

    EXPECT_EQ(p.Store(DataSet(false)), StoreResponsePdu(0x0000));
    EXPECT_TRUE(fs::exists(p.FileOf()));

    // The peer's release is answered; the provider then releases on its own account.
    EXPECT_TRUE(p.Release());
    EXPECT_EQ(ReadPduBytes(p.stream), RELEASE_RQ);
    p.stream.Write(RELEASE_RP);
    p.Finish();
}

TEST(StoreScpAssociation, NoResponseWithoutAnAffectedSopClassUid) {
    Provider p;
    p.Associate(EchoAndCt());
    p.SendCommand(1, EchoRequest(3, 0x0101, std::nullopt));
    p.SendCommand(1, EchoRequest(3, 0x0101, ""));
    // A store without it is not answered and not stored: the sender could never learn of it.
    p.SendCommand(3, StoreRequest(5, ""));
    p.SendDataSet(3, DataSet(false));
    // The association goes on: the next echo is the first thing answered.
    p.SendCommand(1, EchoRequest(7, 0x0101));
    EXPECT_EQ(ReadPduBytes(p.stream), EchoResponsePdu());
    EXPECT_FALSE(fs::exists(p.FileOf()));
    EXPECT_FALSE(fs::exists(p.index));
}

TEST(StoreScpAssociation, AStoreWithoutADataSetEndsTheAssociationWithoutResponse) {
    Provider p;
    p.Associate(EchoAndCt());
    p.SendCommand(3, StoreRequest(5, CT, 0x0101));
    // The next thing the provider sends is its release request.
    EXPECT_EQ(ReadPduBytes(p.stream), RELEASE_RQ);
    p.stream.Write(RELEASE_RP);
    EXPECT_TRUE(ClosedByOtherSide(p.stream));
    p.Finish();
    EXPECT_TRUE(FilesUnder(p.dir.Path()).empty());
}

// The answer to a C-FIND-RQ with Message ID 5 on context 5: 162 bytes.
Bytes NotServedFindPdu() {
    const std::string comment = "C-FIND-RQ not served here: only C-STORE and C-ECHO are";
    // clang-format off
    return Cat({
        {0x04, 0x00},                                        // P-DATA-TF, reserved
        {0x00, 0x00, 0x00, 0x9C},                            // PDU length 156
        {0x00, 0x00, 0x00, 0x98},                            // PDV item length 152
        {0x05, 0x03},                                        // context 5; command, last
        {0x00, 0x00, 0x00, 0x00}, {0x04, 0x00, 0x00, 0x00},  // (0000,0000), length 4
        {0x8A, 0x00, 0x00, 0x00},                            //   138
        {0x00, 0x00, 0x02, 0x00}, {0x1C, 0x00, 0x00, 0x00},  // (0000,0002), length 28
        Uid(STUDY_ROOT_FIND),                                //   the request's class
        {0x00, 0x00, 0x00, 0x01}, {0x02, 0x00, 0x00, 0x00},  // (0000,0100) Command Field
        {0x20, 0x80},                                        //   C-FIND-RSP
        {0x00, 0x00, 0x20, 0x01}, {0x02, 0x00, 0x00, 0x00},  // (0000,0120) Responded To
        {0x05, 0x00},                                        //   5
        {0x00, 0x00, 0x00, 0x08}, {0x02, 0x00, 0x00, 0x00},  // (0000,0800) Data Set Type
        {0x01, 0x01},                                        //   no data set
        {0x00, 0x00, 0x00, 0x09}, {0x02, 0x00, 0x00, 0x00},  // (0000,0900) Status
        {0x22, 0x01},                                        //   SOP class not supported
        {0x00, 0x00, 0x02, 0x09}, {0x36, 0x00, 0x00, 0x00},  // (0000,0902) Error Comment, 54
        T(comment),
    });
    // clang-format on
}

TEST(StoreScpAssociation, RequestsItDoesNotServeGet0122AndTheAssociationGoesOn) {
    constexpr char STUDY_ROOT_MOVE[] = "1.2.840.10008.5.1.4.1.2.2.2";
    Provider p;
    const auto answers = p.Associate({{VERIFICATION, {IMPLICIT}},
                                      {CT, {IMPLICIT}},
                                      {STUDY_ROOT_FIND, {IMPLICIT}},
                                      {STUDY_ROOT_MOVE, {IMPLICIT}}});
    ASSERT_EQ(answers.size(), 4u);
    EXPECT_EQ(answers[2].result, RESULT_ACCEPTANCE);
    EXPECT_EQ(answers[3].result, RESULT_ACCEPTANCE);
    const Bytes identifier =
        DataSetBuilder(false, false).Text(0x0008, 0x0052, "CS", "STUDY ").Bytes();

    // A C-FIND-RQ and its identifier: answered on its own context.
    p.SendCommand(5, StoreRequest(5, STUDY_ROOT_FIND, 0x0000, 0x0020));
    p.SendDataSet(5, identifier);
    EXPECT_EQ(ReadPduBytes(p.stream), NotServedFindPdu());

    // A C-MOVE-RQ, then a C-CANCEL-RQ, which has no answer: the echo after them is answered.
    p.SendCommand(7, CommandBytes({{0x0002, Uid(STUDY_ROOT_MOVE)},
                                   {0x0100, Le16(0x0021)},
                                   {0x0110, Le16(9)},
                                   {0x0600, T("TESSALY ")},
                                   {0x0700, Le16(0x0000)},
                                   {0x0800, Le16(0x0000)}}));
    p.SendDataSet(7, identifier);
    const Bytes move = ReadPduBytes(p.stream);
    ASSERT_GT(move.size(), 12u);
    EXPECT_EQ(move[10], 7);  // its own context
    const ElementList moveAnswer = ParseImplicit(JoinedPdvData({move}));
    EXPECT_EQ(data::GetTagUS(moveAnswer, tag::CommandField), net::C_MOVE_RSP);
    EXPECT_EQ(data::GetTagUS(moveAnswer, tag::MessageIDBeingRespondedTo), 9);
    EXPECT_EQ(data::GetTagUS(moveAnswer, tag::Status), net::STATUS_SOP_CLASS_NOT_SUPPORTED);
    EXPECT_EQ(data::GetTagString(moveAnswer, tag::ErrorComment),
              "C-MOVE-RQ not served here: only C-STORE and C-ECHO are");
    p.SendCommand(
        7, CommandBytes({{0x0100, Le16(0x0FFF)}, {0x0120, Le16(9)}, {0x0800, Le16(0x0101)}}));
    p.SendCommand(1, EchoRequest(7, 0x0101));
    EXPECT_EQ(ReadPduBytes(p.stream), EchoResponsePdu());
    EXPECT_TRUE(p.Release());
}

TEST(StoreScpFiles, EachContextSyntaxStoredAsItShouldBe) {
    // A group length that counts explicit headers: the pixel data's header is 12 bytes there,
    // 8 in implicit VR.
    auto withGroupLength = [](bool explicitVr) {
        const Bytes rest = DataSet(explicitVr, {}, false);
        const uint32_t pixels = (explicitVr ? 12 : 8) + 32;
        DataSetBuilder length(explicitVr, false);
        length.Element(0x7FE0, 0x0000, "UL", Le32(pixels));
        const auto split = rest.end() - pixels;
        return Cat({Bytes(rest.begin(), split), length.Bytes(), Bytes(split, rest.end())});
    };
    const Bytes compressed = DataSet(true, {}, true, true);
    const Uids noStudyOrSeries{"", "", INSTANCE};
    const Uids otherInstance{STUDY, SERIES, "1.2.3"};
    struct Case {
        const char* name;
        const char* contextSyntax;
        Bytes sent;
        std::string storedSyntax;
        Bytes stored;  // the bytes after the meta group
        Uids uids = {};
        store::AcceptPolicy policy = store::AcceptPolicy::Standard;
    };
    const Bytes deflated = [] {
        Bytes packed = data::DeflateBytes(DataSet(true));
        if (packed.size() % 2 != 0) packed.push_back(0);
        return packed;
    }();
    const Case cases[] = {
        {"implicit, as it came", IMPLICIT, DataSet(false), IMPLICIT, DataSet(false)},
        // Byte for byte as an implicit VR encoder writes it: the item holds implicit elements.
        {"explicit with a sequence", EXPLICIT, DataSet(true), IMPLICIT, DataSet(false)},
        {"explicit with a group length", EXPLICIT, withGroupLength(true), IMPLICIT,
         withGroupLength(false)},
        {"explicit, neither", EXPLICIT, DataSet(true, {}, false), IMPLICIT,
         DataSet(false, {}, false)},
        // Compressed data keeps its syntax, with an explicit body.
        {"JPEG lossless", JPEG_LOSSLESS, compressed, JPEG_LOSSLESS, compressed},
        {"JPEG baseline", JPEG_BASELINE, compressed, JPEG_BASELINE, compressed},
        // A data set that names another instance than its command: the file is written anew
        // from what arrived, the same bytes.
        {"another instance than the command's", IMPLICIT, DataSet(false, otherInstance), IMPLICIT,
         DataSet(false, otherInstance), otherInstance},
        // Absent study and series UIDs give empty directory levels.
        {"no study or series", IMPLICIT, DataSet(false, noStudyOrSeries), IMPLICIT,
         DataSet(false, noStudyOrSeries), noStudyOrSeries},
        // Accepting everything, each instance stays in the syntax it came in.
        {"explicit as received",
         EXPLICIT,
         DataSet(true),
         EXPLICIT,
         DataSet(true),
         {},
         store::AcceptPolicy::Everything},
        {"big endian as received",
         EXPLICIT_BIG,
         DataSet(true, {}, false, false, true),
         EXPLICIT_BIG,
         DataSet(true, {}, false, false, true),
         {},
         store::AcceptPolicy::Everything},
        {"deflated as received",
         DEFLATED,
         deflated,
         DEFLATED,
         deflated,
         {},
         store::AcceptPolicy::Everything},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Provider p("images/", nullptr, c.policy);
        const auto answers = p.Associate(EchoAndCt(c.contextSyntax));
        ASSERT_EQ(answers.size(), 2u);
        ASSERT_EQ(answers[1].transferSyntax, c.contextSyntax);
        EXPECT_EQ(StatusOf(p.Store(c.sent)), 0x0000);
        const StoredFile stored = ReadStored(p.FileOf(c.uids));
        EXPECT_EQ(stored.syntax, c.storedSyntax);
        EXPECT_EQ(stored.sopClass, CT);
        EXPECT_EQ(stored.sopInstance, c.uids.instance);
        EXPECT_EQ(stored.body, c.stored);
        // Only the file itself, under its final name: no temporary is left behind.
        EXPECT_EQ(FilesUnder(p.storage).size(), 1u);
        EXPECT_TRUE(fs::exists(p.index / c.uids.study / c.uids.series / "Image.dir"));
    }
}

TEST(StoreScpFiles, AStorageDirectoryThatCannotBeWrittenIsRefusedWithA700) {
    Provider p("plain-file/images/");
    testsupport::WriteFileBytes(p.dir / "plain-file", {1});
    p.Associate(EchoAndCt());
    EXPECT_EQ(p.Store(DataSet(false)), StoreResponsePdu(net::STATUS_OUT_OF_RESOURCES));
    EXPECT_FALSE(fs::exists(p.index));
    EXPECT_EQ(FilesUnder(p.dir.Path()), std::vector<std::string>{"plain-file"});
    // The association goes on.
    EXPECT_TRUE(p.Release());
}

TEST(StoreScpFiles, UidsThatCannotBePathsAreRefusedAndWriteNothing) {
    std::vector<Uids> cases = {{STUDY, SERIES, ""}};  // no SOP Instance UID: no file name
    for (const std::string& bad :
         {std::string("../../x"), std::string(".."), std::string("/abs"), std::string("1..2"),
          std::string(65, '1'), std::string("1.2/3"), std::string("1.2\\3")}) {
        cases.push_back({bad, SERIES, INSTANCE});
        cases.push_back({STUDY, bad, INSTANCE});
        cases.push_back({STUDY, SERIES, bad});
    }
    for (const Uids& uids : cases) {
        SCOPED_TRACE(uids.study + " " + uids.series + " " + uids.instance);
        // Deep enough that "../../x" would still land inside the temporary folder.
        Provider p("a/b/images");
        p.Associate(EchoAndCt());
        EXPECT_EQ(p.Store(DataSet(false, uids)), StoreResponsePdu(net::STATUS_CANNOT_UNDERSTAND));
        EXPECT_TRUE(p.Release());
        p.Finish();
        EXPECT_TRUE(FilesUnder(p.dir.Path()).empty());
        EXPECT_FALSE(fs::exists(p.dir / "a" / "b" / "images"));
        EXPECT_FALSE(fs::exists(p.index));
    }
}

TEST(StoreScpFiles, IndexLinesOnlyForInstancesNotStoredBefore) {
    Provider p;
    p.Associate(EchoAndCt());
    const fs::path indexes[] = {p.index / "LXStudy.dir", p.index / STUDY / "Series.dir",
                                p.index / STUDY / SERIES / "Image.dir"};
    auto read = [&] {
        std::vector<std::string> texts;
        for (const auto& index : indexes)
            texts.push_back(testsupport::ReadFileText(index));
        return texts;
    };
    EXPECT_EQ(StatusOf(p.Store(DataSet(false))), 0x0000);
    const auto first = read();
    EXPECT_EQ(first[2], ",1," + std::string(INSTANCE) + ",,,,,," + CT + ",4,4,\r\n");

    // The same instance again: stored again, indexed once.
    fs::remove(p.FileOf());
    testsupport::WriteFileBytes(p.FileOf(), {1, 2, 3});
    EXPECT_EQ(StatusOf(p.Store(DataSet(false))), 0x0000);
    EXPECT_GT(fs::file_size(p.FileOf()), 3u);
    EXPECT_EQ(read(), first);
}

TEST(StoreScpFiles, ADataSetThatNeverArrivesWholeLeavesNothing) {
    const Bytes dataSet = DataSet(false);
    const Bytes firstHalf(dataSet.begin(), dataSet.begin() + 40);
    struct Case {
        const char* name;
        Bytes after;  // what follows the first half of the data set
        bool abortsItself;
    };
    const Case cases[] = {
        {"the sender aborts", ABORT, false},
        {"the sender closes", {}, false},
        // The last fragment ends inside a value: the provider aborts.
        {"cut short", PDataTF({{3, 0x02, Bytes(dataSet.begin() + 40, dataSet.end() - 1)}}), true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Provider p;
        p.Associate(EchoAndCt());
        p.SendCommand(3, StoreRequest(5, CT));
        p.stream.Write(PDataTF({{3, 0x00, firstHalf}}));
        if (!c.after.empty()) p.stream.Write(c.after);
        if (c.abortsItself) {
            EXPECT_EQ(ReadPduBytes(p.stream), ABORT);
        }
        p.Finish();
        EXPECT_TRUE(FilesUnder(p.dir.Path()).empty());
        EXPECT_FALSE(fs::exists(p.storage));
    }
}

TEST(StoreScpAssociation, ACancelServesWhatHasArrivedThenCloses) {
    CancelSignal cancel;
    Provider p("images/", &cancel);
    p.Associate(EchoAndCt());
    // The whole request is waiting at the provider when the cancel comes.
    p.SendCommand(3, StoreRequest(5, CT));
    p.SendDataSet(3, DataSet(false));
    cancel.Raise();
    EXPECT_EQ(ReadPduBytes(p.stream), StoreResponsePdu(0x0000));
    EXPECT_TRUE(ClosedByOtherSide(p.stream));
    p.Finish();
    EXPECT_TRUE(fs::exists(p.FileOf()));
}

TEST(StoreScpListener, ListensStoresAndStops) {
    testsupport::TempDir dir;
    const fs::path index = dir / "Database";
    const std::string port = std::to_string(testsupport::FreePort());
    EXPECT_FALSE(store::StoreSCPListening(port));  // none started there
    // Without the trailing separator; the same paths as with it.
    store::StartStoreSCP((dir / "images").string(), port, index);
    ASSERT_TRUE(store::StoreSCPListening(port));
    // The exported forms take no null for a text.
    StartStoreSCP(nullptr, port.c_str());
    EXPECT_EQ(StoreSCPListening(nullptr), 0);
    EXPECT_EQ(StoreSCPListening(port.c_str()), 1);

    for (int round = 0; round < 2; ++round) {
        PduStream client;
        client.Socket().SetReceiveTimeout(PEER_TIMEOUT);
        ASSERT_TRUE(client.Open("127.0.0.1", port));
        ASSERT_EQ(Associate(client, EchoAndCt()).size(), 2u);
        client.Write(PDataTF({{3, 0x03, StoreRequest(5, CT)}}));
        client.Write(PDataTF({{3, 0x02, DataSet(false)}}));
        EXPECT_EQ(ReadPduBytes(client), StoreResponsePdu(0x0000));
        if (round == 0) {
            client.Write(RELEASE_RQ);
            EXPECT_EQ(ReadPduBytes(client), RELEASE_RP);
            continue;
        }
        // An association left open is closed by the stop.
        store::StopStoreSCP();
        EXPECT_TRUE(ClosedByOtherSide(client));
    }
    EXPECT_TRUE(fs::exists(dir / "images" / STUDY / SERIES / (std::string(INSTANCE) + ".dcm")));
    EXPECT_FALSE(store::StoreSCPListening(port));
    TcpSocket probe;
    EXPECT_FALSE(probe.Open("127.0.0.1", port));

    // A port that is taken: the listener gives up, and says so.
    TcpSocket other;
    ASSERT_TRUE(other.ListenOn(0));
    const std::string taken = std::to_string(other.LocalPort());
    store::StartStoreSCP(dir.Path().string(), taken, index);
    EXPECT_FALSE(store::StoreSCPListening(taken));
    StopStoreSCP();
    StopStoreSCP();  // nothing left to stop
}

// Two providers of their own and one of the registry: stopping one ends it alone, each files
// under its own index, and StopStoreSCP leaves the owned ones running.
TEST(StoreScpListener, ProvidersRunAndStopIndependently) {
    testsupport::TempDir dir;
    const std::string portA = std::to_string(testsupport::FreePort());
    const std::string portB = std::to_string(testsupport::FreePort());
    const std::string portC = std::to_string(testsupport::FreePort());
    store::StoreProvider a((dir / "a").string(), portA, dir / "a" / "Database");
    store::StoreProvider b((dir / "b").string(), portB, dir / "b" / "Database", 4);
    store::StartStoreSCP((dir / "c").string(), portC, dir / "c" / "Database");
    ASSERT_TRUE(a.Listening());
    ASSERT_TRUE(b.Listening());
    ASSERT_TRUE(store::StoreSCPListening(portC));

    // Opens an association and stores one instance on it, leaving it open.
    auto store = [](const std::string& port, PduStream& client) {
        client.Socket().SetReceiveTimeout(PEER_TIMEOUT);
        if (!client.Open("127.0.0.1", port) || Associate(client, EchoAndCt()).size() != 2)
            return false;
        client.Write(PDataTF({{3, 0x03, StoreRequest(5, CT)}}));
        client.Write(PDataTF({{3, 0x02, DataSet(false)}}));
        return ReadPduBytes(client) == StoreResponsePdu(0x0000);
    };
    PduStream toA, toB, toC;
    ASSERT_TRUE(store(portA, toA));
    ASSERT_TRUE(store(portB, toB));
    ASSERT_TRUE(store(portC, toC));
    a.Stop();
    EXPECT_TRUE(ClosedByOtherSide(toA));
    EXPECT_FALSE(a.Listening());
    store::StopStoreSCP();
    EXPECT_TRUE(ClosedByOtherSide(toC));
    // b is still serving its association and takes another.
    toB.Write(RELEASE_RQ);
    EXPECT_EQ(ReadPduBytes(toB), RELEASE_RP);
    PduStream again;
    EXPECT_TRUE(store(portB, again));
    again.Write(RELEASE_RQ);
    EXPECT_EQ(ReadPduBytes(again), RELEASE_RP);
    for (const char* name : {"a", "b", "c"}) {
        EXPECT_TRUE(fs::exists(dir / name / STUDY / SERIES / (std::string(INSTANCE) + ".dcm")));
        EXPECT_TRUE(fs::exists(dir / name / "Database" / "LXStudy.dir")) << name;
    }
    b.Stop();
    TcpSocket none;
    EXPECT_FALSE(none.Open("127.0.0.1", portB));
}
