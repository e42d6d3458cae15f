// Lookups over the generated dictionary table. The answer is always that of a scan from the
// first row (the first matching row wins, the table keeps its two out-of-order rows), but the
// network layer looks up every element of every message, so a sorted index answers instead.
#include "data/Dictionary.h"

#include <algorithm>
#include <vector>

namespace dicomlib::data {

namespace {

constexpr const char* UNIDENTIFIED = "*** Unidentified ***";

struct IndexEntry {
    uint32_t tag;
    uint32_t row;
};

constexpr uint32_t Key(uint16_t group, uint16_t element) {
    return uint32_t{group} << 16 | element;
}

// Rows sorted by tag; of rows sharing a tag only the first in table order is kept, so a hit
// is exactly what the scan would have stopped at.
std::vector<IndexEntry> BuildIndex() {
    std::span<const DictionaryEntry> rows = DictionaryTable();
    std::vector<IndexEntry> index;
    index.reserve(rows.size());
    for (uint32_t i = 0; i < rows.size() && rows[i].vr[0] != 0; ++i)
        index.push_back({Key(rows[i].group, rows[i].element), i});
    std::stable_sort(index.begin(), index.end(),
                     [](const IndexEntry& a, const IndexEntry& b) { return a.tag < b.tag; });
    index.erase(
        std::unique(index.begin(), index.end(),
                    [](const IndexEntry& a, const IndexEntry& b) { return a.tag == b.tag; }),
        index.end());
    return index;
}

}  // namespace

std::span<const DictionaryEntry> DictionaryTable() {
    return {DICTIONARY_ROWS, DICTIONARY_ROW_COUNT};
}

const DictionaryEntry* FindDictionaryEntry(uint16_t group, uint16_t element) {
    static const std::vector<IndexEntry> index = BuildIndex();  // built once, thread-safe
    uint32_t key = Key(group, element);
    auto it = std::lower_bound(index.begin(), index.end(), key,
                               [](const IndexEntry& e, uint32_t k) { return e.tag < k; });
    if (it == index.end() || it->tag != key) return nullptr;
    return &DICTIONARY_ROWS[it->row];
}

void LookupVR(DicomElement& element) {
    const DictionaryEntry* entry = FindDictionaryEntry(element.group, element.element);
    element.vr[0] = entry != nullptr ? entry->vr[0] : 'U';
    element.vr[1] = entry != nullptr ? entry->vr[1] : 'N';
}

const char* LookupTagName(DicomElement& element) {
    const DictionaryEntry* entry = FindDictionaryEntry(element.group, element.element);
    if (entry == nullptr) return UNIDENTIFIED;
    element.vr[0] = entry->vr[0];
    element.vr[1] = entry->vr[1];
    return entry->name;
}

}  // namespace dicomlib::data
