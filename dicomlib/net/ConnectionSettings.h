// What one association needs to know about its connection: the peer, the titles, how long each
// wait may last and the maximum PDU length we announce. The Association carries it; the
// requestor's Open and the acceptor's negotiation read it. The defaults are the system's own
// fixed values, so an association opened with default settings behaves as it always has.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "net/UserIdentity.h"

namespace dicomlib::net {

// Each wait that can run out.
enum class Wait : int32_t {
    None = 0,
    Connect = 1,  // the TCP connection
    Acse = 2,     // the association request (acceptor) or its answer (requestor)
    Dimse = 3,    // each response, each message part of the peer
    Idle = 4,     // the provider: silence between the peer's requests
    Release = 5,  // the reply to our A-RELEASE-RQ
};

// The maximum PDU length we announce: the peer must send no P-DATA-TF longer.
constexpr uint32_t DEFAULT_MAX_PDU_LENGTH = 16384;
constexpr uint32_t SMALLEST_MAX_PDU_LENGTH = 4096;
constexpr uint32_t LARGEST_MAX_PDU_LENGTH = 131072;

constexpr std::chrono::milliseconds DEFAULT_DIMSE_TIMEOUT{300'000};
constexpr std::chrono::milliseconds DEFAULT_IDLE_TIMEOUT{300'000};
// How long a new connection has to send its A-ASSOCIATE-RQ, and a requestor whose proposals
// were all refused its A-RELEASE-RQ.
constexpr std::chrono::milliseconds DEFAULT_REQUEST_TIMEOUT{30'000};
constexpr std::chrono::milliseconds DEFAULT_RELEASE_TIMEOUT{30'000};

class TlsContext;

// How the connection is carried: with a TLS context (built once by TlsContext::Create and
// shared by every connection that uses it) the connection is secured; without, plain TCP.
struct TransportSettings {
    std::shared_ptr<const TlsContext> tls;
};

// The provider's users that may associate, name to password.
using AcceptedUsers = std::map<std::string, std::string, std::less<>>;

struct ConnectionSettings {
    std::string host, port;
    std::string callingAeTitle;  // empty: DEFAULT_CALLING_AE_TITLE
    std::string calledAeTitle;

    // None: the platform's own (minutes for an address that never answers).
    std::optional<std::chrono::milliseconds> connectTimeout;
    // None: the acceptor waits DEFAULT_REQUEST_TIMEOUT for the request, the requestor as long
    // for the answer as for a response.
    std::optional<std::chrono::milliseconds> acseTimeout;
    std::chrono::milliseconds dimseTimeout = DEFAULT_DIMSE_TIMEOUT;
    std::chrono::milliseconds idleTimeout = DEFAULT_IDLE_TIMEOUT;
    std::chrono::milliseconds releaseTimeout = DEFAULT_RELEASE_TIMEOUT;

    uint32_t maxPduLength = DEFAULT_MAX_PDU_LENGTH;

    TransportSettings transport;
    // Requestor: who we say we are beyond the calling title; none: no identity is offered.
    std::optional<UserIdentityRQ> userIdentity;
    // Acceptor: with a list, an association is taken only from one of its users (user name and
    // password); without, any identity or none is taken.
    std::shared_ptr<const AcceptedUsers> acceptedUsers;

    // The wait for the association answer (requestor) and for the request (acceptor).
    std::chrono::milliseconds AnswerWait() const { return acseTimeout.value_or(dimseTimeout); }
    std::chrono::milliseconds RequestWait() const {
        return acseTimeout.value_or(DEFAULT_REQUEST_TIMEOUT);
    }
};

// Default settings for a peer, as the exported operations that take host and port use them.
ConnectionSettings SettingsFor(std::string host, std::string port, std::string callingAeTitle,
                               std::string calledAeTitle);

// Data bytes per PDV we send: as many as the peer's maximum PDU length (0: no limit) leaves
// beside the PDV's 6 bytes of headers, the PDU no longer than MAX_SENT_PDU_LENGTH.
std::size_t FragmentSizeFor(uint32_t peerMaximumLength);

// The last wait that ran out on this thread, for the words of the failure it caused.
struct TimeoutRecord {
    Wait wait = Wait::None;
    std::chrono::milliseconds length{0};
    std::string awaited;  // "no C-FIND-RSP", "no answer to the association request", ...
};

// A length as the operator gave it: "30 s", "1.5 s".
std::string WaitLength(std::chrono::milliseconds length);

}  // namespace dicomlib::net
