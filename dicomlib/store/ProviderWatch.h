// What the provider tells an observer about each association and message it serves, and the
// faults it can be told to commit on purpose, so that a device under test meets a peer that
// misbehaves as real ones do. The faults are plain data on the profile; which request gets
// which fault is decided by the pure functions below, and the watch of one association applies
// them at three points: the answer to the association request, each request, and after each
// response.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "data/ElementList.h"
#include "net/Association.h"
#include "net/Dispatcher.h"
#include "net/Pdu.h"

namespace dicomlib::store {

struct ProviderProfile;

// Every request with this Command Field (every one, or every Nth of the association) is
// answered with this status.
struct StatusFault {
    uint16_t commandField = 0;
    uint16_t status = 0;
    uint32_t every = 1;
};

struct FaultSettings {
    std::vector<std::string> refused;        // abstract syntaxes answered with result 3
    std::optional<net::AssociateRJ> reject;  // every association request gets this
    std::vector<StatusFault> statuses;
    uint32_t delayMs = 0;  // before each response
    // Once this many requests are answered, the next gets an A-ABORT, or the connection closed
    // without a word, instead of its response; 0: never.
    uint32_t abortAfter = 0;
    uint32_t closeAfter = 0;

    bool Any() const;
};

// The status the nth request (from 1) of commandField on an association gets; none when no
// fault names it.
std::optional<uint16_t> InjectedStatus(const FaultSettings& faults, uint16_t commandField,
                                       uint32_t nth);
// A failure in any service: neither success, warning, pending nor cancel. A C-STORE answered
// with one stores nothing.
bool IsFailureStatus(uint16_t status);

enum class AfterResponse { GoOn, Abort, Close };
// What the next request gets once the association has answered this many.
AfterResponse AfterAnswering(const FaultSettings& faults, uint32_t answered);

// The response to a request answered with an injected status, as its own handler would shape
// it without a data set: the SOP class, the Message ID Being Responded To (and Message ID for a
// C-STORE), no data set, the status. None for C-CANCEL-RQ and anything that is no request.
std::optional<ElementList> InjectedResponse(const ElementList& request, uint16_t status);

enum class ProviderEventKind : int32_t { Association = 1, Message = 2, Ended = 3 };

// One event; texts are empty when they do not apply.
struct ProviderEvent {
    ProviderEventKind kind = ProviderEventKind::Association;
    uint32_t association = 0;  // numbered from 1 in the process, in the order they arrive
    std::chrono::system_clock::time_point time;
    std::string peer;  // "127.0.0.1:41234"
    // Association: the titles, the accepted contexts ("CT Image Storage in Explicit VR Little
    // Endian, Verification in Implicit VR Little Endian"), the TLS protocol and cipher, who the
    // requestor says it is (a user name, or only the kind of its credential), and the
    // rejection sent, if any.
    std::string callingAeTitle;
    std::string calledAeTitle;
    std::string contexts;
    std::string tls;
    std::string identity;
    std::string rejection;
    // Message: the request, its SOP class and transfer syntax by name, the bytes received for
    // it, the status answered (-1: none went out) in words, and how long answering took.
    std::string command;
    std::string sopClass;
    std::string transferSyntax;
    uint64_t bytes = 0;  // Ended: every byte received on the connection
    int32_t status = -1;
    std::string statusWords;
    uint32_t milliseconds = 0;
    // Ended: the requests answered, and how it ended ("released", "aborted by the peer",
    // "connection lost", "idle time-out", ...).
    uint32_t messages = 0;
    std::string ending;
    // Every fault injected in this event, in words; empty when none.
    std::string fault;
};

// Called from the threads that serve the associations; the listener calls it under a lock of
// its own, so calls never overlap.
using ProviderObserver = std::function<void(const ProviderEvent&)>;

// Told by a handler while a watch serves its request, on the serving thread: a fault the
// handler committed, or the reason for the status it answered, both added to the request's
// line. Nothing happens when no watch is serving.
void NoteFault(std::string_view words);
void NoteReason(std::string_view words);

// The name of a SOP class the provider meets; the UID itself when it knows none.
std::string SopClassTitle(std::string_view uid);

// The watch of one association: it numbers it, tells the observer, and commits the profile's
// faults. Both must outlive it.
class AssociationWatch {
  public:
    AssociationWatch(const ProviderProfile& profile, Association& assoc);
    AssociationWatch(const AssociationWatch&) = delete;
    AssociationWatch& operator=(const AssociationWatch&) = delete;

    // The negotiation with the injected rejection and refusals, telling the observer its answer.
    net::Negotiation Watching(net::Negotiation negotiate);
    // The profile's handlers, each request faulted as told and told to the observer; requests
    // no handler serves are answered as not served, as the dispatcher would.
    net::DimseHandlers Handlers();
    // The association is over (cancelled: the listener was stopped).
    void Ended(bool cancelled);

  private:
    net::HandlerResult Serve(Association& assoc, net::DimseMessage& message,
                             const net::DimseHandler* handler);
    void Tell(ProviderEvent event) const;

    const ProviderProfile& profile_;
    Association& assoc_;
    uint32_t number_ = 0;
    std::string peer_;
    bool told_ = false;
    bool rejected_ = false;
    bool accepted_ = false;
    uint32_t answered_ = 0;
    std::vector<std::pair<uint16_t, uint32_t>> perCommand_;
    uint64_t mark_ = 0;  // bytes received when the last request was answered
    std::optional<uint16_t> override_;
    int32_t lastStatus_ = -1;
    std::string attributes_;  // the Attribute Identifier List of the last response
    std::string ending_;      // set by an injected abort or close
    std::string endingFault_;
    std::string servedNames_;
};

}  // namespace dicomlib::store
