// C-FIND matching over data set trees, and the trees' way in from and out to the flat form.
#include "store/QueryMatch.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "data/Dictionary.h"
#include "data/Tags.h"

namespace dicomlib::store {
namespace {

constexpr uint16_t ITEM_GROUP = 0xFFFE;

std::string TagText(Tag tag) {
    char text[16];
    std::snprintf(text, sizeof text, "(%04X,%04X)", tag.group, tag.element);
    return text;
}

bool Less(Tag a, Tag b) {
    return a.group != b.group ? a.group < b.group : a.element < b.element;
}

bool IsText(std::string_view vr) {
    static constexpr const char* TEXT[] = {"AE", "AS", "CS", "DA", "DS", "DT", "IS", "LO", "LT",
                                           "PN", "SH", "ST", "TM", "UC", "UI", "UR", "UT"};
    return std::any_of(std::begin(TEXT), std::end(TEXT), [&](const char* t) { return vr == t; });
}

// Padding and the blanks around a value are not part of it (leading blanks are, in the long
// texts).
std::string Unpadded(std::string_view bytes, std::string_view vr) {
    if (!IsText(vr)) return std::string(bytes);
    const bool keepsLeading = vr == "LT" || vr == "ST" || vr == "UT";
    std::size_t end = bytes.size();
    while (end > 0 && (bytes[end - 1] == ' ' || bytes[end - 1] == '\0'))
        --end;
    std::size_t start = 0;
    while (!keepsLeading && start < end && bytes[start] == ' ')
        ++start;
    return std::string(bytes.substr(start, end - start));
}

std::string VrOf(const DicomElement& e) {
    if (e.vr[0] != 0) return std::string(e.vr, 2);
    DicomElement copy = e;
    data::LookupVR(copy);
    return std::string(copy.vr, 2);
}

// Reads the attributes of one level of the flat form from list[at] up to the delimiter that
// closes it (close), or to the end for the top level.
net::Result<QueryDataSet> ReadLevel(const ElementList& list, std::size_t& at, uint16_t close) {
    QueryDataSet level;
    while (at < list.Size()) {
        const DicomElement& e = *list[at++];
        const Tag tag{e.group, e.element};
        if (tag.group == ITEM_GROUP) {
            if (close != 0 && tag.element == close) return level;
            return net::Error{net::ErrorCode::Malformed, "an item or delimiter out of place"};
        }
        QueryAttribute attribute;
        attribute.tag = tag;
        attribute.vr = VrOf(e);
        if (e.length == UNDEFINED_LENGTH) {
            attribute.vr = "SQ";
            while (true) {
                if (at >= list.Size())
                    return net::Error{net::ErrorCode::Malformed,
                                      "sequence " + TagText(tag) + " does not close"};
                const DicomElement& next = *list[at++];
                if (next.group == ITEM_GROUP && next.element == 0xE0DD) break;
                if (next.group != ITEM_GROUP || next.element != 0xE000 ||
                    next.length != UNDEFINED_LENGTH)
                    return net::Error{net::ErrorCode::Malformed,
                                      "sequence " + TagText(tag) + " holds no items"};
                auto item = ReadLevel(list, at, 0xE00D);
                if (!item) return item;
                attribute.items.push_back(std::move(*item));
            }
        } else {
            const data::ValueView value(e);
            if (!value.Ok())
                return net::Error{net::ErrorCode::Malformed,
                                  "the value of " + TagText(tag) + " cannot be read"};
            const auto bytes = value.Bytes();
            attribute.value = Unpadded(
                std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()),
                attribute.vr);
        }
        if (level.Find(tag) == nullptr) level.Set(std::move(attribute));
    }
    if (close != 0) return net::Error{net::ErrorCode::Malformed, "an item does not close"};
    return level;
}

char Folded(char c, bool fold) {
    return fold ? static_cast<char>(std::toupper(static_cast<unsigned char>(c))) : c;
}

// "*" any run, "?" any one character.
bool Wildcard(std::string_view pattern, std::string_view text, bool fold) {
    std::size_t p = 0, t = 0, star = std::string_view::npos, resume = 0;
    while (t < text.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            resume = t;
        } else if (p < pattern.size() &&
                   (pattern[p] == '?' || Folded(pattern[p], fold) == Folded(text[t], fold))) {
            ++p;
            ++t;
        } else if (star != std::string_view::npos) {
            p = star + 1;
            t = ++resume;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*')
        ++p;
    return p == pattern.size();
}

// Dates and times as digits alone, times and date-times filled out to full precision: a lower
// bound with zeros, an upper one with nines, so "-1000" takes every time up to 10:00:59.999999.
std::string Comparable(std::string_view value, std::string_view vr, bool upper) {
    std::string digits;
    for (char c : value) {
        if (c == '+' || (c == '-' && !digits.empty())) break;  // a date-time's offset
        if (std::isdigit(static_cast<unsigned char>(c))) digits += c;
    }
    const std::size_t full = vr == "TM" ? 12 : vr == "DT" ? 20 : 8;
    if (digits.size() < full) digits.append(full - digits.size(), upper ? '9' : '0');
    return digits;
}

bool InRange(std::string_view range, std::string_view value, std::string_view vr) {
    const std::size_t dash = range.find('-');
    const std::string_view low = range.substr(0, dash), high = range.substr(dash + 1);
    if (value.empty()) return false;
    const std::string v = Comparable(value, vr, false);
    if (!low.empty() && v < Comparable(low, vr, false)) return false;
    if (!high.empty() && v > Comparable(high, vr, true)) return false;
    return true;
}

bool MatchesOne(std::string_view key, std::string_view value, std::string_view vr) {
    const bool ranged = vr == "DA" || vr == "TM" || vr == "DT";
    if (ranged && key.find('-') != std::string_view::npos) return InRange(key, value, vr);
    const bool fold = vr == "PN";
    if (vr != "UI" && key.find_first_of("*?") != std::string_view::npos)
        return Wildcard(key, value, fold);
    if (ranged) return Comparable(key, vr, false) == Comparable(value, vr, false);
    return key.size() == value.size() && Wildcard(key, value, fold);
}

std::vector<std::string_view> Values(std::string_view text, std::string_view vr) {
    std::vector<std::string_view> values;
    if (!IsText(vr) || vr == "LT" || vr == "ST" || vr == "UT") return {text};
    std::size_t start = 0;
    while (true) {
        const std::size_t end = text.find('\\', start);
        std::string_view v = text.substr(start, end == std::string_view::npos ? end : end - start);
        while (!v.empty() && v.front() == ' ')
            v.remove_prefix(1);
        while (!v.empty() && v.back() == ' ')
            v.remove_suffix(1);
        values.push_back(v);
        if (end == std::string_view::npos) return values;
        start = end + 1;
    }
}

bool IsNoKey(Tag tag) {
    return tag == tag::SpecificCharacterSet || tag == tag::QueryRetrieveLevel;
}

struct DateTimePair {
    Tag date;
    Tag time;
};
constexpr DateTimePair DATE_TIME_PAIRS[] = {
    {tag::StudyDate, tag::StudyTime},     {{0x0008, 0x0021}, {0x0008, 0x0031}},  // Series
    {{0x0008, 0x0022}, {0x0008, 0x0032}},                                        // Acquisition
    {{0x0008, 0x0023}, {0x0008, 0x0033}},                                        // Content
    {{0x0040, 0x0002}, {0x0040, 0x0003}},  // Scheduled Procedure Step Start
    {{0x0040, 0x0244}, {0x0040, 0x0245}},  // Performed Procedure Step Start
};

bool IsSingleRange(const QueryAttribute* key) {
    return key != nullptr && key->value.find('-') != std::string::npos &&
           key->value.find('\\') == std::string::npos;
}

// The pair the key belongs to when both of its keys are asked as ranges.
const DateTimePair* CombinedPair(const QueryDataSet& keys, Tag tag) {
    for (const DateTimePair& pair : DATE_TIME_PAIRS)
        if ((tag == pair.date || tag == pair.time) && IsSingleRange(keys.Find(pair.date)) &&
            IsSingleRange(keys.Find(pair.time)))
            return &pair;
    return nullptr;
}

bool InCombinedRange(std::string_view dateRange, std::string_view timeRange, std::string_view date,
                     std::string_view time) {
    const std::size_t dateDash = dateRange.find('-'), timeDash = timeRange.find('-');
    const std::string_view lowDate = dateRange.substr(0, dateDash);
    const std::string_view highDate = dateRange.substr(dateDash + 1);
    const std::string_view lowTime = timeRange.substr(0, timeDash);
    const std::string_view highTime = timeRange.substr(timeDash + 1);
    const std::string value = Comparable(date, "DA", false) + Comparable(time, "TM", false);
    // A bound without its time is filled out to the start or the end of its day.
    if (!lowDate.empty() &&
        value < Comparable(lowDate, "DA", false) + Comparable(lowTime, "TM", false))
        return false;
    if (!highDate.empty() &&
        value > Comparable(highDate, "DA", true) + Comparable(highTime, "TM", true))
        return false;
    return true;
}

bool MatchesCombined(const QueryDataSet& keys, const DateTimePair& pair,
                     const QueryDataSet& record) {
    const QueryAttribute* date = record.Find(pair.date);
    const QueryAttribute* time = record.Find(pair.time);
    if (date == nullptr || time == nullptr) return false;
    for (std::string_view d : Values(date->value, "DA"))
        for (std::string_view t : Values(time->value, "TM"))
            if (!d.empty() && !t.empty() &&
                InCombinedRange(keys.Find(pair.date)->value, keys.Find(pair.time)->value, d, t))
                return true;
    return false;
}

}  // namespace

const QueryAttribute* QueryDataSet::Find(Tag tag) const {
    auto it = std::lower_bound(attributes.begin(), attributes.end(), tag,
                               [](const QueryAttribute& a, Tag t) { return Less(a.tag, t); });
    return it != attributes.end() && it->tag == tag ? &*it : nullptr;
}

void QueryDataSet::Set(QueryAttribute attribute) {
    auto it = std::lower_bound(attributes.begin(), attributes.end(), attribute.tag,
                               [](const QueryAttribute& a, Tag t) { return Less(a.tag, t); });
    if (it != attributes.end() && it->tag == attribute.tag)
        *it = std::move(attribute);
    else
        attributes.insert(it, std::move(attribute));
}

void QueryDataSet::SetText(Tag tag, std::string_view value) {
    DicomElement e{tag.group, tag.element, {0, 0}, 0, nullptr};
    data::LookupVR(e);
    QueryAttribute attribute;
    attribute.tag = tag;
    attribute.vr = std::string(e.vr, 2);
    attribute.value = std::string(value);
    Set(std::move(attribute));
}

net::Result<QueryDataSet> QueryDataSetOf(const ElementList& flat, const data::DecoderState& state,
                                         Tag last) {
    // Defined-length sequences are opened first, so that one walk reads every level.
    ElementList open;
    int depth = 0;  // of undefined-length sequences, items and pixel data around e
    for (const DicomElement* e : flat) {
        if (e->group == ITEM_GROUP && (e->element == 0xE0DD || e->element == 0xE00D)) {
            --depth;
        } else if (depth <= 0 && Less(last, {e->group, e->element})) {
            break;
        } else if (e->length == UNDEFINED_LENGTH) {
            ++depth;
        }
        const bool container = VrOf(*e) == "SQ" || (e->group == ITEM_GROUP && e->element == 0xE000);
        if (container && e->length != UNDEFINED_LENGTH && e->length != 0) {
            if (!data::ExpandSequence(state, *e, open))
                return net::Error{
                    net::ErrorCode::Malformed,
                    "sequence " + TagText({e->group, e->element}) + " cannot be read"};
        } else if (container && e->length == 0 && e->group != ITEM_GROUP) {
            open.Append(data::NewElement(e->group, e->element, UNDEFINED_LENGTH, nullptr, "SQ"));
            open.Append(data::NewElement(ITEM_GROUP, 0xE0DD, 0, nullptr, "DL"));
        } else {
            open.Append(data::CopyElement(*e));
        }
    }
    std::size_t at = 0;
    return ReadLevel(open, at, 0);
}

bool MatchesValue(std::string_view key, std::string_view value, std::string_view vr) {
    if (key.empty()) return true;
    const auto keys = Values(key, vr);
    const auto values = Values(value, vr);
    for (std::string_view k : keys)
        for (std::string_view v : values)
            if (MatchesOne(k, v, vr)) return true;
    return false;
}

bool Matches(const QueryDataSet& keys, const QueryDataSet& record) {
    for (const QueryAttribute& key : keys.attributes) {
        if (IsNoKey(key.tag)) continue;
        const QueryAttribute* have = record.Find(key.tag);
        if (key.vr == "SQ") {
            if (key.items.empty()) continue;
            const bool universal =
                std::all_of(key.items.begin(), key.items.end(), [](const QueryDataSet& item) {
                    return std::all_of(
                        item.attributes.begin(), item.attributes.end(),
                        [](const QueryAttribute& a) { return a.value.empty() && a.items.empty(); });
                });
            if (universal) continue;
            if (have == nullptr ||
                std::none_of(have->items.begin(), have->items.end(),
                             [&](const QueryDataSet& item) { return Matches(key.items[0], item); }))
                return false;
            continue;
        }
        if (key.value.empty()) continue;
        if (const DateTimePair* pair = CombinedPair(keys, key.tag)) {
            if (key.tag == pair->date && !MatchesCombined(keys, *pair, record)) return false;
            continue;
        }
        if (have == nullptr || !MatchesValue(key.value, have->value, key.vr)) return false;
    }
    return true;
}

bool MatchesWhatItHolds(const QueryDataSet& keys, const QueryDataSet& record) {
    QueryDataSet held;
    for (const QueryAttribute& key : keys.attributes) {
        if (record.Find(key.tag) == nullptr) continue;
        if (const DateTimePair* pair = CombinedPair(keys, key.tag))
            if (record.Find(pair->date) == nullptr || record.Find(pair->time) == nullptr) continue;
        held.attributes.push_back(key);
    }
    return Matches(held, record);
}

QueryDataSet SelectReturnKeys(const QueryDataSet& keys, const QueryDataSet& record) {
    QueryDataSet out;
    if (const QueryAttribute* charset = record.Find(tag::SpecificCharacterSet)) out.Set(*charset);
    for (const QueryAttribute& key : keys.attributes) {
        if (key.tag == tag::SpecificCharacterSet) continue;
        const QueryAttribute* have = record.Find(key.tag);
        QueryAttribute answer;
        answer.tag = key.tag;
        answer.vr = key.vr;
        if (have != nullptr && key.vr == "SQ") {
            for (const QueryDataSet& item : have->items) {
                if (key.items.empty())
                    answer.items.push_back(item);
                else if (Matches(key.items[0], item))
                    answer.items.push_back(SelectReturnKeys(key.items[0], item));
            }
        } else if (have != nullptr) {
            answer.value = have->value;
        }
        out.Set(std::move(answer));
    }
    return out;
}

ElementList FlatDataSetOf(const QueryDataSet& dataSet) {
    ElementList list;
    for (const QueryAttribute& a : dataSet.attributes) {
        if (a.vr == "SQ") {
            list.Append(
                data::NewElement(a.tag.group, a.tag.element, UNDEFINED_LENGTH, nullptr, "SQ"));
            for (const QueryDataSet& item : a.items) {
                list.Append(data::NewElement(ITEM_GROUP, 0xE000, UNDEFINED_LENGTH, nullptr, "DL"));
                ElementList inner = FlatDataSetOf(item);
                for (const DicomElement* e : inner)
                    list.Append(data::CopyElement(*e));
                list.Append(data::NewElement(ITEM_GROUP, 0xE00D, 0, nullptr, "DL"));
            }
            list.Append(data::NewElement(ITEM_GROUP, 0xE0DD, 0, nullptr, "DL"));
            continue;
        }
        std::string value = a.value;
        if (value.size() % 2 != 0) value += a.vr == "UI" ? '\0' : IsText(a.vr) ? ' ' : '\0';
        list.Append(data::NewElement(a.tag.group, a.tag.element,
                                     static_cast<uint32_t>(value.size()), value.data(),
                                     a.vr.c_str()));
    }
    return list;
}

}  // namespace dicomlib::store
