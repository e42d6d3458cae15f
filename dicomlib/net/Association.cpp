// Association set-up and release for both roles. Every PDU is read whole; one that contradicts
// its own lengths is answered with an A-ABORT, and the association fails.
#include "net/Association.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <string>
#include <utility>

#include "data/TransferSyntax.h"
#include "data/Uids.h"
#include "net/AssociationWords.h"
#include "net/PduCodec.h"
#include "net/TlsTransport.h"
#include "net/TraceLog.h"

Association::Association() {
    request.applicationContext = dicomlib::net::APPLICATION_CONTEXT_NAME;
    answer.applicationContext = dicomlib::net::APPLICATION_CONTEXT_NAME;
}

namespace dicomlib::net {
namespace {

std::atomic<uint32_t> gMessageCounter{0};

void LogAssociationEvent(std::string_view text) {
    if (LogLevel() >= LOG_ASSOCIATION) AppendLogLine(LogFileName(), text);
}

// Sets a receive deadline limit from now while it lives.
class ReceiveDeadline {
  public:
    ReceiveDeadline(Association& assoc, std::chrono::milliseconds limit)
        : socket_(assoc.stream.Socket()) {
        socket_.SetReceiveDeadline(std::chrono::steady_clock::now() + limit);
    }
    ~ReceiveDeadline() { socket_.SetReceiveDeadline(std::nullopt); }
    ReceiveDeadline(const ReceiveDeadline&) = delete;
    ReceiveDeadline& operator=(const ReceiveDeadline&) = delete;

  private:
    TcpSocket& socket_;
};

void Fail(Association& assoc) {
    assoc.stream.Close();
}

thread_local std::string tLastFailure;
thread_local TimeoutRecord tLastTimeout;

// A title as it goes on the wire: 16 characters, padded with spaces.
std::string WireTitle(std::string title) {
    if (title.size() < AE_TITLE_SIZE) title.resize(AE_TITLE_SIZE, ' ');
    return title;
}

// After an AC that accepts nothing the requestor has no use for the association and releases
// it, as requestors do: its A-RELEASE-RQ is answered, so that it sees an orderly end instead of
// a reset. Anything else ends the association at once.
void AwaitReleaseOfNothing(Association& assoc) {
    auto pdu = [&] {
        ReceiveDeadline limit(assoc, assoc.settings.RequestWait());
        return ReadPduOrEnd(assoc);
    }();
    if (!pdu) return;
    if (pdu->type == PDU_RELEASE_RQ && DecodeReleaseRQ(pdu->bytes)) {
        assoc.stream.Write(EncodeReleaseRP());
    } else if (pdu->type != PDU_ABORT) {
        AbortAssoc(assoc);
    }
    assoc.stream.Close();
}

// Proposal side: takes the settings and fills the fixed parts of the request. A record opened
// before starts again from an empty proposal list.
void PrepareRequest(Association& assoc, const ConnectionSettings& settings) {
    assoc.settings = settings;
    if (assoc.settings.callingAeTitle.empty())
        assoc.settings.callingAeTitle = DEFAULT_CALLING_AE_TITLE;
    assoc.messageWait = Wait::Dimse;
    assoc.request = AssociateRQ();
    assoc.request.calledAeTitle = assoc.settings.calledAeTitle;
    assoc.request.callingAeTitle = assoc.settings.callingAeTitle;
    assoc.request.applicationContext = APPLICATION_CONTEXT_NAME;
    assoc.answer = AssociateAC();
    assoc.rejection = AssociateRJ();
    assoc.acceptedContexts.clear();
    assoc.peerReleased = false;
    assoc.opened = OpenReport();
    tLastFailure.clear();
    tLastTimeout = TimeoutRecord();
    ResetMessageCounter();
}

void AddProposal(Association& assoc, std::string_view abstractSyntax,
                 std::vector<std::string> transferSyntaxes) {
    PresentationContextRQ pc;
    pc.id = static_cast<uint8_t>(NextOddCounterValue());
    pc.abstractSyntax = std::string(abstractSyntax);
    pc.transferSyntaxes = std::move(transferSyntaxes);
    assoc.request.contexts.push_back(std::move(pc));
}

const PresentationContextRQ* ProposalWithId(const AssociateRQ& rq, uint8_t id) {
    for (const auto& pc : rq.contexts)
        if (pc.id == id) return &pc;
    return nullptr;
}

bool TakeAnswer(Association& assoc, std::span<const uint8_t> pdu) {
    auto ac = DecodeAssociateAC(pdu);
    if (!ac) {
        assoc.opened.outcome = OpenOutcome::MalformedAnswer;
        AbortAssoc(assoc);
        return false;
    }
    assoc.answer = std::move(*ac);
    for (auto& pc : assoc.answer.contexts) {
        if (const auto* proposal = ProposalWithId(assoc.request, pc.id))
            pc.abstractSyntax = proposal->abstractSyntax;
        if (pc.result != RESULT_ACCEPTANCE) continue;
        assoc.acceptedContexts.push_back(pc);
        LogAssociationEvent("Presentation Context Accept, Transfer Syntax: " + pc.transferSyntax);
    }
    if (assoc.acceptedContexts.empty()) {
        assoc.opened.outcome = OpenOutcome::NothingAccepted;
        Fail(assoc);
        return false;
    }
    // Asked for, the positive response is what tells us the peer checked who we are.
    if (const auto& identity = assoc.request.userInformation.userIdentityRQ;
        identity && identity->positiveResponseRequested &&
        !assoc.answer.userInformation.userIdentityAC) {
        assoc.opened.outcome = OpenOutcome::IdentityNotConfirmed;
        CloseAssoc(assoc);
        assoc.acceptedContexts.clear();
        return false;
    }
    assoc.opened.outcome = OpenOutcome::Accepted;
    return true;
}

std::chrono::microseconds Since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() -
                                                                 start);
}

// Judges the first PDU of the answer.
bool TakeFirstPdu(Association& assoc) {
    auto pdu = [&] {
        // Without an association time-out of its own the answer has the wait of a response.
        std::optional<ReceiveDeadline> limit;
        if (assoc.settings.acseTimeout) limit.emplace(assoc, *assoc.settings.acseTimeout);
        return ReadPduOrEnd(assoc);
    }();
    if (!pdu) {
        assoc.opened.outcome =
            pdu.Code() == ErrorCode::Malformed ? OpenOutcome::MalformedAnswer : OpenOutcome::Closed;
        if (pdu.Code() != ErrorCode::Malformed && assoc.stream.Socket().TimedOut())
            assoc.opened.ranOut = Wait::Acse;
        return false;
    }
    if (pdu->type == PDU_ASSOCIATE_AC) return TakeAnswer(assoc, pdu->bytes);
    assoc.opened.outcome = OpenOutcome::MalformedAnswer;
    if (pdu->type == PDU_ASSOCIATE_RJ) {
        auto rj = DecodeAssociateRJ(pdu->bytes);
        if (!rj) {
            AbortAssoc(assoc);
            return false;
        }
        assoc.rejection = *rj;
        assoc.opened.outcome = OpenOutcome::Rejected;
    } else if (pdu->type == PDU_ABORT) {
        if (auto abort = DecodeAbortRQ(pdu->bytes)) {
            assoc.opened.abort = *abort;
            assoc.opened.outcome = OpenOutcome::Aborted;
        }
    }
    Fail(assoc);
    return false;
}

// Connects, sends the request and judges the answer.
bool Connect(Association& assoc) {
    const ConnectionSettings& settings = assoc.settings;
    const std::string_view host = settings.host, port = settings.port;
    OpenReport& report = assoc.opened;
    report.host = settings.host;
    report.port = settings.port;
    assoc.dataTransfer.Clear();
    // The negotiation items OpenWith put into the request stay.
    UserInformation info = OurUserInformation(settings.maxPduLength);
    info.roleSelections = std::move(assoc.request.userInformation.roleSelections);
    info.extendedNegotiations = std::move(assoc.request.userInformation.extendedNegotiations);
    info.userIdentityRQ = settings.userIdentity;
    assoc.request.userInformation = std::move(info);
    assoc.stream.SetConnectTimeout(settings.connectTimeout);
    assoc.stream.Socket().SetReceiveTimeout(settings.dimseTimeout);
    auto start = std::chrono::steady_clock::now();
    const auto address = ResolveHost(host);
    const auto portNumber = address ? ResolvePort(port) : std::nullopt;
    report.lookupTime = Since(start);
    if (!address || !portNumber) {
        assoc.stream.Close();
        report.outcome = !address ? OpenOutcome::UnknownHost : OpenOutcome::UnknownPort;
        return false;
    }
    start = std::chrono::steady_clock::now();
    const bool connected = assoc.stream.OpenAddress(*address, *portNumber);
    report.connectTime = Since(start);
    if (!connected && assoc.stream.HandshakeFailed()) {
        report.outcome = OpenOutcome::TlsFailed;
        return false;
    }
    if (!connected) {
        report.outcome = OpenOutcome::ConnectFailed;
        report.socketError = assoc.stream.Socket().LastError();
        if (report.socketError == ETIMEDOUT && settings.connectTimeout)
            report.ranOut = Wait::Connect;
        return false;
    }
    LogAssociationEvent("Connected to: " + std::string(host) + ":" + std::string(port));
    start = std::chrono::steady_clock::now();
    if (!assoc.stream.Write(EncodeAssociateRQ(assoc.request))) {
        report.outcome = OpenOutcome::SendFailed;
        Fail(assoc);
        return false;
    }
    const bool accepted = TakeFirstPdu(assoc);
    report.negotiationTime = Since(start);
    return accepted;
}

bool Negotiate(Association& assoc) {
    if (Connect(assoc)) return true;
    std::string why = ExplainOpenFailure(assoc);
    LogAssociationEvent("Association failed: " + why);
    const OpenReport& report = assoc.opened;
    if (report.ranOut == Wait::Connect) {
        NoteTimeout({Wait::Connect, *assoc.settings.connectTimeout, "no connection"},
                    std::move(why));
    } else if (report.ranOut == Wait::Acse) {
        NoteTimeout(
            {Wait::Acse, assoc.settings.AnswerWait(), "no answer to the association request"},
            std::move(why));
    } else {
        NoteFailure(std::move(why));
    }
    return false;
}

// The legacy openings: default settings for the peer; an empty calling title becomes the
// default in the caller's string too.
bool OpenLegacy(Association& assoc, std::string_view host, std::string_view port,
                std::string& callingAeTitle, std::string_view calledAeTitle,
                const Proposals& proposals) {
    if (callingAeTitle.empty()) callingAeTitle = DEFAULT_CALLING_AE_TITLE;
    return OpenWith(assoc,
                    SettingsFor(std::string(host), std::string(port), callingAeTitle,
                                std::string(calledAeTitle)),
                    proposals);
}

}  // namespace

UserInformation OurUserInformation(uint32_t maximumLength) {
    UserInformation info;
    info.maximumLength = maximumLength;
    info.implementationClassUid = uid::ImplementationClass;
    info.implementationVersionName = IMPLEMENTATION_VERSION_NAME;
    return info;
}

void ResetMessageCounter() {
    gMessageCounter.store(1);
}

uint32_t NextOddCounterValue() {
    uint32_t current = gMessageCounter.load();
    for (;;) {
        const uint32_t taken = (current % 2 == 0) ? current + 1 : current;
        if (gMessageCounter.compare_exchange_weak(current, taken + 1)) return taken;
    }
}

void SetMessageCounter(uint32_t value) {
    gMessageCounter.store(value);
}

void AdvanceMessageCounter() {
    gMessageCounter.fetch_add(1);
}

uint32_t MessageCounterValue() {
    return gMessageCounter.load();
}

std::vector<std::string> ProposedTransferSyntaxes(std::optional<std::string_view> transferSyntax) {
    if (!transferSyntax) return {uid::ImplicitVRLittleEndian};
    std::vector<std::string> syntaxes{std::string(*transferSyntax)};
    if (*transferSyntax != uid::ImplicitVRLittleEndian)
        syntaxes.emplace_back(uid::ImplicitVRLittleEndian);
    return syntaxes;
}

std::optional<std::vector<std::string>> StorageProposedTransferSyntaxes(
    std::optional<std::string_view> fileSyntax, std::optional<std::string_view> preferredSyntax) {
    if (!fileSyntax) return std::nullopt;
    std::vector<std::string> syntaxes{std::string(*fileSyntax)};
    if (!preferredSyntax) {
        // Implicit VR little endian follows even when it is the file's syntax too.
        syntaxes.emplace_back(uid::ImplicitVRLittleEndian);
    } else if (*preferredSyntax != *fileSyntax) {
        syntaxes.emplace_back(*preferredSyntax);
        if (*preferredSyntax != uid::ImplicitVRLittleEndian)
            syntaxes.emplace_back(uid::ImplicitVRLittleEndian);
    } else if (*fileSyntax != uid::ImplicitVRLittleEndian) {
        syntaxes.emplace_back(uid::ImplicitVRLittleEndian);
    }
    return syntaxes;
}

Association* NewAssociation() {
    return new Association();
}

bool OpenWith(Association& assoc, const ConnectionSettings& settings, const Proposals& proposals) {
    if (settings.transport.tls) assoc.stream.UseTransport(MakeTransport(settings.transport.tls));
    PrepareRequest(assoc, settings);
    if (proposals.contexts.empty() || proposals.contexts.size() > MAX_PROPOSALS) return false;
    for (const auto& proposal : proposals.contexts)
        AddProposal(assoc, proposal.abstractSyntax, proposal.transferSyntaxes);
    assoc.request.userInformation.roleSelections = proposals.roleSelections;
    assoc.request.userInformation.extendedNegotiations = proposals.extendedNegotiations;
    return Negotiate(assoc);
}

AssociationPtr Open(const ConnectionSettings& settings, const Proposals& proposals) {
    AssociationPtr assoc(NewAssociation());
    assoc->messageDump = LogLevel() >= LOG_MESSAGES;
    OpenWith(*assoc, settings, proposals);
    return assoc;
}

Proposals ProposalFor(std::string_view abstractSyntax,
                      std::optional<std::string_view> transferSyntax) {
    Proposals proposals;
    proposals.contexts.push_back(
        {0, std::string(abstractSyntax), ProposedTransferSyntaxes(transferSyntax)});
    return proposals;
}

bool OpenAssoc(Association& assoc, std::string_view host, std::string_view port,
               std::string& callingAeTitle, std::string_view calledAeTitle,
               std::string_view abstractSyntax, std::optional<std::string_view> transferSyntax) {
    return OpenLegacy(assoc, host, port, callingAeTitle, calledAeTitle,
                      ProposalFor(abstractSyntax, transferSyntax));
}

bool OpenStorageAssoc(Association& assoc, std::string_view host, std::string_view port,
                      std::string& callingAeTitle, std::string_view calledAeTitle,
                      std::string_view abstractSyntax, std::optional<std::string_view> fileSyntax,
                      std::optional<std::string_view> preferredSyntax) {
    auto syntaxes = StorageProposedTransferSyntaxes(fileSyntax, preferredSyntax);
    if (!syntaxes) {
        if (callingAeTitle.empty()) callingAeTitle = DEFAULT_CALLING_AE_TITLE;
        PrepareRequest(assoc, SettingsFor(std::string(host), std::string(port), callingAeTitle,
                                          std::string(calledAeTitle)));
        return false;
    }
    return OpenLegacy(assoc, host, port, callingAeTitle, calledAeTitle,
                      {{{0, std::string(abstractSyntax), std::move(*syntaxes)}}});
}

bool OpenAssocContexts(Association& assoc, std::string_view host, std::string_view port,
                       std::string& callingAeTitle, std::string_view calledAeTitle,
                       const std::vector<PresentationContextRQ>& proposals) {
    return OpenLegacy(assoc, host, port, callingAeTitle, calledAeTitle, {proposals});
}

uint32_t PeerMaximumLength(const Association& assoc) {
    return assoc.opened.outcome == OpenOutcome::Accepted
               ? assoc.answer.userInformation.maximumLength
               : assoc.request.userInformation.maximumLength;
}

std::string ExplainOpenFailure(const Association& assoc) {
    const OpenReport& report = assoc.opened;
    auto trimmed = [](std::string title) {
        while (!title.empty() && (title.back() == ' ' || title.back() == '\0'))
            title.pop_back();
        return title;
    };
    // A secured transport's own refusal (the peer's alert after the handshake) explains a
    // connection that ended before the answer better than the association layer can.
    const std::string transportFailure = assoc.stream.GetTransport().Failure();
    switch (report.outcome) {
        case OpenOutcome::NotOpened:
        case OpenOutcome::Accepted:
            return {};
        case OpenOutcome::TlsFailed:
            return transportFailure;
        case OpenOutcome::UnknownHost:
            return "the host name " + report.host +
                   " cannot be resolved: check the name, or give the IP address";
        case OpenOutcome::UnknownPort:
            return report.port + " is not a port number or a known service name: give the " +
                   "peer's port number";
        case OpenOutcome::ConnectFailed:
            return ConnectFailureExplanation(report.socketError, report.host, report.port);
        case OpenOutcome::SendFailed:
            if (!transportFailure.empty()) return transportFailure;
            return "the connection failed while the association request went out: the peer " +
                   std::string("closed it at once; it may refuse this machine's address");
        case OpenOutcome::Rejected:
            if (const auto& identity = assoc.request.userInformation.userIdentityRQ;
                identity && assoc.rejection.source == 1)
                return RejectExplanation(assoc.rejection, assoc.request.callingAeTitle,
                                         assoc.request.calledAeTitle) +
                       "; the peer may have refused our user identity (" +
                       std::string(UserIdentityTypeName(identity->type)) +
                       "): check the user and its password or token";
            return RejectExplanation(assoc.rejection, assoc.request.callingAeTitle,
                                     assoc.request.calledAeTitle);
        case OpenOutcome::Aborted:
            return AbortExplanation(report.abort);
        case OpenOutcome::Closed:
            if (!transportFailure.empty()) return transportFailure;
            if (report.ranOut == Wait::Acse)
                return "the peer sent no answer to the association request within " +
                       WaitLength(assoc.settings.AnswerWait()) +
                       ": it may be busy or stuck, or not speak DICOM on this port; its log "
                       "says which";
            return "the peer closed the connection without answering the association request: it "
                   "may refuse this machine's address or the calling title " +
                   trimmed(assoc.request.callingAeTitle) + ", or not speak DICOM on this port";
        case OpenOutcome::MalformedAnswer:
            if (assoc.stream.PeerSpokeTls())
                return "the peer answered with a TLS record: it speaks TLS on this port: add --tls "
                       "(and --tls-ca with its CA)";
            return "the peer's answer is not a sound association answer: it may not speak DICOM "
                   "on this port";
        case OpenOutcome::IdentityNotConfirmed:
            return "the peer accepted the association without the positive response to our user "
                   "identity that we asked for (--user-response), so it did not confirm that it "
                   "checked the identity: leave out --user-response if the peer need not check "
                   "it, or have the peer's administrator enable user identity checks";
        case OpenOutcome::NothingAccepted:
            break;
    }
    // Every proposal refused: the first refusal speaks for the rest.
    return "the peer refused every presentation context: " +
           ContextRefusalText(assoc,
                              assoc.answer.contexts.empty()
                                  ? std::string_view()
                                  : std::string_view(assoc.answer.contexts.front().abstractSyntax));
}

std::string ContextRefusalText(const Association& assoc, std::string_view abstractSyntax) {
    uint8_t result = RESULT_NO_REASON;
    for (const auto& pc : assoc.answer.contexts) {
        if (pc.abstractSyntax != abstractSyntax || pc.result == RESULT_ACCEPTANCE) continue;
        result = pc.result;
        break;
    }
    // In any of the contexts proposed for the class: one context per syntax is common.
    bool implicitOffered = false;
    for (const auto& proposal : assoc.request.contexts) {
        if (proposal.abstractSyntax != abstractSyntax) continue;
        for (const auto& syntax : proposal.transferSyntaxes)
            implicitOffered = implicitOffered || syntax == uid::ImplicitVRLittleEndian;
    }
    return ContextResultMeaning(result) +
           (abstractSyntax.empty() ? "" : " (" + std::string(abstractSyntax) + ")") + ": " +
           std::string(ContextResultAdvice(result, implicitOffered));
}

const std::string& LastFailure() {
    return tLastFailure;
}

void NoteFailure(std::string text) {
    tLastFailure = std::move(text);
    tLastTimeout = TimeoutRecord();
}

void NoteTimeout(TimeoutRecord timeout, std::string text) {
    tLastFailure = std::move(text);
    tLastTimeout = std::move(timeout);
}

const TimeoutRecord& LastTimeout() {
    return tLastTimeout;
}

bool CloseAssoc(Association& assoc) {
    assoc.dataTransfer.Clear();
    const bool peerReleased = std::exchange(assoc.peerReleased, false);
    if (assoc.stream.Connected() && assoc.stream.Write(EncodeReleaseRQ())) {
        // The reply is taken whatever it is; a time-out or a closed connection ends the wait.
        // After the peer's own release nothing more comes: only its close is awaited.
        const std::chrono::milliseconds wait =
            peerReleased ? std::min<std::chrono::milliseconds>(PEER_CLOSE_TIMEOUT,
                                                               assoc.settings.releaseTimeout)
                         : assoc.settings.releaseTimeout;
        bool timedOut = false;
        {
            ReceiveDeadline limit(assoc, wait);
            timedOut = !assoc.stream.ReadExact(10) && assoc.stream.Socket().TimedOut();
        }
        if (timedOut && !peerReleased) {
            LogAssociationEvent("No A-RELEASE-RP within " + WaitLength(wait) +
                                ": the connection was closed");
            // An earlier failure says more; a release that went unanswered is told only alone.
            if (tLastTimeout.wait == Wait::None)
                tLastTimeout = {Wait::Release, wait, "no A-RELEASE-RP"};
        }
    }
    assoc.stream.Close();
    return true;
}

bool AcceptAssoc(Association& assoc, int socketHandle, const Negotiation& negotiate) {
    assoc.stream.Adopt(socketHandle);
    assoc.dataTransfer.Clear();
    assoc.request = AssociateRQ();
    assoc.answer = AssociateAC();
    assoc.acceptedContexts.clear();
    assoc.peerReleased = false;

    auto pdu = [&] {
        // A connection that sends nothing gives way to the next one.
        ReceiveDeadline limit(assoc, assoc.settings.RequestWait());
        return ReadPduOrEnd(assoc);
    }();
    if (!pdu) {
        if (assoc.stream.PeerSpokeTls())
            LogAssociationEvent(
                "The requestor speaks TLS on this plain port: it must connect "
                "without TLS, or to a TLS provider");
        else if (assoc.stream.Socket().TimedOut())
            LogAssociationEvent("No A-ASSOCIATE-RQ within " +
                                WaitLength(assoc.settings.RequestWait()) +
                                ": the connection was closed");
        return false;
    }
    // Anything but an A-ASSOCIATE-RQ here is a peer that does not speak this protocol.
    auto rq = pdu->type == PDU_ASSOCIATE_RQ
                  ? DecodeAssociateRQ(pdu->bytes)
                  : Result<AssociateRQ>(Error{ErrorCode::Malformed, "not an A-ASSOCIATE-RQ"});
    if (!rq) {
        AbortAssoc(assoc);
        return false;
    }
    assoc.request = std::move(*rq);
    LogAssociationEvent("Called Ap. Title: " + WireTitle(assoc.request.calledAeTitle));
    LogAssociationEvent("Calling Ap. Title: " + WireTitle(assoc.request.callingAeTitle));
    if (const auto& identity = assoc.request.userInformation.userIdentityRQ)
        LogAssociationEvent("User identity: " + IdentityLogText(*identity));

    AssociateAnswer decided = negotiate(assoc.request);
    if (auto* rj = std::get_if<AssociateRJ>(&decided)) {
        assoc.rejection = *rj;
        assoc.stream.Write(EncodeAssociateRJ(*rj));
        Fail(assoc);
        return false;
    }
    assoc.answer = std::move(std::get<AssociateAC>(decided));
    for (const auto& pc : assoc.answer.contexts) {
        AdvanceMessageCounter();
        if (pc.result != RESULT_ACCEPTANCE) continue;
        LogAssociationEvent("Offered Presentation Context, Abstract Syntax: " + pc.abstractSyntax);
        LogAssociationEvent("Offered Presentation Context, Transfer Syntax: " + pc.transferSyntax);
        assoc.acceptedContexts.push_back(pc);
    }
    if (!assoc.acceptedContexts.empty())
        assoc.answer.userInformation.maximumLength = assoc.settings.maxPduLength;
    if (!assoc.stream.Write(EncodeAssociateAC(assoc.answer))) {
        Fail(assoc);
        return false;
    }
    if (assoc.acceptedContexts.empty()) {
        AwaitReleaseOfNothing(assoc);
        return false;
    }
    // From now on each wait for the requestor is the silence between its requests.
    assoc.messageWait = Wait::Idle;
    assoc.stream.Socket().SetReceiveTimeout(assoc.settings.idleTimeout);
    return true;
}

void AbortAssoc(Association& assoc) {
    if (assoc.stream.Connected()) {
        assoc.abortSent = true;
        assoc.stream.Write(EncodeAbortRQ());
    }
    assoc.stream.Close();
}

Result<PduView> ReadPduOrEnd(Association& assoc) {
    auto pdu = assoc.stream.ReadPdu();
    if (!pdu) {
        if (pdu.Code() == ErrorCode::Malformed) {
            AbortAssoc(assoc);
        } else {
            assoc.stream.Close();
        }
    }
    return pdu;
}

void DeleteAssociation(Association* assoc) {
    if (assoc == nullptr) return;
    if (assoc->stream.Connected()) CloseAssoc(*assoc);
    delete assoc;
}

}  // namespace dicomlib::net
