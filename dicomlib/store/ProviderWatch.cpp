// The provider's faults on purpose and the events of its associations.
#include "store/ProviderWatch.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <thread>
#include <utility>

#include "data/Tags.h"
#include "data/TransferSyntax.h"
#include "data/Uids.h"
#include "net/AssociationWords.h"
#include "net/CommandSet.h"
#include "net/Dimse.h"
#include "net/StorageClasses.h"
#include "net/TlsTransport.h"
#include "store/ProviderProfile.h"
#include "store/StoreScp.h"

namespace dicomlib::store {
namespace {

// Every request a peer can send: what no row serves still passes the watch.
constexpr uint16_t REQUESTS[] = {net::C_STORE_RQ,  net::C_GET_RQ,    net::C_FIND_RQ,
                                 net::C_MOVE_RQ,   net::C_ECHO_RQ,   net::N_EVENT_REPORT_RQ,
                                 net::N_GET_RQ,    net::N_SET_RQ,    net::N_ACTION_RQ,
                                 net::N_CREATE_RQ, net::N_DELETE_RQ, net::C_CANCEL_RQ};

// The classes besides storage that requestors propose to a provider.
constexpr std::pair<const char*, const char*> OTHER_CLASSES[] = {
    {"1.2.840.10008.1.1", "Verification"},
    {"1.2.840.10008.5.1.4.1.2.1.1", "Patient Root Query/Retrieve FIND"},
    {"1.2.840.10008.5.1.4.1.2.1.2", "Patient Root Query/Retrieve MOVE"},
    {"1.2.840.10008.5.1.4.1.2.1.3", "Patient Root Query/Retrieve GET"},
    {"1.2.840.10008.5.1.4.1.2.2.1", "Study Root Query/Retrieve FIND"},
    {"1.2.840.10008.5.1.4.1.2.2.2", "Study Root Query/Retrieve MOVE"},
    {"1.2.840.10008.5.1.4.1.2.2.3", "Study Root Query/Retrieve GET"},
    {"1.2.840.10008.5.1.4.31", "Modality Worklist FIND"},
    {"1.2.840.10008.1.20.1", "Storage Commitment Push Model"},
    {"1.2.840.10008.3.1.2.3.3", "Modality Performed Procedure Step"},
};

std::atomic<uint32_t> gAssociations{0};

std::string Hex(uint16_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%04X", value);
    return text;
}

std::string TitleText(std::string_view text) {
    while (!text.empty() && (text.back() == ' ' || text.back() == '\0'))
        text.remove_suffix(1);
    while (!text.empty() && text.front() == ' ')
        text.remove_prefix(1);
    return std::string(text);
}

// What an operator may see of a requestor's identity: a user name (printable characters only),
// never a password, ticket, assertion or token.
std::string IdentityWords(const net::UserIdentityRQ& identity) {
    switch (identity.type) {
        case net::UserIdentityType::Username:
        case net::UserIdentityType::UsernameAndPasscode: {
            std::string name = "user ";
            for (uint8_t c : identity.primaryField)
                name += c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?';
            return name;
        }
        case net::UserIdentityType::Kerberos:
            return "a Kerberos ticket";
        case net::UserIdentityType::Saml:
            return "a SAML assertion";
        case net::UserIdentityType::Jwt:
            return "a JSON Web Token";
    }
    return "an identity of an unknown kind";
}

std::string RejectionWords(const net::AssociateRJ& rj) {
    std::string words = rj.result == net::REJECTED_PERMANENT ? "permanent"
                        : rj.result == net::REJECTED_TRANSIENT
                            ? "transient"
                            : "result " + std::to_string(rj.result);
    words += rj.source == net::REJECT_SOURCE_USER   ? ", service user"
             : rj.source == net::REJECT_SOURCE_ACSE ? ", service provider (ACSE)"
             : rj.source == net::REJECT_SOURCE_PRESENTATION
                 ? ", service provider (presentation)"
                 : ", source " + std::to_string(rj.source);
    return words + ", reason " + std::to_string(rj.reason);
}

void Join(std::string& list, std::string_view item) {
    if (!list.empty()) list += ", ";
    list += item;
}

void SetStatus(ElementList& command, uint16_t status) {
    DicomElement* e = data::FindTag(command, tag::Status);
    if (e == nullptr || e->length != 2 || e->value == nullptr) return;
    e->value[0] = static_cast<uint8_t>(status & 0xFF);
    e->value[1] = static_cast<uint8_t>(status >> 8);
}

// The tags of a response's Attribute Identifier List, "(0040,0241) (0008,0060)"; empty without.
std::string AttributeList(const ElementList& command) {
    const DicomElement* e = data::FindTag(command, Tag{0x0000, 0x1005});
    if (e == nullptr) return {};
    data::ValueView v(*e);
    std::string text;
    for (std::size_t i = 0; v.Ok() && i + 4 <= v.Bytes().size(); i += 4) {
        const auto b = v.Bytes();
        char one[16];
        std::snprintf(one, sizeof one, "(%04X,%04X)", b[i] | (b[i + 1] << 8),
                      b[i + 2] | (b[i + 3] << 8));
        text += (text.empty() ? "" : " ") + std::string(one);
    }
    return text;
}

}  // namespace

bool FaultSettings::Any() const {
    return !refused.empty() || reject || !statuses.empty() || delayMs != 0 || abortAfter != 0 ||
           closeAfter != 0;
}

std::optional<uint16_t> InjectedStatus(const FaultSettings& faults, uint16_t commandField,
                                       uint32_t nth) {
    for (const StatusFault& fault : faults.statuses)
        if (fault.commandField == commandField && fault.every != 0 && nth % fault.every == 0)
            return fault.status;
    return std::nullopt;
}

bool IsFailureStatus(uint16_t status) {
    const bool warning =
        status == 0x0001 || status == 0x0107 || status == 0x0116 || (status & 0xF000) == 0xB000;
    return status != net::STATUS_SUCCESS && !warning && !net::IsPending(status) &&
           status != net::STATUS_CANCEL;
}

AfterResponse AfterAnswering(const FaultSettings& faults, uint32_t answered) {
    if (faults.abortAfter != 0 && answered >= faults.abortAfter) return AfterResponse::Abort;
    if (faults.closeAfter != 0 && answered >= faults.closeAfter) return AfterResponse::Close;
    return AfterResponse::GoOn;
}

std::optional<ElementList> InjectedResponse(const ElementList& request, uint16_t status) {
    const uint16_t field = data::GetTagUS(request, tag::CommandField);
    if ((field & 0x8000) != 0 || field == net::C_CANCEL_RQ || net::CommandFieldName(field).empty())
        return std::nullopt;
    if (field == net::C_STORE_RQ) return StoreResponse(request, status);
    net::CommandSet response;
    std::string sopClass = data::GetTagString(request, tag::AffectedSOPClassUID);
    if (sopClass.empty()) sopClass = data::GetTagString(request, tag::RequestedSOPClassUID);
    if (!sopClass.empty()) response.AppendUid(tag::AffectedSOPClassUID, sopClass);
    response.AppendUs(tag::CommandField, static_cast<uint16_t>(field | 0x8000))
        .AppendUs(tag::MessageIDBeingRespondedTo, data::GetTagUS(request, tag::MessageID))
        .AppendUs(tag::CommandDataSetType, net::NO_DATA_SET)
        .AppendUs(tag::Status, status);
    return std::move(response.List());
}

std::string SopClassTitle(std::string_view uid) {
    for (const auto& [classUid, name] : OTHER_CLASSES)
        if (uid == classUid) return name;
    for (const net::StorageClass& c : net::StandardStorageClasses())
        if (c.uid == uid) return std::string(c.name);
    return std::string(uid);
}

namespace {
// The line of the request the watch of this thread is serving; null between requests.
thread_local ProviderEvent* tServing = nullptr;
thread_local std::string tReason;

struct ServingLine {
    explicit ServingLine(ProviderEvent& event) {
        tServing = &event;
        tReason.clear();
    }
    ~ServingLine() { tServing = nullptr; }
    ServingLine(const ServingLine&) = delete;
    ServingLine& operator=(const ServingLine&) = delete;
};
}  // namespace

void NoteFault(std::string_view words) {
    if (tServing != nullptr) Join(tServing->fault, std::string(words));
}

void NoteReason(std::string_view words) {
    if (tServing != nullptr) tReason = std::string(words);
}

AssociationWatch::AssociationWatch(const ProviderProfile& profile, Association& assoc)
    : profile_(profile), assoc_(assoc), number_(++gAssociations) {}

void AssociationWatch::Tell(ProviderEvent event) const {
    if (!profile_.observer) return;
    event.association = number_;
    event.time = std::chrono::system_clock::now();
    event.peer = peer_;
    profile_.observer(event);
}

net::Negotiation AssociationWatch::Watching(net::Negotiation negotiate) {
    return [this, negotiate = std::move(negotiate)](const net::AssociateRQ& rq) {
        net::AssociateAnswer answer = negotiate(rq);
        told_ = true;
        peer_ = assoc_.stream.Socket().PeerAddress();
        ProviderEvent event;
        event.kind = ProviderEventKind::Association;
        event.callingAeTitle = TitleText(rq.callingAeTitle);
        event.calledAeTitle = TitleText(rq.calledAeTitle);
        if (const auto* tls = dynamic_cast<const net::TlsTransport*>(&assoc_.stream.GetTransport()))
            event.tls = tls->Facts().protocol + " " + tls->Facts().cipherSuite;
        if (rq.userInformation.userIdentityRQ)
            event.identity = IdentityWords(*rq.userInformation.userIdentityRQ);
        if (const auto* rj = std::get_if<net::AssociateRJ>(&answer)) {
            rejected_ = true;
            event.rejection = RejectionWords(*rj);
            if (profile_.faults.reject) event.fault = "rejection injected";
        } else {
            std::string refused;
            for (const auto& pc : std::get<net::AssociateAC>(answer).contexts) {
                const std::string title = SopClassTitle(pc.abstractSyntax);
                if (pc.result == net::RESULT_ACCEPTANCE) {
                    accepted_ = true;
                    Join(event.contexts, title + " in " + data::SyntaxTitle(pc.transferSyntax));
                } else if (std::count(profile_.faults.refused.begin(),
                                      profile_.faults.refused.end(), pc.abstractSyntax) != 0 &&
                           refused.find(title) == std::string::npos) {
                    Join(refused, title);
                }
            }
            if (!refused.empty()) event.fault = "refused " + refused;
        }
        Tell(std::move(event));
        return answer;
    };
}

net::DimseHandlers AssociationWatch::Handlers() {
    servedNames_ = profile_.Handlers().ServedNames();
    net::DimseHandlers handlers;
    for (const ProfileRow& row : profile_.rows) {
        if (!row.handler) continue;
        const net::DimseHandler* inner = &row.handler;
        // The row's spool stays with it: a watched provider receives into files as well.
        handlers.On(
            row.commandField, row.abstractSyntax,
            [this, inner](Association& a, net::DimseMessage& m) { return Serve(a, m, inner); },
            row.spool);
    }
    for (uint16_t field : REQUESTS)
        handlers.On(field,
                    [this](Association& a, net::DimseMessage& m) { return Serve(a, m, nullptr); });
    assoc_.beforeCommandSent = [this](ElementList& command) {
        if ((data::GetTagUS(command, tag::CommandField) & 0x8000) == 0) return;
        // A real failure stays a failure, whatever was to be injected.
        if (override_ && !IsFailureStatus(data::GetTagUS(command, tag::Status)))
            SetStatus(command, *override_);
        lastStatus_ = data::GetTagUS(command, tag::Status);
        attributes_ = AttributeList(command);
    };
    mark_ = assoc_.stream.Socket().BytesReceived();
    return handlers;
}

net::HandlerResult AssociationWatch::Serve(Association& assoc, net::DimseMessage& message,
                                           const net::DimseHandler* handler) {
    const auto start = std::chrono::steady_clock::now();
    const uint16_t field = message.commandField;
    const FaultSettings& faults = profile_.faults;
    ProviderEvent event;
    event.kind = ProviderEventKind::Message;
    event.bytes = assoc.stream.Socket().BytesReceived() - mark_;
    auto counted = std::find_if(perCommand_.begin(), perCommand_.end(),
                                [&](const auto& c) { return c.first == field; });
    if (counted == perCommand_.end()) counted = perCommand_.insert(counted, {field, 0});
    const uint32_t nth = ++counted->second;

    // The request after the last one to be answered gets the abort or the close instead.
    if (const AfterResponse after = AfterAnswering(faults, answered_);
        after != AfterResponse::GoOn) {
        event.command = std::string(net::CommandFieldName(field));
        event.sopClass = SopClassTitle(message.SopClass());
        if (after == AfterResponse::Abort) {
            event.fault = "A-ABORT instead of a response";
            ending_ = "aborted by us";
            endingFault_ = "A-ABORT injected";
        } else {
            event.fault = "connection closed instead of a response";
            ending_ = "connection closed by us";
            endingFault_ = "close injected";
        }
        Tell(std::move(event));
        if (after == AfterResponse::Abort)
            net::AbortAssoc(assoc);
        else
            assoc.stream.GetTransport().Close();  // not a word: no A-ABORT, no TLS close_notify
        return net::HandlerResult::End;
    }
    if (faults.delayMs != 0 && field != net::C_CANCEL_RQ) {
        std::this_thread::sleep_for(std::chrono::milliseconds(faults.delayMs));
        Join(event.fault, "delayed " + std::to_string(faults.delayMs) + " ms");
    }
    lastStatus_ = -1;
    attributes_.clear();
    net::HandlerResult result = net::HandlerResult::Continue;
    const auto injected = InjectedStatus(faults, field, nth);
    if (injected && IsFailureStatus(*injected)) {
        // Nothing is done that the status denies: a C-STORE so answered stores nothing.
        if (auto response = InjectedResponse(message.command, *injected);
            response && !net::SendMessageOnContext(assoc, *response, message.contextId,
                                                   net::MessageKind::Command)) {
            result = net::HandlerResult::End;
        }
    } else {
        override_ = injected;
        if (handler != nullptr) {
            const ServingLine serving(event);
            result = (*handler)(assoc, message);
        } else if (field != net::C_CANCEL_RQ) {
            auto response = net::NotServedResponse(message.command, servedNames_);
            if (!response || !net::SendMessageOnContext(assoc, *response, message.contextId,
                                                        net::MessageKind::Command))
                result = net::HandlerResult::End;
        }
        override_.reset();
    }
    if (injected && lastStatus_ == *injected)
        Join(event.fault, "status " + Hex(*injected) + " injected");

    event.command = std::string(net::CommandFieldName(field));
    std::string sopClass = message.SopClass();
    std::string syntax;
    for (const auto& pc : assoc.acceptedContexts) {
        if (pc.id != message.contextId) continue;
        if (sopClass.empty()) sopClass = pc.abstractSyntax;
        syntax = pc.transferSyntax;
    }
    event.sopClass = SopClassTitle(sopClass);
    event.transferSyntax = syntax.empty() ? std::string() : data::SyntaxTitle(syntax);
    event.status = lastStatus_;
    if (lastStatus_ >= 0)
        event.statusWords =
            std::string(net::StatusMeaning(static_cast<uint16_t>(lastStatus_), field));
    // The attributes a failure names, as the response's Attribute Identifier List gives them.
    if (lastStatus_ >= 0 && !attributes_.empty()) event.statusWords += ": " + attributes_;
    if (!tReason.empty()) {
        event.statusWords += ": " + tReason;
        tReason.clear();
    }
    ++answered_;
    event.milliseconds =
        static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                  std::chrono::steady_clock::now() - start)
                                  .count());
    Tell(std::move(event));
    mark_ = assoc.stream.Socket().BytesReceived();
    return result;
}

void AssociationWatch::Ended(bool cancelled) {
    assoc_.beforeCommandSent = nullptr;
    if (!told_) return;
    ProviderEvent event;
    event.kind = ProviderEventKind::Ended;
    event.messages = answered_;
    event.bytes = assoc_.stream.Socket().BytesReceived();
    if (!ending_.empty()) {
        event.ending = ending_;
        event.fault = endingFault_;
    } else if (rejected_) {
        event.ending = "rejected";
    } else if (!accepted_) {
        event.ending = "nothing accepted";
    } else if (assoc_.peerReleased) {
        event.ending = "released";
    } else if (assoc_.peerAborted) {
        event.ending = "aborted by the peer";
    } else if (assoc_.abortSent) {
        event.ending = "aborted by us (protocol error)";
    } else if (assoc_.stream.Connected()) {
        event.ending = "released by us";
    } else if (assoc_.stream.Socket().TimedOut()) {
        event.ending = "idle time-out";
    } else if (cancelled) {
        event.ending = "stopped";
    } else {
        event.ending = "connection lost";
    }
    Tell(std::move(event));
}

}  // namespace dicomlib::store
