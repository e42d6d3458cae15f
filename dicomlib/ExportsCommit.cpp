// Exported storage commitment: a thin wrapper over services/Commitment.
#include <string>
#include <vector>

#include "ExportSettings.h"
#include "Guarded.h"
#include "net/Association.h"
#include "net/NService.h"
#include "services/Commitment.h"
#include "zedavura.h"

using namespace dicomlib;

namespace {

static_assert(int32_t{COMMIT_NO_RESPONSE} == int32_t{net::N_NO_RESPONSE});
static_assert(int32_t{COMMIT_WRONG_RESPONSE} == int32_t{net::N_WRONG_RESPONSE});
static_assert(int32_t{COMMIT_NOT_SENT} == int32_t{net::N_NOT_SENT});
static_assert(int32_t{COMMIT_NO_ASSOCIATION} == int32_t{services::COMMIT_NO_ASSOCIATION});
static_assert(int32_t{COMMIT_REFUSED} == int32_t{services::COMMIT_REFUSED});
static_assert(int32_t{COMMIT_BAD_ARGUMENT} == int32_t{services::COMMIT_BAD_ARGUMENT});
static_assert(int32_t{COMMIT_NOT_COMMITTED} == int32_t{services::COMMIT_NOT_COMMITTED});
static_assert(int32_t{COMMIT_NO_REPORT} == int32_t{services::COMMIT_NO_REPORT});
static_assert(int32_t{COMMIT_OTHER_TRANSACTION} == int32_t{services::COMMIT_OTHER_TRANSACTION});
static_assert(int32_t{COMMIT_CANNOT_LISTEN} == int32_t{services::COMMIT_CANNOT_LISTEN});
static_assert(int32_t{COMMIT_MALFORMED_REPORT} == int32_t{services::COMMIT_MALFORMED_REPORT});
static_assert(int32_t{services::NOT_REPORTED} == -1);

}  // namespace

extern "C" ZEDAVURA_API int32_t CommitSCU(const ConnectionOptions* peer, const char* const* files,
                                          uint32_t count, const char* receivePort, uint32_t waitMs,
                                          CommitSummary* summary, CommitInstanceSink sink,
                                          void* context) {
    if (summary != nullptr) *summary = CommitSummary{};
    const auto settings = SettingsOf(peer);
    if (!settings || (count > 0 && files == nullptr)) return COMMIT_BAD_ARGUMENT;
    return Guarded("CommitSCU", int32_t{COMMIT_BAD_ARGUMENT}, [&] {
        std::vector<std::filesystem::path> paths;
        for (uint32_t i = 0; i < count; ++i)
            if (files[i] != nullptr) paths.emplace_back(files[i]);
        std::vector<std::filesystem::path> unreadable;
        const auto items = services::CommitItemsOfFiles(paths, unreadable);
        if (!unreadable.empty()) {
            net::NoteFailure(unreadable.front().string() +
                             " is not a DICOM file with SOP class and instance UIDs; nothing was "
                             "sent");
            return int32_t{COMMIT_BAD_ARGUMENT};
        }
        services::CommitOptions options;
        if (receivePort != nullptr) options.receivePort = receivePort;
        if (waitMs != 0) options.wait = std::chrono::milliseconds(waitMs);
        services::CommitResult result;
        const int32_t outcome = services::Commit(*settings, items, options, result);
        uint32_t committed = 0;
        for (const services::CommitVerdict& v : result.verdicts) {
            if (v.reason == 0) ++committed;
            if (sink == nullptr) continue;
            const CommitInstance instance{v.item.sopClassUid.c_str(), v.item.sopInstanceUid.c_str(),
                                          v.reason};
            sink(context, &instance);
        }
        if (summary != nullptr) {
            CopyText(result.transactionUid, summary->transactionUid,
                     sizeof summary->transactionUid);
            summary->millisecondsToCommit = static_cast<uint32_t>(result.timeToCommit.count());
            summary->onOurAssociation = result.onOurAssociation ? 1 : 0;
            summary->committed = committed;
            summary->failed = static_cast<uint32_t>(result.verdicts.size()) - committed;
        }
        return outcome;
    });
}
