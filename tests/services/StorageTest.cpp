#include "services/Storage.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "data/Datadec.h"
#include "data/Encoder.h"
#include "data/Tags.h"
#include "net/DimseFixtures.h"
#include "net/TraceLog.h"
#include "services/Verification.h"
#include "support/DataSetBuilder.h"
#include "support/TestSupport.h"
#include "zedavura.h"

using namespace dicomlib;
using namespace dicomlib::net;
using namespace nettest;
using testsupport::DataSetBuilder;

namespace {

namespace fs = std::filesystem;

constexpr char SECONDARY_CAPTURE[] = "1.2.840.10008.5.1.4.1.1.7";  // 25 characters
constexpr char XA_IMAGE[] = "1.2.840.10008.5.1.4.1.1.12.1";        // 28 characters
constexpr char IMPLICIT[] = "1.2.840.10008.1.2";
constexpr char EXPLICIT[] = "1.2.840.10008.1.2.1";
constexpr char BIG[] = "1.2.840.10008.1.2.2";

// A small image data set: SOP class (stored with its pad), optional SOP instance UID stored
// exactly as given, name, rows 2, columns 3 and six 16-bit pixels.
Bytes ImageBody(bool explicitVr, bool bigEndian, const std::string& sopClass,
                const std::optional<std::string>& instance) {
    DataSetBuilder b(explicitVr, bigEndian);
    b.Element(0x0008, 0x0016, "UI", testsupport::PaddedText(sopClass, 0));
    if (instance) b.Text(0x0008, 0x0018, "UI", *instance);
    b.Text(0x0010, 0x0010, "PN", "TEST^STORE")
        .US(0x0028, 0x0010, 2)
        .US(0x0028, 0x0011, 3)
        .Element(0x7FE0, 0x0010, "OW",
                 bigEndian ? Bytes{0, 1, 0, 2, 0, 3, 1, 0, 2, 0, 3, 0}
                           : Bytes{1, 0, 2, 0, 3, 0, 0, 1, 0, 2, 0, 3});
    return b.Bytes();
}

fs::path WriteImage(const fs::path& path, const std::string& syntax, const Bytes& body) {
    testsupport::WriteFileBytes(path, testsupport::Part10File(syntax, body));
    return path;
}

// The C-STORE-RQ command set as it must travel.
Bytes StoreCommand(const std::string& sopClass, uint16_t messageId,
                   const std::optional<Bytes>& instance) {
    Bytes elements = Cat({
        ImplicitElement(0x0000, 0x0002, testsupport::PaddedText(sopClass, 0)),
        ImplicitElement(0x0000, 0x0100, Le16(0x0001)),     // C-STORE-RQ
        ImplicitElement(0x0000, 0x0110, Le16(messageId)),  // Message ID
        ImplicitElement(0x0000, 0x0700, Le16(0x0000)),     // Priority: medium
        ImplicitElement(0x0000, 0x0800, Le16(0x0102)),     // a data set follows
    });
    if (instance) elements = Cat({elements, ImplicitElement(0x0000, 0x1000, *instance)});
    return CommandBytes(elements);
}

Bytes StoreResponse(uint16_t messageId, uint16_t status) {
    return CommandBytes(Cat({
        ImplicitElement(0x0000, 0x0002, testsupport::PaddedText(SECONDARY_CAPTURE, 0)),
        ImplicitElement(0x0000, 0x0100, Le16(0x8001)),
        ImplicitElement(0x0000, 0x0120, Le16(messageId)),
        ImplicitElement(0x0000, 0x0800, Le16(0x0101)),
        ImplicitElement(0x0000, 0x0900, Le16(status)),
    }));
}

// One message part as it arrived: the PDUs and the joined PDV data.
struct Received {
    std::vector<Bytes> pdus;
    Bytes data;
    bool ok = false;
};

// Reads P-DATA-TF PDUs until a PDV with the last-fragment bit; stops at any other PDU, which
// is left as the last of pdus.
Received ReadMessagePart(PduStream& s) {
    Received r;
    for (;;) {
        Bytes pdu = ReadPduBytes(s);
        if (pdu.empty()) return r;
        r.pdus.push_back(pdu);
        auto pdvs = DecodePDataTF(pdu);
        if (!pdvs) return r;
        for (const auto& pdv : *pdvs) {
            r.data.insert(r.data.end(), pdv.data.begin(), pdv.data.end());
            if ((pdv.control & PDV_LAST_FRAGMENT) != 0) {
                r.ok = true;
                return r;
            }
        }
    }
}

uint16_t UsOf(const Bytes& command, Tag tag) {
    ElementList list;
    EXPECT_TRUE(data::ReadDataSetBytes({0, 0, 0}, command, list));
    return data::GetTagUS(list, tag);
}

std::string InstanceOf(const Bytes& command) {
    ElementList list;
    EXPECT_TRUE(data::ReadDataSetBytes({0, 0, 0}, command, list));
    return data::GetTagString(list, tag::AffectedSOPInstanceUID);
}

// A storage peer: accepts every proposal (with acceptSyntax, or the first one proposed),
// answers each C-STORE-RQ with the next status of its list (0 when the list runs out) and
// serves the release.
struct StorePeer {
    std::string acceptSyntax;
    std::vector<uint16_t> statuses;
    std::function<bool(std::size_t)> abortAfter = [](std::size_t) { return false; };

    Bytes associateRq;
    std::vector<Bytes> commands;
    std::vector<std::vector<Bytes>> commandPdus;
    std::vector<Received> dataSets;
    bool released = false;

    std::function<void(PduStream&)> Script() {
        return [this](PduStream& s) {
            associateRq = AcceptAssociation(s, acceptSyntax);
            for (std::size_t n = 0;; ++n) {
                Received command = ReadMessagePart(s);
                if (!command.ok) {
                    if (!command.pdus.empty() && command.pdus.back() == RELEASE_RQ) {
                        s.Write(RELEASE_RP);
                        released = true;
                    }
                    return;
                }
                commands.push_back(command.data);
                commandPdus.push_back(command.pdus);
                dataSets.push_back(ReadMessagePart(s));
                if (abortAfter(n)) {
                    s.Write(ABORT);
                    return;
                }
                const uint16_t status = n < statuses.size() ? statuses[n] : 0;
                const uint16_t id = UsOf(command.data, tag::MessageID);
                s.Write(PDataTF({{1, 0x03, StoreResponse(id, status)}}));
            }
        };
    }

    std::vector<std::string> Proposed() const {
        auto rq = DecodeAssociateRQ(associateRq);
        if (!rq || rq->contexts.empty()) return {};
        return rq->contexts[0].transferSyntaxes;
    }
};

// An association opened for one storage class to a StorePeer.
struct StoreSession {
    FakePeer peer;
    StorePeer store;
    Association assoc;

    bool Open(const std::string& sopClass, const std::string& fileSyntax) {
        peer.Start(store.Script());
        assoc.stream.Socket().SetReceiveTimeout(PEER_TIMEOUT);
        std::string calling = "local";
        return OpenStorageAssoc(assoc, "127.0.0.1", peer.Port(), calling, "remote", sopClass,
                                fileSyntax, std::nullopt);
    }
    void Close() {
        CloseAssoc(assoc);
        peer.Join();
    }
};

ElementList ReadBody(const Bytes& body, bool explicitVr, bool bigEndian) {
    ElementList list;
    EXPECT_TRUE(data::ReadDataSetBytes(
        {static_cast<uint8_t>(explicitVr), static_cast<uint8_t>(bigEndian), 0}, body, list));
    return list;
}

}  // namespace

TEST(StoreRequest, CommandSetByteExactWithAndWithoutTheInstanceUid) {
    // An even class and no (0008,0018): L + 48.
    services::CommandSet none = services::StoreRequest(XA_IMAGE, 3, std::nullopt);
    EXPECT_EQ(none.GroupLength(), 28u + 48u);
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

    // An odd class and an even instance UID: both counted, the class padded with 0x00.
    services::CommandSet even = services::StoreRequest(SECONDARY_CAPTURE, 5, "1.2.3.44");
    EXPECT_EQ(even.GroupLength(), 26u + 56u + 8u);
    EXPECT_EQ(data::EncodeList(even.List(), false),
              StoreCommand(SECONDARY_CAPTURE, 5, T("1.2.3.44")));

    // An odd instance UID stored without its pad gets one: peers abort on an odd length.
    services::CommandSet odd = services::StoreRequest(SECONDARY_CAPTURE, 7, "1.2.3.4");
    EXPECT_EQ(odd.GroupLength(), 26u + 56u + 8u);
    const DicomElement* uid = data::FindTag(odd.List(), tag::AffectedSOPInstanceUID);
    ASSERT_NE(uid, nullptr);
    EXPECT_EQ(uid->length, 8u);
    EXPECT_EQ(uid->value[7], 0x00);
    EXPECT_EQ(data::EncodeList(odd.List(), false),
              StoreCommand(SECONDARY_CAPTURE, 7, Cat({T("1.2.3.4"), {0x00}})));
}

TEST(WriteStoreRQ, SendsCommandThenDataSetOnTheWire) {
    struct Case {
        const char* name;
        std::optional<std::string> stored;  // (0008,0018) as the file holds it
        std::optional<Bytes> sent;          // (0000,1000) on the wire
    };
    const Case cases[] = {
        {"no instance UID: L + 48", std::nullopt, std::nullopt},
        {"even instance UID: L + 56 + I", "1.2.3.44", T("1.2.3.44")},
        {"odd instance UID stored unpadded", "1.2.3.4", Cat({T("1.2.3.4"), {0x00}})},
        {"odd instance UID stored with its pad", std::string("1.2.3.4") + '\0',
         Cat({T("1.2.3.4"), {0x00}})},
    };
    for (const auto& c : cases) {
        StoreSession session;
        ASSERT_TRUE(session.Open(SECONDARY_CAPTURE, EXPLICIT)) << c.name;
        ElementList dataSet =
            ReadBody(ImageBody(true, false, SECONDARY_CAPTURE, c.stored), true, false);
        EXPECT_TRUE(
            services::WriteStoreRQ(session.assoc, dataSet, SECONDARY_CAPTURE, EXPLICIT, true))
            << c.name;
        EXPECT_EQ(services::ReadStoreRSP(session.assoc), 0) << c.name;
        session.Close();
        ASSERT_EQ(session.store.commands.size(), 1u) << c.name;
        EXPECT_EQ(session.store.commands[0], StoreCommand(SECONDARY_CAPTURE, 3, c.sent)) << c.name;
        // The command is one PDU of its own: context 1, command, last fragment.
        ASSERT_EQ(session.store.commandPdus[0].size(), 1u);
        EXPECT_EQ(session.store.commandPdus[0][0], PDataTF({{1, 0x03, session.store.commands[0]}}));
        ASSERT_EQ(session.store.dataSets.size(), 1u);
        EXPECT_EQ(session.store.dataSets[0].data,
                  ImageBody(true, false, SECONDARY_CAPTURE, c.stored))
            << c.name;
    }
}

TEST(WriteStoreRQ, ConvertsToTheAcceptedSyntaxOnlyWhenAsked) {
    struct Case {
        const char* name;
        const char* fileSyntax;
        bool explicitFile, bigFile;
        bool convert;
        Bytes expected;  // the data set on the wire, implicit VR little endian context
    };
    const std::optional<std::string> uid = "1.2.3.44";
    const Bytes implicitLittle = ImageBody(false, false, SECONDARY_CAPTURE, uid);
    // Without conversion every element goes as it is held: big-endian values under
    // little-endian headers.
    Bytes rawBig = implicitLittle;
    const Bytes bigPixels = {0, 1, 0, 2, 0, 3, 1, 0, 2, 0, 3, 0};
    {
        DataSetBuilder b(false, false);
        b.Element(0x0008, 0x0016, "UI", testsupport::PaddedText(SECONDARY_CAPTURE, 0))
            .Text(0x0008, 0x0018, "UI", *uid)
            .Text(0x0010, 0x0010, "PN", "TEST^STORE")
            .Element(0x0028, 0x0010, "US", {0x00, 0x02})
            .Element(0x0028, 0x0011, "US", {0x00, 0x03})
            .Element(0x7FE0, 0x0010, "OW", bigPixels);
        rawBig = b.Bytes();
    }
    const Case cases[] = {
        {"explicit little endian, converted", EXPLICIT, true, false, true, implicitLittle},
        {"explicit little endian, element for element", EXPLICIT, true, false, false,
         implicitLittle},
        {"big endian, converted", BIG, true, true, true, implicitLittle},
        {"big endian, element for element", BIG, true, true, false, rawBig},
    };
    for (const auto& c : cases) {
        StoreSession session;
        session.store.acceptSyntax = IMPLICIT;  // the peer takes implicit VR little endian only
        ASSERT_TRUE(session.Open(SECONDARY_CAPTURE, c.fileSyntax)) << c.name;
        ElementList dataSet = ReadBody(ImageBody(c.explicitFile, c.bigFile, SECONDARY_CAPTURE, uid),
                                       c.explicitFile, c.bigFile);
        std::vector<std::string> vrsBefore;
        for (const DicomElement* e : dataSet)
            vrsBefore.emplace_back(e->vr, 2);
        EXPECT_TRUE(services::WriteStoreRQ(session.assoc, dataSet, SECONDARY_CAPTURE, c.fileSyntax,
                                           c.convert))
            << c.name;
        EXPECT_EQ(services::ReadStoreRSP(session.assoc), 0);
        session.Close();
        ASSERT_EQ(session.store.dataSets.size(), 1u) << c.name;
        EXPECT_EQ(session.store.dataSets[0].data, c.expected) << c.name;
        // The caller's list is as it was.
        std::vector<std::string> vrsAfter;
        for (const DicomElement* e : dataSet)
            vrsAfter.emplace_back(e->vr, 2);
        EXPECT_EQ(vrsAfter, vrsBefore) << c.name;
    }
}

TEST(WriteStoreRQ, NothingIsSentWithoutAContextOrWhenTheConversionFails) {
    StoreSession session;
    session.store.acceptSyntax = "1.2.840.10008.1.2.4.70";
    ASSERT_TRUE(session.Open(SECONDARY_CAPTURE, EXPLICIT));
    ElementList dataSet =
        ReadBody(ImageBody(true, false, SECONDARY_CAPTURE, std::nullopt), true, false);
    // No context for another class.
    EXPECT_EQ(services::StoreDataSet(session.assoc, dataSet, XA_IMAGE, EXPLICIT, true),
              services::STORE_CONTEXT_REFUSED);
    // An unknown source syntax cannot be converted to lossless JPEG.
    EXPECT_EQ(services::StoreDataSet(session.assoc, dataSet, SECONDARY_CAPTURE, "1.2.3", true),
              services::STORE_CONVERSION_FAILED);
    session.Close();
    EXPECT_TRUE(session.store.commands.empty());
    EXPECT_TRUE(session.store.released);
}

TEST(ReadStoreRSP, StatusNoResponseAndOtherMessages) {
    struct Case {
        const char* name;
        Bytes response;  // empty: the peer aborts instead
        int32_t expected;
    };
    const Case cases[] = {
        {"success", StoreResponse(3, 0x0000), 0},
        {"warning", StoreResponse(3, 0xB000), 45056},
        {"failure", StoreResponse(3, 0xC001), 0xC001},
        {"an echo response", EchoResponseBytes(3, 0), services::STORE_NOT_STORE_RESPONSE},
        {"abort", {}, services::STORE_NO_RESPONSE},
    };
    for (const auto& c : cases) {
        PeerSession session;
        ASSERT_TRUE(session.Open([&](PduStream& s) {
            ReadPduBytes(s);
            s.Write(c.response.empty() ? ABORT : PDataTF({{1, 0x03, c.response}}));
        }));
        services::CommandSet command = services::EchoRequest("1.2.840.10008.1.1", 3);
        ASSERT_TRUE(
            SendMessage(session.assoc, command.List(), "1.2.840.10008.1.1", MessageKind::Command));
        EXPECT_EQ(services::ReadStoreRSP(session.assoc), c.expected) << c.name;
        session.peer.Join();
    }
}

TEST(StoreFile, OutcomeOfEachWayThrough) {
    testsupport::TempDir dir;
    const fs::path image = WriteImage(dir / "image.dcm", EXPLICIT,
                                      ImageBody(true, false, SECONDARY_CAPTURE, "1.2.3.4"));
    for (uint16_t status : {0x0000, 0xB000, 0xA700}) {
        FakePeer peer;
        StorePeer store;
        store.statuses = {status};
        peer.Start(store.Script());
        EXPECT_EQ(services::StoreFile("127.0.0.1", peer.Port(), "local", "remote", image,
                                      std::nullopt, true),
                  status);
        peer.Join();
        EXPECT_TRUE(store.released) << status;  // released on every path
        ASSERT_EQ(store.commands.size(), 1u);
        EXPECT_EQ(store.commands[0],
                  StoreCommand(SECONDARY_CAPTURE, 3, Cat({T("1.2.3.4"), {0x00}})));
    }

    // A warning counts as failure for the yes/no form.
    FakePeer peer;
    StorePeer store;
    store.statuses = {0xB000};
    peer.Start(store.Script());
    EXPECT_FALSE(
        services::StoreSCU("127.0.0.1", peer.Port(), "local", "remote", image, std::nullopt, true));
    peer.Join();
}

TEST(StoreFile, FilesThatCannotBeSentOpenNoAssociation) {
    testsupport::TempDir dir;
    // Nothing listens here: a result other than "no connection" means nothing was tried.
    const std::string closed = std::to_string(testsupport::FreePort());
    auto outcome = [&](const fs::path& file) {
        return services::StoreFile("127.0.0.1", closed, "", "remote", file, std::nullopt, true);
    };
    EXPECT_EQ(outcome(dir / "missing.dcm"), services::STORE_CANNOT_OPEN);
    EXPECT_EQ(outcome(dir.Path()), services::STORE_CANNOT_OPEN);

    testsupport::WriteFileBytes(dir / "text.dcm", T("not a DICOM file at all"));
    EXPECT_EQ(outcome(dir / "text.dcm"), services::STORE_NOT_PART10);
    Bytes bare = ImageBody(true, false, SECONDARY_CAPTURE, std::nullopt);
    bare.resize(200, 0);
    testsupport::WriteFileBytes(dir / "bare.dcm", bare);
    EXPECT_EQ(outcome(dir / "bare.dcm"), services::STORE_NOT_PART10);

    Bytes cut = testsupport::Part10File(EXPLICIT, ImageBody(true, false, SECONDARY_CAPTURE, {}));
    cut.resize(cut.size() - 5);
    testsupport::WriteFileBytes(dir / "cut.dcm", cut);
    EXPECT_EQ(outcome(dir / "cut.dcm"), services::STORE_DAMAGED_FILE);

    WriteImage(dir / "nots.dcm", "", ImageBody(true, false, SECONDARY_CAPTURE, {}));
    EXPECT_EQ(outcome(dir / "nots.dcm"), services::STORE_NO_TRANSFER_SYNTAX);

    DataSetBuilder noClass(true, false);
    noClass.Text(0x0008, 0x0018, "UI", "1.2.3.44").Text(0x0010, 0x0010, "PN", "NO^CLASS");
    WriteImage(dir / "noclass.dcm", EXPLICIT, noClass.Bytes());
    EXPECT_EQ(outcome(dir / "noclass.dcm"), services::STORE_NO_SOP_CLASS);

    // A file that can be sent, to a closed port.
    WriteImage(dir / "good.dcm", EXPLICIT, ImageBody(true, false, SECONDARY_CAPTURE, {}));
    EXPECT_EQ(outcome(dir / "good.dcm"), services::STORE_NO_CONNECTION);
}

TEST(StoreFile, RefusedAssociationsAndTheProposal) {
    testsupport::TempDir dir;
    const fs::path image =
        WriteImage(dir / "image.dcm", BIG, ImageBody(true, true, SECONDARY_CAPTURE, {}));
    {
        FakePeer peer;
        peer.Start([](PduStream& s) {
            ReadPduBytes(s);
            s.Write(ASSOCIATE_RJ);
        });
        EXPECT_EQ(services::StoreFile("127.0.0.1", peer.Port(), "", "remote", image, "", true),
                  services::STORE_REJECTED);
    }
    {
        FakePeer peer;
        peer.Start([](PduStream& s) {
            auto rq = DecodeAssociateRQ(ReadPduBytes(s));
            AssociateAC ac;
            ac.applicationContext = APPLICATION_CONTEXT_NAME;
            ac.contexts.push_back({rq ? rq->contexts.at(0).id : uint8_t{1}, 3, IMPLICIT, ""});
            ac.userInformation = {16384, "1.2.3.4", "PEER", 0};
            s.Write(EncodeAssociateAC(ac));
        });
        EXPECT_EQ(services::StoreFile("127.0.0.1", peer.Port(), "", "remote", image, "", true),
                  services::STORE_CONTEXT_REFUSED);
    }
    // The preferred syntax follows the file's; an empty one is an empty sub-item.
    const std::vector<std::pair<std::optional<std::string_view>, std::vector<std::string>>>
        proposals = {
            {std::nullopt, {BIG, IMPLICIT}},
            {"", {BIG, "", IMPLICIT}},
            {EXPLICIT, {BIG, EXPLICIT, IMPLICIT}},
            {BIG, {BIG, IMPLICIT}},
        };
    for (const auto& [preferred, expected] : proposals) {
        FakePeer peer;
        StorePeer store;
        peer.Start(store.Script());
        EXPECT_EQ(
            services::StoreFile("127.0.0.1", peer.Port(), "", "remote", image, preferred, true), 0);
        peer.Join();
        EXPECT_EQ(store.Proposed(), expected);
    }
}

TEST(ListPart10Files, SortedByNameWithoutOtherFilesOrFolders) {
    testsupport::TempDir dir;
    const Bytes body = ImageBody(true, false, SECONDARY_CAPTURE, {});
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
    EXPECT_TRUE(services::IsPart10File(dir / "a.dcm"));
    EXPECT_FALSE(services::IsPart10File(dir / "b.txt"));
    EXPECT_FALSE(services::IsPart10File(dir / "missing"));
}

TEST(CommaField, FieldsBetweenAndAfterTheSeparators) {
    EXPECT_EQ(services::CommaField("1,2,1.2.3,20260101", 3), "1.2.3");
    EXPECT_EQ(services::CommaField("1,2,1.2.3", 3), "1.2.3");
    EXPECT_EQ(services::CommaField("a,,c", 2), "");
    EXPECT_EQ(services::CommaField("a,b", 3), "");
    EXPECT_EQ(services::CommaField("a,b,", 3), "");
    EXPECT_EQ(services::CommaField("only", 1), "only");
    EXPECT_EQ(services::CommaField("", 1), "");
    EXPECT_EQ(services::CommaField("a,b", 0), "");
}

class Series : public ::testing::Test {
  protected:
    // Three images named in reverse of their instance UIDs' order.
    void SetUp() override {
        for (int i = 1; i <= 3; ++i) {
            const std::string uid = "1.2.3.4" + std::to_string(i);
            WriteImage(dir_ / ("f" + std::to_string(4 - i) + ".dcm"), EXPLICIT,
                       ImageBody(true, false, SECONDARY_CAPTURE, uid));
        }
    }

    // Sends the directory to a StorePeer; returns the outcome and the instance UIDs received.
    int32_t Send(StorePeer& store, std::vector<std::string>& sent,
                 std::vector<int32_t>* outcomes = nullptr) {
        FakePeer peer;
        peer.Start(store.Script());
        const int32_t result = services::SendSeriesStatus(
            "127.0.0.1", peer.Port(), "local", "remote", dir_.Path(), std::nullopt, true,
            [&](std::size_t index, std::size_t count, const fs::path&, int32_t outcome) {
                EXPECT_LT(index, count);
                if (outcomes != nullptr) outcomes->push_back(outcome);
            });
        peer.Join();
        for (const auto& command : store.commands)
            sent.push_back(InstanceOf(command));
        return result;
    }

    testsupport::TempDir dir_;
};

TEST_F(Series, ScanModeSendsPart10FilesByNameOnOneAssociationWithOddMessageIds) {
    testsupport::WriteFileBytes(dir_ / "e.txt", T("not DICOM"));
    StorePeer store;
    std::vector<std::string> sent;
    EXPECT_EQ(Send(store, sent), 0);
    EXPECT_EQ(sent, (std::vector<std::string>{"1.2.3.43", "1.2.3.42", "1.2.3.41"}));
    ASSERT_EQ(store.commands.size(), 3u);
    EXPECT_EQ(UsOf(store.commands[0], tag::MessageID), 3);
    EXPECT_EQ(UsOf(store.commands[1], tag::MessageID), 5);
    EXPECT_EQ(UsOf(store.commands[2], tag::MessageID), 7);
    EXPECT_TRUE(store.released);
    EXPECT_EQ(services::SendSeries("127.0.0.1", std::to_string(testsupport::FreePort()), "", "",
                                   dir_.Path(), std::nullopt, true),
              0);
}

TEST_F(Series, OnlyTheLastFileDecides) {
    struct Case {
        std::vector<uint16_t> statuses;
        int32_t outcome;
        int32_t yesNo;
    };
    for (const Case& c : {Case{{0, 0, 0xA700}, 0xA700, 0}, Case{{0xA700, 0xB000, 0}, 0, 1}}) {
        StorePeer store;
        store.statuses = c.statuses;
        std::vector<std::string> sent;
        std::vector<int32_t> outcomes;
        EXPECT_EQ(Send(store, sent, &outcomes), c.outcome);
        EXPECT_EQ(sent.size(), 3u);
        EXPECT_EQ(outcomes, (std::vector<int32_t>(c.statuses.begin(), c.statuses.end())));

        FakePeer peer;
        StorePeer again;
        again.statuses = c.statuses;
        peer.Start(again.Script());
        EXPECT_EQ(
            services::SendSeries("127.0.0.1", peer.Port(), "", "", dir_.Path(), std::nullopt, true),
            c.yesNo);
    }
}

TEST_F(Series, IndexModeReadsTheThirdFieldAndSkipsWhatItCannotSend) {
    // Index order, not name order; a line whose file is missing, one that would leave the
    // directory, and a file of the directory that the index does not name.
    WriteImage(dir_ / "1.2.3.99.dcm", EXPLICIT,
               ImageBody(true, false, SECONDARY_CAPTURE, "1.2.3.99"));
    fs::rename(dir_ / "f3.dcm", dir_ / "1.2.3.41.dcm");
    fs::rename(dir_ / "f2.dcm", dir_ / "1.2.3.42.dcm");
    fs::rename(dir_ / "f1.dcm", dir_ / "1.2.3.43.dcm");
    testsupport::WriteFileBytes(dir_ / "Image.dir",
                                T("1,2,1.2.3.42,20260101,,,,,1.2.840.10008.5.1.4.1.1.7,2,3,\r\n"
                                  "1,9,1.2.3.77,,,,,,,,,\r\n"
                                  "1,3,../1.2.3.99,,,,,,,,,\r\n"
                                  "1,1,1.2.3.41\r\n"
                                  "1,5,1.2.3.43"));
    StorePeer store;
    std::vector<std::string> sent;
    std::vector<int32_t> outcomes;
    EXPECT_EQ(Send(store, sent, &outcomes), 0);
    EXPECT_EQ(sent, (std::vector<std::string>{"1.2.3.42", "1.2.3.41", "1.2.3.43"}));
    EXPECT_EQ(outcomes, (std::vector<int32_t>{0, services::STORE_CANNOT_OPEN,
                                              services::STORE_CANNOT_OPEN, 0, 0}));

    // An index whose first file is missing sends nothing.
    testsupport::WriteFileBytes(dir_ / "Image.dir", T("1,9,1.2.3.77\r\n1,2,1.2.3.42\r\n"));
    FakePeer unused;
    EXPECT_EQ(services::SendSeriesStatus("127.0.0.1", unused.Port(), "", "", dir_.Path(),
                                         std::nullopt, true),
              services::STORE_CANNOT_OPEN);
}

TEST_F(Series, EmptyDirectoriesAndALostAssociation) {
    testsupport::TempDir empty;
    testsupport::WriteFileBytes(empty / "readme.txt", T("nothing to send"));
    EXPECT_EQ(
        services::SendSeriesStatus("127.0.0.1", "104", "", "", empty.Path(), std::nullopt, true),
        services::STORE_NO_FILES);
    EXPECT_EQ(services::SendSeriesStatus("127.0.0.1", "104", "", "", empty / "missing",
                                         std::nullopt, true),
              services::STORE_NO_FILES);

    // The peer aborts after the first file: the rest is not sent.
    StorePeer store;
    store.abortAfter = [](std::size_t n) { return n == 0; };
    std::vector<std::string> sent;
    std::vector<int32_t> outcomes;
    EXPECT_EQ(Send(store, sent, &outcomes), services::STORE_SEND_FAILED);
    EXPECT_EQ(sent.size(), 1u);
    EXPECT_EQ(outcomes,
              (std::vector<int32_t>{services::STORE_NO_RESPONSE, services::STORE_SEND_FAILED,
                                    services::STORE_SEND_FAILED}));
}

TEST(StorageExports, WrappersAndTheTrace) {
    testsupport::TempDir dir;
    const fs::path image = WriteImage(dir / "image.dcm", EXPLICIT,
                                      ImageBody(true, false, SECONDARY_CAPTURE, "1.2.3.4"));
    const std::string trace = (dir / "trace.log").string();
    SetLog(trace, LOG_MESSAGES);
    {
        FakePeer peer;
        StorePeer store;
        peer.Start(store.Script());
        EXPECT_EQ(StoreSCU("127.0.0.1", peer.Port().c_str(), "local", "remote",
                           image.string().c_str(), "", 1),
                  1);
    }
    SetLog("", 0);
    const std::string text = testsupport::ReadFileText(trace);
    EXPECT_NE(text.find("local >> remote\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("(0000,1000)"), std::string::npos) << text;
    EXPECT_NE(text.find("(7FE0,0010)"), std::string::npos) << text;
    EXPECT_NE(text.find("local << remote\r\n"), std::string::npos) << text;

    {
        FakePeer peer;
        StorePeer store;
        store.statuses = {0xB000};
        peer.Start(store.Script());
        EXPECT_EQ(StoreSCUStatus("127.0.0.1", peer.Port().c_str(), nullptr, nullptr,
                                 image.string().c_str(), nullptr, 0),
                  0xB000);
    }
    {
        FakePeer peer;
        StorePeer store;
        peer.Start(store.Script());
        Association* assoc = NewPDU();
        char calling[17] = "";
        ASSERT_EQ(OpenAssoc(assoc, "127.0.0.1", peer.Port().c_str(), calling, "remote",
                            SECONDARY_CAPTURE, EXPLICIT),
                  1);
        ElementList* list = NewElementList();
        const Bytes body = ImageBody(true, false, SECONDARY_CAPTURE, "1.2.3.4");
        ASSERT_TRUE(data::ReadDataSetBytes({1, 0, 0}, body, *list));
        EXPECT_EQ(WriteStoreRQ(assoc, list, SECONDARY_CAPTURE, EXPLICIT, 1), 1);
        EXPECT_EQ(ReadStoreRSP(assoc), 0);
        EXPECT_EQ(TagCount(list), 6u);  // still the caller's
        DeleteElementList(list);
        DeletePDU(assoc);
        peer.Join();
        ASSERT_EQ(store.dataSets.size(), 1u);
        EXPECT_EQ(store.dataSets[0].data, body);
    }
    {
        FakePeer peer;
        StorePeer store;
        peer.Start(store.Script());
        struct Seen {
            std::vector<std::string> files;
            std::vector<int32_t> outcomes;
        } seen;
        const int32_t outcome = SendSeriesWithProgress(
            "127.0.0.1", peer.Port().c_str(), "", "remote", dir.Path().string().c_str(), nullptr, 1,
            [](void* context, int32_t index, int32_t count, const char* file, int32_t status) {
                auto* s = static_cast<Seen*>(context);
                EXPECT_EQ(index, static_cast<int32_t>(s->files.size()));
                EXPECT_EQ(count, 1);
                s->files.emplace_back(file);
                s->outcomes.push_back(status);
            },
            &seen);
        EXPECT_EQ(outcome, 0);
        EXPECT_EQ(seen.files, std::vector<std::string>{image.string()});
        EXPECT_EQ(seen.outcomes, std::vector<int32_t>{0});
    }
    EXPECT_EQ(StoreSCU(nullptr, "104", "", "", "x", "", 1), 0);
    EXPECT_EQ(StoreSCUStatus("127.0.0.1", "104", "", "", nullptr, "", 1),
              services::STORE_NO_CONNECTION);
    EXPECT_EQ(WriteStoreRQ(nullptr, nullptr, SECONDARY_CAPTURE, EXPLICIT, 1), 0);
    EXPECT_EQ(ReadStoreRSP(nullptr), -1);
    EXPECT_EQ(SendSeries("127.0.0.1", "104", "", "", nullptr, "", 1), 0);
}
