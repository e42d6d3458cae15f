#include "net/PduCodec.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>

#include "NetFixtures.h"
#include "net/Association.h"

using namespace dicomlib::net;
using namespace nettest;

namespace {

AssociateRQ VerificationRQ() {
    AssociateRQ rq;
    rq.calledAeTitle = "remote";
    rq.callingAeTitle = "local";
    rq.applicationContext = APPLICATION_CONTEXT_NAME;
    rq.contexts.push_back({1, "1.2.840.10008.1.1", {"1.2.840.10008.1.2"}});
    rq.userInformation = {16384, IMPLEMENTATION_CLASS_UID, IMPLEMENTATION_VERSION_NAME, 0};
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

TEST(AssociateRQ, EncodesOneContextByteExact) {
    const Bytes encoded = EncodeAssociateRQ(VerificationRQ());
    EXPECT_EQ(encoded.size(), 211u);
    EXPECT_EQ(encoded, AssociateRqFixture());
}

TEST(AssociateRQ, DecodesFixtureAndRoundTrips) {
    auto rq = DecodeAssociateRQ(AssociateRqFixture());
    ASSERT_TRUE(rq.Ok()) << rq.GetError().detail;
    EXPECT_EQ(*rq, VerificationRQ());
    EXPECT_EQ(EncodeAssociateRQ(*rq), AssociateRqFixture());

    AssociateRQ many = VerificationRQ();
    many.calledAeTitle = "STORESCP        ";  // space padding travels as it is
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
    EXPECT_EQ(ac->calledAeTitle, "remote");
    EXPECT_EQ(ac->callingAeTitle, "local");
    ASSERT_EQ(ac->contexts.size(), 1u);
    EXPECT_EQ(ac->contexts[0].id, 1);
    EXPECT_EQ(ac->contexts[0].result, 0);
    EXPECT_EQ(ac->contexts[0].transferSyntax, "1.2.840.10008.1.2");
    EXPECT_EQ(ac->userInformation.maximumLength, 16384u);
    EXPECT_EQ(EncodeAssociateAC(*ac), AssociateAcFixture());
}

TEST(AssociateAC, RefusedContextIsTwelveBytes) {
    AssociateAC ac;
    ac.applicationContext = APPLICATION_CONTEXT_NAME;
    ac.contexts.push_back({7, RESULT_NO_REASON, "", ""});
    const Bytes encoded = EncodeAssociateAC(ac);
    // clang-format off
    const Bytes item = {
        0x21, 0x00, 0x00, 0x08,         // presentation context item, length 8
        0x07, 0x00,                     // ID 7, reserved
        0x04, 0x00,                     // result 4, reserved
        0x40, 0x00, 0x00, 0x00,         // empty transfer syntax
    };
    // clang-format on
    const std::size_t at = 6 + 68 + 25;
    ASSERT_GE(encoded.size(), at + item.size());
    EXPECT_EQ(Bytes(encoded.begin() + at, encoded.begin() + at + 12), item);
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
    Bytes two;
    AppendPDataTF(two, 1, 0, fragment);
    AppendPDataTF(two, 1, 2, fragment);
    EXPECT_EQ(two.size(), 2 * expected.size());

    auto pdvs = DecodePDataTF(P_DATA_TF);
    ASSERT_TRUE(pdvs.Ok()) << pdvs.GetError().detail;
    ASSERT_EQ(pdvs->size(), 2u);
    EXPECT_EQ((*pdvs)[0].control, 0x01);
    EXPECT_EQ(Bytes((*pdvs)[0].data.begin(), (*pdvs)[0].data.end()), (Bytes{0xAA, 0xBB}));
    EXPECT_EQ((*pdvs)[1].control, 0x03);
    EXPECT_EQ((*pdvs)[1].data.size(), 4u);

    Bytes shortPdv = P_DATA_TF;
    Put32(shortPdv, 6, 1);  // a PDV must hold at least its context ID and control header
    EXPECT_EQ(DecodePDataTF(shortPdv).Code(), ErrorCode::Malformed);
    Bytes longPdv = P_DATA_TF;
    Put32(longPdv, 14, 7);  // the second PDV reaches past the PDU
    EXPECT_EQ(DecodePDataTF(longPdv).Code(), ErrorCode::Malformed);
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
    const Bytes rq = AssociateRqFixture();
    // Presentation context item (at 99) longer than the PDU.
    Bytes itemTooLong = rq;
    Put16(itemTooLong, 101, 0x0200);
    auto r1 = DecodeAssociateRQ(itemTooLong);
    EXPECT_EQ(r1.Code(), ErrorCode::Malformed);
    EXPECT_NE(r1.GetError().detail.find("presentation context item"), std::string::npos);
    // Abstract syntax sub-item (at 107) longer than its presentation context item.
    Bytes subTooLong = rq;
    Put16(subTooLong, 109, 0x0030);
    EXPECT_EQ(DecodeAssociateRQ(subTooLong).Code(), ErrorCode::Malformed);
    // Implementation class UID sub-item (at 161) longer than the user information item.
    Bytes userSubTooLong = rq;
    Put16(userSubTooLong, 163, 0x0040);
    EXPECT_EQ(DecodeAssociateRQ(userSubTooLong).Code(), ErrorCode::Malformed);
    // Maximum length sub-item announcing fewer than its four bytes.
    Bytes shortMax = rq;
    Put16(shortMax, 155, 2);
    EXPECT_EQ(DecodeAssociateRQ(shortMax).Code(), ErrorCode::Malformed);
    // PDU length beyond the bytes given: need more; below them: bytes after the PDU.
    Bytes longer = rq;
    Put32(longer, 2, 206);
    EXPECT_EQ(DecodeAssociateRQ(longer).Code(), ErrorCode::NeedMore);
    Bytes trailing = Cat({rq, {0x00}});
    EXPECT_EQ(DecodeAssociateRQ(trailing).Code(), ErrorCode::Malformed);
    // AC answer item longer than the PDU.
    Bytes ac = AssociateAcFixture();
    Put16(ac, 101, 0x0100);
    EXPECT_EQ(DecodeAssociateAC(ac).Code(), ErrorCode::Malformed);
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

    // A role selection sub-item (0x54) before the class UID: read up to it, skip the rest.
    Bytes role = AssociateRqFixture();
    const Bytes selection = {0x54, 0x00, 0x00, 0x05, 0x00, 0x01, 0x31, 0x01, 0x00};
    role.insert(role.begin() + 161, selection.begin(), selection.end());
    Put16(role, 151, static_cast<uint16_t>(58 + selection.size()));
    Put32(role, 2, static_cast<uint32_t>(role.size() - 6));
    auto decodedRole = DecodeAssociateRQ(role);
    ASSERT_TRUE(decodedRole.Ok()) << decodedRole.GetError().detail;
    EXPECT_EQ(decodedRole->userInformation.maximumLength, 16384u);
    EXPECT_EQ(decodedRole->userInformation.implementationClassUid, "");
    EXPECT_EQ(decodedRole->userInformation.skippedBytes, selection.size() - 1 + 34 + 16);
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
