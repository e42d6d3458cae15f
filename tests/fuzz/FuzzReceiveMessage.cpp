// ReceiveMessage over whatever a peer might send. The bytes arrive through a pair of connected
// local sockets whose far end then closes, so the real stream, PDU and PDV code runs; messages
// are received until one fails. Contexts 1, 3 and 5 are accepted with implicit VR little
// endian, explicit VR little endian and explicit VR big endian; anything else is refused.
#include <cstddef>
#include <cstdint>

#include "data/TransferSyntax.h"
#include "net/Association.h"
#include "net/Dimse.h"
#include "net/TcpSocket.h"

using namespace dicomlib;
using namespace dicomlib::net;

namespace {

// What a socket pair holds without a reader on the other end.
constexpr std::size_t MAX_INPUT_BYTES = 64 * 1024;
constexpr int MAX_MESSAGES = 64;

void Check(bool condition) {
    if (!condition) __builtin_trap();
}

void Accept(Association& assoc, uint8_t id, const char* abstractSyntax, const char* syntax) {
    assoc.request.contexts.push_back({id, abstractSyntax, {syntax}});
    assoc.acceptedContexts.push_back({id, RESULT_ACCEPTANCE, syntax, abstractSyntax});
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > MAX_INPUT_BYTES) return 0;
    int ours = -1, theirs = -1;
    if (!TcpSocket::ConnectedPair(ours, theirs)) return 0;
    Association assoc;
    assoc.stream.Adopt(ours);
    Accept(assoc, 1, "1.2.840.10008.1.1", uid::ImplicitVRLittleEndian);
    Accept(assoc, 3, "1.2.840.10008.5.1.4.1.1.2", uid::ExplicitVRLittleEndian);
    Accept(assoc, 5, "1.2.840.10008.5.1.4.1.1.7", uid::ExplicitVRBigEndian);
    assoc.request.contexts.push_back({7, "1.2.840.10008.5.1.4.1.1.4", {"1.2.840.10008.1.2.4.50"}});
    {
        TcpSocket peer;
        peer.Adopt(theirs);
        peer.Send(data, size);
    }
    for (int i = 0; i < MAX_MESSAGES; ++i) {
        ElementList list;
        const bool received = ReceiveMessage(assoc, list);
        // Every value came from the input: nothing is made up from a length field.
        std::size_t valueBytes = 0;
        for (const DicomElement* e : list) {
            const bool hasValue = e->length != 0 && e->length != UNDEFINED_LENGTH;
            Check(hasValue == (e->value != nullptr));
            if (hasValue) valueBytes += e->length;
        }
        Check(valueBytes <= size);
        if (!received) break;
    }
    return 0;
}
