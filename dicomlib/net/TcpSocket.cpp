// POSIX sockets behind TcpSocket. Lookups use the re-entrant calls (getaddrinfo,
// getservbyname_r), since several threads open connections at once. Writes never raise
// SIGPIPE: a peer that went away is a failed send, not the end of the process.
#include "net/TcpSocket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <string>
#include <system_error>

#include "net/SocketReadable.h"
#include "net/TraceLog.h"

namespace dicomlib::net {
namespace {

std::atomic<uint16_t> gSocketUserCount{0};

// The number made by the leading decimal digits, modulo 2^32 (0 when there are none).
uint32_t LeadingNumber(std::string_view text) {
    uint32_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') break;
        value = value * 10u + static_cast<uint32_t>(c - '0');
    }
    return value;
}

std::optional<uint32_t> LookUpHostName(const std::string& name) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(name.c_str(), nullptr, &hints, &found) != 0 || found == nullptr)
        return std::nullopt;
    std::optional<uint32_t> address;
    for (addrinfo* a = found; a != nullptr; a = a->ai_next) {
        if (a->ai_family == AF_INET && a->ai_addr != nullptr) {
            address = reinterpret_cast<const sockaddr_in*>(a->ai_addr)->sin_addr.s_addr;
            break;
        }
    }
    ::freeaddrinfo(found);
    return address;
}

// Reset on close instead of a graceful shutdown, as this system has always closed.
void SetLingerZero(int handle) {
    linger option{};
    option.l_onoff = 1;
    option.l_linger = 0;
    ::setsockopt(handle, SOL_SOCKET, SO_LINGER, &option, sizeof option);
}

// Without it every response waits for the peer's delayed acknowledgement.
void SetNoDelay(int handle) {
    int on = 1;
    ::setsockopt(handle, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

// connect() that gives up after timeout: the handle is non-blocking while it waits and blocking
// again after. 0 or the error (ETIMEDOUT when the time ran out).
int ConnectWithin(int handle, const sockaddr_in& peer, std::chrono::milliseconds timeout) {
    const int flags = ::fcntl(handle, F_GETFL);
    if (flags < 0 || ::fcntl(handle, F_SETFL, flags | O_NONBLOCK) < 0) return errno;
    int error = 0;
    if (::connect(handle, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) != 0)
        error = errno;
    if (error == EINPROGRESS) {
        using Clock = std::chrono::steady_clock;
        const auto deadline = Clock::now() + timeout;
        for (;;) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            pollfd watch{handle, POLLOUT, 0};
            const int ready =
                ::poll(&watch, 1, left.count() > 0 ? static_cast<int>(left.count()) : 0);
            if (ready < 0 && errno == EINTR) continue;
            if (ready < 0) {
                error = errno;
            } else if (ready == 0) {
                error = ETIMEDOUT;
            } else {
                socklen_t size = sizeof error;
                if (::getsockopt(handle, SOL_SOCKET, SO_ERROR, &error, &size) != 0) error = errno;
            }
            break;
        }
    }
    if (error == 0 && ::fcntl(handle, F_SETFL, flags) < 0) error = errno;
    return error;
}

// Waits until handle is readable, the cancel handle is readable (raised) or the time-out
// (negative: none) runs out: 1 readable, 0 timed out, -1 raised or failed. When both are
// readable at once, preferData decides.
int WaitReadable(int handle, int timeoutMs, int cancelHandle, bool preferData) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    for (;;) {
        int wait = -1;
        if (timeoutMs >= 0) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            wait = left.count() > 0 ? static_cast<int>(left.count()) : 0;
        }
        pollfd watch[2] = {{handle, POLLIN, 0}, {cancelHandle, POLLIN, 0}};
        const int ready = ::poll(watch, cancelHandle >= 0 ? 2 : 1, wait);
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) return -1;
        if (ready == 0) return 0;
        const bool raised = cancelHandle >= 0 && watch[1].revents != 0;
        if (raised && !(preferData && watch[0].revents != 0)) return -1;
        return 1;
    }
}

}  // namespace

CancelSignal::CancelSignal() {
    int handles[2] = {-1, -1};
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, handles) != 0)
        throw std::system_error(errno, std::generic_category(), "cancel signal");
    readHandle_ = handles[0];
    writeHandle_ = handles[1];
}

CancelSignal::~CancelSignal() {
    ::close(readHandle_);
    ::close(writeHandle_);
}

void CancelSignal::Raise() {
    if (Raised()) return;
    const uint8_t byte = 1;
    ssize_t n;
    do {
        n = ::send(writeHandle_, &byte, 1, MSG_NOSIGNAL | MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
}

bool CancelSignal::Raised() const {
    pollfd watch{readHandle_, POLLIN, 0};
    return ::poll(&watch, 1, 0) == 1;
}

uint16_t SocketUserCount() {
    return gSocketUserCount.load();
}

std::optional<uint32_t> ResolveHost(std::string_view host) {
    const std::string text(host);
    if (LeadingNumber(host) != 0) {
        in_addr address{};
        if (::inet_aton(text.c_str(), &address) != 0) return address.s_addr;
    }
    return LookUpHostName(text);
}

std::optional<uint16_t> ResolvePort(std::string_view port) {
    const auto number = static_cast<uint16_t>(LeadingNumber(port) & 0xFFFFu);
    if (number != 0) return number;
    const std::string name(port);
    servent entry{};
    servent* found = nullptr;
    char buffer[1024];
    if (::getservbyname_r(name.c_str(), nullptr, &entry, buffer, sizeof buffer, &found) != 0 ||
        found == nullptr)
        return std::nullopt;
    return ntohs(static_cast<uint16_t>(found->s_port));
}

TcpSocket::TcpSocket() {
    gSocketUserCount.fetch_add(1);
}

TcpSocket::~TcpSocket() {
    if (connection_ >= 0) ::shutdown(connection_, SHUT_RDWR);
    if (listener_ >= 0) ::shutdown(listener_, SHUT_RDWR);
    CloseConnection();
    CloseListener();
    gSocketUserCount.fetch_sub(1);
}

void TcpSocket::CloseConnection() {
    if (connection_ >= 0) ::close(connection_);
    connection_ = -1;
    connected_ = false;
}

void TcpSocket::CloseListener() {
    if (listener_ >= 0) ::close(listener_);
    listener_ = -1;
    listening_ = false;
}

bool TcpSocket::Open(std::string_view host, std::string_view port) {
    CloseConnection();
    const auto address = ResolveHost(host);
    if (!address) return false;
    const auto portNumber = ResolvePort(port);
    if (!portNumber) return false;
    return OpenAddress(*address, *portNumber);
}

bool TcpSocket::OpenAddress(uint32_t address, uint16_t port) {
    CloseConnection();
    const int handle = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (handle < 0) {
        lastError_ = errno;
        return false;
    }
    SetLingerZero(handle);
    SetNoDelay(handle);

    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(port);
    peer.sin_addr.s_addr = address;
    if (connectTimeout_) {
        lastError_ = ConnectWithin(handle, peer, *connectTimeout_);
    } else {
        const int rc = ::connect(handle, reinterpret_cast<const sockaddr*>(&peer), sizeof peer);
        lastError_ = rc == 0 ? 0 : errno;
    }
    if (lastError_ != 0) {
        ::close(handle);
        return false;
    }
    connection_ = handle;
    connected_ = true;
    return true;
}

bool TcpSocket::Listen(std::string_view port) {
    const auto portNumber = ResolvePort(port);
    if (!portNumber) {
        CloseConnection();
        CloseListener();
        return false;
    }
    return ListenOn(*portNumber);
}

bool TcpSocket::ListenOn(uint16_t port) {
    CloseConnection();
    CloseListener();
    const int handle = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (handle < 0) {
        lastError_ = errno;
        return false;
    }
    SetLingerZero(handle);
    int on = 1;
    ::setsockopt(handle, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);

    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    if (::bind(handle, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0 ||
        ::listen(handle, 10) != 0) {
        lastError_ = errno;
        ::close(handle);
        return false;
    }
    listener_ = handle;
    listening_ = true;
    return true;
}

bool TcpSocket::Accept() {
    if (!listening_ || listener_ < 0) return false;
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    if (cancel_ != nullptr && WaitReadable(listener_, -1, cancel_->readHandle_, false) != 1) {
        CloseConnection();
        CloseListener();
        return false;
    }
    int handle;
    do {
        handle = ::accept4(listener_, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC);
    } while (handle < 0 && errno == EINTR);
    if (handle < 0) {
        lastError_ = errno;
        CloseConnection();
        CloseListener();
        return false;
    }
    CloseConnection();
    SetNoDelay(handle);
    connection_ = handle;
    connected_ = true;
    return true;
}

bool TcpSocket::Send(const uint8_t* bytes, std::size_t count) {
    if (!connected_) return false;
    std::size_t sent = 0;
    while (sent < count) {
        const ssize_t n = ::send(connection_, bytes + sent, count - sent, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            lastError_ = errno;
            return false;
        }
        sent += static_cast<std::size_t>(n);
    }
    if (count > 0 && dumpTraffic_ && LogLevel() >= LOG_SOCKET)
        DumpSocketTraffic(bytes, count, true);
    return true;
}

std::ptrdiff_t TcpSocket::Receive(uint8_t* buffer, std::size_t capacity) {
    timedOut_ = false;
    if (!connected_) return -1;
    auto wait = receiveTimeout_.count();
    if (receiveDeadline_) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            *receiveDeadline_ - std::chrono::steady_clock::now());
        wait = std::min(wait, left.count());
    }
    const int timeoutMs = wait > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(wait < 0 ? 0 : wait);
    // Bytes that are already here are taken even after a cancel: a message under way is
    // finished, the next wait for the peer ends.
    const int cancelHandle = cancel_ != nullptr ? cancel_->readHandle_ : -1;
    if (const int ready = WaitReadable(connection_, timeoutMs, cancelHandle, true); ready != 1) {
        timedOut_ = ready == 0;
        Close();
        return -1;
    }
    ssize_t n;
    do {
        n = ::recv(connection_, buffer, capacity, 0);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) {
        // A reset (the way every connection of this system ends) is as final as a close.
        if (n < 0) lastError_ = errno;
        Close();
        return -1;
    }
    bytesReceived_ += static_cast<uint64_t>(n);
    if (dumpTraffic_ && dumpReceived_ && LogLevel() >= LOG_SOCKET)
        DumpSocketTraffic(buffer, static_cast<std::size_t>(n), false);
    return n;
}

bool TcpSocket::InputWaiting() const {
    return connected_ && WaitReadable(connection_, 0, -1, true) == 1;
}

bool TcpSocket::Close() {
    CloseConnection();
    CloseListener();
    return true;
}

std::string TcpSocket::PeerAddress() const {
    if (connection_ < 0) return {};
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    if (::getpeername(connection_, reinterpret_cast<sockaddr*>(&peer), &length) != 0) return {};
    char address[INET_ADDRSTRLEN] = {};
    if (::inet_ntop(AF_INET, &peer.sin_addr, address, sizeof address) == nullptr) return {};
    return std::string(address) + ":" + std::to_string(ntohs(peer.sin_port));
}

uint16_t TcpSocket::LocalPort() const {
    const int handle = listener_ >= 0 ? listener_ : connection_;
    if (handle < 0) return 0;
    sockaddr_in local{};
    socklen_t length = sizeof local;
    if (::getsockname(handle, reinterpret_cast<sockaddr*>(&local), &length) != 0) return 0;
    return ntohs(local.sin_port);
}

void TcpSocket::Adopt(int handle) {
    CloseConnection();
    if (handle < 0) return;
    SetNoDelay(handle);
    connection_ = handle;
    connected_ = true;
}

int TcpSocket::ReleaseConnection() {
    const int handle = connection_;
    connection_ = -1;
    connected_ = false;
    return handle;
}

bool TcpSocket::ConnectedPair(int& first, int& second) {
    int handles[2] = {-1, -1};
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, handles) != 0) return false;
    first = handles[0];
    second = handles[1];
    return true;
}

bool Readable(TcpSocket& socket) {
    if (!socket.Connected()) return false;
    // The handle is lent out and taken back unchanged.
    const int handle = socket.ReleaseConnection();
    const bool ready = WaitReadable(handle, 0, -1, true) == 1;
    socket.Adopt(handle);
    return ready;
}

}  // namespace dicomlib::net
