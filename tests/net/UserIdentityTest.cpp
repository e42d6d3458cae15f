#include "net/UserIdentity.h"

#include <gtest/gtest.h>

#include <string>

#include "NetFixtures.h"

using namespace dicomlib::net;
using namespace nettest;

namespace {

// clang-format off
const Bytes PASSCODE_RQ = Cat({
    {0x58, 0x00, 0x00, 0x11},  // user identity sub-item, length 17
    {0x02},                    // user name and passcode
    {0x01},                    // positive response requested
    {0x00, 0x05}, T("alice"),  // primary field
    {0x00, 0x06}, T("secret"), // secondary field
});
const Bytes JWT_AC = Cat({
    {0x59, 0x00, 0x00, 0x05},  // user identity response sub-item, length 5
    {0x00, 0x03}, T("tok"),    // server response
});
// clang-format on

UserIdentityRQ Passcode() {
    return {UserIdentityType::UsernameAndPasscode, true, T("alice"), T("secret")};
}

}  // namespace

TEST(UserIdentity, EncodesAndDecodesByteExact) {
    EXPECT_EQ(*EncodeUserIdentityRQ(Passcode()), PASSCODE_RQ);
    EXPECT_EQ(*DecodeUserIdentityRQ(PASSCODE_RQ), Passcode());
    EXPECT_EQ(*EncodeUserIdentityAC({T("tok")}), JWT_AC);
    EXPECT_EQ(DecodeUserIdentityAC(JWT_AC)->serverResponse, T("tok"));
    // A user name alone answers with an empty server response.
    EXPECT_EQ(*EncodeUserIdentityAC({}), (Bytes{0x59, 0x00, 0x00, 0x02, 0x00, 0x00}));
    const UserIdentityRQ jwt{UserIdentityType::Jwt, false, Bytes(300, 'j'), {}};
    EXPECT_EQ(*DecodeUserIdentityRQ(*EncodeUserIdentityRQ(jwt)), jwt);
}

TEST(UserIdentity, RefusesWhatDoesNotAddUp) {
    for (std::size_t size = 0; size < PASSCODE_RQ.size(); ++size) {
        auto cut = DecodeUserIdentityRQ(std::span(PASSCODE_RQ).first(size));
        EXPECT_FALSE(cut) << size;
    }
    for (std::size_t size = 0; size < JWT_AC.size(); ++size)
        EXPECT_FALSE(DecodeUserIdentityAC(std::span(JWT_AC).first(size))) << size;

    Bytes bad = PASSCODE_RQ;
    bad[4] = 6;  // no such identity type
    EXPECT_EQ(DecodeUserIdentityRQ(bad).GetError().detail, "user identity type 6");
    bad = PASSCODE_RQ;
    bad[7] = 0x07;  // the user name would swallow the passcode's length
    EXPECT_EQ(DecodeUserIdentityRQ(bad).Code(), ErrorCode::Malformed);
    bad = Cat({{0x58, 0x00, 0x00, 0x06, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00}});
    EXPECT_EQ(DecodeUserIdentityRQ(bad).GetError().detail, "user identity: empty primary field");
    EXPECT_FALSE(DecodeUserIdentityRQ(JWT_AC));
    EXPECT_FALSE(EncodeUserIdentityRQ({UserIdentityType::Jwt, false, Bytes(70000, 'j'), {}}));
}

TEST(UserIdentity, MasksTheValuesInAnAssociateRequest) {
    // An A-ASSOCIATE-RQ reduced to its fixed fields and a user information item holding the
    // maximum length and the identity.
    const Bytes userInformation =
        Cat({{0x51, 0x00, 0x00, 0x04, 0x00, 0x00, 0x40, 0x00}, PASSCODE_RQ});
    const Bytes items =
        Cat({{0x50, 0x00, 0x00, static_cast<uint8_t>(userInformation.size())}, userInformation});
    const Bytes pdu = Cat(
        {{0x01, 0x00, 0x00, 0x00, 0x00, static_cast<uint8_t>(68 + items.size())}, Z(68), items});
    const Bytes masked = MaskUserIdentity(pdu);
    const Bytes expected =
        Cat({Bytes(pdu.begin(), pdu.end() - 13), T("*****"), {0x00, 0x06}, T("******")});
    EXPECT_EQ(masked, expected);

    // Items that do not add up hide the whole user information; other PDUs stay as they are.
    Bytes broken = pdu;
    broken[pdu.size() - 8] = 0x7F;  // the passcode's length
    const Bytes hidden = MaskUserIdentity(broken);
    EXPECT_EQ(std::string(hidden.end() - 25, hidden.end()), std::string(25, '*'));
    const Bytes other = Cat({{0x04, 0x00, 0x00, 0x00, 0x00, 0x06}, T("secret")});
    EXPECT_EQ(MaskUserIdentity(other), other);
}
