// The user side of the Modality Worklist FIND service: the C-FIND request whose identifier
// carries the Scheduled Procedure Step Sequence, and responses turned into worklist records.
// The command set and the response rules are those of the query/retrieve C-FIND.
#pragma once

#include <string_view>

#include "data/Datadec.h"
#include "net/Association.h"
#include "services/Records.h"

namespace dicomlib::services {

inline constexpr char MODALITY_WORKLIST_FIND[] = "1.2.840.10008.5.1.4.31";

// The worklist identifier of a key record: 26 elements in a fixed order, the step attributes
// inside (0040,0100) and its one item, both of undefined length with explicit delimiters.
// Fields that are never keys go with zero length whatever the record holds. A key record
// written in a character set puts (0008,0005) in front.
ElementList WorklistIdentifier(const void* key);

// Fills a worklist record from a response identifier: top-level attributes from the top level,
// step attributes from the items of a top-level (0040,0100), in either length form; a
// defined-length sequence or item is decoded in the given syntax. With several items the
// last one's values remain. The record's character set is the identifier's (0008,0005); a
// step item's own holds for the step fields.
void FillWorklistRecord(void* record, const ElementList& identifier,
                        const data::DecoderState& syntax);

// Sends the C-FIND-RQ and the identifier of the WORKLIST key record at the head of list, which
// stays there. 0 when sent, QUERY_REFUSED or QUERY_SEND_FAILED.
int32_t SendWorklistFind(Association& assoc, const RecordList& list, std::string_view sopClassUid);
bool WriteWLFindRQ(Association& assoc, const RecordList& list, std::string_view sopClassUid);
// Receives one C-FIND-RSP; every response but a success appends a worklist record.
int32_t ReadWLFindRSP(Association& assoc, RecordList& list);
// Frees every record of a list of worklist records (or an empty one).
bool ClearWL(RecordList& list);

}  // namespace dicomlib::services
