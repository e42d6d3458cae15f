// Exported query/retrieve and worklist operations and the records and lists they fill: thin
// wrappers over services/. A null pointer or a level that does not fit is refused here or in
// the core with the documented result.
#include <cstring>
#include <string_view>

#include "ExportSettings.h"
#include "Guarded.h"
#include "data/CharacterSet.h"
#include "services/QueryRetrieve.h"
#include "services/Records.h"
#include "services/Retrieve.h"
#include "services/Worklist.h"
#include "store/DatabaseIndex.h"
#include "zedavura.h"

using namespace dicomlib;

namespace {

std::string_view TextOrEmpty(const char* text) {
    return text != nullptr ? std::string_view(text) : std::string_view();
}

// Each C-MOVE-RSP handed to the caller's sink (none for null).
services::MoveProgressFn MoveReport(MoveProgressSink progress, void* context) {
    if (progress == nullptr) return {};
    return [progress, context](const services::MoveResponse& r) {
        const MoveProgress p = {r.status, r.remaining, r.completed, r.failed, r.warning};
        progress(context, &p);
    };
}

static_assert(GET_INCOMPLETE == services::GET_INCOMPLETE);

// Each C-GET-RSP handed to the caller's sink (none for null).
services::GetProgressFn GetReport(GetProgressSink progress, void* context) {
    if (progress == nullptr) return {};
    return [progress, context](const services::GetProgress& g) {
        const services::MoveResponse& r = g.response;
        const GetProgress p = {r.status,  r.remaining, r.completed, r.failed,
                               r.warning, g.received,  g.stored};
        progress(context, &p);
    };
}

uint8_t Flag(bool value) {
    return static_cast<uint8_t>(value ? 1 : 0);
}

}  // namespace

extern "C" ZEDAVURA_API uint8_t DescribeRecordField(const char* kind, uint32_t index,
                                                    RecordField* field) {
    if (kind == nullptr || field == nullptr) return 0;
    const auto k = services::KindNamed(kind);
    if (!k) return 0;
    const auto fields = services::FieldsOf(*k);
    if (index >= fields.size()) return 0;
    const services::RecordFieldInfo& info = fields[index];
    field->name = info.name;
    field->group = info.tag.group;
    field->element = info.tag.element;
    std::memcpy(field->vr, info.vr, sizeof field->vr);
    field->sentAsKey = Flag(info.sentAsKey);
    field->inStepSequence = Flag(info.inStep);
    return 1;
}

extern "C" ZEDAVURA_API void* NewRecord(const char* kind) {
    if (kind == nullptr) return nullptr;
    return Guarded("NewRecord", static_cast<void*>(nullptr), [&]() -> void* {
        const auto k = services::KindNamed(kind);
        return k ? services::NewRecord(*k) : nullptr;
    });
}

extern "C" ZEDAVURA_API const char* RecordKind(const void* record) {
    return Guarded("RecordKind", static_cast<const char*>(nullptr), [&]() -> const char* {
        const auto kind = services::KindOf(record);
        return kind ? services::KindName(*kind) : nullptr;
    });
}

extern "C" ZEDAVURA_API uint8_t SetRecordField(void* record, uint32_t index, const char* text) {
    if (text == nullptr) return 0;
    return Guarded("SetRecordField", uint8_t{0}, [&] {
        const auto kind = services::KindOf(record);
        if (!kind || index >= services::FieldsOf(*kind).size()) return uint8_t{0};
        services::SetField(*kind, record, index, text);
        return uint8_t{1};
    });
}

extern "C" ZEDAVURA_API const char* RecordText(const void* record, uint32_t index) {
    return Guarded("RecordText", static_cast<const char*>(nullptr), [&]() -> const char* {
        const auto kind = services::KindOf(record);
        if (!kind || index >= services::FieldsOf(*kind).size()) return nullptr;
        return services::FieldText(*kind, record, index);
    });
}

extern "C" ZEDAVURA_API const char* RecordCharacterSet(const void* record, uint32_t index) {
    return Guarded("RecordCharacterSet", static_cast<const char*>(nullptr), [&]() -> const char* {
        const auto kind = services::KindOf(record);
        if (!kind || index >= services::FieldsOf(*kind).size()) return nullptr;
        return services::CharacterSetOf(record, index);
    });
}

extern "C" ZEDAVURA_API int32_t RecordTextUtf8(const void* record, uint32_t index, char* text,
                                               uint32_t capacity) {
    return Guarded("RecordTextUtf8", int32_t{-1}, [&] {
        const auto kind = services::KindOf(record);
        if (!kind || index >= services::FieldsOf(*kind).size()) return int32_t{-1};
        return CopyUtf8(data::TextToUtf8(services::CharacterSetOf(record, index),
                                         services::FieldsOf(*kind)[index].vr,
                                         services::FieldText(*kind, record, index)),
                        text, capacity);
    });
}

extern "C" ZEDAVURA_API uint8_t SetRecordCharacterSet(void* record, const char* characterSet) {
    return Guarded("SetRecordCharacterSet", uint8_t{0}, [&] {
        const data::CharacterSet set(characterSet != nullptr ? characterSet : "");
        if (!set.Warning().empty() || !services::KindOf(record)) return uint8_t{0};
        return Flag(services::SetCharacterSets(record, set.Value()));
    });
}

extern "C" ZEDAVURA_API uint8_t FreeRecord(void* record) {
    return Guarded("FreeRecord", uint8_t{0},
                   [&] { return Flag(services::FreeLoneRecord(record)); });
}

extern "C" ZEDAVURA_API RecordList* NewRecordList(void) {
    return Guarded("NewRecordList", static_cast<RecordList*>(nullptr),
                   [] { return new RecordList(); });
}

extern "C" ZEDAVURA_API void DeleteRecordList(RecordList* list) {
    GuardedVoid("DeleteRecordList", [&] { delete list; });
}

extern "C" ZEDAVURA_API uint8_t AppendRecord(RecordList* list, void* record) {
    if (list == nullptr || record == nullptr) return 0;
    return Guarded("AppendRecord", uint8_t{0}, [&] { return Flag(list->Append(record)); });
}

extern "C" ZEDAVURA_API uint32_t RecordCount(const RecordList* list) {
    return list == nullptr ? 0 : static_cast<uint32_t>(list->Size());
}

extern "C" ZEDAVURA_API void* RecordAt(const RecordList* list, uint32_t index) {
    if (list == nullptr || index >= list->Size()) return nullptr;
    return (*list)[index];
}

extern "C" ZEDAVURA_API uint8_t WriteFindRQ(Association* assoc, RecordList* list,
                                            const char* sopClassUid, const char* level) {
    if (assoc == nullptr || list == nullptr || sopClassUid == nullptr || level == nullptr) return 0;
    return Guarded("WriteFindRQ", uint8_t{0},
                   [&] { return Flag(services::WriteFindRQ(*assoc, *list, sopClassUid, level)); });
}

extern "C" ZEDAVURA_API int32_t ReadFindRSP(Association* assoc, RecordList* list,
                                            const char* level) {
    if (assoc == nullptr || list == nullptr || level == nullptr) return QUERY_REFUSED;
    return Guarded("ReadFindRSP", int32_t{QUERY_INTERNAL_ERROR},
                   [&] { return services::ReadFindRSP(*assoc, *list, level); });
}

extern "C" ZEDAVURA_API uint8_t IsPendingStatus(int32_t outcome) {
    return Flag(net::IsPending(outcome));
}

extern "C" ZEDAVURA_API int32_t CancelFind(Association* assoc) {
    if (assoc == nullptr) return QUERY_REFUSED;
    return Guarded("CancelFind", int32_t{QUERY_INTERNAL_ERROR},
                   [&] { return services::CancelQuery(*assoc, net::C_FIND_RSP); });
}

extern "C" ZEDAVURA_API int32_t FindSCUStatus(const char* host, const char* port,
                                              const char* callingAeTitle, const char* calledAeTitle,
                                              const char* level, RecordList* list) {
    if (host == nullptr || port == nullptr || level == nullptr || list == nullptr)
        return QUERY_REFUSED;
    return Guarded("FindSCU", int32_t{QUERY_INTERNAL_ERROR}, [&] {
        return services::FindSCUStatus(host, port, TextOrEmpty(callingAeTitle),
                                       TextOrEmpty(calledAeTitle), level, *list);
    });
}

extern "C" ZEDAVURA_API int32_t FindSCUWith(const ConnectionOptions* peer, const char* level,
                                            RecordList* list) {
    const auto settings = SettingsOf(peer);
    if (!settings || level == nullptr || list == nullptr) return QUERY_REFUSED;
    return Guarded("FindSCU", int32_t{QUERY_INTERNAL_ERROR},
                   [&] { return services::FindSCUStatus(*settings, level, *list); });
}

extern "C" ZEDAVURA_API uint8_t FindSCU(const char* host, const char* port,
                                        const char* callingAeTitle, const char* calledAeTitle,
                                        const char* level, RecordList* list) {
    return Flag(FindSCUStatus(host, port, callingAeTitle, calledAeTitle, level, list) ==
                QUERY_SUCCESS);
}

extern "C" ZEDAVURA_API uint8_t WriteMoveRQ(Association* assoc, RecordList* list,
                                            const char* sopClassUid, const char* level,
                                            const char* destinationAeTitle) {
    if (assoc == nullptr || list == nullptr || sopClassUid == nullptr || level == nullptr ||
        destinationAeTitle == nullptr)
        return 0;
    return Guarded("WriteMoveRQ", uint8_t{0}, [&] {
        return Flag(services::WriteMoveRQ(*assoc, *list, sopClassUid, level, destinationAeTitle));
    });
}

extern "C" ZEDAVURA_API int32_t ReadMoveRSP(Association* assoc, int32_t* remaining) {
    if (assoc == nullptr || remaining == nullptr) return QUERY_REFUSED;
    *remaining = -1;
    return Guarded("ReadMoveRSP", int32_t{QUERY_INTERNAL_ERROR}, [&] {
        const services::MoveResponse response = services::ReadMoveResponse(*assoc);
        if (response.status >= 0) *remaining = response.remaining < 0 ? 0 : response.remaining;
        return response.status;
    });
}

extern "C" ZEDAVURA_API int32_t MoveSCUStatus(const char* host, const char* port,
                                              const char* callingAeTitle, const char* calledAeTitle,
                                              const char* destinationAeTitle, const char* level,
                                              RecordList* list, MoveProgressSink progress,
                                              void* context) {
    if (host == nullptr || port == nullptr || destinationAeTitle == nullptr || level == nullptr ||
        list == nullptr)
        return QUERY_REFUSED;
    return Guarded("MoveSCU", int32_t{QUERY_INTERNAL_ERROR}, [&] {
        return services::MoveSCUStatus(host, port, TextOrEmpty(callingAeTitle),
                                       TextOrEmpty(calledAeTitle), destinationAeTitle, level, *list,
                                       MoveReport(progress, context));
    });
}

extern "C" ZEDAVURA_API int32_t MoveSCUWith(const ConnectionOptions* peer,
                                            const char* destinationAeTitle, const char* level,
                                            RecordList* list, MoveProgressSink progress,
                                            void* context) {
    const auto settings = SettingsOf(peer);
    if (!settings || destinationAeTitle == nullptr || level == nullptr || list == nullptr)
        return QUERY_REFUSED;
    return Guarded("MoveSCU", int32_t{QUERY_INTERNAL_ERROR}, [&] {
        return services::MoveSCUStatus(*settings, destinationAeTitle, level, *list,
                                       MoveReport(progress, context));
    });
}

extern "C" ZEDAVURA_API uint8_t MoveSCU(const char* host, const char* port,
                                        const char* callingAeTitle, const char* calledAeTitle,
                                        const char* destinationAeTitle, const char* level,
                                        RecordList* list) {
    return Flag(MoveSCUStatus(host, port, callingAeTitle, calledAeTitle, destinationAeTitle, level,
                              list, nullptr, nullptr) == QUERY_SUCCESS);
}

namespace {

int32_t GetForExport(const ConnectionOptions* peer, const char* directory, const char* sopClassUid,
                     const char* patientId, const char* level, RecordList* list,
                     const char* const* storageClasses, uint32_t classCount,
                     GetProgressSink progress, GetNoteSink note, void* context,
                     const int32_t* cancel) {
    const auto settings = SettingsOf(peer);
    if (!settings || directory == nullptr || level == nullptr || list == nullptr ||
        (classCount > 0 && storageClasses == nullptr))
        return QUERY_REFUSED;
    return Guarded("GetSCU", int32_t{QUERY_INTERNAL_ERROR}, [&] {
        services::GetJob job;
        if (sopClassUid != nullptr) job.sopClassUid = sopClassUid;
        if (patientId != nullptr) job.patientId = patientId;
        job.level = level;
        for (uint32_t i = 0; i < classCount; ++i)
            if (storageClasses[i] != nullptr) job.storageClasses.emplace_back(storageClasses[i]);
        job.directory = directory;
        job.indexRoot = store::INDEX_ROOT;
        if (cancel != nullptr)
            job.cancelled = [cancel] { return __atomic_load_n(cancel, __ATOMIC_RELAXED) != 0; };
        services::GetNoteFn told;
        if (note != nullptr)
            told = [note, context](const std::string& words) { note(context, words.c_str()); };
        services::GetProgress last;
        return services::GetSCUStatus(*settings, job, *list, last, GetReport(progress, context),
                                      told);
    });
}

}  // namespace

extern "C" ZEDAVURA_API int32_t GetSCUCancellable(
    const ConnectionOptions* peer, const char* directory, const char* sopClassUid,
    const char* level, RecordList* list, const char* const* storageClasses, uint32_t classCount,
    GetProgressSink progress, GetNoteSink note, void* context, const int32_t* cancel) {
    return GetForExport(peer, directory, sopClassUid, nullptr, level, list, storageClasses,
                        classCount, progress, note, context, cancel);
}

extern "C" ZEDAVURA_API int32_t GetSCUPatientRoot(
    const ConnectionOptions* peer, const char* directory, const char* patientId, const char* level,
    RecordList* list, const char* const* storageClasses, uint32_t classCount,
    GetProgressSink progress, GetNoteSink note, void* context, const int32_t* cancel) {
    if (patientId == nullptr || *patientId == 0) return QUERY_REFUSED;
    return GetForExport(peer, directory, services::PATIENT_ROOT_GET, patientId, level, list,
                        storageClasses, classCount, progress, note, context, cancel);
}

extern "C" ZEDAVURA_API int32_t GetSCU(const ConnectionOptions* peer, const char* directory,
                                       const char* sopClassUid, const char* level, RecordList* list,
                                       const char* const* storageClasses, uint32_t classCount,
                                       GetProgressSink progress, GetNoteSink note, void* context) {
    return GetSCUCancellable(peer, directory, sopClassUid, level, list, storageClasses, classCount,
                             progress, note, context, nullptr);
}

extern "C" ZEDAVURA_API uint8_t ClearQuery(RecordList* list, const char* level) {
    if (list == nullptr || level == nullptr) return 0;
    return Guarded("ClearQuery", uint8_t{0},
                   [&] { return Flag(services::ClearQuery(*list, level)); });
}

extern "C" ZEDAVURA_API uint8_t WriteWLFindRQ(Association* assoc, RecordList* list,
                                              const char* sopClassUid) {
    if (assoc == nullptr || list == nullptr || sopClassUid == nullptr) return 0;
    return Guarded("WriteWLFindRQ", uint8_t{0},
                   [&] { return Flag(services::WriteWLFindRQ(*assoc, *list, sopClassUid)); });
}

extern "C" ZEDAVURA_API int32_t ReadWLFindRSP(Association* assoc, RecordList* list) {
    if (assoc == nullptr || list == nullptr) return QUERY_REFUSED;
    return Guarded("ReadWLFindRSP", int32_t{QUERY_INTERNAL_ERROR},
                   [&] { return services::ReadWLFindRSP(*assoc, *list); });
}

extern "C" ZEDAVURA_API uint8_t ClearWL(RecordList* list) {
    if (list == nullptr) return 0;
    return Guarded("ClearWL", uint8_t{0}, [&] { return Flag(services::ClearWL(*list)); });
}
