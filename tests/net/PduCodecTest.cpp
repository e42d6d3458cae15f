#include "net/PduCodec.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>

#include "NetFixtures.h"
#include "data/Uids.h"
#include "net/Association.h"
#include "net/TraceLog.h"
#include "support/TestSupport.h"

using namespace dicomlib;
using namespace dicomlib::net;
using namespace nettest;

namespace {

AssociateRQ VerificationRQ() {
    AssociateRQ rq;
    rq.calledAeTitle = "remote";
    rq.callingAeTitle = "local";
    rq.applicationContext = APPLICATION_CONTEXT_NAME;
    rq.contexts.push_back({1, "1.2.840.10008.1.1", {"1.2.840.10008.1.2"}});
    rq.userInformation = {
        16384, std::string(uid::ImplementationClass), IMPLEMENTATION_VERSION_NAME, 0, {}, {}, {},
        {}};
    return rq;
}

using Decoder = std::function<bool(std::span<const uint8_t>, ErrorCode&)>;

// Every decoder by the PDU type it reads, so that any input can be thrown at all of them.
const std::map<uint8_t, Decoder>& AllDecoders() {
    auto wrap = [](auto decode) {
        return [decode](std::span<const uint8_t> bytes, ErrorCode& code) {
            auto r = decode(bytes);
            if (!r) code = r.Code();
            return r.Ok();
        };
    };
    static const std::map<uint8_t, Decoder> all = {{PDU_ASSOCIATE_RQ, wrap(DecodeAssociateRQ)},
                                                   {PDU_ASSOCIATE_AC, wrap(DecodeAssociateAC)},
                                                   {PDU_ASSOCIATE_RJ, wrap(DecodeAssociateRJ)},
                                                   {PDU_P_DATA_TF, wrap(DecodePDataTF)},
                                                   {PDU_RELEASE_RQ, wrap(DecodeReleaseRQ)},
                                                   {PDU_RELEASE_RP, wrap(DecodeReleaseRP)},
                                                   {PDU_ABORT, wrap(DecodeAbortRQ)}};
    return all;
}

}  // namespace

TEST(AssociateRQ, EncodesDecodesAndRoundTripsByteExact) {
    EXPECT_EQ(EncodeAssociateRQ(VerificationRQ()), AssociateRqFixture());
    auto rq = DecodeAssociateRQ(AssociateRqFixture());
    ASSERT_TRUE(rq.Ok()) << rq.GetError().detail;
    EXPECT_EQ(*rq, VerificationRQ());

    // Titles are read without their padding, of spaces or of 0x00 bytes as some peers send.
    Bytes nulPadded = AssociateRqFixture();
    std::fill(nulPadded.begin() + 16, nulPadded.begin() + 26, 0x00);
    nulPadded[39] = 0x00;
    auto fromNuls = DecodeAssociateRQ(nulPadded);
    ASSERT_TRUE(fromNuls.Ok());
    EXPECT_EQ(fromNuls->calledAeTitle, "remote");
    EXPECT_EQ(fromNuls->callingAeTitle, "local");

    AssociateRQ many = VerificationRQ();
    many.calledAeTitle = "STORESCP";
    many.contexts.push_back(
        {3, "1.2.840.10008.5.1.4.1.1.2", {"1.2.840.10008.1.2.1", "", "1.2.840.10008.1.2.4.70"}});
    many.userInformation.implementationVersionName.clear();
    auto back = DecodeAssociateRQ(EncodeAssociateRQ(many));
    ASSERT_TRUE(back.Ok());
    EXPECT_EQ(*back, many);
}

TEST(AssociateAC, DecodesFixtureAndRoundTrips) {
    auto ac = DecodeAssociateAC(AssociateAcFixture());
    ASSERT_TRUE(ac.Ok()) << ac.GetError().detail;
    AssociateAC expected;
    expected.calledAeTitle = "remote";
    expected.callingAeTitle = "local";
    expected.applicationContext = APPLICATION_CONTEXT_NAME;
    expected.contexts = {{1, RESULT_ACCEPTANCE, "1.2.840.10008.1.2", ""}};
    expected.userInformation = {
        16384, std::string(uid::ImplementationClass), IMPLEMENTATION_VERSION_NAME, 0, {}, {}, {},
        {}};
    EXPECT_EQ(*ac, expected);
    EXPECT_EQ(EncodeAssociateAC(*ac), AssociateAcFixture());
}

TEST(FixedPdus, EncodeByteExactAndDecode) {
    EXPECT_EQ(EncodeReleaseRQ(), RELEASE_RQ);
    EXPECT_EQ(EncodeReleaseRP(), RELEASE_RP);
    EXPECT_EQ(EncodeAbortRQ(), ABORT);
    EXPECT_EQ(EncodeAssociateRJ({1, 1, 7}), ASSOCIATE_RJ);
    EXPECT_TRUE(DecodeReleaseRQ(RELEASE_RQ).Ok());
    EXPECT_TRUE(DecodeReleaseRP(RELEASE_RP).Ok());
    auto abort = DecodeAbortRQ(ABORT);
    ASSERT_TRUE(abort.Ok());
    EXPECT_EQ(abort->source, 3);
    EXPECT_EQ(abort->reason, 1);
    auto rj = DecodeAssociateRJ(ASSOCIATE_RJ);
    ASSERT_TRUE(rj.Ok());
    EXPECT_EQ(*rj, (AssociateRJ{1, 1, 7}));
    // A type the decoder is not for, and a length other than 4.
    EXPECT_EQ(DecodeReleaseRQ(RELEASE_RP).Code(), ErrorCode::Malformed);
    Bytes longer = Cat({RELEASE_RQ, {0x00}});
    Put32(longer, 2, 5);
    EXPECT_EQ(DecodeReleaseRQ(longer).Code(), ErrorCode::Malformed);
}

TEST(PDataTF, FramesOnePdvAndReadsSeveral) {
    const Bytes fragment = {0xAA, 0xBB, 0xCC};
    // clang-format off
    const Bytes expected = {
        0x04, 0x00,                     // P-DATA-TF, reserved
        0x00, 0x00, 0x00, 0x09,         // PDU length 3 + 6
        0x00, 0x00, 0x00, 0x05,         // PDV item length 3 + 2
        0x03,                           // context 3
        0x02,                           // data set, last fragment
        0xAA, 0xBB, 0xCC,
    };
    // clang-format on
    EXPECT_EQ(EncodePDataTF(3, PDV_LAST_FRAGMENT, fragment), expected);

    auto pdvs = DecodePDataTF(P_DATA_TF);
    ASSERT_TRUE(pdvs.Ok()) << pdvs.GetError().detail;
    ASSERT_EQ(pdvs->size(), 2u);
    EXPECT_EQ((*pdvs)[0].control, 0x01);
    EXPECT_EQ(Bytes((*pdvs)[0].data.begin(), (*pdvs)[0].data.end()), (Bytes{0xAA, 0xBB}));
    EXPECT_EQ((*pdvs)[1].control, 0x03);
    EXPECT_EQ((*pdvs)[1].data.size(), 4u);
}

TEST(PduDecoders, EveryTruncationNeedsMoreOrIsMalformed) {
    const std::vector<Bytes> fixtures = {AssociateRqFixture(),
                                         AssociateAcFixture(),
                                         RELEASE_RQ,
                                         RELEASE_RP,
                                         ABORT,
                                         ASSOCIATE_RJ,
                                         P_DATA_TF};
    for (const auto& fixture : fixtures) {
        for (std::size_t size = 0; size < fixture.size(); ++size) {
            const std::span<const uint8_t> cut(fixture.data(), size);
            for (const auto& [type, decode] : AllDecoders()) {
                ErrorCode code{};
                EXPECT_FALSE(decode(cut, code));
                const bool mine = type == fixture[0] || size < 6;
                EXPECT_EQ(code, mine ? ErrorCode::NeedMore : ErrorCode::Malformed) << size;
            }
            // With the length field made to agree, the items overrun what contains them.
            if (size < 6) continue;
            const Bytes agreed = CutWithLength(fixture, size);
            for (const auto& [type, decode] : AllDecoders()) {
                ErrorCode code{};
                if (!decode(agreed, code)) {
                    EXPECT_EQ(code, ErrorCode::Malformed) << size;
                }
            }
        }
    }
    // Cut inside the fixed fields and inside the abstract syntax text.
    EXPECT_EQ(DecodeAssociateRQ(CutWithLength(AssociateRqFixture(), 60)).Code(),
              ErrorCode::Malformed);
    EXPECT_EQ(DecodeAssociateRQ(CutWithLength(AssociateRqFixture(), 120)).Code(),
              ErrorCode::Malformed);
    EXPECT_EQ(DecodeAssociateAC(CutWithLength(AssociateAcFixture(), 110)).Code(),
              ErrorCode::Malformed);
}

TEST(PduDecoders, LengthsAreHeldToWhatContainsThem) {
    auto withLength = [](Bytes pdu, std::size_t at, uint16_t length) {
        Put16(pdu, at, length);
        return pdu;
    };
    const Bytes rq = AssociateRqFixture();
    // The presentation context item (at 99) longer than the PDU.
    auto itemTooLong = DecodeAssociateRQ(withLength(rq, 101, 0x0200));
    EXPECT_EQ(itemTooLong.Code(), ErrorCode::Malformed);
    EXPECT_NE(itemTooLong.GetError().detail.find("presentation context item"), std::string::npos);
    // The abstract syntax (at 107) longer than its item, the class UID (at 161) longer than the
    // user information, a maximum length sub-item of fewer than its four bytes.
    for (const auto& [at, length] : {std::pair{109, 0x0030}, {163, 0x0040}, {155, 2}}) {
        EXPECT_EQ(DecodeAssociateRQ(withLength(rq, at, static_cast<uint16_t>(length))).Code(),
                  ErrorCode::Malformed)
            << at;
    }
    // PDU length beyond the bytes given: need more; below them: bytes after the PDU.
    Bytes longer = rq;
    Put32(longer, 2, 206);
    EXPECT_EQ(DecodeAssociateRQ(longer).Code(), ErrorCode::NeedMore);
    EXPECT_EQ(DecodeAssociateRQ(Cat({rq, {0x00}})).Code(), ErrorCode::Malformed);
    // The AC's answer item longer than the PDU.
    EXPECT_EQ(DecodeAssociateAC(withLength(AssociateAcFixture(), 101, 0x0100)).Code(),
              ErrorCode::Malformed);
}

TEST(PduDecoders, UnknownItemsAndSubItems) {
    // An RQ with an unknown item before the user information: the parse ends there.
    Bytes rq = AssociateRqFixture();
    const Bytes unknown = {0x99, 0x00, 0x00, 0x02, 0xAB, 0xCD};
    rq.insert(rq.begin() + 149, unknown.begin(), unknown.end());
    Put32(rq, 2, static_cast<uint32_t>(rq.size() - 6));
    auto decodedRq = DecodeAssociateRQ(rq);
    ASSERT_TRUE(decodedRq.Ok()) << decodedRq.GetError().detail;
    EXPECT_EQ(decodedRq->contexts.size(), 1u);
    EXPECT_EQ(decodedRq->userInformation.implementationClassUid, "");

    // The AC skips the rest of the PDU after an unknown item.
    Bytes ac = AssociateAcFixture();
    ac.insert(ac.begin() + 99, unknown.begin(), unknown.end());
    Put32(ac, 2, static_cast<uint32_t>(ac.size() - 6));
    auto decodedAc = DecodeAssociateAC(ac);
    ASSERT_TRUE(decodedAc.Ok()) << decodedAc.GetError().detail;
    EXPECT_TRUE(decodedAc->contexts.empty());
}

// A user information item with a role selection (CT: the requestor as SCP only) and a storage
// extended negotiation (level of support 2, element coercion 1).
Bytes NegotiatingUserInformation() {
    // clang-format off
    return Cat({
        {0x50, 0x00, 0x00, 0x80},       // user information item, length 128
        {0x51, 0x00, 0x00, 0x04},       // maximum length sub-item
        {0x00, 0x00, 0x40, 0x00},       // 16384
        {0x52, 0x00, 0x00, 0x1E},       // implementation class UID, length 30
        T("1.2.826.0.1.3680043.2.7251.999"),
        {0x54, 0x00, 0x00, 0x1D},       // role selection, length 29
        {0x00, 0x19},                   // UID length 25
        T("1.2.840.10008.5.1.4.1.1.2"),
        {0x00, 0x01},                   // SCU role 0, SCP role 1
        {0x55, 0x00, 0x00, 0x0C},       // implementation version name, length 12
        T("OstrovaPrism"),
        {0x56, 0x00, 0x00, 0x21},       // extended negotiation, length 33
        {0x00, 0x19},                   // UID length 25
        T("1.2.840.10008.5.1.4.1.1.2"),
        {0x02, 0x00, 0x00, 0x00, 0x01, 0x00},  // service class application information
    });
    // clang-format on
}

TEST(UserInformation, RoleSelectionAndExtendedNegotiationRoundTripByteExactInRqAndAc) {
    constexpr std::size_t USER_INFO_OFFSET = 149;  // after the one presentation context
    const std::string ct = "1.2.840.10008.5.1.4.1.1.2";
    AssociateRQ rq = VerificationRQ();
    rq.userInformation.roleSelections = {{ct, 0, 1}};
    rq.userInformation.extendedNegotiations = {{ct, {2, 0, 0, 0, 1, 0}}};
    const Bytes encoded = EncodeAssociateRQ(rq);
    EXPECT_EQ(Bytes(encoded.begin() + USER_INFO_OFFSET, encoded.end()),
              NegotiatingUserInformation());
    auto back = DecodeAssociateRQ(encoded);
    ASSERT_TRUE(back.Ok()) << back.GetError().detail;
    EXPECT_EQ(*back, rq);

    AssociateAC ac = *DecodeAssociateAC(AssociateAcFixture());
    ac.userInformation = rq.userInformation;
    const Bytes acBytes = EncodeAssociateAC(ac);
    EXPECT_EQ(Bytes(acBytes.end() - 132, acBytes.end()), NegotiatingUserInformation());
    EXPECT_EQ(*DecodeAssociateAC(acBytes), ac);

    // A sub-item of a type not known here (asynchronous operations) is skipped by its length:
    // what follows it is read, and the count is kept.
    Bytes withUnknown = encoded;
    const Bytes identity = {0x53, 0x00, 0x00, 0x06, 0x00, 0x01, 0x00, 0x01, 0x00, 0x00};
    withUnknown.insert(withUnknown.begin() + USER_INFO_OFFSET + 4, identity.begin(),
                       identity.end());
    Put16(withUnknown, USER_INFO_OFFSET + 2, 0x80 + 10);
    Put32(withUnknown, 2, static_cast<uint32_t>(withUnknown.size() - 6));
    auto skipped = DecodeAssociateRQ(withUnknown);
    ASSERT_TRUE(skipped.Ok()) << skipped.GetError().detail;
    EXPECT_EQ(skipped->userInformation.skippedBytes, identity.size());
    skipped->userInformation.skippedBytes = 0;
    EXPECT_EQ(*skipped, rq);
}

TEST(UserInformation, IdentityIsTheLastSubItemByteExactAndNeverDumped) {
    AssociateRQ rq = VerificationRQ();
    rq.userInformation.userIdentityRQ =
        UserIdentityRQ{UserIdentityType::UsernameAndPasscode, true, T("ADMIN"), T("s3cret")};
    const Bytes plain = EncodeAssociateRQ(VerificationRQ());
    const Bytes encoded = EncodeAssociateRQ(rq);
    // clang-format off
    const Bytes identity = {
        0x58, 0x00, 0x00, 0x11,        // user identity sub-item, length 17
        0x02,                          // user name and passcode
        0x01,                          // positive response requested
        0x00, 0x05, 'A', 'D', 'M', 'I', 'N',
        0x00, 0x06, 's', '3', 'c', 'r', 'e', 't',
    };
    // clang-format on
    ASSERT_EQ(encoded.size(), plain.size() + identity.size());
    EXPECT_EQ(Bytes(encoded.end() - 21, encoded.end()), identity);
    // The user information item (after the one presentation context) grows by as much.
    constexpr std::size_t USER_INFO_LENGTH = 149 + 2;
    EXPECT_EQ(encoded[USER_INFO_LENGTH] * 256 + encoded[USER_INFO_LENGTH + 1],
              plain[USER_INFO_LENGTH] * 256 + plain[USER_INFO_LENGTH + 1] + 21);
    auto back = DecodeAssociateRQ(encoded);
    ASSERT_TRUE(back.Ok()) << back.GetError().detail;
    EXPECT_EQ(*back, rq);

    // The acceptor's answer to a user name and passcode: an empty server response.
    AssociateAC ac = *DecodeAssociateAC(AssociateAcFixture());
    ac.userInformation.userIdentityAC = UserIdentityAC{};
    const Bytes acBytes = EncodeAssociateAC(ac);
    EXPECT_EQ(Bytes(acBytes.end() - 6, acBytes.end()), (Bytes{0x59, 0x00, 0x00, 0x02, 0x00, 0x00}));
    EXPECT_EQ(*DecodeAssociateAC(acBytes), ac);

    // A sub-item that does not decode (an unknown identity type) is skipped, not taken.
    Bytes bad = encoded;
    bad[bad.size() - 17] = 0x09;
    auto skipped = DecodeAssociateRQ(bad);
    ASSERT_TRUE(skipped.Ok());
    EXPECT_FALSE(skipped->userInformation.userIdentityRQ);
    EXPECT_EQ(skipped->userInformation.skippedBytes, identity.size());

    // The hex dump of the request shows neither the name nor the passcode.
    testsupport::TempDir dir;
    SetLog((dir / "trace.log").string(), LOG_SOCKET);
    DumpSocketTraffic(encoded.data(), encoded.size(), true);
    SetLog("", 0);
    const std::string dump = testsupport::ReadFileText(dir / "trace.log");
    EXPECT_NE(dump.find("****"), std::string::npos) << dump;
    EXPECT_EQ(dump.find("s3cret"), std::string::npos) << dump;
    EXPECT_EQ(dump.find("ADMIN"), std::string::npos) << dump;
}

TEST(PduTexts, LongTitlesAndUidsAreCutNeverOverrun) {
    AssociateRQ rq = VerificationRQ();
    rq.calledAeTitle = "A-CALLED-TITLE-LONGER-THAN-SIXTEEN";
    const std::string longUid(100, '7');
    rq.contexts[0].abstractSyntax = longUid;
    const Bytes encoded = EncodeAssociateRQ(rq);
    EXPECT_EQ(Bytes(encoded.begin() + 10, encoded.begin() + 26), T("A-CALLED-TITLE-L"));
    auto back = DecodeAssociateRQ(encoded);
    ASSERT_TRUE(back.Ok()) << back.GetError().detail;
    EXPECT_EQ(back->calledAeTitle, "A-CALLED-TITLE-L");
    EXPECT_EQ(back->contexts[0].abstractSyntax, longUid.substr(0, 64));
    EXPECT_EQ(back->contexts[0].transferSyntaxes, std::vector<std::string>{"1.2.840.10008.1.2"});

    // A received sub-item of 100 characters keeps 64; the one after it is still read right.
    Bytes wire = AssociateRqFixture();
    const Bytes extra(83, '9');
    wire.insert(wire.begin() + 128, extra.begin(), extra.end());  // after "1.2.840.10008.1.1"
    Put16(wire, 109, 17 + 83);
    Put16(wire, 101, 46 + 83);
    Put32(wire, 2, static_cast<uint32_t>(wire.size() - 6));
    auto received = DecodeAssociateRQ(wire);
    ASSERT_TRUE(received.Ok()) << received.GetError().detail;
    EXPECT_EQ(received->contexts[0].abstractSyntax.size(), 64u);
    EXPECT_EQ(received->contexts[0].transferSyntaxes[0], "1.2.840.10008.1.2");

    // A UID padded with 0x00 to even length reads as the UID itself.
    Bytes padded = AssociateRqFixture();
    padded.insert(padded.begin() + 149, 0x00);
    Put16(padded, 130, 18);
    Put16(padded, 101, 47);
    Put32(padded, 2, static_cast<uint32_t>(padded.size() - 6));
    auto paddedRq = DecodeAssociateRQ(padded);
    ASSERT_TRUE(paddedRq.Ok()) << paddedRq.GetError().detail;
    EXPECT_EQ(paddedRq->contexts[0].transferSyntaxes[0], "1.2.840.10008.1.2");
}
