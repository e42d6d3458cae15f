// DIMSE message transfer: one command set or data set at a time over an open association,
// inside P-DATA-TF PDUs. Sending encodes the list a value at a time in the context's transfer
// syntax (as the transfer syntax table lays it out; command sets always implicit VR little
// endian) and cuts the bytes into fragments as they come, one PDV per PDU, each PDU as long as
// the peer's maximum PDU length allows (up to MAX_SENT_PDU_LENGTH).
// Receiving collects PDVs until the last fragment and decodes them, or writes a data set's
// bytes to a file as they come; every other PDU ends the receive (release, abort, stray
// association PDUs). What the command elements mean is left to the
// services.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "data/ElementList.h"
#include "data/ElementSink.h"
#include "data/SpoolFile.h"
#include "net/Association.h"

namespace dicomlib::net {

// The longest PDU we send (its length field), also to a peer that announced no maximum: what a
// peer announces below it is what its PDUs get.
constexpr std::size_t MAX_SENT_PDU_LENGTH = 128 * 1024;

// Bit 0 of the message control header.
enum class MessageKind : uint8_t {
    DataSet = 0,
    Command = 1,
};

// The presentation context to send a SOP class on, 0 when there is none. Proposals are taken
// in order and only those that were accepted count. The print meta classes stand for their
// member classes, but a proposal of the class itself, or a later meta class, wins.
uint8_t FindContextForClass(const Association& assoc, std::string_view sopClassUid);

// The transfer syntax accepted for the context, none when it was not accepted.
std::optional<std::string> AcceptedSyntaxOf(const Association& assoc, uint8_t contextId);

// Encodes list and sends it on the SOP class's context. In explicit VR each element takes the
// dictionary's VR (stored into the element); a tag the dictionary does not know keeps its
// own VR, or gets UN when it has none. False when no accepted context fits or the connection
// fails; an empty list sends nothing and succeeds.
bool SendMessage(Association& assoc, ElementList& list, std::string_view sopClassUid,
                 MessageKind kind);
// The same for a message that body puts into the sink element by element (a conversion writes
// itself so, a frame at a time). When body gives up part way the association is aborted: the
// peer has part of a message. False then too.
bool SendMessageFrom(Association& assoc, std::string_view sopClassUid, MessageKind kind,
                     const std::function<bool(data::ElementSink&)>& body);

// SendMessage and SendMessageFrom on the given context, which must have been accepted (a file
// goes on the context of its own syntax where the peer took it).
bool SendMessageOnContext(Association& assoc, ElementList& list, uint8_t contextId,
                          MessageKind kind);
bool SendMessageOnContextFrom(Association& assoc, uint8_t contextId, MessageKind kind,
                              const std::function<bool(data::ElementSink&)>& body);

// Receives one command set or data set and appends its elements to list. False when the
// connection is closed, the peer releases or aborts, or sends something that is not a sound
// P-DATA-TF (then the association is aborted); what was decoded before a failure stays in
// list. A release request is answered and leaves the connection to CloseAssoc.
bool ReceiveMessage(Association& assoc, ElementList& list);

// Receives one data set into spool as its bytes arrive (inflated when its context deflates
// them), checked on the way to be whole elements as ReceiveMessage would decode them, and reads
// its elements back from the file into list, with values from 256 KB on and pixel data left in
// it. False as for ReceiveMessage; a data set that is not sound aborts the association. A spool
// that fails (a full disk) still takes the whole message: then true, list empty, spool failed.
// A message that came as a command set is left to the caller to refuse (list empty).
bool ReceiveMessageToFile(Association& assoc, data::SpoolFile& spool, ElementList& list);

}  // namespace dicomlib::net
