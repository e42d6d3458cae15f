// Messages written byte by byte for the DIMSE tests, and a scripted peer that has accepted an
// association before its script starts.
#pragma once

#include <functional>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

#include "NetFixtures.h"
#include "net/Association.h"
#include "net/Dimse.h"

namespace nettest {

// An A-ASSOCIATE-AC accepting every proposal of the request, with acceptSyntax or, when that
// is empty, with the first syntax proposed.
inline Bytes AcceptEvery(const Bytes& rqBytes, const std::string& acceptSyntax = "") {
    using namespace dicomlib::net;
    auto rq = DecodeAssociateRQ(rqBytes);
    AssociateAC ac;
    ac.applicationContext = APPLICATION_CONTEXT_NAME;
    if (rq) {
        ac.calledAeTitle = rq->calledAeTitle;
        ac.callingAeTitle = rq->callingAeTitle;
        for (const auto& pc : rq->contexts) {
            const std::string syntax =
                acceptSyntax.empty() ? pc.transferSyntaxes.at(0) : acceptSyntax;
            ac.contexts.push_back({pc.id, RESULT_ACCEPTANCE, syntax, ""});
        }
    }
    ac.userInformation = {16384, "1.2.3.4", "PEER", 0};
    return EncodeAssociateAC(ac);
}

// Reads the A-ASSOCIATE-RQ and accepts it; returns the request's bytes.
inline Bytes AcceptAssociation(dicomlib::net::PduStream& s, const std::string& acceptSyntax = "") {
    Bytes rq = ReadPduBytes(s);
    s.Write(AcceptEvery(rq, acceptSyntax));
    return rq;
}

inline Bytes Le16(uint16_t v) {
    return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8)};
}
inline Bytes Le32(uint32_t v) {
    return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
            static_cast<uint8_t>(v >> 24)};
}

// One element in implicit VR little endian, as command sets travel.
inline Bytes ImplicitElement(uint16_t group, uint16_t element, const Bytes& value) {
    return Cat({Le16(group), Le16(element), Le32(static_cast<uint32_t>(value.size())), value});
}

// A command set: (0000,0000) with the length of the elements that follow, then those.
inline Bytes CommandBytes(const Bytes& elements) {
    return Cat(
        {ImplicitElement(0x0000, 0x0000, Le32(static_cast<uint32_t>(elements.size()))), elements});
}

// A C-ECHO-RSP for the Verification SOP class.
inline Bytes EchoResponseBytes(uint16_t messageId, uint16_t status) {
    return CommandBytes(Cat({
        ImplicitElement(0x0000, 0x0002, Cat({T("1.2.840.10008.1.1"), {0x00}})),
        ImplicitElement(0x0000, 0x0100, Le16(0x8030)),     // Command Field: C-ECHO-RSP
        ImplicitElement(0x0000, 0x0120, Le16(messageId)),  // Message ID Being Responded To
        ImplicitElement(0x0000, 0x0800, Le16(0x0101)),     // Command Data Set Type: none
        ImplicitElement(0x0000, 0x0900, Le16(status)),     // Status
    }));
}

struct PdvSpec {
    uint8_t contextId;
    uint8_t control;
    Bytes data;
};

// One P-DATA-TF carrying the PDVs in order.
inline Bytes PDataTF(std::initializer_list<PdvSpec> pdvs) {
    Bytes body;
    for (const auto& pdv : pdvs) {
        Bytes item = {0, 0, 0, 0, pdv.contextId, pdv.control};
        Put32(item, 0, static_cast<uint32_t>(pdv.data.size() + 2));
        body = Cat({body, item, pdv.data});
    }
    Bytes header = {0x04, 0x00, 0, 0, 0, 0};
    Put32(header, 2, static_cast<uint32_t>(body.size()));
    return Cat({header, body});
}

// What the PDVs of the P-DATA-TF PDUs carry, joined; empty when one is not a P-DATA-TF.
inline Bytes JoinedPdvData(const std::vector<Bytes>& pdus) {
    Bytes data;
    for (const auto& pdu : pdus) {
        auto pdvs = dicomlib::net::DecodePDataTF(pdu);
        if (!pdvs) return {};
        for (const auto& pdv : *pdvs)
            data.insert(data.end(), pdv.data.begin(), pdv.data.end());
    }
    return data;
}

// A requestor association opened to a FakePeer that accepts; the script then runs on the
// peer's side, starting after the A-ASSOCIATE-AC.
struct PeerSession {
    FakePeer peer;
    Association assoc;
    Bytes request;

    // Proposes Verification with transferSyntax (none: implicit VR little endian alone); the
    // peer accepts acceptSyntax (empty: the first proposed).
    bool Open(std::function<void(dicomlib::net::PduStream&)> script,
              std::optional<std::string> transferSyntax = std::nullopt,
              const std::string& acceptSyntax = "") {
        peer.Start([this, script = std::move(script), acceptSyntax](dicomlib::net::PduStream& s) {
            request = AcceptAssociation(s, acceptSyntax);
            script(s);
        });
        assoc.stream.Socket().SetReceiveTimeout(PEER_TIMEOUT);
        std::string calling = "local";
        std::optional<std::string_view> syntax;
        if (transferSyntax) syntax = *transferSyntax;
        return dicomlib::net::OpenAssoc(assoc, "127.0.0.1", peer.Port(), calling, "remote",
                                        "1.2.840.10008.1.1", syntax);
    }
};

}  // namespace nettest
