// The User Identity sub-items of an association's user information: the requestor's identity
// (user name, user name and passcode, Kerberos ticket, SAML assertion or JSON Web Token, and
// whether it asks for a positive response) and the acceptor's server response. Pure encode and
// decode over whole sub-items, header included; and the masking that keeps passcodes and tokens
// out of every hex dump.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "net/Result.h"

namespace dicomlib::net {

constexpr uint8_t SUBITEM_USER_IDENTITY_RQ = 0x58;
constexpr uint8_t SUBITEM_USER_IDENTITY_AC = 0x59;

enum class UserIdentityType : uint8_t {
    Username = 1,
    UsernameAndPasscode = 2,
    Kerberos = 3,
    Saml = 4,
    Jwt = 5,
};

// "user name", "user name and passcode", "Kerberos ticket", "SAML assertion", "JSON Web Token".
std::string_view UserIdentityTypeName(UserIdentityType type);

struct UserIdentityRQ {
    UserIdentityType type = UserIdentityType::Username;
    bool positiveResponseRequested = false;
    // The user name, ticket, assertion or token; the passcode (user name and passcode only).
    std::vector<uint8_t> primaryField;
    std::vector<uint8_t> secondaryField;
    friend bool operator==(const UserIdentityRQ&, const UserIdentityRQ&) = default;
};

struct UserIdentityAC {
    // Empty for a user name (with or without passcode); the Kerberos server ticket, SAML
    // response or token otherwise.
    std::vector<uint8_t> serverResponse;
    friend bool operator==(const UserIdentityAC&, const UserIdentityAC&) = default;
};

// Fails (Malformed) when a field does not fit its 16-bit length, or the primary field is empty.
Result<std::vector<uint8_t>> EncodeUserIdentityRQ(const UserIdentityRQ& identity);
Result<std::vector<uint8_t>> EncodeUserIdentityAC(const UserIdentityAC& response);
// NeedMore when the bytes end inside the sub-item; Malformed for another item type, an unknown
// identity type, an empty primary field, or lengths that do not add up to the item's.
Result<UserIdentityRQ> DecodeUserIdentityRQ(std::span<const uint8_t> subItem);
Result<UserIdentityAC> DecodeUserIdentityAC(std::span<const uint8_t> subItem);

// Whether a provider that takes only the users given (name to password) takes this identity:
// only a user name and passcode of one of them, the passcode equal.
bool IdentityAccepted(const std::optional<UserIdentityRQ>& identity,
                      const std::map<std::string, std::string, std::less<>>& users);

// The identity for a log line, never its passcode or token: "user name and passcode, user
// ADMIN", "JSON Web Token, 812 bytes"; "positive response asked" is added when it is.
std::string IdentityLogText(const UserIdentityRQ& identity);

// A copy of a whole A-ASSOCIATE-RQ or -AC PDU in which the values of its user identity
// sub-items are each byte '*', every length kept: the dump still shows the structure. Any
// other bytes, or a PDU whose items do not add up, come back unchanged except that a user
// information item that cannot be walked is masked whole.
std::vector<uint8_t> MaskUserIdentity(std::span<const uint8_t> pdu);

}  // namespace dicomlib::net
