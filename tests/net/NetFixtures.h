// Byte fixtures of the association PDUs, written field by field, and a scripted peer on
// loopback for the sequence tests.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "net/Association.h"
#include "net/PduCodec.h"
#include "net/PduStream.h"

namespace nettest {

using Bytes = std::vector<uint8_t>;

inline Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}
inline Bytes T(std::string_view text) {
    return Bytes(text.begin(), text.end());
}
inline Bytes Z(std::size_t count) {
    return Bytes(count, 0);
}
inline Bytes S(std::size_t count) {
    return Bytes(count, ' ');
}

// The A-ASSOCIATE-RQ of calling "local" to called "remote", one context: Verification with
// implicit VR little endian, ID 1. 211 bytes.
inline Bytes AssociateRqFixture() {
    // clang-format off
    return Cat({
        {0x01, 0x00},                   // A-ASSOCIATE-RQ, reserved
        {0x00, 0x00, 0x00, 0xCD},       // PDU length 205
        {0x00, 0x01},                   // protocol version
        {0x00, 0x00},                   // reserved
        T("remote"), S(10),             // called AE title, spaces to 16 bytes
        T("local"), S(11),              // calling AE title
        Z(32),                          // reserved
        {0x10, 0x00, 0x00, 0x15},       // application context item, length 21
        T("1.2.840.10008.3.1.1.1"),
        {0x20, 0x00, 0x00, 0x2E},       // presentation context item, length 46
        {0x01, 0x00, 0x00, 0x00},       // ID 1, reserved
        {0x30, 0x00, 0x00, 0x11},       // abstract syntax, length 17
        T("1.2.840.10008.1.1"),
        {0x40, 0x00, 0x00, 0x11},       // transfer syntax, length 17
        T("1.2.840.10008.1.2"),
        {0x50, 0x00, 0x00, 0x3A},       // user information item, length 58
        {0x51, 0x00, 0x00, 0x04},       // maximum length sub-item
        {0x00, 0x00, 0x40, 0x00},       // 16384
        {0x52, 0x00, 0x00, 0x1E},       // implementation class UID, length 30
        T("1.2.826.0.1.3680043.2.7251.999"),
        {0x55, 0x00, 0x00, 0x0C},       // implementation version name, length 12
        T("OstrovaPrism"),
    });
    // clang-format on
}

// An A-ASSOCIATE-AC from "remote" accepting context 1 with implicit VR little endian. 190 bytes.
inline Bytes AssociateAcFixture() {
    // clang-format off
    return Cat({
        {0x02, 0x00},                   // A-ASSOCIATE-AC, reserved
        {0x00, 0x00, 0x00, 0xB8},       // PDU length 184
        {0x00, 0x01},                   // protocol version
        {0x00, 0x00},                   // reserved
        T("remote"), S(10),             // called AE title
        T("local"), S(11),              // calling AE title
        Z(32),                          // reserved
        {0x10, 0x00, 0x00, 0x15},       // application context item
        T("1.2.840.10008.3.1.1.1"),
        {0x21, 0x00, 0x00, 0x19},       // presentation context item, length 25
        {0x01, 0x00, 0x00, 0x00},       // ID 1, reserved, result 0 (acceptance), reserved
        {0x40, 0x00, 0x00, 0x11},       // transfer syntax, length 17
        T("1.2.840.10008.1.2"),
        {0x50, 0x00, 0x00, 0x3A},       // user information item, length 58
        {0x51, 0x00, 0x00, 0x04},       // maximum length sub-item
        {0x00, 0x00, 0x40, 0x00},       // 16384
        {0x52, 0x00, 0x00, 0x1E},       // implementation class UID
        T("1.2.826.0.1.3680043.2.7251.999"),
        {0x55, 0x00, 0x00, 0x0C},       // implementation version name
        T("OstrovaPrism"),
    });
    // clang-format on
}

// clang-format off
inline const Bytes RELEASE_RQ = {
    0x05, 0x00, 0x00, 0x00, 0x00, 0x04, // A-RELEASE-RQ, reserved, length 4
    0x00, 0x00, 0x00, 0x00,             // reserved
};
inline const Bytes RELEASE_RP = {
    0x06, 0x00, 0x00, 0x00, 0x00, 0x04, // A-RELEASE-RP, reserved, length 4
    0x00, 0x00, 0x00, 0x00,             // reserved
};
inline const Bytes ABORT = {
    0x07, 0x00, 0x00, 0x00, 0x00, 0x04, // A-ABORT, reserved, length 4
    0x00, 0x00,                         // reserved
    0x03, 0x01,                         // source 3, reason 1
};
inline const Bytes ASSOCIATE_RJ = {
    0x03, 0x00, 0x00, 0x00, 0x00, 0x04, // A-ASSOCIATE-RJ, reserved, length 4
    0x00,                               // reserved
    0x01,                               // result: rejected permanently
    0x01,                               // source: service user
    0x07,                               // reason: called AE title not recognised
};
inline const Bytes P_DATA_TF = {
    0x04, 0x00, 0x00, 0x00, 0x00, 0x12, // P-DATA-TF, reserved, PDU length 18
    0x00, 0x00, 0x00, 0x04, 0x01, 0x01, // PDV item length 4, context 1, command, not last
    0xAA, 0xBB,                         // fragment
    0x00, 0x00, 0x00, 0x06, 0x01, 0x03, // PDV item length 6, context 1, command, last
    0x01, 0x02, 0x03, 0x04,             // fragment
};
// clang-format on

// Sets a big-endian 32-bit value at offset.
inline void Put32(Bytes& b, std::size_t at, uint32_t v) {
    b[at] = static_cast<uint8_t>(v >> 24);
    b[at + 1] = static_cast<uint8_t>(v >> 16);
    b[at + 2] = static_cast<uint8_t>(v >> 8);
    b[at + 3] = static_cast<uint8_t>(v);
}
inline void Put16(Bytes& b, std::size_t at, uint16_t v) {
    b[at] = static_cast<uint8_t>(v >> 8);
    b[at + 1] = static_cast<uint8_t>(v);
}
// Cuts a PDU to size bytes and makes its length field agree, so the items inside overrun.
inline Bytes CutWithLength(const Bytes& pdu, std::size_t size) {
    Bytes cut(pdu.begin(), pdu.begin() + static_cast<std::ptrdiff_t>(size));
    Put32(cut, 2, static_cast<uint32_t>(size - 6));
    return cut;
}

constexpr std::chrono::seconds PEER_TIMEOUT{20};

// An A-ASSOCIATE-AC giving every proposal of the request the result; accepted ones take
// acceptSyntax or, when that is empty, the first syntax proposed.
inline Bytes AcceptEvery(const Bytes& rqBytes, const std::string& acceptSyntax = "",
                         uint8_t result = dicomlib::net::RESULT_ACCEPTANCE) {
    using namespace dicomlib::net;
    auto rq = DecodeAssociateRQ(rqBytes);
    AssociateAC ac;
    ac.applicationContext = APPLICATION_CONTEXT_NAME;
    if (rq) {
        ac.calledAeTitle = rq->calledAeTitle;
        ac.callingAeTitle = rq->callingAeTitle;
        for (const auto& pc : rq->contexts) {
            std::string syntax = acceptSyntax.empty() ? pc.transferSyntaxes.at(0) : acceptSyntax;
            if (result != RESULT_ACCEPTANCE) syntax.clear();
            ac.contexts.push_back({pc.id, result, syntax, ""});
        }
    }
    ac.userInformation = {16384, "1.2.3.4", "PEER", 0, {}, {}, {}, {}};
    return EncodeAssociateAC(ac);
}

// The next whole PDU as bytes; empty when the connection ended first.
inline Bytes ReadPduBytes(dicomlib::net::PduStream& stream) {
    auto pdu = stream.ReadPdu();
    if (!pdu) return {};
    return Bytes(pdu->bytes.begin(), pdu->bytes.end());
}

// True when the other side closed (or reset) instead of sending another PDU.
inline bool ClosedByOtherSide(dicomlib::net::PduStream& stream) {
    auto pdu = stream.ReadPdu();
    return !pdu && pdu.Code() == dicomlib::net::ErrorCode::SocketFailed;
}

// A peer listening on a free loopback port before the code under test starts. Start runs the
// script on the first accepted connection, on its own thread.
class FakePeer {
  public:
    FakePeer() {
        stream_.Socket().ListenOn(0);
        port_ = std::to_string(stream_.Socket().LocalPort());
    }
    ~FakePeer() { Join(); }
    FakePeer(const FakePeer&) = delete;
    FakePeer& operator=(const FakePeer&) = delete;

    const std::string& Port() const { return port_; }

    void Start(std::function<void(dicomlib::net::PduStream&)> script) {
        thread_ = std::thread([this, script = std::move(script)] {
            stream_.Socket().SetReceiveTimeout(PEER_TIMEOUT);
            const bool accepted = stream_.Socket().Accept();
            accepted_.store(true);
            if (accepted) script(stream_);
            stream_.Close();
        });
    }

    // Waits for the script. When nothing connected (a failed test), a throwaway connection
    // releases the waiting accept.
    void Join() {
        if (!thread_.joinable()) return;
        if (!accepted_.load()) {
            dicomlib::net::TcpSocket poke;
            poke.Open("127.0.0.1", port_);
        }
        thread_.join();
    }

  private:
    dicomlib::net::PduStream stream_;
    std::string port_;
    std::thread thread_;
    std::atomic<bool> accepted_{false};
};

}  // namespace nettest
