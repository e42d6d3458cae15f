// The user side of the Storage service: the C-STORE-RQ and C-STORE-RSP exchange on an
// association the caller opened, the one-shot store of one file, and the store of a whole series
// directory on one association. Every outcome is one 32-bit number: a C-STORE status
// (0..65535) from the peer, or one of the negative codes below for what went wrong on our side.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "net/Association.h"
#include "net/CommandSet.h"

namespace dicomlib::services {

// Our own failures; the same numbers cross the exported interface.
enum StoreFailure : int32_t {
    STORE_NO_RESPONSE = -1,           // no message came back
    STORE_NOT_STORE_RESPONSE = -2,    // a message came whose Command Field is not C-STORE-RSP
    STORE_CANNOT_OPEN = -3,           // the file cannot be opened
    STORE_NOT_PART10 = -4,            // no "DICM" at offset 128
    STORE_DAMAGED_FILE = -5,          // a Part 10 file that cannot be read to its end
    STORE_NO_TRANSFER_SYNTAX = -6,    // no (0002,0010) Transfer Syntax UID
    STORE_NO_SOP_CLASS = -7,          // no (0008,0016) SOP Class UID
    STORE_NO_CONNECTION = -8,         // no connection, or no answer to the association request
    STORE_REJECTED = -9,              // the peer rejected the association
    STORE_CONTEXT_REFUSED = -10,      // the peer accepted no presentation context for the class
    STORE_CONVERSION_FAILED = -11,    // the data set could not be converted to the accepted syntax
    STORE_SEND_FAILED = -12,          // the connection failed while sending
    STORE_NO_FILES = -13,             // a series directory with nothing to send
    STORE_INTERNAL_ERROR = -14,       // memory ran out, or another failure of the library itself
    STORE_ASSOCIATION_ABORTED = -17,  // an A-ABORT answered the association request
    STORE_MALFORMED_ANSWER = -18,     // the answer to the association request is not sound
};

// Why an association was not opened, as an outcome of ours: the same numbers serve the query
// services.
int32_t OpenFailureOutcome(const Association& assoc);

// What an outcome means, in words: ours, or "status 0xA700 (refused: out of resources)" for a
// C-STORE status. peer names the peer in the words of outcomes that concern it.
std::string StoreOutcomeText(int32_t outcome, std::string_view peer);

// Who a C-STORE sub-operation of a C-MOVE is made for: the title of the requestor of the
// C-MOVE and the Message ID of its C-MOVE-RQ.
struct MoveOriginator {
    std::string aeTitle;
    uint16_t messageId = 0;
};

// The C-STORE-RQ command set: group length, Affected SOP Class UID, Command Field, Message ID,
// Priority, Command Data Set Type, when given Affected SOP Instance UID, and for a C-MOVE's
// sub-operation Move Originator Application Entity Title and Message ID. Both UIDs are padded
// with 0x00 to even length, the title with a space.
net::CommandSet StoreRequest(std::string_view sopClassUid, uint16_t messageId,
                             std::optional<std::string_view> sopInstanceUid,
                             const MoveOriginator* originator = nullptr);

// Sends a C-STORE-RQ with the next Message ID and then the data set on the SOP class's
// context. The data set goes in the accepted syntax: converted when it is in another syntax and
// convert is set, element for element otherwise. 0 when both were sent, else a negative code.
// The caller's list is left as it was.
int32_t StoreDataSet(Association& assoc, ElementList& dataSet, std::string_view sopClassUid,
                     std::string_view currentSyntax, bool convert);
// StoreDataSet on the given accepted context, for originator when it is a C-MOVE's
// sub-operation. A failed conversion is noted as this thread's last failure, naming both
// syntaxes and why.
int32_t StoreDataSetOn(Association& assoc, uint8_t contextId, ElementList& dataSet,
                       std::string_view sopClassUid, std::string_view currentSyntax, bool convert,
                       const MoveOriginator* originator = nullptr);
bool WriteStoreRQ(Association& assoc, ElementList& dataSet, std::string_view sopClassUid,
                  std::string_view currentSyntax, bool convert);

// Receives one message: the Status of a C-STORE-RSP (0..65535), STORE_NO_RESPONSE or
// STORE_NOT_STORE_RESPONSE. An absent Status reads as 0.
int32_t ReadStoreRSP(Association& assoc);

// Stores one Part 10 file: opens an association for its SOP class proposing the file's syntax,
// then the preferred one, sends it, reads the response and always releases. The C-STORE status
// or a negative code; nothing is sent for a file that is not a Part 10 file or lacks its
// transfer syntax or SOP Class UID.
int32_t StoreFile(const net::ConnectionSettings& peer, const std::filesystem::path& file,
                  std::optional<std::string_view> preferredSyntax, bool convert);
int32_t StoreFile(std::string_view host, std::string_view port, std::string_view callingAeTitle,
                  std::string_view calledAeTitle, const std::filesystem::path& file,
                  std::optional<std::string_view> preferredSyntax, bool convert);
// True only for status 0x0000.
bool StoreSCU(std::string_view host, std::string_view port, std::string_view callingAeTitle,
              std::string_view calledAeTitle, const std::filesystem::path& file,
              std::optional<std::string_view> preferredSyntax, bool convert);

// Told after each file of a series: its index (0-based), the number of entries, the file and
// its outcome.
using SeriesProgress = std::function<void(std::size_t index, std::size_t count,
                                          const std::filesystem::path& file, int32_t outcome)>;

// What the scan of a series found in one file: its SOP class and transfer syntax, or why it
// cannot be sent (outcome, a negative code).
struct ScannedFile {
    int32_t outcome = 0;
    std::string sopClass;
    std::string syntax;
};

// One association of a series: its proposals, and the files it tells of (indexes into the
// scan), in the files' order.
struct SeriesAssociation {
    std::vector<net::PresentationContextRQ> proposals;
    std::vector<std::size_t> entries;
};

// The associations that send the scanned files. Each SOP class, in the order of its first
// file, gets one context per transfer syntax: every syntax its files come in, in the order they
// first come, then the preferred one and implicit VR little endian unless among them already.
// Classes are not split, and fill associations of at most MAX_PROPOSALS contexts. A file that
// cannot be sent is told of with the association of the file before it. Context IDs are left
// to the opening.
std::vector<SeriesAssociation> PlanSeries(const std::vector<ScannedFile>& files,
                                          std::optional<std::string_view> preferredSyntax);

// The accepted context a file goes on: the one of its class in its own syntax; when the peer
// took none such, the one in the preferred syntax, else in implicit VR little endian, else the
// first accepted for the class (the file is then converted, and when that fails, tried once
// more without the preferred syntax); 0 when the class has none.
uint8_t ContextForFile(const Association& assoc, std::string_view sopClassUid,
                       std::string_view fileSyntax,
                       std::optional<std::string_view> preferredSyntax);

// Sends a series directory: the files named by its "Image.dir" index, or, without one, every
// Part 10 file in it in file name order. Every file is scanned first; the associations are those
// of PlanSeries, so that each file goes in its own syntax wherever the peer takes it, and is
// converted only where it does not (Message IDs go on counting from one association to the
// next). A file that fails is skipped, and each is told to progress as it is done. Returns the
// outcome of the last file; STORE_NO_FILES for a directory without any.
int32_t SendSeriesStatus(const net::ConnectionSettings& peer,
                         const std::filesystem::path& directory,
                         std::optional<std::string_view> preferredSyntax, bool convert,
                         const SeriesProgress& progress = {});
int32_t SendSeriesStatus(std::string_view host, std::string_view port,
                         std::string_view callingAeTitle, std::string_view calledAeTitle,
                         const std::filesystem::path& directory,
                         std::optional<std::string_view> preferredSyntax, bool convert,
                         const SeriesProgress& progress = {});
// 1 when the last file was stored with status 0x0000, else 0.
int32_t SendSeries(std::string_view host, std::string_view port, std::string_view callingAeTitle,
                   std::string_view calledAeTitle, const std::filesystem::path& directory,
                   std::optional<std::string_view> preferredSyntax, bool convert);

// True when the file opens and holds "DICM" at offset 128.
bool IsPart10File(const std::filesystem::path& path);
// The regular files of the directory that IsPart10File accepts, sorted by file name so that the
// order does not depend on the file system.
std::vector<std::filesystem::path> ListPart10Files(const std::filesystem::path& directory);

}  // namespace dicomlib::services
