// Exported operations on elements, lists and files: thin wrappers over the core.
#include "Guarded.h"
#include "data/ElementList.h"
#include "zedavura.h"

using namespace dicomlib;

extern "C" ZEDAVURA_API const char* Version(void) {
    return "2.48";
}

extern "C" ZEDAVURA_API DicomElement* GenerateTag(int32_t group, int32_t element, uint32_t length,
                                                  const void* value, const char* vr) {
    return Guarded("GenerateTag", static_cast<DicomElement*>(nullptr), [&] {
        return data::NewElement(static_cast<uint16_t>(group & 0xFFFF),
                                static_cast<uint16_t>(element & 0xFFFF), length, value, vr);
    });
}

extern "C" ZEDAVURA_API void ClearTags(ElementList* list) {
    if (list != nullptr) list->Clear();
}

extern "C" ZEDAVURA_API ElementList* NewElementList(void) {
    return Guarded("NewElementList", static_cast<ElementList*>(nullptr),
                   [] { return new ElementList(); });
}

extern "C" ZEDAVURA_API void DeleteElementList(ElementList* list) {
    delete list;
}

extern "C" ZEDAVURA_API uint8_t AppendTag(ElementList* list, DicomElement* element) {
    if (list == nullptr || element == nullptr) return 0;
    return Guarded("AppendTag", uint8_t{0}, [&] {
        list->Append(element);
        return uint8_t{1};
    });
}

extern "C" ZEDAVURA_API uint32_t TagCount(const ElementList* list) {
    return list == nullptr ? 0 : static_cast<uint32_t>(list->Size());
}

extern "C" ZEDAVURA_API DicomElement* TagAt(const ElementList* list, uint32_t index) {
    if (list == nullptr || index >= list->Size()) return nullptr;
    return (*list)[index];
}
