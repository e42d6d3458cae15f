// Wire layouts of the association PDUs. Every length read is held to the PDU, item or
// sub-item that contains it through sub-readers; texts longer than their fields are cut.
#include "net/PduCodec.h"

#include <algorithm>
#include <string>
#include <string_view>

#include "net/ByteOrder.h"

namespace dicomlib::net {
namespace {

// A text as a C string would hold it: up to the first 0x00, at most max characters.
std::string CutText(std::span<const uint8_t> bytes, std::size_t max) {
    std::size_t n = 0;
    while (n < bytes.size() && n < max && bytes[n] != 0)
        ++n;
    return std::string(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n));
}

std::string_view CutView(const std::string& s, std::size_t max) {
    return std::string_view(s).substr(0, std::min(s.size(), max));
}

// The body of a whole PDU of the expected type, or why there is none.
Result<std::span<const uint8_t>> PduBody(std::span<const uint8_t> pdu, uint8_t type,
                                         const char* name) {
    auto header = DecodePduHeader(pdu);
    if (!header) return Error{header.Code(), std::string(name) + ": " + header.GetError().detail};
    if (header->type != type) {
        return Error{ErrorCode::Malformed,
                     std::string(name) + ": PDU type " + std::to_string(header->type)};
    }
    const std::size_t available = pdu.size() - PDU_HEADER_SIZE;
    if (available < header->length) {
        return Error{ErrorCode::NeedMore, std::string(name) + ": " + std::to_string(available) +
                                              " of " + std::to_string(header->length) + " bytes"};
    }
    if (available > header->length) {
        return Error{ErrorCode::Malformed, std::string(name) + ": bytes after the PDU"};
    }
    return pdu.subspan(PDU_HEADER_SIZE);
}

Error Named(const char* name, const Error& error) {
    return Error{error.code, std::string(name) + ": " + error.detail};
}

// AE titles: 16 bytes on the wire, padded with spaces (some peers pad with 0x00). The title
// ends at the first 0x00, and trailing spaces are padding, not part of it.
std::string ReadTitle(BigEndianReader& r, const char* field) {
    std::string title = CutText(r.Bytes(AE_TITLE_SIZE, field), AE_TITLE_SIZE);
    while (!title.empty() && title.back() == ' ')
        title.pop_back();
    return title;
}

// A text item or sub-item after its type byte: reserved, 16-bit length, the characters.
std::string ReadTextItem(BigEndianReader& r, const char* field) {
    r.Skip(1, field);
    const uint16_t length = r.U16(field);
    return CutText(r.Bytes(length, field), MAX_UID_SIZE);
}

void WriteTextItem(BigEndianWriter& w, uint8_t type, const std::string& text) {
    w.U8(type);
    w.U8(0x00);
    auto length = w.BeginLength16();
    w.Text(CutView(text, MAX_UID_SIZE));
    w.End(length);
}

// A SOP class UID inside a sub-item: 16-bit length, the characters.
std::string ReadSubItemUid(BigEndianReader& r, const char* field) {
    const uint16_t length = r.U16(field);
    return CutText(r.Bytes(length, field), MAX_UID_SIZE);
}

void WriteSubItemUid(BigEndianWriter& w, const std::string& uid) {
    auto length = w.BeginLength16();
    w.Text(CutView(uid, MAX_UID_SIZE));
    w.End(length);
}

// Role selection: type 0x54, reserved, length, UID length, SOP class UID, SCU role, SCP role.
void ReadRoleSelection(BigEndianReader& sub, UserInformation& info) {
    RoleSelection role;
    role.sopClassUid = ReadSubItemUid(sub, "role selection SOP class UID");
    role.scuRole = sub.U8("SCU role");
    role.scpRole = sub.U8("SCP role");
    if (sub.Ok()) info.roleSelections.push_back(std::move(role));
}

// Extended negotiation: type 0x56, reserved, length, UID length, SOP class UID, then the
// service class application information up to the end of the sub-item.
void ReadExtendedNegotiation(BigEndianReader& sub, UserInformation& info) {
    ExtendedNegotiation negotiation;
    negotiation.sopClassUid = ReadSubItemUid(sub, "extended negotiation SOP class UID");
    auto bytes = sub.Bytes(sub.Remaining(), "service class application information");
    negotiation.applicationInformation.assign(bytes.begin(), bytes.end());
    if (sub.Ok()) info.extendedNegotiations.push_back(std::move(negotiation));
}

// Sub-items: maximum length, implementation class UID and version name, role selection,
// extended negotiation, user identity. Any other sub-item is skipped by its length and counted; one
// whose length runs past the item makes the rest of the item be skipped.
void ReadUserInformation(BigEndianReader& r, UserInformation& info) {
    r.Skip(1, "user information item");
    const uint16_t length = r.U16("user information item length");
    BigEndianReader item = r.Sub(length, "user information item");
    while (item.Ok() && !item.AtEnd()) {
        const uint8_t type = item.U8("user information sub-item type");
        if (type == SUBITEM_MAXIMUM_LENGTH) {
            item.Skip(1, "maximum length sub-item");
            const uint16_t subLength = item.U16("maximum length sub-item length");
            BigEndianReader sub = item.Sub(subLength, "maximum length sub-item");
            info.maximumLength = sub.U32("maximum length");
        } else if (type == SUBITEM_IMPLEMENTATION_CLASS_UID) {
            info.implementationClassUid = ReadTextItem(item, "implementation class UID sub-item");
        } else if (type == SUBITEM_IMPLEMENTATION_VERSION_NAME) {
            info.implementationVersionName =
                ReadTextItem(item, "implementation version name sub-item");
        } else if (type == SUBITEM_ROLE_SELECTION) {
            item.Skip(1, "role selection sub-item");
            const uint16_t subLength = item.U16("role selection sub-item length");
            BigEndianReader sub = item.Sub(subLength, "role selection sub-item");
            ReadRoleSelection(sub, info);
        } else if (type == SUBITEM_EXTENDED_NEGOTIATION) {
            item.Skip(1, "extended negotiation sub-item");
            const uint16_t subLength = item.U16("extended negotiation sub-item length");
            BigEndianReader sub = item.Sub(subLength, "extended negotiation sub-item");
            ReadExtendedNegotiation(sub, info);
        } else if ((type == SUBITEM_USER_IDENTITY_RQ || type == SUBITEM_USER_IDENTITY_AC) &&
                   item.Remaining() >= 3) {
            item.Skip(1, "user identity sub-item");
            const uint16_t subLength = item.U16("user identity sub-item length");
            const std::size_t taken = std::min<std::size_t>(subLength, item.Remaining());
            const auto body = item.Bytes(taken, "user identity sub-item");
            std::vector<uint8_t> whole = {type, 0x00, static_cast<uint8_t>(subLength >> 8),
                                          static_cast<uint8_t>(subLength & 0xFF)};
            whole.insert(whole.end(), body.begin(), body.end());
            bool decoded = false;
            if (type == SUBITEM_USER_IDENTITY_RQ) {
                if (auto identity = DecodeUserIdentityRQ(whole)) {
                    info.userIdentityRQ = std::move(*identity);
                    decoded = true;
                }
            } else if (auto response = DecodeUserIdentityAC(whole)) {
                info.userIdentityAC = std::move(*response);
                decoded = true;
            }
            if (!decoded) info.skippedBytes += 4 + taken;
        } else if (item.Remaining() >= 3) {
            item.Skip(1, "unknown sub-item");
            const std::size_t subLength = item.U16("unknown sub-item length");
            const std::size_t skipped = std::min(subLength, item.Remaining());
            item.Skip(skipped, "unknown sub-item");
            info.skippedBytes += 4 + skipped;
        } else {
            info.skippedBytes += 1 + item.Remaining();
            item.Skip(item.Remaining(), "unknown sub-item");
        }
    }
}

// In the order of their types: maximum length, class UID, role selections, version name,
// extended negotiations, user identity. Without role selections and extended negotiations the item
// is the three sub-items it always was.
void WriteUserInformation(BigEndianWriter& w, const UserInformation& info) {
    w.U8(ITEM_USER_INFORMATION);
    w.U8(0x00);
    auto length = w.BeginLength16();
    w.U8(SUBITEM_MAXIMUM_LENGTH);
    w.U8(0x00);
    w.U16(4);
    w.U32(info.maximumLength);
    WriteTextItem(w, SUBITEM_IMPLEMENTATION_CLASS_UID, info.implementationClassUid);
    for (const auto& role : info.roleSelections) {
        w.U8(SUBITEM_ROLE_SELECTION);
        w.U8(0x00);
        auto subLength = w.BeginLength16();
        WriteSubItemUid(w, role.sopClassUid);
        w.U8(role.scuRole);
        w.U8(role.scpRole);
        w.End(subLength);
    }
    if (!info.implementationVersionName.empty())
        WriteTextItem(w, SUBITEM_IMPLEMENTATION_VERSION_NAME, info.implementationVersionName);
    for (const auto& negotiation : info.extendedNegotiations) {
        w.U8(SUBITEM_EXTENDED_NEGOTIATION);
        w.U8(0x00);
        auto subLength = w.BeginLength16();
        WriteSubItemUid(w, negotiation.sopClassUid);
        w.Bytes(negotiation.applicationInformation);
        w.End(subLength);
    }
    // An identity whose fields do not fit their 16-bit lengths is refused before it gets here.
    if (info.userIdentityRQ)
        if (const auto bytes = EncodeUserIdentityRQ(*info.userIdentityRQ)) w.Bytes(*bytes);
    if (info.userIdentityAC)
        if (const auto bytes = EncodeUserIdentityAC(*info.userIdentityAC)) w.Bytes(*bytes);
    w.End(length);
}

// Header and fixed fields of an A-ASSOCIATE-RQ or -AC; the PDU length is left open.
BigEndianWriter::LengthField WriteAssociateFixed(BigEndianWriter& w, uint8_t type,
                                                 uint16_t protocolVersion,
                                                 const std::string& called,
                                                 const std::string& calling) {
    w.U8(type);
    w.U8(0x00);
    auto length = w.BeginLength32();
    w.U16(protocolVersion);
    w.U16(0x0000);
    w.FixedText(called, AE_TITLE_SIZE);
    w.FixedText(calling, AE_TITLE_SIZE);
    w.Zeros(32);
    return length;
}

void ReadAssociateFixed(BigEndianReader& r, uint16_t& protocolVersion, std::string& called,
                        std::string& calling) {
    protocolVersion = r.U16("protocol version");
    r.Skip(2, "reserved");
    called = ReadTitle(r, "called AE title");
    calling = ReadTitle(r, "calling AE title");
    r.Skip(32, "reserved");
}

void ReadProposal(BigEndianReader& r, PresentationContextRQ& pc) {
    r.Skip(1, "presentation context item");
    const uint16_t length = r.U16("presentation context item length");
    BigEndianReader item = r.Sub(length, "presentation context item");
    pc.id = item.U8("presentation context ID");
    item.Skip(3, "reserved");
    // The sub-item types are not judged: the first is the abstract syntax, the rest are
    // transfer syntaxes.
    item.U8("abstract syntax sub-item type");
    pc.abstractSyntax = ReadTextItem(item, "abstract syntax sub-item");
    while (item.Ok() && !item.AtEnd()) {
        item.U8("transfer syntax sub-item type");
        std::string syntax = ReadTextItem(item, "transfer syntax sub-item");
        if (item.Ok()) pc.transferSyntaxes.push_back(std::move(syntax));
    }
}

void ReadAnswer(BigEndianReader& r, PresentationContextAC& pc) {
    r.Skip(1, "presentation context item");
    const uint16_t length = r.U16("presentation context item length");
    BigEndianReader item = r.Sub(length, "presentation context item");
    pc.id = item.U8("presentation context ID");
    item.Skip(1, "reserved");
    pc.result = item.U8("result");
    item.Skip(1, "reserved");
    // One transfer syntax sub-item; bytes after it within the item are not ours to read.
    if (!item.AtEnd()) {
        item.U8("transfer syntax sub-item type");
        pc.transferSyntax = ReadTextItem(item, "transfer syntax sub-item");
    }
}

// The fixed four bytes of A-RELEASE-RQ/RP, A-ABORT and A-ASSOCIATE-RJ.
std::vector<uint8_t> EncodeFour(uint8_t type, uint8_t b0, uint8_t b1, uint8_t b2, uint8_t b3) {
    BigEndianWriter w;
    w.U8(type);
    w.U8(0x00);
    auto length = w.BeginLength32();
    w.U8(b0);
    w.U8(b1);
    w.U8(b2);
    w.U8(b3);
    w.End(length);
    return w.Take();
}

Result<std::span<const uint8_t>> FourByteBody(std::span<const uint8_t> pdu, uint8_t type,
                                              const char* name) {
    auto body = PduBody(pdu, type, name);
    if (!body) return body;
    if (body->size() != 4) {
        return Error{ErrorCode::Malformed,
                     std::string(name) + ": length " + std::to_string(body->size()) + ", not 4"};
    }
    return body;
}

}  // namespace

Result<PduHeader> DecodePduHeader(std::span<const uint8_t> bytes) {
    if (bytes.size() < PDU_HEADER_SIZE) {
        return Error{ErrorCode::NeedMore, std::to_string(bytes.size()) + " of 6 header bytes"};
    }
    BigEndianReader r(bytes.first(PDU_HEADER_SIZE));
    PduHeader header;
    header.type = r.U8("PDU type");
    r.Skip(1, "reserved");
    header.length = r.U32("PDU length");
    return header;
}

// A-ASSOCIATE-RQ: header, fixed fields, application context item, one presentation context
// item (0x20) per proposal, user information item.
std::vector<uint8_t> EncodeAssociateRQ(const AssociateRQ& rq) {
    BigEndianWriter w;
    auto length = WriteAssociateFixed(w, PDU_ASSOCIATE_RQ, rq.protocolVersion, rq.calledAeTitle,
                                      rq.callingAeTitle);
    WriteTextItem(w, ITEM_APPLICATION_CONTEXT, rq.applicationContext);
    for (const auto& pc : rq.contexts) {
        w.U8(ITEM_PRESENTATION_CONTEXT_RQ);
        w.U8(0x00);
        auto itemLength = w.BeginLength16();
        w.U8(pc.id);
        w.Zeros(3);
        WriteTextItem(w, ITEM_ABSTRACT_SYNTAX, pc.abstractSyntax);
        for (const auto& syntax : pc.transferSyntaxes)
            WriteTextItem(w, ITEM_TRANSFER_SYNTAX, syntax);
        w.End(itemLength);
    }
    WriteUserInformation(w, rq.userInformation);
    w.End(length);
    return w.Take();
}

Result<AssociateRQ> DecodeAssociateRQ(std::span<const uint8_t> pdu) {
    constexpr const char* name = "A-ASSOCIATE-RQ";
    auto body = PduBody(pdu, PDU_ASSOCIATE_RQ, name);
    if (!body) return body.GetError();
    AssociateRQ rq;
    BigEndianReader r(*body, PDU_HEADER_SIZE);
    ReadAssociateFixed(r, rq.protocolVersion, rq.calledAeTitle, rq.callingAeTitle);
    while (r.Ok() && !r.AtEnd()) {
        const uint8_t type = r.U8("item type");
        if (type == ITEM_APPLICATION_CONTEXT) {
            rq.applicationContext = ReadTextItem(r, "application context item");
        } else if (type == ITEM_PRESENTATION_CONTEXT_RQ) {
            PresentationContextRQ pc;
            ReadProposal(r, pc);
            if (r.Ok()) rq.contexts.push_back(std::move(pc));
        } else if (type == ITEM_USER_INFORMATION) {
            ReadUserInformation(r, rq.userInformation);
        } else {
            break;
        }
    }
    if (!r.Ok()) return Named(name, r.Failure());
    return rq;
}

// A-ASSOCIATE-AC: as the RQ, with one answer item (0x21) per proposal received.
std::vector<uint8_t> EncodeAssociateAC(const AssociateAC& ac) {
    BigEndianWriter w;
    auto length = WriteAssociateFixed(w, PDU_ASSOCIATE_AC, ac.protocolVersion, ac.calledAeTitle,
                                      ac.callingAeTitle);
    WriteTextItem(w, ITEM_APPLICATION_CONTEXT, ac.applicationContext);
    for (const auto& pc : ac.contexts) {
        w.U8(ITEM_PRESENTATION_CONTEXT_AC);
        w.U8(0x00);
        auto itemLength = w.BeginLength16();
        w.U8(pc.id);
        w.U8(0x00);
        w.U8(pc.result);
        w.U8(0x00);
        WriteTextItem(w, ITEM_TRANSFER_SYNTAX, pc.transferSyntax);
        w.End(itemLength);
    }
    WriteUserInformation(w, ac.userInformation);
    w.End(length);
    return w.Take();
}

Result<AssociateAC> DecodeAssociateAC(std::span<const uint8_t> pdu) {
    constexpr const char* name = "A-ASSOCIATE-AC";
    auto body = PduBody(pdu, PDU_ASSOCIATE_AC, name);
    if (!body) return body.GetError();
    AssociateAC ac;
    BigEndianReader r(*body, PDU_HEADER_SIZE);
    ReadAssociateFixed(r, ac.protocolVersion, ac.calledAeTitle, ac.callingAeTitle);
    while (r.Ok() && !r.AtEnd()) {
        const uint8_t type = r.U8("item type");
        if (type == ITEM_APPLICATION_CONTEXT) {
            ac.applicationContext = ReadTextItem(r, "application context item");
        } else if (type == ITEM_PRESENTATION_CONTEXT_AC) {
            PresentationContextAC pc;
            ReadAnswer(r, pc);
            if (r.Ok()) ac.contexts.push_back(std::move(pc));
        } else if (type == ITEM_USER_INFORMATION) {
            ReadUserInformation(r, ac.userInformation);
        } else {
            r.Skip(r.Remaining(), "rest of the PDU");
        }
    }
    if (!r.Ok()) return Named(name, r.Failure());
    return ac;
}

// A-ASSOCIATE-RJ: header, reserved, result, source, reason.
std::vector<uint8_t> EncodeAssociateRJ(const AssociateRJ& rj) {
    return EncodeFour(PDU_ASSOCIATE_RJ, 0x00, rj.result, rj.source, rj.reason);
}

Result<AssociateRJ> DecodeAssociateRJ(std::span<const uint8_t> pdu) {
    auto body = FourByteBody(pdu, PDU_ASSOCIATE_RJ, "A-ASSOCIATE-RJ");
    if (!body) return body.GetError();
    return AssociateRJ{(*body)[1], (*body)[2], (*body)[3]};
}

// A-RELEASE-RQ: type 0x05, reserved, length 4, four reserved bytes.
std::vector<uint8_t> EncodeReleaseRQ() {
    return EncodeFour(PDU_RELEASE_RQ, 0, 0, 0, 0);
}

Result<ReleaseRQ> DecodeReleaseRQ(std::span<const uint8_t> pdu) {
    auto body = FourByteBody(pdu, PDU_RELEASE_RQ, "A-RELEASE-RQ");
    if (!body) return body.GetError();
    return ReleaseRQ{};
}

// A-RELEASE-RP: type 0x06, otherwise as the request.
std::vector<uint8_t> EncodeReleaseRP() {
    return EncodeFour(PDU_RELEASE_RP, 0, 0, 0, 0);
}

Result<ReleaseRP> DecodeReleaseRP(std::span<const uint8_t> pdu) {
    auto body = FourByteBody(pdu, PDU_RELEASE_RP, "A-RELEASE-RP");
    if (!body) return body.GetError();
    return ReleaseRP{};
}

// A-ABORT: type 0x07, reserved, length 4, two reserved bytes, source, reason.
std::vector<uint8_t> EncodeAbortRQ(const AbortRQ& abort) {
    return EncodeFour(PDU_ABORT, 0x00, 0x00, abort.source, abort.reason);
}

Result<AbortRQ> DecodeAbortRQ(std::span<const uint8_t> pdu) {
    auto body = FourByteBody(pdu, PDU_ABORT, "A-ABORT");
    if (!body) return body.GetError();
    return AbortRQ{(*body)[2], (*body)[3]};
}

std::vector<uint8_t> EncodePDataTF(uint8_t contextId, uint8_t control,
                                   std::span<const uint8_t> fragment) {
    std::vector<uint8_t> out;
    AppendPDataTF(out, contextId, control, fragment);
    return out;
}

// P-DATA-TF with one PDV: header, PDV item length, context ID, control header, fragment.
void AppendPDataTF(std::vector<uint8_t>& out, uint8_t contextId, uint8_t control,
                   std::span<const uint8_t> fragment) {
    BigEndianWriter w;
    w.U8(PDU_P_DATA_TF);
    w.U8(0x00);
    auto length = w.BeginLength32();
    auto pdvLength = w.BeginLength32();
    w.U8(contextId);
    w.U8(control);
    w.Bytes(fragment);
    w.End(pdvLength);
    w.End(length);
    auto pdu = w.Take();
    out.insert(out.end(), pdu.begin(), pdu.end());
}

Result<std::vector<Pdv>> DecodePDataTF(std::span<const uint8_t> pdu) {
    constexpr const char* name = "P-DATA-TF";
    auto body = PduBody(pdu, PDU_P_DATA_TF, name);
    if (!body) return body.GetError();
    std::vector<Pdv> pdvs;
    BigEndianReader r(*body, PDU_HEADER_SIZE);
    while (r.Ok() && !r.AtEnd()) {
        const uint32_t length = r.U32("PDV item length");
        if (r.Ok() && length < 2) r.Fail("PDV item length " + std::to_string(length));
        BigEndianReader item = r.Sub(length, "PDV item");
        Pdv pdv;
        pdv.contextId = item.U8("presentation context ID");
        pdv.control = item.U8("message control header");
        pdv.data = item.Bytes(item.Remaining(), "PDV data");
        if (r.Ok()) pdvs.push_back(pdv);
    }
    if (!r.Ok()) return Named(name, r.Failure());
    return pdvs;
}

}  // namespace dicomlib::net
