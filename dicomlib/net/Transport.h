// The byte channel under a PduStream. Every transport runs over one TcpSocket, which makes the
// connection, keeps the time-outs and the cancel signal, and is the only thing that talks to the
// socket interface; a transport only decides what goes over it. Plain TCP sends the bytes as
// they are; a secured transport adds its handshake after the connection is made and its own
// records around the bytes. One thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "net/TcpSocket.h"

namespace dicomlib::net {

// Which end of the connection we are: the handshake of a secured transport differs.
enum class TransportRole { Requestor, Acceptor };

class Transport {
  public:
    virtual ~Transport() = default;

    // The TCP connection underneath: connect, accept, time-outs, cancel signal, last error.
    virtual TcpSocket& Socket() = 0;
    virtual const TcpSocket& Socket() const = 0;
    bool Connected() const { return Socket().Connected(); }

    // Runs once the TCP connection is made (requestor) or taken over (acceptor), before any PDU.
    // False when it failed; the caller then closes.
    virtual bool Handshake(TransportRole role) = 0;

    // Sends every byte, or fails (the connection is then unusable).
    virtual bool Send(std::span<const uint8_t> bytes) = 0;
    // Up to capacity bytes. A transport that decodes ahead of its caller (a secured one reads
    // whole records) hands out what it already holds without waiting; only with nothing held
    // does it wait on the socket, as TcpSocket::Receive does, with its time-out, deadline and
    // cancel signal. 1 or more, or -1 when the connection ended, timed out or failed (it is
    // then closed).
    virtual std::ptrdiff_t Receive(uint8_t* buffer, std::size_t capacity) = 0;

    // Ends the transport's own session in order (a secured transport says goodbye in its own
    // terms) without waiting for the peer; nothing for plain TCP. Close follows.
    virtual void Shutdown() = 0;
    // Closes the connection at once and forgets what it held.
    virtual void Close() = 0;

    // Whether Receive writes what it received to the trace log's hex dump; a PduStream turns
    // it off and dumps what it reads itself, whole association PDUs masked.
    virtual void SetReceiveDump(bool on) = 0;

    // Why the transport's own session failed (its handshake, or the peer's refusal later), in
    // words with what to do; empty when it did not, and always for plain TCP.
    virtual std::string Failure() const { return {}; }
};

// Plain TCP: the bytes go as they are.
class PlainTransport final : public Transport {
  public:
    TcpSocket& Socket() override { return socket_; }
    const TcpSocket& Socket() const override { return socket_; }
    bool Handshake(TransportRole) override { return true; }
    bool Send(std::span<const uint8_t> bytes) override { return socket_.Send(bytes); }
    std::ptrdiff_t Receive(uint8_t* buffer, std::size_t capacity) override {
        return socket_.Receive(buffer, capacity);
    }
    void Shutdown() override {}
    void Close() override { socket_.Close(); }
    void SetReceiveDump(bool on) override { socket_.SetReceiveDump(on); }

  private:
    TcpSocket socket_;
};

}  // namespace dicomlib::net
