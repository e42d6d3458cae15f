// Buffering of the PDU stream. Received bytes sit in one vector: unread bytes are moved to its
// front before more are received, and it grows by at most one read size beyond what arrived.
#include "net/PduStream.h"

#include <algorithm>
#include <string>
#include <utility>

#include "net/PduCodec.h"
#include "net/TraceLog.h"
#include "net/UserIdentity.h"

namespace dicomlib::net {
namespace {

constexpr std::size_t READ_SIZE = 64 * 1024;

}  // namespace

PduStream::PduStream() : transport_(std::make_unique<PlainTransport>()) {
    transport_->SetReceiveDump(false);
}

void PduStream::UseTransport(std::unique_ptr<Transport> transport) {
    Close();
    transport_ = std::move(transport);
    transport_->SetReceiveDump(false);
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
    if (!held_.empty())
        DumpHeld(MaskUserIdentity(std::span<const uint8_t>(in_.data() + start_, end_ - start_)));
    start_ = 0;
    end_ = 0;
}

void PduStream::DumpHeld(std::span<const uint8_t> shown) {
    for (const auto& [from, count] : held_)
        if (from >= start_ && from - start_ + count <= shown.size())
            DumpSocketTraffic(shown.data() + (from - start_), count, false);
    held_.clear();
}

void PduStream::DumpReceived(std::size_t from, std::size_t count) {
    if (LogLevel() < LOG_SOCKET) return;
    const auto unread = std::span<const uint8_t>(in_.data() + start_, end_ - start_);
    const bool association =
        !unread.empty() && (unread[0] == PDU_ASSOCIATE_RQ || unread[0] == PDU_ASSOCIATE_AC);
    // Only a PDU that begins a read is held: the association PDUs open a connection's traffic.
    if (!association || (held_.empty() && from != start_)) {
        DumpSocketTraffic(in_.data() + from, count, false);
        return;
    }
    held_.emplace_back(from, count);
    if (unread.size() < PDU_HEADER_SIZE) return;
    const std::size_t whole =
        PDU_HEADER_SIZE + ((std::size_t{unread[2]} << 24) | (std::size_t{unread[3]} << 16) |
                           (std::size_t{unread[4]} << 8) | unread[5]);
    if (unread.size() < whole && whole - PDU_HEADER_SIZE <= MAX_PDU_LENGTH) return;
    std::vector<uint8_t> shown = MaskUserIdentity(unread.first(std::min(whole, unread.size())));
    shown.insert(shown.end(), unread.begin() + static_cast<std::ptrdiff_t>(shown.size()),
                 unread.end());
    DumpHeld(shown);
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
            for (auto& held : held_)
                held.first -= start_;
            end_ -= start_;
            start_ = 0;
        }
        if (in_.size() - end_ < READ_SIZE) in_.resize(end_ + READ_SIZE);
        const std::ptrdiff_t n = transport_->Receive(in_.data() + end_, in_.size() - end_);
        if (n < 0) {
            // What never became a whole PDU is still dumped, its user information masked whole.
            if (!held_.empty())
                DumpHeld(
                    MaskUserIdentity(std::span<const uint8_t>(in_.data() + start_, end_ - start_)));
            return false;
        }
        end_ += static_cast<std::size_t>(n);
        DumpReceived(end_ - static_cast<std::size_t>(n), static_cast<std::size_t>(n));
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
