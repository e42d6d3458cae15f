// Buffering of the PDU stream. Received bytes sit in one vector: unread bytes are moved to its
// front before more are received, and it grows by at most one read size beyond what arrived.
#include "net/PduStream.h"

#include <algorithm>
#include <string>
#include <utility>

#include "net/PduCodec.h"

namespace dicomlib::net {
namespace {

constexpr std::size_t READ_SIZE = 64 * 1024;

}  // namespace

PduStream::PduStream() : transport_(std::make_unique<PlainTransport>()) {}

void PduStream::UseTransport(std::unique_ptr<Transport> transport) {
    Close();
    transport_ = std::move(transport);
}

bool PduStream::Open(std::string_view host, std::string_view port) {
    BeginConnection();
    return Socket().Open(host, port) && Handshake(TransportRole::Requestor);
}

bool PduStream::OpenAddress(uint32_t address, uint16_t port) {
    BeginConnection();
    return Socket().OpenAddress(address, port) && Handshake(TransportRole::Requestor);
}

bool PduStream::Adopt(int handle) {
    BeginConnection();
    Socket().Adopt(handle);
    return Connected() && Handshake(TransportRole::Acceptor);
}

bool PduStream::Handshake(TransportRole role) {
    if (transport_->Handshake(role)) return true;
    handshakeFailed_ = true;
    transport_->Close();
    return false;
}

void PduStream::Close() {
    if (transport_->Connected()) transport_->Shutdown();
    transport_->Close();
    DropInput();
    out_.clear();
}

void PduStream::BeginConnection() {
    DropInput();
    out_.clear();
    handshakeFailed_ = false;
    peerSpokeTls_ = false;
}

void PduStream::DropInput() {
    start_ = 0;
    end_ = 0;
}

bool PduStream::Fill(std::size_t count) {
    if (start_ == end_) {
        // Nothing unread: start again at the front, and let go of the room a huge PDU took.
        start_ = end_ = 0;
        if (in_.size() > 4 * READ_SIZE) in_ = std::vector<uint8_t>();
    }
    while (end_ - start_ < count) {
        if (start_ > 0) {
            std::copy(in_.begin() + static_cast<std::ptrdiff_t>(start_),
                      in_.begin() + static_cast<std::ptrdiff_t>(end_), in_.begin());
            end_ -= start_;
            start_ = 0;
        }
        if (in_.size() - end_ < READ_SIZE) in_.resize(end_ + READ_SIZE);
        const std::ptrdiff_t n = transport_->Receive(in_.data() + end_, in_.size() - end_);
        if (n < 0) return false;
        end_ += static_cast<std::size_t>(n);
    }
    return true;
}

std::span<const uint8_t> PduStream::Consume(std::size_t count) {
    std::span<const uint8_t> bytes(in_.data() + start_, count);
    start_ += count;
    return bytes;
}

Result<PduView> PduStream::ReadPdu() {
    if (!Fill(PDU_HEADER_SIZE)) return Error{ErrorCode::SocketFailed, "connection ended"};
    auto header = DecodePduHeader(std::span<const uint8_t>(in_.data() + start_, end_ - start_));
    if (!header) return header.GetError();
    // A TLS record starts with its content type (20 to 23, no PDU type) and major version 3.
    if (header->type >= 20 && header->type <= 23 && in_[start_ + 1] == 0x03) {
        peerSpokeTls_ = true;
        return Error{ErrorCode::Malformed, "a TLS record instead of a PDU"};
    }
    if (header->length > MAX_PDU_LENGTH) {
        return Error{ErrorCode::Malformed,
                     "PDU length " + std::to_string(header->length) + " beyond the limit"};
    }
    if (!Fill(PDU_HEADER_SIZE + header->length))
        return Error{ErrorCode::SocketFailed, "connection ended inside a PDU"};
    return PduView{header->type, Consume(PDU_HEADER_SIZE + header->length)};
}

Result<std::span<const uint8_t>> PduStream::ReadExact(std::size_t count) {
    if (!Fill(count)) return Error{ErrorCode::SocketFailed, "connection ended"};
    return Consume(count);
}

void PduStream::Queue(std::span<const uint8_t> bytes) {
    out_.insert(out_.end(), bytes.begin(), bytes.end());
}

bool PduStream::Flush() {
    if (out_.empty()) return true;
    const bool sent = transport_->Send(out_);
    out_.clear();
    return sent;
}

bool PduStream::Write(std::span<const uint8_t> bytes) {
    if (out_.empty()) return transport_->Send(bytes);
    Queue(bytes);
    return Flush();
}

}  // namespace dicomlib::net
