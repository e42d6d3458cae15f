// The provider's C-FIND matching, as pure functions over data sets held as trees: the
// identifier a requestor sent (its keys) and the records the provider holds (from the index
// files, stored instances or worklist items) are the same kind of value. A key with an empty
// value matches everything (universal); a UID key with backslashes is a list of UIDs; a date,
// time or date-time key with a hyphen is a range ("A-B", "A-", "-B"); a key holding "*" or "?"
// is a wildcard pattern; anything else is a single value. A multi-valued record value matches
// when one of its values does. Person names match without regard to case. A sequence key
// matches when one item of the record's sequence matches the key's item.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "data/Datadec.h"
#include "data/ElementList.h"
#include "net/Result.h"

namespace dicomlib::store {

struct QueryDataSet;

// One attribute: its text without padding (binary values as their bytes), or its items.
struct QueryAttribute {
    Tag tag{0, 0};
    std::string vr;  // two letters; "SQ" for a sequence
    std::string value;
    std::vector<QueryDataSet> items;
};

// Attributes in ascending tag order, each tag once.
struct QueryDataSet {
    std::vector<QueryAttribute> attributes;

    const QueryAttribute* Find(Tag tag) const;
    // Sets (or replaces) an attribute, keeping the order.
    void Set(QueryAttribute attribute);
    // A text attribute, its VR from the dictionary.
    void SetText(Tag tag, std::string_view value);
};

// The tree of a data set in flat form, as decoded in state: defined-length sequences are
// opened, nested ones too. A sequence or item that does not close, a stray delimiter or a
// value that cannot be opened gives an error naming the attribute. The first of a repeated tag
// holds. Top-level attributes after last are left out unread, and what follows them with them.
net::Result<QueryDataSet> QueryDataSetOf(const ElementList& flat, const data::DecoderState& state,
                                         Tag last = {0xFFFF, 0xFFFF});

// Whether one key value matches one record value under the VR's rules.
bool MatchesValue(std::string_view key, std::string_view value, std::string_view vr);

// Whether the record matches every key; Specific Character Set and Query/Retrieve Level are
// no keys. A non-universal key the record lacks does not match. A date and its time (Study
// Date and Study Time, the Scheduled Procedure Step Start Date and Time, and the like) both
// asked as ranges match as one date-time range: "20060705-20060707" with "1000-1800" takes
// everything from 5 July 10:00 to 7 July 18:00; a bound without its time is the start or the
// end of its day, a pair without a date bound is open on that side.
bool Matches(const QueryDataSet& keys, const QueryDataSet& record);

// Matches over the keys the record holds, the others left out (the two keys of a date-time
// pair only when it holds both): false means that no record made of this one and more
// attributes can match.
bool MatchesWhatItHolds(const QueryDataSet& keys, const QueryDataSet& record);

// The response identifier: exactly the keys asked for, each with the record's value (empty
// when it has none); a sequence key with the record's items that match its item, each reduced
// to the keys of that item (an empty sequence key returns the items whole). The record's
// Specific Character Set goes with it when it has one.
QueryDataSet SelectReturnKeys(const QueryDataSet& keys, const QueryDataSet& record);

// The flat form for sending: sequences and items of undefined length with their delimiters,
// texts padded to even length (UIDs with 0x00, others with a space).
ElementList FlatDataSetOf(const QueryDataSet& dataSet);

}  // namespace dicomlib::store
