#include "net/AssociationWords.h"

#include <cerrno>
#include <cstring>

#include "data/Tags.h"
#include "net/Association.h"
#include "net/CommandSet.h"
#include "net/ErrorComment.h"

namespace dicomlib::net {

namespace {

std::string Trimmed(std::string_view title) {
    while (!title.empty() && (title.back() == ' ' || title.back() == '\0'))
        title.remove_suffix(1);
    return std::string(title);
}

const char* RejectReasonWords(uint8_t source, uint8_t reason) {
    if (source == REJECT_SOURCE_USER) {
        switch (reason) {
            case 1:
                return "no reason given";
            case 2:
                return "application context name not supported";
            case 3:
                return "calling AE title not recognised";
            case 7:
                return "called AE title not recognised";
        }
    } else if (source == REJECT_SOURCE_ACSE) {
        switch (reason) {
            case 1:
                return "no reason given";
            case 2:
                return "protocol version not supported";
        }
    } else if (source == REJECT_SOURCE_PRESENTATION) {
        switch (reason) {
            case 1:
                return "temporary congestion";
            case 2:
                return "local limit exceeded";
        }
    }
    return nullptr;
}

const char* RejectSourceWords(uint8_t source) {
    switch (source) {
        case REJECT_SOURCE_USER:
            return "the peer's application";
        case REJECT_SOURCE_ACSE:
            return "the peer's association control";
        case REJECT_SOURCE_PRESENTATION:
            return "the peer's presentation layer";
    }
    return nullptr;
}

}  // namespace

std::string RejectMeaning(const AssociateRJ& rj) {
    std::string words = rj.result == REJECTED_PERMANENT ? "rejected permanently"
                        : rj.result == REJECTED_TRANSIENT
                            ? "rejected for now"
                            : "rejected (result " + std::to_string(rj.result) + ")";
    const char* source = RejectSourceWords(rj.source);
    words += source != nullptr ? std::string(" by ") + source
                               : " by the peer (source " + std::to_string(rj.source) + ")";
    const char* reason = RejectReasonWords(rj.source, rj.reason);
    words += ": ";
    words += reason != nullptr ? reason : "reason " + std::to_string(rj.reason);
    return words;
}

std::string RejectExplanation(const AssociateRJ& rj, std::string_view callingAeTitle,
                              std::string_view calledAeTitle) {
    const std::string calling = Trimmed(callingAeTitle), called = Trimmed(calledAeTitle);
    std::string advice;
    if (rj.source == REJECT_SOURCE_USER && rj.reason == 7) {
        advice = "the peer does not know the called title " + called +
                 "; ask for its AE title and call it by that";
    } else if (rj.source == REJECT_SOURCE_USER && rj.reason == 3) {
        advice = "calling title not recognised; the peer must list " + calling +
                 " among its nodes, with this machine's address";
    } else if (rj.source == REJECT_SOURCE_USER && rj.reason == 2) {
        advice = "the peer does not speak plain DICOM on this port; check host and port";
    } else if (rj.source == REJECT_SOURCE_USER && rj.reason == 1) {
        advice = "no reason given; check both AE titles (" + calling + " calling " + called +
                 ") and that the peer lists this machine among its nodes; its log says why";
    } else if (rj.source == REJECT_SOURCE_ACSE && rj.reason == 2) {
        advice = "the peer does not take protocol version 1; it is not a DICOM peer we can reach";
    } else if (rj.source == REJECT_SOURCE_PRESENTATION && rj.reason == 1) {
        advice = "the peer is busy; try again later";
    } else if (rj.source == REJECT_SOURCE_PRESENTATION && rj.reason == 2) {
        advice =
            "the peer has as many associations as it allows; try again later, or ask for "
            "a higher limit";
    } else {
        advice =
            "a reason the standard does not define here; the peer's log or conformance "
            "statement says what it means";
    }
    if (rj.result == REJECTED_TRANSIENT && rj.source == REJECT_SOURCE_USER)
        advice += " (the rejection is transient: trying again later may work)";
    return RejectMeaning(rj) + ": " + advice;
}

std::string AbortMeaning(const AbortRQ& abort) {
    if (abort.source == 0) return "aborted by the peer's application";
    if (abort.source == 2) {
        static constexpr const char* REASONS[] = {"reason not specified",
                                                  "unrecognised PDU",
                                                  "unexpected PDU",
                                                  "reason 3",
                                                  "unrecognised PDU parameter",
                                                  "unexpected PDU parameter",
                                                  "invalid PDU parameter value"};
        const std::string reason = abort.reason < std::size(REASONS)
                                       ? REASONS[abort.reason]
                                       : "reason " + std::to_string(abort.reason);
        return "aborted by the peer's DICOM layer: " + reason;
    }
    return "aborted by the peer (source " + std::to_string(abort.source) + ", reason " +
           std::to_string(abort.reason) + ")";
}

std::string AbortExplanation(const AbortRQ& abort) {
    if (abort.source == 2 && abort.reason != 0)
        return AbortMeaning(abort) +
               ": the peer found fault with what we sent; a trace at level 3 shows the bytes, "
               "its log says which";
    return AbortMeaning(abort) + ": the peer's log says why";
}

std::string ContextResultMeaning(uint8_t result) {
    switch (result) {
        case RESULT_ACCEPTANCE:
            return "accepted";
        case RESULT_USER_REJECTION:
            return "refused by the peer's application (user rejection)";
        case RESULT_PROVIDER_NO_REASON:
            return "refused, no reason given";
        case RESULT_ABSTRACT_SYNTAX_NOT_SUPPORTED:
            return "abstract syntax not supported";
        case RESULT_TRANSFER_SYNTAXES_NOT_SUPPORTED:
            return "transfer syntaxes not supported";
    }
    return "result " + std::to_string(result);
}

std::string_view ContextResultAdvice(uint8_t result, bool implicitVrOffered) {
    if (result == RESULT_TRANSFER_SYNTAXES_NOT_SUPPORTED && implicitVrOffered)
        return "implicit VR little endian was offered too, which every provider takes for a SOP "
               "class it supports: the peer most likely does not support this SOP class at all; "
               "its conformance statement lists those it takes";
    switch (result) {
        case RESULT_USER_REJECTION:
        case RESULT_PROVIDER_NO_REASON:
            return "the peer is not set up to take this service from us; ask its administrator";
        case RESULT_ABSTRACT_SYNTAX_NOT_SUPPORTED:
            return "the peer does not offer this SOP class";
        case RESULT_TRANSFER_SYNTAXES_NOT_SUPPORTED:
            return "the peer takes the SOP class in other transfer syntaxes; send in implicit VR "
                   "little endian or another syntax it accepts";
    }
    return "a result the standard does not define; the peer's log says what it means";
}

std::string ConnectFailureExplanation(int socketError, std::string_view host,
                                      std::string_view port) {
    const std::string where = std::string(host) + ":" + std::string(port);
    switch (socketError) {
        case ECONNREFUSED:
            return "nothing listens on " + where +
                   " (connection refused): check the port and that the peer's DICOM service runs";
        case ETIMEDOUT:
            return "no answer from " + where +
                   " (connection timed out): check the address and that no firewall drops it";
        case EHOSTUNREACH:
        case ENETUNREACH:
            return std::string(host) + " cannot be reached (" + std::strerror(socketError) +
                   "): check the address and the network route";
        case 0:
            return "cannot connect to " + where;
    }
    return "cannot connect to " + where + " (" + std::strerror(socketError) + ")";
}

std::string_view StatusAdvice(uint16_t status, uint16_t commandField) {
    if (status == STATUS_SUCCESS || status == STATUS_PENDING || status == STATUS_PENDING_WARNING)
        return {};
    if (StatusMeaning(status, commandField) == "failure")
        return "a status the standard does not define for this service; the peer's conformance "
               "statement says what it means";
    if (status == STATUS_SOP_CLASS_NOT_SUPPORTED) return "the peer does not take this SOP class";
    if ((status & 0xFF00) == 0xA700)
        return "the peer is short of disk space or memory; ask its administrator";
    if (status == 0xA801)
        return "the peer does not know the move destination; add it to the peer's nodes with "
               "this machine's address and port";
    const auto request = static_cast<uint16_t>(commandField & 0x7FFF);
    const bool query = request == C_FIND_RQ || request == C_MOVE_RQ || request == C_GET_RQ;
    if ((status & 0xFF00) == 0xA900)
        return query ? "the peer finds the query keys do not fit its query model; check the level "
                       "and the keys"
                     : "the peer finds the data set does not fit its SOP class; check the file "
                       "(dump)";
    if ((status & 0xF000) == 0xC000)
        return "the peer could not process it; its log says why, another transfer syntax may "
               "help";
    if (status == 0x0124) return "the peer does not allow this to our AE title";
    if ((status & 0xF000) == 0xB000) return "the peer went on, with the warning above";
    return {};
}

namespace {

std::string StatusFailureWords(uint16_t status, uint16_t commandField) {
    std::string text = StatusText(status, commandField);
    if (const std::string_view advice = StatusAdvice(status, commandField); !advice.empty())
        text += ": " + std::string(advice);
    return text;
}

}  // namespace

void NoteStatusFailure(uint16_t status, uint16_t commandField) {
    NoteFailure(StatusFailureWords(status, commandField));
}

std::string ErrorCommentOf(const ElementList& command) {
    const DicomElement* e = data::FindTag(command, tag::ErrorComment);
    if (e == nullptr || !data::HasValue(*e) || e->value == nullptr) return {};
    std::string text(reinterpret_cast<const char*>(e->value), e->length);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\0'))
        text.pop_back();
    for (char& c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
    return text;
}

std::string PeerSays(const std::string& comment) {
    return comment.empty() ? std::string() : "; the peer says: \"" + comment + "\"";
}

void NoteStatusFailureOf(uint16_t status, uint16_t commandField, const ElementList& command) {
    NoteFailure(StatusFailureWords(status, commandField) + PeerSays(ErrorCommentOf(command)));
}

}  // namespace dicomlib::net
