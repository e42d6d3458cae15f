// The user side of Study Root query/retrieve: C-FIND and C-MOVE requests whose identifier is
// built from a key record at the head of a record list, and responses turned back into records
// appended to that list. Also the parts the worklist query shares: the response reader, the
// limit on pending responses and the walk through a flat identifier.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "data/Datadec.h"
#include "net/Association.h"
#include "net/CommandSet.h"
#include "services/Records.h"

namespace dicomlib::services {

inline constexpr char STUDY_ROOT_FIND[] = "1.2.840.10008.5.1.4.1.2.2.1";
inline constexpr char STUDY_ROOT_MOVE[] = "1.2.840.10008.5.1.4.1.2.2.2";

// A peer that keeps answering "pending" is stopped after this many responses to one request:
// records kept for a C-FIND, pending responses for a C-MOVE.
constexpr uint32_t MAX_PENDING_RESPONSES = 100000;

// Our own outcomes besides the peer's status; the same numbers cross the exported interface
// and mean the same as the storage codes of the same value.
enum QueryFailure : int32_t {
    QUERY_NO_RESPONSE = -1,           // nothing usable came back
    QUERY_NO_CONNECTION = -8,         // no connection, or no answer to the association request
    QUERY_REJECTED = -9,              // the peer rejected the association
    QUERY_CONTEXT_REFUSED = -10,      // the peer accepted no presentation context
    QUERY_SEND_FAILED = -12,          // the request could not be sent
    QUERY_INTERNAL_ERROR = -14,       // memory ran out, or another failure of the library
    QUERY_REFUSED = -15,              // the caller's arguments do not fit: nothing sent or received
    QUERY_TOO_MANY_PENDING = -16,     // MAX_PENDING_RESPONSES exceeded; the association is aborted
    QUERY_ASSOCIATION_ABORTED = -17,  // an A-ABORT answered the association request
    QUERY_MALFORMED_ANSWER = -18,     // the answer to the association request is not sound
};

// Our own failures in words ("association rejected"), "failure of the library" for another
// negative code.
const char* QueryFailureText(int32_t outcome);
// An outcome of a query or retrieve whose responses carry responseField, in words: a status as
// "status 0xA801 (refused: move destination unknown)", our failures as QueryFailureText.
std::string QueryOutcomeText(uint16_t responseField, int32_t outcome);

// The C-FIND-RQ command set: group length, Affected SOP Class UID, Command Field, Message ID,
// Priority (medium), Command Data Set Type (an identifier follows).
net::CommandSet FindRequest(std::string_view sopClassUid, uint16_t messageId);
// The C-GET-RQ: as C-FIND-RQ with Command Field 0x0010.
net::CommandSet GetRequest(std::string_view sopClassUid, uint16_t messageId);
// The C-MOVE-RQ: as C-FIND-RQ with Move Destination before Priority, padded with one space to
// even length.
net::CommandSet MoveRequest(std::string_view sopClassUid, uint16_t messageId,
                            std::string_view destinationAeTitle);

// Appends one key: an empty text is a zero-length element (universal matching); an odd-length
// text gets one pad byte, 0x00 for UI and a space for every other VR.
void AddQueryKey(ElementList& identifier, Tag tag, const char* vr, std::string_view text);

// The identifier of a key record of a query level: one key per field that goes into it (of the
// higher levels only their unique keys), (0008,0052) holding the level, and (0008,0005) when
// the key's texts are in a character set, in ascending tag
// order.
ElementList QueryIdentifier(RecordType level, const void* key);

// The nesting of a flat identifier, element by element: sequences and items of undefined
// length open a level that their delimiter closes; a delimiter that closes nothing is ignored.
class FlatNesting {
  public:
    // Takes the next element of the list; true when it is one with a value at the current
    // level, to be looked at by the caller.
    bool Take(const DicomElement& element);
    std::size_t Depth() const { return open_.size(); }
    // True directly inside the top-level sequence `sequence`, between its items.
    bool InTopLevelSequence(Tag sequence) const;
    // True directly inside an item of the top-level sequence `sequence`.
    bool InTopLevelItemOf(Tag sequence) const;
    // Forgets levels opened beyond depth (after a malformed stretch).
    void Truncate(std::size_t depth);

  private:
    struct Level {
        Tag tag;
        bool item;
    };
    std::vector<Level> open_;
};

// The text of a value: at most its length, up to its first 0x00; trailing spaces stay.
std::string_view ValueText(const DicomElement& element);

// Fills a record of a query level from an identifier: each top-level element with a defined,
// non-zero length sets the field of its tag; its (0008,0005) the record's character set.
void FillQueryRecord(RecordType level, void* record, const ElementList& identifier);

// What the responses' data sets are decoded in: the syntax of the context they came on.
data::DecoderState ReceivedSyntax(const Association& assoc);

// Receives one response of the given Command Field and, when its command announces one, the
// data set after it into identifier. The Status (an absent one reads as success) or a
// negative code; writes the outcome in words to the trace log. Counts pending responses and
// aborts the association past the limit.
int32_t ReadResponse(Association& assoc, uint16_t responseField, ElementList& command,
                     ElementList& identifier);

// Writes a line to the trace log when its level is at least minLevel.
void LogServiceLine(int32_t minLevel, std::string_view text);

// The one-shot query association for sopClassUid, and why it is not open (0 when it is).
net::AssociationPtr OpenQuery(const net::ConnectionSettings& peer, std::string_view sopClassUid,
                              int32_t& outcome);

// Sends the C-FIND-RQ and the identifier of the key record at the head of list. The key record
// is freed and leaves the list once the arguments fit (level known, the head of that kind).
// 0 when sent, QUERY_REFUSED or QUERY_SEND_FAILED.
int32_t SendFind(Association& assoc, RecordList& list, std::string_view sopClassUid,
                 std::string_view level);
bool WriteFindRQ(Association& assoc, RecordList& list, std::string_view sopClassUid,
                 std::string_view level);
// Receives one C-FIND-RSP; every response but a success appends a record of the level.
// QUERY_REFUSED (nothing received) for an unknown level or a list of another kind.
int32_t ReadFindRSP(Association& assoc, RecordList& list, std::string_view level);
// The one-shot C-FIND: the final status or a negative code.
int32_t FindSCUStatus(const net::ConnectionSettings& peer, std::string_view level,
                      RecordList& list);
int32_t FindSCUStatus(std::string_view host, std::string_view port, std::string_view callingAeTitle,
                      std::string_view calledAeTitle, std::string_view level, RecordList& list);

int32_t SendMove(Association& assoc, RecordList& list, std::string_view sopClassUid,
                 std::string_view level, std::string_view destinationAeTitle);
// The C-GET-RQ and its identifier, the key record consumed as by SendFind; a patientId is sent
// as Patient ID when the key record does not name one (Patient Root below the patient level).
int32_t SendGet(Association& assoc, RecordList& list, std::string_view sopClassUid,
                std::string_view level, std::string_view patientId = {});
bool WriteMoveRQ(Association& assoc, RecordList& list, std::string_view sopClassUid,
                 std::string_view level, std::string_view destinationAeTitle);

// One C-MOVE-RSP: its status and sub-operation numbers (-1 when absent).
struct MoveResponse {
    int32_t status = QUERY_NO_RESPONSE;
    int32_t remaining = -1;
    int32_t completed = -1;
    int32_t failed = -1;
    int32_t warning = -1;
};
MoveResponse ReadMoveResponse(Association& assoc);
// The same for the responses of responseField (C-MOVE-RSP, C-GET-RSP).
MoveResponse ReadRetrieveResponse(Association& assoc, uint16_t responseField);
using MoveProgressFn = std::function<void(const MoveResponse&)>;
// The one-shot C-MOVE: reads responses while they are 0xFF00; the final status or a negative
// code.
int32_t MoveSCUStatus(const net::ConnectionSettings& peer, std::string_view destinationAeTitle,
                      std::string_view level, RecordList& list,
                      const MoveProgressFn& progress = {});
int32_t MoveSCUStatus(std::string_view host, std::string_view port, std::string_view callingAeTitle,
                      std::string_view calledAeTitle, std::string_view destinationAeTitle,
                      std::string_view level, RecordList& list,
                      const MoveProgressFn& progress = {});

// A peer answering a cancelled request may still send the responses it had on the way; past
// this many the association is aborted.
constexpr uint32_t MAX_RESPONSES_AFTER_CANCEL = 1000;

// Cancels the last query request sent on the association: sends the C-CANCEL-RQ, then reads
// responses of responseField, dropping pending ones, until the final one. Its status (0xFE00
// cancelled, or the status of a query that ended first), QUERY_SEND_FAILED, QUERY_NO_RESPONSE,
// or QUERY_TOO_MANY_PENDING when the peer goes on past MAX_RESPONSES_AFTER_CANCEL (aborted).
int32_t CancelQuery(Association& assoc, uint16_t responseField);

// Frees every record when the level names their kind (an empty list fits any level).
bool ClearQuery(RecordList& list, std::string_view level);

}  // namespace dicomlib::services
