// Query and worklist records: the C structs of zedavura.h, their field tables, and the lists
// that hold them. Every record the library makes is registered until it is freed, so that a
// pointer from a C caller is checked before it is trusted: a record that is not live, or is
// already in a list, or of another kind than the list, is refused instead of freed twice or
// read past its end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "data/ElementList.h"
#include "zedavura.h"

namespace dicomlib::services {

enum class RecordType : uint8_t { Study, Series, Image, Worklist };

// "STUDY", "SERIES", "IMAGE" or "WORKLIST", exactly.
std::optional<RecordType> KindNamed(std::string_view name);
// The three query levels only.
std::optional<RecordType> QueryLevelKind(std::string_view level);
const char* KindName(RecordType kind);

struct RecordFieldInfo {
    const char* name;
    Tag tag;  // {0, 0} for the unused worklist field
    char vr[3];
    bool sentAsKey = true;
    bool inStep = false;  // inside (0040,0100) Scheduled Procedure Step Sequence
    // False for a higher level's attribute that is no unique key: it is filled from responses
    // but never goes into the identifier, not even with zero length.
    bool inIdentifier = true;
};

// The fields of a kind in record order.
std::span<const RecordFieldInfo> FieldsOf(RecordType kind);

// A new registered record with every field empty.
void* NewRecord(RecordType kind);
// The kind of a live record; none for any other pointer.
std::optional<RecordType> KindOf(const void* record);
// Field index of a live record of kind; the caller has checked both.
char*& FieldOf(RecordType kind, void* record, std::size_t index);
const char* FieldText(RecordType kind, const void* record, std::size_t index);
// Replaces a field with a copy of text (at most length bytes, up to the first 0x00).
void SetField(RecordType kind, void* record, std::size_t index, std::string_view text);
// The same by the field's name: the text of the field so named ("" when none is), and setting it
// (nothing happens for a name no field of kind has).
std::string FieldTextNamed(RecordType kind, const void* record, std::string_view name);
void SetFieldNamed(RecordType kind, void* record, std::string_view name, std::string_view text);
// Frees a live record that is in no list; false for anything else.
bool FreeLoneRecord(void* record);

// The Specific Character Set (0008,0005) a live record's field is written in: that of the data
// set it came from, or the set a key record's texts were put in; "" for the default. Constant
// until the record's sets change or it is freed; null for a record that is not live.
const char* CharacterSetOf(const void* record, std::size_t index);
// Sets the character set of a live record's fields; step, when given, for those inside the
// Scheduled Procedure Step Sequence, whose item may name a set of its own. False when the
// record is not live.
bool SetCharacterSets(const void* record, std::string_view top,
                      std::optional<std::string_view> step = std::nullopt);

}  // namespace dicomlib::services

// An ordered list of records of one kind; it owns them. Defined at global scope so that the C
// handle in zedavura.h needs no casts. One thread at a time.
struct RecordList {
    RecordList() = default;
    ~RecordList() { Clear(); }
    RecordList(const RecordList&) = delete;
    RecordList& operator=(const RecordList&) = delete;

    // The kind of the records held; none while empty.
    std::optional<dicomlib::services::RecordType> Kind() const {
        if (records_.empty()) return std::nullopt;
        return kind_;
    }
    // True when the list is empty or holds records of kind.
    bool Holds(dicomlib::services::RecordType kind) const {
        return records_.empty() || kind_ == kind;
    }
    std::size_t Size() const { return records_.size(); }
    void* operator[](std::size_t index) const { return records_[index]; }

    // Takes a live record in no list, of the list's kind; false (nothing changed) otherwise.
    bool Append(void* record);
    // A new empty record of kind appended; the list must hold that kind.
    void* AppendNew(dicomlib::services::RecordType kind);
    // Frees the record at the head and removes it from the list.
    void FreeFront();
    // Frees every record.
    void Clear();

  private:
    std::vector<void*> records_;
    dicomlib::services::RecordType kind_ = dicomlib::services::RecordType::Study;
};
