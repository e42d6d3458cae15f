// Retrieving with C-GET: the instances come back on our own association as C-STORE
// sub-operations, so nothing has to reach us from outside. The association proposes the Get
// class of the information model and, for every storage class we take, contexts with our SCP
// role; each received instance is filed as the storage provider files it (same folders, index
// and refusals) and answered before the next response is read. What the peer reports is checked
// against what arrived.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "net/Association.h"
#include "net/ConnectionSettings.h"
#include "services/QueryRetrieve.h"
#include "services/Records.h"

namespace dicomlib::services {

inline constexpr char STUDY_ROOT_GET[] = "1.2.840.10008.5.1.4.1.2.2.3";
inline constexpr char PATIENT_ROOT_GET[] = "1.2.840.10008.5.1.4.1.2.1.3";

// The peer's final status was success, but its counts or what arrived say otherwise: a failed
// or warning sub-operation, an instance we could not file, or fewer instances than it reported.
constexpr int32_t GET_INCOMPLETE = -19;

// A C-GET-RSP's status and counts (-1 each when absent), and what has arrived so far: the
// C-STORE sub-operations received, and of those the ones filed (success or a warning).
struct GetProgress {
    MoveResponse response;
    uint32_t received = 0;
    uint32_t stored = 0;
};
using GetProgressFn = std::function<void(const GetProgress&)>;
// Told, once the association is open, of each storage class the peer cannot send on it, in words.
using GetNoteFn = std::function<void(const std::string& words)>;

struct GetJob {
    std::string sopClassUid = STUDY_ROOT_GET;
    std::string level;
    // Patient Root: the patient's ID, sent as the unique key above the study when the key
    // record does not carry it (series and image records hold no Patient ID).
    std::string patientId;
    // The classes proposed with our SCP role; empty: the storage classes of the standard
    // profile and those the peer's image-level C-FIND names for what is asked (on an
    // association of its own before the retrieve).
    std::vector<std::string> storageClasses;
    std::string directory;  // where instances are filed, as the provider files them
    std::filesystem::path indexRoot;
    // Asked after each response; once true, a C-CANCEL-RQ goes out and the responses are read
    // on (at most MAX_RESPONSES_AFTER_CANCEL) to the final one, whose counts are kept.
    std::function<bool()> cancelled;
};

// The most storage classes one C-GET association proposes: three contexts each beside the Get
// class's, within the 128 an association holds.
constexpr std::size_t MAX_GET_STORAGE_CLASSES = 42;

// The storage classes of the provider's standard profile.
std::vector<std::string> DefaultGetStorageClasses();

// The storage classes the peer's Study Root C-FIND at image level names for what the key record
// (of kind) asks, on an association of its own: asked at once with the study's (and series'
// and instance's) UIDs, and where a strictly hierarchical peer refuses an image-level query
// without its series, series by series. Empty when the peer takes no C-FIND or answers
// nothing; caveat then says why, for the operator, should something not arrive.
std::vector<std::string> StorageClassesThePeerNames(const net::ConnectionSettings& peer,
                                                    RecordType kind, const void* key,
                                                    std::string& caveat);

// The Get class, then for each storage class an uncompressed context (explicit, implicit VR
// little endian) and one each for JPEG lossless and JPEG baseline, the instance then travelling
// as the peer holds it; one SCP role selection per storage class.
net::Proposals GetProposals(std::string_view getClass, const std::vector<std::string>& classes);

// Why the peer cannot send instances of each class on this association: "the peer did not
// accept our SCP role for CT Image Storage: it cannot send CT on this association", or that it
// refused the class's contexts. A class without a role selection in the answer keeps the
// default roles, which leave us the SCU only.
std::vector<std::string> UnsendableClasses(const Association& assoc,
                                           const std::vector<std::string>& classes);

// The outcome for a final response given what arrived: its status, but GET_INCOMPLETE for a
// success contradicted by the counts or by what was received and filed.
int32_t JudgeGet(const GetProgress& final);

// The one-shot C-GET: the key record at the head of list is consumed as for C-FIND. The
// outcome (the final status, GET_INCOMPLETE, or a QueryFailure), with the last progress in
// last.
int32_t GetSCUStatus(const net::ConnectionSettings& peer, const GetJob& job, RecordList& list,
                     GetProgress& last, const GetProgressFn& progress = {},
                     const GetNoteFn& note = {});

// A C-GET outcome in words: statuses as the C-GET-RSP's, GET_INCOMPLETE, our failures.
std::string GetOutcomeText(int32_t outcome);

}  // namespace dicomlib::services
