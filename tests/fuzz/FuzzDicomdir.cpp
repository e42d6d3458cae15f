// Feeds arbitrary bytes to the DICOMDIR reader and reads every value it returns to its last
// byte, so that a length that does not match its value block shows. The corpus holds dcmmkdir's
// directories of three 8x8 images in two series, with and without icons, in both item forms.
#include <cstddef>
#include <cstdint>
#include <span>

#include "store/Rddcmdir.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ElementList list;
    dicomlib::store::ReadDCMDIR(std::span<const uint8_t>(data, size), list);
    volatile uint8_t last = 0;
    for (const DicomElement* e : list) {
        if (dicomlib::data::HasValue(*e)) last = last ^ e->value[e->length - 1];
    }
    return 0;
}
