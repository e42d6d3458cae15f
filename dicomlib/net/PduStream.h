// The byte stream of one association: owns the transport (plain TCP unless another is given),
// cuts what arrives into whole PDUs and sends what the layers above queue. Reads are large and
// buffered; a PDU is handed out only when all of its bytes are here, and the buffer grows with
// the bytes that arrive, never with what a peer's length field announces.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "net/Pdu.h"
#include "net/Result.h"
#include "net/TcpSocket.h"
#include "net/Transport.h"

namespace dicomlib::net {

// One whole PDU as received, header included; valid until the next read from the stream.
struct PduView {
    uint8_t type = 0;
    std::span<const uint8_t> bytes;
    std::span<const uint8_t> Body() const { return bytes.subspan(PDU_HEADER_SIZE); }
};

class PduStream {
  public:
    // A PDU announcing more than this is malformed: we announce 16384, and nothing a peer
    // sends in good faith comes near.
    static constexpr uint32_t MAX_PDU_LENGTH = 64u * 1024u * 1024u;

    PduStream();

    // The TCP connection under the transport, for listening, accepting and its time-outs;
    // bytes go through the stream, never straight to it.
    TcpSocket& Socket() { return transport_->Socket(); }
    const TcpSocket& Socket() const { return transport_->Socket(); }
    Transport& GetTransport() { return *transport_; }
    const Transport& GetTransport() const { return *transport_; }
    bool Connected() const { return transport_->Connected(); }
    // Replaces the transport; the current connection, if any, is closed first.
    void UseTransport(std::unique_ptr<Transport> transport);

    // A connection not made within the time-out fails; none: the platform's own.
    void SetConnectTimeout(std::optional<std::chrono::milliseconds> timeout) {
        Socket().SetConnectTimeout(timeout);
    }

    // Connection changes drop whatever is buffered from the previous connection. The
    // transport's handshake follows the connection; when it fails the connection is closed and
    // the result is false (Adopt: every later read fails).
    bool Open(std::string_view host, std::string_view port);
    bool OpenAddress(uint32_t address, uint16_t port);
    bool Adopt(int handle);
    // Ends the transport's session in order, then closes the connection.
    void Close();
    // The last Open, OpenAddress or Adopt connected, but the transport's handshake failed
    // (GetTransport().Failure() says why).
    bool HandshakeFailed() const { return handshakeFailed_; }
    // A PDU header was really the start of a TLS record: the peer speaks TLS on this connection.
    bool PeerSpokeTls() const { return peerSpokeTls_; }

    // The next whole PDU. SocketFailed when the connection ends or times out first;
    // Malformed when its length is beyond MAX_PDU_LENGTH.
    Result<PduView> ReadPdu();
    // Exactly count bytes, whatever they are; valid until the next read.
    Result<std::span<const uint8_t>> ReadExact(std::size_t count);

    // Queued bytes go out with the next Flush, all in one socket write.
    void Queue(std::span<const uint8_t> bytes);
    // Sends everything queued; after a failure the queue is empty and the connection unusable.
    bool Flush();
    // Queue and Flush.
    bool Write(std::span<const uint8_t> bytes);

    std::size_t BufferedBytes() const { return end_ - start_; }
    std::size_t QueuedBytes() const { return out_.size(); }

  private:
    bool Handshake(TransportRole role);
    // Receives until at least count unread bytes are buffered.
    bool Fill(std::size_t count);
    std::span<const uint8_t> Consume(std::size_t count);
    void DropInput();
    // What a new connection starts from: nothing buffered, queued or seen.
    void BeginConnection();
    // The hex dump of count bytes received at in_[from]: an association request or answer is
    // held until it is whole, then each of its reads is dumped with the identity masked.
    void DumpReceived(std::size_t from, std::size_t count);
    void DumpHeld(std::span<const uint8_t> shown);

    std::unique_ptr<Transport> transport_;
    std::vector<uint8_t> in_;
    std::size_t start_ = 0;  // first unread byte in in_
    std::size_t end_ = 0;    // one past the last received byte in in_
    std::vector<uint8_t> out_;
    bool handshakeFailed_ = false;
    bool peerSpokeTls_ = false;
    // Reads not dumped yet, as {offset in in_, count}: parts of an unfinished association PDU.
    std::vector<std::pair<std::size_t, std::size_t>> held_;
};

}  // namespace dicomlib::net
