// Exported operations on elements, lists and files: thin wrappers over the core.
#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "Guarded.h"
#include "data/Datadec.h"
#include "data/Dump.h"
#include "data/ElementList.h"
#include "data/Part10File.h"
#include "data/TransferSyntax.h"
#include "zedavura.h"

using namespace dicomlib;

namespace {

// The transfer syntax table in its exported form, row for row.
const std::vector<TransferSyntaxInfo>& ExportedSyntaxes() {
    static const std::vector<TransferSyntaxInfo> rows = [] {
        std::vector<TransferSyntaxInfo> exported;
        for (const data::TransferSyntax& row : data::TransferSyntaxes()) {
            exported.push_back(
                {row.uid, row.name, row.explicitVr, row.bigEndian, row.deflated, row.encapsulated});
        }
        return exported;
    }();
    return rows;
}

const TransferSyntaxInfo* Exported(const data::TransferSyntax* row) {
    if (row == nullptr) return nullptr;
    return &ExportedSyntaxes()[static_cast<std::size_t>(row - data::TransferSyntaxes().data())];
}

}  // namespace

extern "C" ZEDAVURA_API char* Version(char* buffer) {
    static constexpr char VERSION[] = "2.48";
    if (buffer == nullptr) return nullptr;
    std::memcpy(buffer, VERSION, sizeof VERSION);
    return buffer;
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
    return Guarded("TagAt", static_cast<DicomElement*>(nullptr), [&] {
        DicomElement* e = (*list)[index];
        return data::LoadValue(*e) ? e : nullptr;
    });
}

extern "C" ZEDAVURA_API DicomElement* TagHeaderAt(const ElementList* list, uint32_t index) {
    if (list == nullptr || index >= list->Size()) return nullptr;
    return (*list)[index];
}

extern "C" ZEDAVURA_API const TransferSyntaxInfo* TransferSyntaxByUID(const char* uid) {
    if (uid == nullptr) return nullptr;
    return Guarded("TransferSyntaxByUID", static_cast<const TransferSyntaxInfo*>(nullptr),
                   [&] { return Exported(data::FindTransferSyntax(uid)); });
}

extern "C" ZEDAVURA_API const TransferSyntaxInfo* TransferSyntaxAt(uint32_t index) {
    return Guarded("TransferSyntaxAt", static_cast<const TransferSyntaxInfo*>(nullptr), [&] {
        const auto& rows = ExportedSyntaxes();
        return index < rows.size() ? &rows[index] : nullptr;
    });
}

extern "C" ZEDAVURA_API const TransferSyntaxInfo* TransferSyntaxByName(const char* name) {
    if (name == nullptr) return nullptr;
    return Guarded("TransferSyntaxByName", static_cast<const TransferSyntaxInfo*>(nullptr),
                   [&] { return Exported(data::FindTransferSyntaxNamed(name)); });
}

extern "C" ZEDAVURA_API uint8_t DICOMFile(const char* fileName, ElementList* metaList,
                                          ElementList* dataList, uint8_t* explicitOut) {
    if (fileName == nullptr || metaList == nullptr || dataList == nullptr) return 0;
    return Guarded("DICOMFile", uint8_t{0}, [&] {
        data::DecoderState state;
        if (!data::ReadPart10File(state, fileName, *metaList, *dataList)) return uint8_t{0};
        if (explicitOut != nullptr) *explicitOut = state.explicitVr;
        return uint8_t{1};
    });
}

extern "C" ZEDAVURA_API int32_t DICOMFileProblem(const char* fileName, char* text,
                                                 uint32_t capacity) {
    return Guarded("DICOMFileProblem", int32_t{0}, [&] {
        return CopyText(fileName != nullptr ? data::Part10FileProblem(fileName) : std::string(),
                        text, capacity);
    });
}

extern "C" ZEDAVURA_API uint8_t DICOMHeader(const char* fileName, ElementList* list) {
    if (fileName == nullptr || list == nullptr) return 0;
    return Guarded("DICOMHeader", uint8_t{0}, [&] {
        auto bytes = data::ReadWholeFile(fileName);
        return static_cast<uint8_t>(bytes && data::ReadPart10Header(bytes->Span(), *list));
    });
}

extern "C" ZEDAVURA_API uint8_t AppendMetaHeader(const char* fileName, const char* transferSyntax) {
    if (fileName == nullptr || transferSyntax == nullptr) return 0;
    return Guarded("AppendMetaHeader", uint8_t{0}, [&] {
        return static_cast<uint8_t>(data::AppendMetaHeader(fileName, transferSyntax));
    });
}

extern "C" ZEDAVURA_API uint8_t ConvertTS(ElementList* list, const char* targetSyntax,
                                          const char* sourceSyntax) {
    if (list == nullptr || targetSyntax == nullptr || sourceSyntax == nullptr) return 0;
    return Guarded("ConvertTS", uint8_t{0}, [&] {
        return static_cast<uint8_t>(data::ConvertList(*list, targetSyntax, sourceSyntax) ==
                                    data::ConvertError::None);
    });
}

extern "C" ZEDAVURA_API int32_t ConvertFileTSWithDetail(const char* newFileName,
                                                        const char* existingFileName,
                                                        const char* targetSyntax, char* detail,
                                                        uint32_t capacity) {
    CopyText("", detail, capacity);
    if (newFileName == nullptr || existingFileName == nullptr || targetSyntax == nullptr)
        return CONVERT_NOT_PART10_FILE;
    return Guarded("ConvertFileTS", int32_t{CONVERT_CANNOT_WRITE}, [&] {
        std::string reason;
        const data::FileConvertStatus status =
            data::ConvertFile(newFileName, existingFileName, targetSyntax, &reason);
        CopyText(reason, detail, capacity);
        return static_cast<int32_t>(status);
    });
}

extern "C" ZEDAVURA_API int32_t ConvertFileTSStatus(const char* newFileName,
                                                    const char* existingFileName,
                                                    const char* targetSyntax) {
    return ConvertFileTSWithDetail(newFileName, existingFileName, targetSyntax, nullptr, 0);
}

extern "C" ZEDAVURA_API uint8_t ConvertFileTS(const char* newFileName, const char* existingFileName,
                                              const char* targetSyntax) {
    return ConvertFileTSStatus(newFileName, existingFileName, targetSyntax) == CONVERT_DONE ? 1 : 0;
}

extern "C" ZEDAVURA_API void DumpTagsToMemo(ElementList* list, DumpLineSink sink, void* context,
                                            uint8_t explicitVr, uint8_t bigEndian) {
    if (list == nullptr || sink == nullptr) return;
    GuardedVoid("DumpTagsToMemo", [&] {
        data::DumpTagsToMemo(
            *list, [&](const std::string& line) { sink(context, line.c_str()); }, explicitVr != 0,
            bigEndian != 0);
    });
}

extern "C" ZEDAVURA_API void DumpTagsToTrace(ElementList* list, DumpLineSink sink, void* context,
                                             uint8_t explicitVr, uint8_t bigEndian) {
    if (list == nullptr || sink == nullptr) return;
    GuardedVoid("DumpTagsToTrace", [&] {
        data::DumpTagsToTrace(
            *list, [&](const std::string& line) { sink(context, line.c_str()); }, explicitVr != 0,
            bigEndian != 0);
    });
}

extern "C" ZEDAVURA_API void DumpTagsToMemoUtf8(ElementList* list, DumpLineSink sink, void* context,
                                                uint8_t explicitVr, uint8_t bigEndian) {
    if (list == nullptr || sink == nullptr) return;
    GuardedVoid("DumpTagsToMemoUtf8", [&] {
        data::DumpTagsToMemo(
            *list, [&](const std::string& line) { sink(context, line.c_str()); }, explicitVr != 0,
            bigEndian != 0, data::DumpText::Utf8);
    });
}

extern "C" ZEDAVURA_API void DumpTagsToTraceUtf8(ElementList* list, DumpLineSink sink,
                                                 void* context, uint8_t explicitVr,
                                                 uint8_t bigEndian) {
    if (list == nullptr || sink == nullptr) return;
    GuardedVoid("DumpTagsToTraceUtf8", [&] {
        data::DumpTagsToTrace(
            *list, [&](const std::string& line) { sink(context, line.c_str()); }, explicitVr != 0,
            bigEndian != 0, data::DumpText::Utf8);
    });
}

extern "C" ZEDAVURA_API uint8_t DumpElementToFile(const char* fileName, DicomElement* element,
                                                  uint8_t explicitVr, int32_t indent,
                                                  uint8_t bigEndian) {
    if (fileName == nullptr || element == nullptr) return 0;
    return Guarded("DumpElementToFile", uint8_t{0}, [&] {
        return static_cast<uint8_t>(
            data::DumpElementToFile(fileName, element, explicitVr != 0, indent, bigEndian != 0));
    });
}
