// The flat writer's core, generic over where the bytes go (a fixed buffer, a file).
#pragma once

#include <cstdint>

#include "data/Datadec.h"
#include "data/ElementList.h"

namespace dicomlib::data {

void EffectiveVr(const DicomElement& element, char vr[2]);

inline void PutU16Bytes(uint8_t* p, uint16_t v, bool big) {
    p[big ? 1 : 0] = static_cast<uint8_t>(v);
    p[big ? 0 : 1] = static_cast<uint8_t>(v >> 8);
}

inline void PutU32Bytes(uint8_t* p, uint32_t v, bool big) {
    for (int i = 0; i < 4; ++i)
        p[big ? 3 - i : i] = static_cast<uint8_t>(v >> (8 * i));
}

// Writes each element's header and value through sink.Put(bytes, count), which returns false
// when the bytes do not fit. Items and delimiters take the implicit form; group 0002 is always
// explicit little endian. Returns the number of elements written whole.
template <class Sink>
int64_t WriteFlat(const ElementList& list, bool explicitVr, bool bigEndian, Sink& sink) {
    int64_t count = 0;
    for (const DicomElement* e : list) {
        const bool meta = e->group == 0x0002;
        const bool big = bigEndian && !meta;
        uint8_t header[12];
        uint32_t headerSize = 8;
        PutU16Bytes(header, e->group, big);
        PutU16Bytes(header + 2, e->element, big);
        if (e->group != 0xFFFE && (explicitVr || meta)) {
            char vr[2];
            EffectiveVr(*e, vr);
            header[4] = static_cast<uint8_t>(vr[0]);
            header[5] = static_cast<uint8_t>(vr[1]);
            if (IsLongFormVr(vr)) {
                header[6] = 0;
                header[7] = 0;
                PutU32Bytes(header + 8, e->length, big);
                headerSize = 12;
            } else {
                PutU16Bytes(header + 6, static_cast<uint16_t>(e->length), big);
            }
        } else {
            PutU32Bytes(header + 4, e->length, big);
        }
        if (!sink.Put(header, headerSize)) return count;
        if (HasValue(*e) && !sink.Put(e->value, e->length)) return count;
        ++count;
    }
    return count;
}

}  // namespace dicomlib::data
