// A scripted query provider on loopback and the responses it sends, for the query and worklist
// suites: C-FIND-RSP and C-MOVE-RSP command sets written element by element, data sets from
// the independent builder.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "net/DimseFixtures.h"
#include "support/DataSetBuilder.h"

namespace nettest {

inline constexpr char FIND[] = "1.2.840.10008.5.1.4.1.2.2.1";

// A query provider: accepts every proposal (with acceptSyntax), reads the request and its
// identifier, writes the answer PDUs, and serves the release. Read what came after Join.
class QueryPeer {
  public:
    explicit QueryPeer(std::vector<Bytes> answer, std::string acceptSyntax = "") {
        peer_.Start([this, answer = std::move(answer), acceptSyntax](dicomlib::net::PduStream& s) {
            AcceptAssociation(s, acceptSyntax);
            command = ReadMessagePart(s);
            if (!command.ok) return;
            identifier = ReadMessagePart(s);
            for (const Bytes& pdu : answer)
                if (!s.Write(pdu)) return;
            end = ReadPduBytes(s);
            if (!end.empty() && end[0] == 0x04) {  // a C-CANCEL-RQ; the end comes after it
                cancel = std::move(end);
                end = ReadPduBytes(s);
            }
            if (end == RELEASE_RQ) s.Write(RELEASE_RP);
        });
    }
    const std::string& Port() const { return peer_.Port(); }
    void Join() { peer_.Join(); }
    MessagePart command, identifier;
    Bytes cancel;  // the P-DATA-TF that came after the answer, if any
    Bytes end;     // what ended the association: A-RELEASE-RQ, A-ABORT, or empty when closed

  private:
    FakePeer peer_;
};

// A response of the Command Field with the status; an identifier announced or not.
inline Bytes Response(uint16_t status, bool identifier, uint16_t field = 0x8020,
                      Command extra = {}) {
    Command c = {{0x0002, Uid(FIND)},
                 {0x0100, Le16(field)},
                 {0x0120, Le16(3)},
                 {0x0800, Le16(identifier ? 0x0001 : 0x0101)},
                 {0x0900, Le16(status)}};
    c.insert(c.end(), extra.begin(), extra.end());
    return PDataTF({{1, 0x03, CommandBytes(c)}});
}
inline Bytes DataSetPdu(const Bytes& dataSet) {
    return PDataTF({{1, 0x02, dataSet}});
}
inline Bytes Implicit(const std::function<void(testsupport::DataSetBuilder&)>& build) {
    testsupport::DataSetBuilder b(false, false);
    build(b);
    return b.Bytes();
}

}  // namespace nettest
