// The message transfer state of one association: what the DIMSE layer keeps between calls while
// it takes P-DATA-TF PDUs apart or sends a message. The association layer only clears it, when
// an association is opened, accepted or released.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace dicomlib::data {
class ByteSink;
}

namespace dicomlib::net {

struct DataTransferState {
    // The P-DATA-TF being taken apart, whole, and where its next PDV starts. A PDU may carry
    // the end of one message and the start of the next; the rest waits here for the next call.
    std::vector<uint8_t> currentPdu;
    std::size_t nextPdvOffset = 0;
    // PDV data collected for the message part being received, or where it goes instead while
    // a data set is written away as it arrives.
    std::vector<uint8_t> message;
    data::ByteSink* incoming = nullptr;
    bool complete = false;
    uint8_t contextId = 0;
    uint8_t controlBits = 0;
    // The Command Field of the response a requestor waits for (0: any message), named when the
    // wait runs out.
    uint16_t awaitedResponse = 0;
    // The PDUs of the message being sent, gathered for one socket write. Kept between messages,
    // so that sending an image touches no fresh memory.
    std::vector<uint8_t> sendBatch;

    // True while currentPdu still holds PDVs that have not been taken.
    bool PduPending() const { return nextPdvOffset < currentPdu.size(); }
    void Clear() { *this = DataTransferState(); }
};

}  // namespace dicomlib::net
