// The provider's C-FIND side: Patient Root and Study Root queries over what it has stored (the
// index files, and a stored instance of each match for attributes the index does not hold),
// and Modality Worklist queries over a directory of worklist items (one Part 10 file or one
// DICOM JSON object per file, read again for every query). Each match goes out as a pending
// response, then the final one; a C-CANCEL-RQ that arrives meanwhile ends the answer with
// status 0xFE00. Matching itself is store/QueryMatch.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "net/Dispatcher.h"
#include "store/ProviderProfile.h"
#include "store/QueryMatch.h"

namespace dicomlib::store {

// What the provider answers besides storage, and how it misbehaves when answering.
struct QueryProviderOptions {
    bool query = false;                       // C-FIND at Patient Root and Study Root
    std::filesystem::path worklistDirectory;  // empty: no worklist
    uint32_t pending = 0;  // a fault: this many extra pending responses before each final one
};

enum class QueryModel { PatientRoot, StudyRoot, Worklist };

// What one identifier gets: a failure status with its reason, or the matches, each already
// reduced to the return keys, in index (or file name) order.
struct FindAnswer {
    uint16_t status = 0;
    std::string reason;  // for the Error Comment and the live line
    std::vector<QueryDataSet> matches;
    // Some optional key could not be matched (a sequence, a private attribute): it was taken
    // as universal and the pending responses say so (0xFF01).
    bool keysNotSupported = false;
    // Worklist items that could not be read, by file name.
    std::vector<std::string> unreadable;
};

// A Patient Root or Study Root identifier over the index under target.indexRoot and the files
// under target.storageDirectory. Retrieve AE Title answers ourAeTitle.
FindAnswer AnswerIndexQuery(QueryModel model, const QueryDataSet& identifier,
                            const StorageTarget& target, std::string_view ourAeTitle);
// A worklist identifier over the items in directory.
FindAnswer AnswerWorklistQuery(const QueryDataSet& identifier,
                               const std::filesystem::path& directory);

// The C-FIND-RSP to request: the request's Affected SOP Class UID, Message ID Being Responded
// To, whether an identifier follows, the status and, when given, an Error Comment (at most 64
// characters).
ElementList FindResponse(const ElementList& request, uint16_t status, bool identifierFollows,
                         std::string_view errorComment = {});

// The handler of C-FIND-RQ for a model.
net::DimseHandler FindHandler(QueryModel model, const StorageTarget& target,
                              const QueryProviderOptions& options);

// Adds to the profile the rows the options ask for (Patient Root and Study Root FIND, Modality
// Worklist FIND), or gives the rows already there their C-FIND handler. Nothing without options.
void AddQueryRows(ProviderProfile& profile, const StorageTarget& target,
                  const QueryProviderOptions& options);

}  // namespace dicomlib::store
