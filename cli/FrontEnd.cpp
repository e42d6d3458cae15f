#include "FrontEnd.h"

#include <memory>

namespace cli {
namespace {

using ListPtr = std::unique_ptr<ElementList, decltype(&DeleteElementList)>;

ListPtr MakeList() {
    return ListPtr(NewElementList(), &DeleteElementList);
}

void HandOn(void* context, const char* line) {
    (*static_cast<const std::function<void(const char*)>*>(context))(line);
}

}  // namespace

std::string TransferSyntaxOf(const ElementList* meta) {
    for (uint32_t i = 0; i < TagCount(meta); ++i) {
        const DicomElement* e = TagAt(meta, i);
        if (e->group == 0x0002 && e->element == 0x0010 && e->value != nullptr) {
            std::string text(reinterpret_cast<const char*>(e->value), e->length);
            return text.substr(0, text.find('\0'));
        }
    }
    return {};
}

bool BigEndianDataSet(const ElementList* meta) {
    const TransferSyntaxInfo* syntax = TransferSyntaxByUID(TransferSyntaxOf(meta).c_str());
    return syntax != nullptr && syntax->bigEndian;
}

bool DumpFileLines(const std::string& fileName, const std::function<void(const char*)>& sink) {
    const ListPtr meta = MakeList();
    const ListPtr data = MakeList();
    uint8_t explicitVr = 1;
    if (!DICOMFile(fileName.c_str(), meta.get(), data.get(), &explicitVr)) return false;
    const bool bigEndian = BigEndianDataSet(meta.get());
    sink("Dump OK!");
    auto* context = const_cast<std::function<void(const char*)>*>(&sink);
    DumpTagsToMemoUtf8(meta.get(), HandOn, context, 1, 0);
    DumpTagsToMemoUtf8(data.get(), HandOn, context, explicitVr, bigEndian ? 1 : 0);
    return true;
}

std::string OutcomeLine(const std::string& service, bool succeeded, const std::string& host,
                        const std::string& port, const std::string& calledAeTitle) {
    if (succeeded) return service + " OK";
    return service + " failed to connect to: " + calledAeTitle + " (" + host + ":" + port + ")";
}

std::string ExplanationLine() {
    const int32_t length = LastFailureText(nullptr, 0);
    if (length <= 0) return {};
    std::string text(static_cast<std::size_t>(length) + 1, '\0');
    LastFailureText(text.data(), static_cast<uint32_t>(text.size()));
    text.resize(static_cast<std::size_t>(length));
    return "  " + text;
}

}  // namespace cli
