#include "services/StatusWords.h"

#include <cstdio>

#include "services/QueryRetrieve.h"
#include "services/Storage.h"
#include "services/Verification.h"

namespace dicomlib::services {
namespace {

const char* OwnFailure(int32_t outcome) {
    switch (outcome) {
        case -1:
            return "no usable response: the connection ended, the peer released or aborted, or "
                   "it answered with another message";
        case -2:
            return "the answer was not the expected response";
        case -3:
            return "the file cannot be opened";
        case -4:
            return "not a DICOM file (no \"DICM\" at offset 128)";
        case -5:
            return "damaged DICOM file (cannot be read to its end)";
        case -6:
            return "no transfer syntax in its meta group";
        case -7:
            return "no SOP Class UID";
        case -8:
            return "cannot connect, or no answer to the association request";
        case -9:
            return "association rejected";
        case -10:
            return "no presentation context accepted";
        case -11:
            return "the data set cannot be converted to the accepted transfer syntax";
        case -12:
            return "the connection failed while sending";
        case -13:
            return "no DICOM files in the directory";
        case -14:
            return "internal failure (see the trace log)";
        case -15:
            return "refused by the library: a null argument, an empty list, an unknown level or "
                   "records of another kind; nothing was sent";
        case -16:
            return "more than 100000 pending responses: the association was aborted";
        default:
            return "failure of the library";
    }
}

// Statuses every DIMSE service may answer with.
const char* GeneralStatus(uint16_t status) {
    switch (status) {
        case 0x0105:
            return "failed: no such attribute";
        case 0x0106:
            return "failed: invalid attribute value";
        case 0x0107:
            return "warning: attribute list error";
        case 0x0110:
            return "failed: processing failure";
        case 0x0111:
            return "failed: duplicate SOP instance";
        case 0x0112:
            return "failed: no such object instance";
        case 0x0116:
            return "warning: attribute value out of range";
        case 0x0117:
            return "failed: invalid object instance";
        case 0x0118:
            return "failed: no such SOP class";
        case 0x0119:
            return "failed: class-instance conflict";
        case 0x0120:
            return "failed: missing attribute";
        case 0x0121:
            return "failed: missing attribute value";
        case 0x0122:
            return "refused: SOP class not supported";
        case 0x0124:
            return "refused: not authorized";
        case 0x0210:
            return "failed: duplicate invocation";
        case 0x0211:
            return "failed: unrecognized operation";
        case 0x0212:
            return "failed: mistyped argument";
        case 0x0213:
            return "failed: resource limitation";
        default:
            return nullptr;
    }
}

const char* FindStatus(uint16_t status) {
    switch (status) {
        case STATUS_SUCCESS:
            return "success: matching is complete";
        case STATUS_PENDING:
            return "pending: matches are continuing";
        case STATUS_PENDING_WARNING:
            return "pending: matches are continuing, but optional keys were not supported";
        case STATUS_CANCEL:
            return "cancelled: matching terminated by a cancel request";
        case 0xA700:
            return "refused: out of resources";
        case 0xA900:
            return "failed: identifier does not match the SOP class";
        default:
            break;
    }
    if ((status & 0xF000) == 0xC000) return "failed: unable to process";
    return nullptr;
}

const char* MoveStatus(uint16_t status) {
    switch (status) {
        case STATUS_SUCCESS:
            return "success: sub-operations complete without failures";
        case STATUS_PENDING:
            return "pending: sub-operations are continuing";
        case STATUS_CANCEL:
            return "cancelled: sub-operations terminated by a cancel request";
        case 0xA700:
            return "refused: out of resources";
        case 0xA701:
            return "refused: out of resources, unable to calculate the number of matches";
        case 0xA702:
            return "refused: out of resources, unable to perform sub-operations";
        case 0xA801:
            return "refused: move destination unknown";
        case 0xA900:
            return "failed: identifier does not match the SOP class";
        case 0xB000:
            return "warning: sub-operations complete with failures or warnings";
        default:
            break;
    }
    if ((status & 0xF000) == 0xC000) return "failed: unable to process";
    return nullptr;
}

const char* StoreStatus(uint16_t status) {
    if (status == STATUS_SUCCESS) return "success";
    if (status == 0xB000) return "warning: coercion of data elements";
    if (status == 0xB006) return "warning: elements discarded";
    if (status == 0xB007) return "warning: data set does not match the SOP class";
    if ((status & 0xFF00) == 0xA700) return "refused: out of resources";
    if ((status & 0xFF00) == 0xA900) return "error: data set does not match the SOP class";
    if ((status & 0xF000) == 0xC000) return "error: cannot understand";
    return nullptr;
}

}  // namespace

const char* StatusMeaning(uint16_t responseField, int32_t outcome) {
    if (outcome < 0) return OwnFailure(outcome);
    if (outcome > 0xFFFF) return "not a status";
    const auto status = static_cast<uint16_t>(outcome);
    const char* words = nullptr;
    switch (responseField) {
        case C_FIND_RSP:
            words = FindStatus(status);
            break;
        case C_MOVE_RSP:
            words = MoveStatus(status);
            break;
        case C_STORE_RSP:
            words = StoreStatus(status);
            break;
        default:
            if (status == STATUS_SUCCESS) words = "success";
            break;
    }
    if (words == nullptr) words = GeneralStatus(status);
    if (words != nullptr) return words;
    if ((status & 0xFF00) == 0xFF00) return "pending";
    if ((status & 0xF000) == 0xB000) return "warning";
    if ((status & 0xF000) == 0xA000 || (status & 0xF000) == 0xC000) return "failed";
    return "unknown status";
}

std::string DescribeOutcome(uint16_t responseField, int32_t outcome) {
    if (outcome < 0 || outcome > 0xFFFF) return StatusMeaning(responseField, outcome);
    char code[8];
    std::snprintf(code, sizeof code, "0x%04X", static_cast<unsigned>(outcome));
    return std::string(code) + " (" + StatusMeaning(responseField, outcome) + ")";
}

}  // namespace dicomlib::services
