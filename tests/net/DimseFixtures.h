// Command sets written byte by byte and read back, and two scripted peers: one that has
// accepted an association before its script starts, and one that answers each command with a
// canned response.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "NetFixtures.h"
#include "data/Datadec.h"
#include "data/Tags.h"
#include "net/Association.h"
#include "net/Dimse.h"

namespace nettest {

inline Bytes Le16(uint16_t v) {
    return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8)};
}
inline Bytes Le32(uint32_t v) {
    return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
            static_cast<uint8_t>(v >> 24)};
}
// A UID value: padded with 0x00 to even length.
inline Bytes Uid(std::string_view uid) {
    Bytes b = T(uid);
    if (b.size() % 2 != 0) b.push_back(0x00);
    return b;
}

// One element in implicit VR little endian, as command sets travel.
inline Bytes ImplicitElement(uint16_t group, uint16_t element, const Bytes& value) {
    return Cat({Le16(group), Le16(element), Le32(static_cast<uint32_t>(value.size())), value});
}

// The elements of group 0000 after the group length, as (element, value) in order.
using Command = std::vector<std::pair<uint16_t, Bytes>>;

// A command set: (0000,0000) with the length of the elements that follow, then those.
inline Bytes CommandBytes(const Command& elements) {
    Bytes rest;
    for (const auto& [element, value] : elements)
        rest = Cat({rest, ImplicitElement(0x0000, element, value)});
    return Cat({ImplicitElement(0x0000, 0x0000, Le32(static_cast<uint32_t>(rest.size()))), rest});
}

// A response: class, Command Field, the Message ID answered, no data set, then the status
// when there is one.
inline Bytes ResponseBytes(uint16_t commandField, uint16_t messageId,
                           std::optional<uint16_t> status,
                           std::string_view sopClass = "1.2.840.10008.1.1") {
    Command c = {{0x0002, Uid(sopClass)},
                 {0x0100, Le16(commandField)},
                 {0x0120, Le16(messageId)},
                 {0x0800, Le16(0x0101)}};
    if (status) c.push_back({0x0900, Le16(*status)});
    return CommandBytes(c);
}
inline Bytes EchoResponseBytes(uint16_t messageId, uint16_t status) {
    return ResponseBytes(0x8030, messageId, status);
}

// A sequence in implicit VR: of undefined length with undefined-length items and their
// delimiters, or (defined) of defined length with defined-length items, as many peers send.
inline Bytes Sequence(uint16_t group, uint16_t element, std::initializer_list<Bytes> items,
                      bool defined = false) {
    Bytes body;
    for (const Bytes& item : items)
        body = defined ? Cat({body, Le16(0xFFFE), Le16(0xE000),
                              Le32(static_cast<uint32_t>(item.size())), item})
                       : Cat({body, Le16(0xFFFE), Le16(0xE000), Le32(0xFFFFFFFF), item,
                              Le16(0xFFFE), Le16(0xE00D), Le32(0)});
    if (defined)
        return Cat({Le16(group), Le16(element), Le32(static_cast<uint32_t>(body.size())), body});
    return Cat(
        {Le16(group), Le16(element), Le32(0xFFFFFFFF), body, Le16(0xFFFE), Le16(0xE0DD), Le32(0)});
}

// Command sets and data sets as peers send them here: implicit VR little endian.
inline ElementList ParseImplicit(const Bytes& bytes) {
    ElementList list;
    dicomlib::data::ReadDataSetBytes({0, 0, 0}, bytes, list);
    return list;
}
inline uint16_t UsOf(const Bytes& command, dicomlib::Tag tag) {
    return dicomlib::data::GetTagUS(ParseImplicit(command), tag);
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

// One message part as it arrived: the PDUs up to the PDV with the last-fragment bit, and the
// joined data. Any other PDU ends it (not ok) as the last of pdus.
struct MessagePart {
    std::vector<Bytes> pdus;
    Bytes data;
    bool ok = false;
};
inline MessagePart ReadMessagePart(dicomlib::net::PduStream& s) {
    MessagePart m;
    for (;;) {
        Bytes pdu = ReadPduBytes(s);
        if (pdu.empty()) return m;
        m.pdus.push_back(pdu);
        auto pdvs = dicomlib::net::DecodePDataTF(pdu);
        if (!pdvs) return m;
        for (const auto& pdv : *pdvs) {
            m.data.insert(m.data.end(), pdv.data.begin(), pdv.data.end());
            if ((pdv.control & dicomlib::net::PDV_LAST_FRAGMENT) != 0) {
                m.ok = true;
                return m;
            }
        }
    }
}

// Reads the A-ASSOCIATE-RQ and accepts it; returns the request's bytes.
inline Bytes AcceptAssociation(dicomlib::net::PduStream& s, const std::string& acceptSyntax = "") {
    Bytes rq = ReadPduBytes(s);
    s.Write(AcceptEvery(rq, acceptSyntax));
    return rq;
}

// A requestor association opened to a FakePeer that accepts; the script then runs on the
// peer's side, starting after the A-ASSOCIATE-AC.
struct PeerSession {
    FakePeer peer;
    Association assoc;

    // Proposes Verification with transferSyntax (none: implicit VR little endian alone); the
    // peer accepts acceptSyntax (empty: the first proposed).
    bool Open(std::function<void(dicomlib::net::PduStream&)> script,
              std::optional<std::string> transferSyntax = std::nullopt,
              const std::string& acceptSyntax = "") {
        peer.Start([script = std::move(script), acceptSyntax](dicomlib::net::PduStream& s) {
            AcceptAssociation(s, acceptSyntax);
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

// A service provider on a free port: accepts every proposal (with acceptSyntax, or the first
// proposed; or answers the request with answer(rq) when given), reads each command and the data
// set that follows it, answers with respond(n, command) on the command's context (an A-ABORT
// ending the script when that is empty), then with the data set dataSetAfter(n, command) when
// it gives one, and serves the release. Read what came after Join.
class ScriptedScp {
  public:
    using Responder = std::function<Bytes(std::size_t n, const Bytes& command)>;
    using Answerer = std::function<Bytes(const Bytes& rq)>;

    explicit ScriptedScp(Responder respond, std::string acceptSyntax = "",
                         Responder dataSetAfter = {}, Answerer answer = {}) {
        peer_.Start([this, respond = std::move(respond), acceptSyntax,
                     dataSetAfter = std::move(dataSetAfter),
                     answer = std::move(answer)](dicomlib::net::PduStream& s) {
            if (answer) {
                associateRq = ReadPduBytes(s);
                s.Write(answer(associateRq));
            } else {
                associateRq = AcceptAssociation(s, acceptSyntax);
            }
            for (std::size_t n = 0;; ++n) {
                MessagePart command = ReadMessagePart(s);
                if (!command.ok) {
                    released = command.pdus.size() == 1 && command.pdus[0] == RELEASE_RQ &&
                               s.Write(RELEASE_RP);
                    return;
                }
                commands.push_back(command);
                if (UsOf(command.data, dicomlib::tag::CommandDataSetType) != 0x0101)
                    dataSets.push_back(ReadMessagePart(s));
                const Bytes response = respond(n, command.data);
                if (response.empty()) {
                    s.Write(ABORT);
                    return;
                }
                const uint8_t context = command.pdus[0][10];  // of the first PDV
                s.Write(PDataTF({{context, 0x03, response}}));
                const Bytes dataSet = dataSetAfter ? dataSetAfter(n, command.data) : Bytes();
                if (!dataSet.empty()) s.Write(PDataTF({{context, 0x02, dataSet}}));
            }
        });
    }
    const std::string& Port() const { return peer_.Port(); }
    void Join() { peer_.Join(); }
    // The transfer syntaxes proposed in the first presentation context.
    std::vector<std::string> Proposed() const {
        auto rq = dicomlib::net::DecodeAssociateRQ(associateRq);
        if (!rq || rq->contexts.empty()) return {};
        return rq->contexts[0].transferSyntaxes;
    }

    Bytes associateRq;
    std::vector<MessagePart> commands;
    std::vector<MessagePart> dataSets;
    bool released = false;

  private:
    FakePeer peer_;  // last: its thread ends before the records go
};

}  // namespace nettest
