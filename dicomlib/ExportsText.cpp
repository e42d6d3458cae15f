// Exported operations on character sets: text values to UTF-8, UTF-8 keys into a set.
#include <string>
#include <string_view>

#include "Guarded.h"
#include "data/CharacterSet.h"
#include "data/Dictionary.h"
#include "zedavura.h"

using namespace dicomlib;

namespace {

// The kind of text of a VR given as C text; Values for one the set does not apply to.
data::TextKind KindOf(const char* vr) {
    if (vr == nullptr || vr[0] == '\0') return data::TextKind::Values;
    const char pair[2] = {vr[0], vr[1]};
    return data::TextKindOf(pair).value_or(data::TextKind::Values);
}

}  // namespace

extern "C" ZEDAVURA_API int32_t DecodeText(const char* characterSet, const char* vr,
                                           const uint8_t* value, uint32_t length, char* text,
                                           uint32_t capacity) {
    return Guarded("DecodeText", int32_t{-1}, [&] {
        const char pair[2] = {vr != nullptr ? vr[0] : '\0',
                              vr != nullptr && vr[0] != '\0' ? vr[1] : '\0'};
        const std::string_view bytes(reinterpret_cast<const char*>(value),
                                     value != nullptr ? length : 0);
        return CopyUtf8(data::TextToUtf8(characterSet != nullptr ? characterSet : "", pair, bytes),
                        text, capacity);
    });
}

extern "C" ZEDAVURA_API int32_t TagTextUtf8(const ElementList* list, uint32_t index, char* text,
                                            uint32_t capacity) {
    if (list == nullptr || index >= list->Size()) return -1;
    return Guarded("TagTextUtf8", int32_t{-1}, [&] {
        data::CharacterSetScopes scopes;
        for (uint32_t i = 0; i < index; ++i)
            scopes.Take(*(*list)[i]);
        DicomElement& e = *(*list)[index];
        // A value left in its file is read first: the copy below has no file to read from.
        if (!data::LoadValue(e)) return int32_t{-1};
        DicomElement typed = e;  // read in implicit VR: the dictionary's VR
        if (typed.vr[0] == 0) data::LookupVR(typed);
        return CopyUtf8(data::ValueToUtf8(*scopes.Take(e), typed), text, capacity);
    });
}

extern "C" ZEDAVURA_API int32_t EncodeText(const char* characterSet, const char* vr,
                                           const char* utf8, char* out, uint32_t capacity,
                                           uint32_t* failedAt) {
    if (utf8 == nullptr) return TEXT_NOT_ENCODABLE;
    return Guarded("EncodeText", int32_t{TEXT_NOT_ENCODABLE}, [&]() -> int32_t {
        const data::CharacterSet set(characterSet != nullptr ? characterSet : "");
        if (!set.Warning().empty()) return TEXT_UNKNOWN_CHARACTER_SET;
        std::size_t at = 0;
        const std::optional<std::string> bytes = set.Encode(utf8, KindOf(vr), &at);
        if (!bytes) {
            if (failedAt != nullptr) *failedAt = static_cast<uint32_t>(at);
            return TEXT_NOT_ENCODABLE;
        }
        return CopyText(*bytes, out, capacity);
    });
}

extern "C" ZEDAVURA_API int32_t CharacterSetWarning(const char* characterSet, char* text,
                                                    uint32_t capacity) {
    return Guarded("CharacterSetWarning", int32_t{-1}, [&] {
        const data::CharacterSet set(characterSet != nullptr ? characterSet : "");
        return CopyUtf8(data::Cp1252ToUtf8(set.Warning()), text, capacity);
    });
}
