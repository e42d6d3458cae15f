// What the query commands share, over DIMSE and DICOMweb alike: the key record made from the
// --key options, the records printed as blocks of their non-empty fields or as one array in the
// DICOM JSON model, and the outcome lines.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "Commands.h"
#include "zedavura.h"

namespace cli {

// A key record of kind holding the keys (FIELD, VALUE), appended to a new list: UTF-8 values
// go in characterSet (a (0008,0005) value; empty: ASCII only), or, without one, are set as
// given. Null (reported) when a key names no field that can be sent or holds what the set
// cannot.
RecordList* KeyList(const Command& self,
                    const std::vector<std::pair<std::string, std::string>>& keys, const char* kind,
                    const std::optional<std::string>& characterSet);

// One worklist query with the key record at the head of list (consumed): the responses'
// records are appended to list. opened tells whether the association was accepted; the final
// status, or a QueryOutcome failure.
int32_t QueryWorklist(const ConnectionOptions& options, RecordList* list, bool& opened);

// Prints the records that came with pending responses (not the one of a final failure status),
// their texts decoded by the character set of their response, and the count: to standard
// output, the count to standard error with json; warns once of each character set it cannot
// decode. Returns the count.
uint32_t PrintRecords(const char* command, const RecordList* list, int32_t status, bool json);

// The outcome line: to the log, and to standard output on success (standard error with json),
// to standard error on failure, then the explanation line of a failure. Returns the exit code.
int Finish(const std::string& service, bool ok, const std::string& detail, bool json);

}  // namespace cli
