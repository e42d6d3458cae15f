// The association PDUs and their items as plain values. Texts hold what a peer sees: an AE title
// is at most 16 characters, without the spaces (or 0x00 bytes) that pad it to 16 on the wire,
// a UID or name at most 64 characters. PduCodec turns these into bytes and back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "net/UserIdentity.h"

namespace dicomlib::net {

constexpr uint8_t PDU_ASSOCIATE_RQ = 0x01;
constexpr uint8_t PDU_ASSOCIATE_AC = 0x02;
constexpr uint8_t PDU_ASSOCIATE_RJ = 0x03;
constexpr uint8_t PDU_P_DATA_TF = 0x04;
constexpr uint8_t PDU_RELEASE_RQ = 0x05;
constexpr uint8_t PDU_RELEASE_RP = 0x06;
constexpr uint8_t PDU_ABORT = 0x07;

constexpr uint8_t ITEM_APPLICATION_CONTEXT = 0x10;
constexpr uint8_t ITEM_PRESENTATION_CONTEXT_RQ = 0x20;
constexpr uint8_t ITEM_PRESENTATION_CONTEXT_AC = 0x21;
constexpr uint8_t ITEM_ABSTRACT_SYNTAX = 0x30;
constexpr uint8_t ITEM_TRANSFER_SYNTAX = 0x40;
constexpr uint8_t ITEM_USER_INFORMATION = 0x50;
constexpr uint8_t SUBITEM_MAXIMUM_LENGTH = 0x51;
constexpr uint8_t SUBITEM_IMPLEMENTATION_CLASS_UID = 0x52;
constexpr uint8_t SUBITEM_ROLE_SELECTION = 0x54;
constexpr uint8_t SUBITEM_IMPLEMENTATION_VERSION_NAME = 0x55;
constexpr uint8_t SUBITEM_EXTENDED_NEGOTIATION = 0x56;

// The fixed part of an A-ASSOCIATE PDU after the 6-byte header.
constexpr std::size_t PDU_HEADER_SIZE = 6;
constexpr std::size_t ASSOCIATE_FIXED_SIZE = 68;
constexpr std::size_t AE_TITLE_SIZE = 16;
constexpr std::size_t MAX_UID_SIZE = 64;

// Presentation context results of an A-ASSOCIATE-AC.
constexpr uint8_t RESULT_ACCEPTANCE = 0;
constexpr uint8_t RESULT_NO_REASON = 4;

struct PresentationContextRQ {
    uint8_t id = 0;
    std::string abstractSyntax;
    std::vector<std::string> transferSyntaxes;
    friend bool operator==(const PresentationContextRQ&, const PresentationContextRQ&) = default;
};

struct PresentationContextAC {
    uint8_t id = 0;
    uint8_t result = RESULT_NO_REASON;
    std::string transferSyntax;
    // Not sent: the abstract syntax of the proposal this answers, filled in by the association.
    std::string abstractSyntax;
    friend bool operator==(const PresentationContextAC&, const PresentationContextAC&) = default;
};

// SCP/SCU role selection for one SOP class. In a request: the roles the requestor offers to
// take (1 = it may act as SCU, or as SCP); in an answer: 1 where the acceptor agrees, 0 where
// it does not. The bytes are kept as they came.
struct RoleSelection {
    std::string sopClassUid;
    uint8_t scuRole = 0;
    uint8_t scpRole = 0;
    friend bool operator==(const RoleSelection&, const RoleSelection&) = default;
};

// SOP class extended negotiation: the service class's own bytes for one SOP class.
struct ExtendedNegotiation {
    std::string sopClassUid;
    std::vector<uint8_t> applicationInformation;
    friend bool operator==(const ExtendedNegotiation&, const ExtendedNegotiation&) = default;
};

struct UserInformation {
    uint32_t maximumLength = 0;
    std::string implementationClassUid;
    std::string implementationVersionName;  // the sub-item is written only when not empty
    // Bytes of received sub-items of types this system does not know, skipped by their length
    // (asynchronous operations, user identity, ...); they are not written again.
    std::size_t skippedBytes = 0;
    std::vector<RoleSelection> roleSelections;
    std::vector<ExtendedNegotiation> extendedNegotiations;
    // The requestor's identity (in an A-ASSOCIATE-RQ) and the acceptor's answer to it (in an
    // A-ASSOCIATE-AC); a sub-item that does not decode is skipped as an unknown one.
    std::optional<UserIdentityRQ> userIdentityRQ;
    std::optional<UserIdentityAC> userIdentityAC;
    friend bool operator==(const UserInformation&, const UserInformation&) = default;
};

struct AssociateRQ {
    uint16_t protocolVersion = 1;
    std::string calledAeTitle;
    std::string callingAeTitle;
    std::string applicationContext;
    std::vector<PresentationContextRQ> contexts;
    UserInformation userInformation;
    friend bool operator==(const AssociateRQ&, const AssociateRQ&) = default;
};

struct AssociateAC {
    uint16_t protocolVersion = 1;
    std::string calledAeTitle;
    std::string callingAeTitle;
    std::string applicationContext;
    std::vector<PresentationContextAC> contexts;
    UserInformation userInformation;
    friend bool operator==(const AssociateAC&, const AssociateAC&) = default;
};

struct AssociateRJ {
    uint8_t result = 0;
    uint8_t source = 0;
    uint8_t reason = 0;
    friend bool operator==(const AssociateRJ&, const AssociateRJ&) = default;
};

// A-RELEASE-RQ and A-RELEASE-RP carry nothing but their type.
struct ReleaseRQ {
    friend bool operator==(const ReleaseRQ&, const ReleaseRQ&) = default;
};

struct ReleaseRP {
    friend bool operator==(const ReleaseRP&, const ReleaseRP&) = default;
};

struct AbortRQ {
    // Source 3 is what this system has always sent; peers treat any source as an abort.
    uint8_t source = 3;
    uint8_t reason = 1;
    friend bool operator==(const AbortRQ&, const AbortRQ&) = default;
};

// The 6-byte header every PDU starts with.
struct PduHeader {
    uint8_t type = 0;
    uint32_t length = 0;  // bytes that follow the header
};

// One presentation data value of a P-DATA-TF: the data points into the PDU it came from.
struct Pdv {
    uint8_t contextId = 0;
    uint8_t control = 0;  // bit 0: command (1) or data set (0); bit 1: last fragment
    std::span<const uint8_t> data;
};

constexpr uint8_t PDV_COMMAND = 0x01;
constexpr uint8_t PDV_LAST_FRAGMENT = 0x02;

}  // namespace dicomlib::net
