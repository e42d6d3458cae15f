// User Identity sub-items. Every length is 16 bits, so a field longer than 65535 bytes cannot be
// sent and is refused before anything is written.
#include "net/UserIdentity.h"

#include <algorithm>
#include <string>

#include "net/ByteOrder.h"
#include "net/Pdu.h"

namespace dicomlib::net {
namespace {

constexpr std::size_t MAX_FIELD = 0xFFFF;
// Protocol version, reserved, called and calling titles, reserved: before the first item.
constexpr std::size_t ASSOCIATE_FIXED_FIELDS = 68;

Error Malformed(std::string why) {
    return Error{ErrorCode::Malformed, std::move(why)};
}

// The sub-item's body after its header, or why there is none.
Result<std::span<const uint8_t>> SubItemBody(std::span<const uint8_t> subItem, uint8_t type,
                                             const char* name) {
    if (subItem.size() < 4)
        return Error{ErrorCode::NeedMore, std::string(name) + ": the header needs 4 bytes"};
    if (subItem[0] != type)
        return Malformed(std::string(name) + ": item type " + std::to_string(subItem[0]));
    const std::size_t length = (subItem[2] << 8) | subItem[3];
    if (subItem.size() - 4 < length)
        return Error{ErrorCode::NeedMore, std::string(name) + ": " +
                                              std::to_string(subItem.size() - 4) + " of " +
                                              std::to_string(length) + " bytes"};
    if (subItem.size() - 4 > length) return Malformed(std::string(name) + ": bytes after it");
    return subItem.subspan(4);
}

std::vector<uint8_t> Copy(std::span<const uint8_t> bytes) {
    return {bytes.begin(), bytes.end()};
}

// Walks the sub-items of a user information item body and masks the identity values.
bool MaskSubItems(std::span<uint8_t> body) {
    std::size_t at = 0;
    while (at < body.size()) {
        if (body.size() - at < 4) return false;
        const uint8_t type = body[at];
        const std::size_t length = (body[at + 2] << 8) | body[at + 3];
        if (body.size() - at - 4 < length) return false;
        auto value = body.subspan(at + 4, length);
        if (type == SUBITEM_USER_IDENTITY_RQ) {
            // type, response requested, primary length and field, secondary length and field
            if (value.size() < 4) return false;
            const std::size_t primary = (value[2] << 8) | value[3];
            if (value.size() - 4 < primary + 2) return false;
            std::fill_n(value.begin() + 4, primary, '*');
            const std::size_t secondary = (value[4 + primary] << 8) | value[5 + primary];
            if (value.size() - 6 - primary != secondary) return false;
            std::fill_n(value.begin() + 6 + static_cast<std::ptrdiff_t>(primary), secondary, '*');
        } else if (type == SUBITEM_USER_IDENTITY_AC) {
            if (value.size() < 2) return false;
            std::fill(value.begin() + 2, value.end(), '*');
        }
        at += 4 + length;
    }
    return true;
}

}  // namespace

std::string_view UserIdentityTypeName(UserIdentityType type) {
    switch (type) {
        case UserIdentityType::Username:
            return "user name";
        case UserIdentityType::UsernameAndPasscode:
            return "user name and passcode";
        case UserIdentityType::Kerberos:
            return "Kerberos ticket";
        case UserIdentityType::Saml:
            return "SAML assertion";
        case UserIdentityType::Jwt:
            return "JSON Web Token";
    }
    return "unknown identity";
}

// Item type 0x58, reserved, length; identity type, positive response requested, primary field
// length and value, secondary field length and value.
Result<std::vector<uint8_t>> EncodeUserIdentityRQ(const UserIdentityRQ& identity) {
    if (identity.primaryField.empty()) return Malformed("user identity: empty primary field");
    if (identity.primaryField.size() + identity.secondaryField.size() + 6 > MAX_FIELD)
        return Malformed("user identity: longer than a sub-item can hold (65535 bytes)");
    BigEndianWriter w;
    w.U8(SUBITEM_USER_IDENTITY_RQ);
    w.U8(0x00);
    auto length = w.BeginLength16();
    w.U8(static_cast<uint8_t>(identity.type));
    w.U8(identity.positiveResponseRequested ? 1 : 0);
    w.U16(static_cast<uint16_t>(identity.primaryField.size()));
    w.Bytes(identity.primaryField);
    w.U16(static_cast<uint16_t>(identity.secondaryField.size()));
    w.Bytes(identity.secondaryField);
    w.End(length);
    return w.Take();
}

// Item type 0x59, reserved, length; server response length and value.
Result<std::vector<uint8_t>> EncodeUserIdentityAC(const UserIdentityAC& response) {
    if (response.serverResponse.size() + 2 > MAX_FIELD)
        return Malformed("user identity response: longer than a sub-item can hold");
    BigEndianWriter w;
    w.U8(SUBITEM_USER_IDENTITY_AC);
    w.U8(0x00);
    auto length = w.BeginLength16();
    w.U16(static_cast<uint16_t>(response.serverResponse.size()));
    w.Bytes(response.serverResponse);
    w.End(length);
    return w.Take();
}

Result<UserIdentityRQ> DecodeUserIdentityRQ(std::span<const uint8_t> subItem) {
    auto body = SubItemBody(subItem, SUBITEM_USER_IDENTITY_RQ, "user identity");
    if (!body) return body.GetError();
    BigEndianReader r(*body, 4);
    UserIdentityRQ identity;
    const uint8_t type = r.U8("user identity type");
    identity.positiveResponseRequested = r.U8("positive response requested") != 0;
    identity.primaryField = Copy(r.Bytes(r.U16("primary field length"), "primary field"));
    identity.secondaryField = Copy(r.Bytes(r.U16("secondary field length"), "secondary field"));
    if (!r.Ok()) return r.Failure();
    if (!r.AtEnd()) return Malformed("user identity: bytes after the secondary field");
    if (type < 1 || type > 5) return Malformed("user identity type " + std::to_string(type));
    if (identity.primaryField.empty()) return Malformed("user identity: empty primary field");
    identity.type = static_cast<UserIdentityType>(type);
    return identity;
}

Result<UserIdentityAC> DecodeUserIdentityAC(std::span<const uint8_t> subItem) {
    auto body = SubItemBody(subItem, SUBITEM_USER_IDENTITY_AC, "user identity response");
    if (!body) return body.GetError();
    BigEndianReader r(*body, 4);
    UserIdentityAC response;
    response.serverResponse = Copy(r.Bytes(r.U16("server response length"), "server response"));
    if (!r.Ok()) return r.Failure();
    if (!r.AtEnd()) return Malformed("user identity response: bytes after the server response");
    return response;
}

std::vector<uint8_t> MaskUserIdentity(std::span<const uint8_t> pdu) {
    std::vector<uint8_t> masked(pdu.begin(), pdu.end());
    if (masked.size() < PDU_HEADER_SIZE + ASSOCIATE_FIXED_FIELDS) return masked;
    if (masked[0] != PDU_ASSOCIATE_RQ && masked[0] != PDU_ASSOCIATE_AC) return masked;
    std::span<uint8_t> items(masked);
    std::size_t at = PDU_HEADER_SIZE + ASSOCIATE_FIXED_FIELDS;
    while (items.size() - at >= 4) {
        const uint8_t type = items[at];
        const std::size_t length = (items[at + 2] << 8) | items[at + 3];
        const std::size_t available = std::min(length, items.size() - at - 4);
        if (type == ITEM_USER_INFORMATION) {
            auto body = items.subspan(at + 4, available);
            // Whatever cannot be walked may hide an identity: it is not shown at all.
            if (available < length || !MaskSubItems(body)) std::fill(body.begin(), body.end(), '*');
        }
        at += 4 + available;
    }
    return masked;
}

bool IdentityAccepted(const std::optional<UserIdentityRQ>& identity,
                      const std::map<std::string, std::string, std::less<>>& users) {
    if (!identity || identity->type != UserIdentityType::UsernameAndPasscode) return false;
    const std::string name(identity->primaryField.begin(), identity->primaryField.end());
    const std::string passcode(identity->secondaryField.begin(), identity->secondaryField.end());
    const auto user = users.find(name);
    return user != users.end() && user->second == passcode;
}

std::string IdentityLogText(const UserIdentityRQ& identity) {
    std::string text(UserIdentityTypeName(identity.type));
    if (identity.type == UserIdentityType::Username ||
        identity.type == UserIdentityType::UsernameAndPasscode) {
        // Only printable characters of the name reach the log.
        std::string name;
        for (const uint8_t b : identity.primaryField)
            name += (b >= 0x20 && b < 0x7F) ? static_cast<char>(b) : '?';
        text += ", user " + name;
    } else {
        text += ", " + std::to_string(identity.primaryField.size()) + " bytes";
    }
    if (identity.positiveResponseRequested) text += ", positive response asked";
    return text;
}

}  // namespace dicomlib::net
