// Bytes of each PDU type and back, one encoder and one decoder per type. Encoders return the
// whole PDU, header included. Decoders take exactly one whole PDU and never touch a socket:
// they give the value, NeedMore while the bytes end before the PDU does, or Malformed with the
// field and offset where the PDU contradicts itself.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "net/Pdu.h"
#include "net/Result.h"

namespace dicomlib::net {

// The header at the start of bytes (NeedMore below 6 bytes); the type is not judged.
Result<PduHeader> DecodePduHeader(std::span<const uint8_t> bytes);

std::vector<uint8_t> EncodeAssociateRQ(const AssociateRQ& rq);
// Items other than application context, presentation context and user information end the
// parse; the bytes after them are dropped.
Result<AssociateRQ> DecodeAssociateRQ(std::span<const uint8_t> pdu);

std::vector<uint8_t> EncodeAssociateAC(const AssociateAC& ac);
// An unknown item type makes the rest of the PDU be skipped.
Result<AssociateAC> DecodeAssociateAC(std::span<const uint8_t> pdu);

// Never sent by this system; the encoder serves tests and fake peers.
std::vector<uint8_t> EncodeAssociateRJ(const AssociateRJ& rj);
Result<AssociateRJ> DecodeAssociateRJ(std::span<const uint8_t> pdu);

std::vector<uint8_t> EncodeReleaseRQ();
Result<ReleaseRQ> DecodeReleaseRQ(std::span<const uint8_t> pdu);

std::vector<uint8_t> EncodeReleaseRP();
Result<ReleaseRP> DecodeReleaseRP(std::span<const uint8_t> pdu);

std::vector<uint8_t> EncodeAbortRQ(const AbortRQ& abort = {});
Result<AbortRQ> DecodeAbortRQ(std::span<const uint8_t> pdu);

// A P-DATA-TF holding one PDV: header, PDV length, context ID, control header, the fragment.
std::vector<uint8_t> EncodePDataTF(uint8_t contextId, uint8_t control,
                                   std::span<const uint8_t> fragment);
// The same PDU appended to out, so that several can go out in one write.
void AppendPDataTF(std::vector<uint8_t>& out, uint8_t contextId, uint8_t control,
                   std::span<const uint8_t> fragment);
// Every PDV of a P-DATA-TF, in order; each PDV's data points into pdu.
Result<std::vector<Pdv>> DecodePDataTF(std::span<const uint8_t> pdu);

}  // namespace dicomlib::net
