// One IPv4 TCP endpoint: connects to a peer or listens and accepts one connection at a time,
// sends whole byte blocks and receives with a time-out. It knows nothing of DICOM; it is the
// only place in the library that talks to the socket interface. One thread at a time.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace dicomlib::net {

// Number of live TcpSocket objects in the process.
uint16_t SocketUserCount();

// Host rule: a text whose leading digits make a non-zero number is a dotted address (a text
// that then does not convert, such as "3com-host", is looked up as a name); anything else is
// a host name. The address comes in network byte order.
std::optional<uint32_t> ResolveHost(std::string_view host);
// Port rule: the leading digits taken as 16 bits when that is non-zero; otherwise a service
// name, any protocol.
std::optional<uint16_t> ResolvePort(std::string_view port);

// Raised by one thread to end the blocking waits of sockets that watch it on other threads:
// their Accept and Receive then fail as a closed connection does. Once raised it stays raised.
class CancelSignal {
  public:
    // Throws std::system_error when the platform has no handles left.
    CancelSignal();
    ~CancelSignal();
    CancelSignal(const CancelSignal&) = delete;
    CancelSignal& operator=(const CancelSignal&) = delete;

    // Safe from any thread, any number of times.
    void Raise();
    bool Raised() const;

  private:
    friend class TcpSocket;
    // A byte written to writeHandle_ makes readHandle_ readable for every poll from then on:
    // the byte is never read.
    int readHandle_ = -1;
    int writeHandle_ = -1;
};

class TcpSocket {
  public:
    static constexpr std::chrono::milliseconds DEFAULT_RECEIVE_TIMEOUT{300'000};

    TcpSocket();
    ~TcpSocket();
    TcpSocket(const TcpSocket&) = delete;
    TcpSocket& operator=(const TcpSocket&) = delete;

    // Connects; a previous connection is closed first. Closing resets the connection
    // (linger on, time 0), and small writes go out at once (no Nagle delay). Without a connect
    // time-out the platform's own applies (minutes for an address that never answers).
    bool Open(std::string_view host, std::string_view port);
    // The same with an address (network byte order) and port already resolved.
    bool OpenAddress(uint32_t address, uint16_t port);
    // Listens on every local address with a backlog of 10.
    bool Listen(std::string_view port);
    // The same with a port number; 0 takes a free port, which LocalPort then tells.
    bool ListenOn(uint16_t port);
    // Blocks until a connection arrives and makes it the connection socket.
    bool Accept();

    // Sends every byte (several platform sends when the platform takes fewer).
    bool Send(const uint8_t* bytes, std::size_t count);
    bool Send(std::span<const uint8_t> bytes) { return Send(bytes.data(), bytes.size()); }
    // Waits up to the receive time-out for bytes; returns how many arrived (1 or more) or -1.
    // A time-out, a peer that closed or reset, or a failure closes this socket.
    std::ptrdiff_t Receive(uint8_t* buffer, std::size_t capacity);

    // True when bytes (or the peer's close) wait on the connection, without waiting for any.
    bool InputWaiting() const;

    // Closes both sockets; always true.
    bool Close();
    int LastError() const { return lastError_; }

    bool Connected() const { return connected_; }
    bool Listening() const { return listening_; }
    uint16_t LocalPort() const;
    // The connected peer as "address:port"; empty without a connection.
    std::string PeerAddress() const;
    // Every byte Receive has taken since the socket was made, over all its connections.
    uint64_t BytesReceived() const { return bytesReceived_; }

    // Takes over an accepted connection handle (a previous connection is closed first).
    void Adopt(int handle);
    // Gives up the connection handle without closing it; -1 when there is none.
    int ReleaseConnection();

    // Two handles connected to each other within the process, for Adopt: tests and fuzz
    // targets feed bytes to the protocol layers through them. False when the platform refuses.
    static bool ConnectedPair(int& first, int& second);

    // Accept and Receive also end, as failures that close this socket, once signal is raised
    // (Receive still takes bytes that are already waiting); null stops watching. The signal
    // must outlive the watching.
    void WatchCancel(const CancelSignal* signal) { cancel_ = signal; }

    // A connection not made within the time-out fails with ETIMEDOUT; null: the platform's.
    void SetConnectTimeout(std::optional<std::chrono::milliseconds> timeout) {
        connectTimeout_ = timeout;
    }
    void SetReceiveTimeout(std::chrono::milliseconds timeout) { receiveTimeout_ = timeout; }
    std::chrono::milliseconds ReceiveTimeout() const { return receiveTimeout_; }
    // True when the last Receive ended because its wait ran out (time-out or deadline).
    bool TimedOut() const { return timedOut_; }
    // Until cleared, no receive waits past the deadline, however many it takes: a time limit
    // for a whole exchange that a peer cannot stretch by sending a byte at a time.
    void SetReceiveDeadline(std::optional<std::chrono::steady_clock::time_point> deadline) {
        receiveDeadline_ = deadline;
    }
    std::optional<std::chrono::steady_clock::time_point> ReceiveDeadline() const {
        return receiveDeadline_;
    }
    // Off: Send and Receive leave the hex dump of the trace log to the transport above (a
    // secured one dumps the bytes before encryption, not its records).
    void SetTrafficDump(bool on) { dumpTraffic_ = on; }
    // Received bytes alone; sent ones keep SetTrafficDump's choice.
    void SetReceiveDump(bool on) { dumpReceived_ = on; }

  private:
    void CloseConnection();
    void CloseListener();

    int lastError_ = 0;
    uint64_t bytesReceived_ = 0;
    int connection_ = -1;
    int listener_ = -1;
    bool connected_ = false;
    bool listening_ = false;
    bool timedOut_ = false;
    const CancelSignal* cancel_ = nullptr;
    std::optional<std::chrono::milliseconds> connectTimeout_;
    std::chrono::milliseconds receiveTimeout_ = DEFAULT_RECEIVE_TIMEOUT;
    std::optional<std::chrono::steady_clock::time_point> receiveDeadline_;
    bool dumpTraffic_ = true;
    bool dumpReceived_ = true;
};

}  // namespace dicomlib::net
