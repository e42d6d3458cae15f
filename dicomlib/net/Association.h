// One DICOM association on either side: the requestor proposes its presentation contexts and
// reads the answer; the acceptor answers as the negotiation it is given decides (the provider's
// profile), and only does the reading and writing around it. A requestor with nothing
// acceptable gets an AC whose contexts all carry a refusal, and its release is answered before
// the connection closes. Message transfer
// on an open association belongs to the DIMSE layer, which keeps its state in
// Association::dataTransfer and reads and writes whole PDUs through Association::stream.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "net/ConnectionSettings.h"
#include "net/DataTransfer.h"
#include "net/Dispatcher.h"
#include "net/Pdu.h"
#include "net/PduStream.h"

namespace dicomlib::net {

// How a requestor's attempt to open an association ended.
enum class OpenOutcome {
    NotOpened,        // no attempt yet, or nothing to propose
    Accepted,         // at least one context accepted
    UnknownHost,      // the host name cannot be resolved
    UnknownPort,      // neither a port number nor a service name
    ConnectFailed,    // the TCP connection failed (socketError says why)
    SendFailed,       // the connection failed while the request went out
    Rejected,         // an A-ASSOCIATE-RJ (Association::rejection)
    Aborted,          // an A-ABORT instead of an answer (OpenReport::abort)
    Closed,           // the connection closed or timed out before an answer
    MalformedAnswer,  // an answer that contradicts its own lengths, or another PDU
    NothingAccepted,  // an A-ASSOCIATE-AC that accepts none of the proposals
    TlsFailed,        // connected, but the TLS handshake failed (the transport says why)
    // Accepted without the user identity's positive response we asked for; released at once.
    IdentityNotConfirmed,
};

struct OpenReport {
    OpenOutcome outcome = OpenOutcome::NotOpened;
    std::string host, port;
    int socketError = 0;
    AbortRQ abort;
    // The wait that ran out before the answer: Connect or Acse; None when none did.
    Wait ranOut = Wait::None;
    std::chrono::microseconds lookupTime{0};       // host name and port
    std::chrono::microseconds connectTime{0};      // the TCP connection
    std::chrono::microseconds negotiationTime{0};  // request sent to answer read
};

}  // namespace dicomlib::net

// Created by NewPDU, freed by DeletePDU; one thread at a time. Defined at global scope so that
// the C handle in zedavura.h needs no casts.
struct Association {
    Association();

    // The peer, titles, waits and maximum PDU length this association was opened with
    // (requestor) or negotiated under (acceptor).
    dicomlib::net::ConnectionSettings settings;
    // What a wait for the peer's next message is: a response's (requestor) or the silence
    // between requests (provider), for the words when it runs out.
    dicomlib::net::Wait messageWait = dicomlib::net::Wait::Dimse;

    // Set by the service functions at trace level 2 or more: the DIMSE layer then dumps every
    // element it sends and receives.
    bool messageDump = false;
    // The answers with result 0: in the AC's order (requestor) or the proposals' (acceptor).
    // Each carries the abstract syntax of the proposal it answers.
    std::vector<dicomlib::net::PresentationContextAC> acceptedContexts;
    // The connection; both the association PDUs and the P-DATA-TF PDUs go through it.
    dicomlib::net::PduStream stream;
    // The proposal sent (requestor) or received (acceptor).
    dicomlib::net::AssociateRQ request;
    // The answer received (requestor) or sent (acceptor).
    dicomlib::net::AssociateAC answer;
    // Filled when a requestor is rejected.
    dicomlib::net::AssociateRJ rejection;
    // How the last open of a requestor went.
    dicomlib::net::OpenReport opened;
    // The DIMSE layer's receive and send state.
    dicomlib::net::DataTransferState dataTransfer;
    // Set once the peer's A-RELEASE-RQ has been answered: the association is over, and
    // CloseAssoc waits only briefly for the peer to close the connection.
    bool peerReleased = false;
    // Set when the peer's A-ABORT arrived, and when we sent one.
    bool peerAborted = false;
    bool abortSent = false;
    // Called with every command set just before it goes out, and may change it (null: none).
    // The provider's watch learns the status of each response here.
    std::function<void(ElementList&)> beforeCommandSent;
    // Pending responses read since the last query request was sent: the query services stop a
    // peer that never sends its final response.
    uint32_t pendingResponses = 0;
    // The Message ID and SOP class of the last query request sent: a C-CANCEL-RQ names the
    // one and goes on the context of the other.
    uint16_t queryMessageId = 0;
    std::string querySopClass;
    // The Message ID of the last request sent: the response awaited answers it.
    std::optional<uint16_t> lastRequestMessageId;
    // What serves requests the peer sends on this association while a response is awaited
    // (C-STORE sub-operations of a C-GET, the N-EVENT-REPORT of a storage commitment). Without
    // a handler a request is answered as not served.
    dicomlib::net::DimseHandlers handlers;
};

namespace dicomlib::net {

// What a requestor proposes: the presentation contexts, IDs 1, 3, 5, ... given in order (at
// most MAX_PROPOSALS), and the user information's negotiation items, sent as given after our
// maximum length and implementation names.
struct Proposals {
    std::vector<PresentationContextRQ> contexts;
    std::vector<RoleSelection> roleSelections = {};
    std::vector<ExtendedNegotiation> extendedNegotiations = {};
};

// CloseAssoc when still connected, then frees the record.
void DeleteAssociation(Association* assoc);

// Owns an association from NewPDU on: released (when still connected) and freed on every way out.
struct AssociationDeleter {
    void operator()(Association* assoc) const { DeleteAssociation(assoc); }
};
using AssociationPtr = std::unique_ptr<Association, AssociationDeleter>;

// Sixteen characters: a title the caller pads with spaces goes out with its spaces.
inline constexpr char DEFAULT_CALLING_AE_TITLE[] = "ORLANE          ";
inline constexpr char APPLICATION_CONTEXT_NAME[] = "1.2.840.10008.3.1.1.1";
inline constexpr char IMPLEMENTATION_VERSION_NAME[] = "OstrovaPrism";

// The process-wide counter that presentation context IDs and Message IDs are drawn from.
void ResetMessageCounter();
// The next odd value: when the counter is even it is first incremented; the value is taken,
// then the counter is incremented. One atomic step, whichever threads draw.
uint32_t NextOddCounterValue();
// Puts the counter back where it was, so that Message IDs go on across associations.
void SetMessageCounter(uint32_t value);
// One step forward, as the acceptor makes for every answer.
void AdvanceMessageCounter();
uint32_t MessageCounterValue();

// The transfer syntaxes OpenAssoc proposes: the given one, then implicit VR little endian unless
// the given one is that; with none, implicit VR little endian alone.
std::vector<std::string> ProposedTransferSyntaxes(std::optional<std::string_view> transferSyntax);
// The transfer syntaxes OpenStorageAssoc proposes; nothing without a file syntax. A preferred
// syntax counts as given whenever present, an empty text included.
std::optional<std::vector<std::string>> StorageProposedTransferSyntaxes(
    std::optional<std::string_view> fileSyntax, std::optional<std::string_view> preferredSyntax);

// This system's user information: maximum length, implementation class UID and version name.
UserInformation OurUserInformation(uint32_t maximumLength = DEFAULT_MAX_PDU_LENGTH);

// What an acceptor answers an A-ASSOCIATE-RQ with: an A-ASSOCIATE-AC whose contexts answer
// every proposal in order (each carrying the proposal's abstract syntax), or an A-ASSOCIATE-RJ.
using AssociateAnswer = std::variant<AssociateAC, AssociateRJ>;
// The acceptor's decision: a pure function of the request (the provider's profile makes one).
using Negotiation = std::function<AssociateAnswer(const AssociateRQ&)>;

// Proposes one presentation context and opens the association. An empty calling title becomes
// DEFAULT_CALLING_AE_TITLE, also in the caller's string. True when connected and at least one
// context was accepted; otherwise the connection is closed.
bool OpenAssoc(Association& assoc, std::string_view host, std::string_view port,
               std::string& callingAeTitle, std::string_view calledAeTitle,
               std::string_view abstractSyntax, std::optional<std::string_view> transferSyntax);
// The same for sending a file: the file's syntax first, then the preferred one.
bool OpenStorageAssoc(Association& assoc, std::string_view host, std::string_view port,
                      std::string& callingAeTitle, std::string_view calledAeTitle,
                      std::string_view abstractSyntax, std::optional<std::string_view> fileSyntax,
                      std::optional<std::string_view> preferredSyntax);
// Proposes the given presentation contexts (at most MAX_PROPOSALS; IDs 1, 3, 5, ... in order)
// and opens the association. The peer's answer to each proposal is in assoc.answer.contexts,
// how the attempt ended in assoc.opened. True when at least one context was accepted.
constexpr std::size_t MAX_PROPOSALS = 128;
bool OpenAssocContexts(Association& assoc, std::string_view host, std::string_view port,
                       std::string& callingAeTitle, std::string_view calledAeTitle,
                       const std::vector<PresentationContextRQ>& proposals);

// The one way a requestor makes an association: created for the settings, the contexts
// proposed, opened. Never null; ->opened tells how it went (Accepted when at least one context
// was), and otherwise the connection is closed and the failure noted as LastFailure.
AssociationPtr Open(const ConnectionSettings& settings, const Proposals& proposals);
// Open on an association made by NewPDU; true when at least one context was accepted.
bool OpenWith(Association& assoc, const ConnectionSettings& settings, const Proposals& proposals);
// A new association record, for Open and for the exported NewPDU.
Association* NewAssociation();

// One proposal of abstractSyntax in the syntaxes ProposedTransferSyntaxes gives.
Proposals ProposalFor(std::string_view abstractSyntax,
                      std::optional<std::string_view> transferSyntax = std::nullopt);

// The maximum PDU length the peer announced: in its answer (requestor) or request (acceptor);
// 0 for no limit.
uint32_t PeerMaximumLength(const Association& assoc);

// Why the last open of this association failed, in words with what to do; empty when it was
// accepted.
std::string ExplainOpenFailure(const Association& assoc);

// Why the peer refused the contexts proposed for an abstract syntax: the first refusal's
// meaning, the abstract syntax, and what to do ("transfer syntaxes not supported (1.2...): ...").
std::string ContextRefusalText(const Association& assoc, std::string_view abstractSyntax);

// The explanation of the last failure of a requestor on this thread (an association that could
// not be opened, an abort or a lost connection while waiting for an answer, a failing status),
// with what the operator can do; empty when nothing failed since the last open began.
const std::string& LastFailure();
// Also forgets the last time-out: this failure is another.
void NoteFailure(std::string text);
// The failure is a wait that ran out: its explanation, and which wait it was.
void NoteTimeout(TimeoutRecord timeout, std::string text);
// The wait that ran out in the thread's last failure; a release that went unanswered is told
// when no failure came after it. Wait::None when neither.
const TimeoutRecord& LastTimeout();

// Once the peer's own release has been answered, how long CloseAssoc waits for the peer to
// close the connection.
constexpr std::chrono::seconds PEER_CLOSE_TIMEOUT{3};

// Sends an A-RELEASE-RQ when connected, takes the 10 bytes of the reply unread, closes. True.
// The wait ends after the settings' release time-out, or PEER_CLOSE_TIMEOUT once the peer's
// release was answered (or after the socket's own receive time-out when that is shorter).
bool CloseAssoc(Association& assoc);
// Negotiates on an accepted connection handle, which the association then owns: reads the
// A-ASSOCIATE-RQ, sends what negotiate answers, and keeps the accepted contexts. True when at
// least one context was accepted. Otherwise the AC has been sent, the requestor's A-RELEASE-RQ
// (awaited as long as the request) answered with an A-RELEASE-RP, and the connection closed; an
// A-ASSOCIATE-RJ is sent and the connection closed. A connection that sends no A-ASSOCIATE-RQ
// within assoc.settings' request wait is closed; once open, one silent for its idle time-out
// is. The AC announces the settings' maximum PDU length.
bool AcceptAssoc(Association& assoc, int socketHandle, const Negotiation& negotiate);
// Sends an A-ABORT and closes the connection.
void AbortAssoc(Association& assoc);

// Reads the next PDU; when none could be read, a malformed one is answered with an A-ABORT,
// anything else (time-out, peer gone) just closes the connection.
Result<PduView> ReadPduOrEnd(Association& assoc);

}  // namespace dicomlib::net
