// Exported performed procedure step operations: thin wrappers over services/Mpps.
#include <string>
#include <string_view>
#include <vector>

#include "ExportSettings.h"
#include "Guarded.h"
#include "net/Association.h"
#include "net/NService.h"
#include "services/Mpps.h"
#include "zedavura.h"

using namespace dicomlib;

namespace {

static_assert(int32_t{MPPS_NO_RESPONSE} == int32_t{net::N_NO_RESPONSE});
static_assert(int32_t{MPPS_WRONG_RESPONSE} == int32_t{net::N_WRONG_RESPONSE});
static_assert(int32_t{MPPS_NOT_SENT} == int32_t{net::N_NOT_SENT});
static_assert(int32_t{MPPS_NO_ASSOCIATION} == int32_t{services::MPPS_NO_ASSOCIATION});
static_assert(int32_t{MPPS_REFUSED} == int32_t{services::MPPS_REFUSED});
static_assert(int32_t{MPPS_BAD_ARGUMENT} == int32_t{services::MPPS_BAD_ARGUMENT});

std::string Text(const char* text) {
    return text != nullptr ? std::string(text) : std::string();
}

// The field of the attributes a name gives; null for a name that is none of them.
std::string* FieldNamed(services::MppsCreateAttributes& a, std::string_view name) {
    const std::pair<std::string_view, std::string*> fields[] = {
        {"PatientName", &a.patientName},
        {"PatientID", &a.patientId},
        {"PatientBirthDate", &a.patientBirthDate},
        {"PatientSex", &a.patientSex},
        {"StudyInstanceUID", &a.studyInstanceUid},
        {"AccessionNumber", &a.accessionNumber},
        {"RequestedProcedureID", &a.requestedProcedureId},
        {"RequestedProcedureDescription", &a.requestedProcedureDescription},
        {"ScheduledProcedureStepID", &a.scheduledStepId},
        {"ScheduledProcedureStepDescription", &a.scheduledStepDescription},
        {"PerformedProcedureStepID", &a.stepId},
        {"PerformedStationAETitle", &a.stationAeTitle},
        {"PerformedStationName", &a.stationName},
        {"PerformedLocation", &a.location},
        {"PerformedProcedureStepDescription", &a.description},
        {"Modality", &a.modality},
        {"SpecificCharacterSet", &a.characterSet},
    };
    for (const auto& [fieldName, field] : fields)
        if (fieldName == name) return field;
    return nullptr;
}

}  // namespace

extern "C" ZEDAVURA_API int32_t MppsCreateSCU(const ConnectionOptions* peer,
                                              const char* const* fields, const char* const* values,
                                              uint32_t count, char* instanceUid,
                                              uint32_t capacity) {
    const auto settings = SettingsOf(peer);
    if (!settings || (count > 0 && (fields == nullptr || values == nullptr)))
        return MPPS_BAD_ARGUMENT;
    return Guarded("MppsCreateSCU", int32_t{MPPS_BAD_ARGUMENT}, [&] {
        services::MppsCreateAttributes attributes;
        for (uint32_t i = 0; i < count; ++i) {
            std::string* field = FieldNamed(attributes, Text(fields[i]));
            if (field == nullptr) {
                net::NoteFailure("no attribute of a procedure step is named \"" + Text(fields[i]) +
                                 "\"");
                return int32_t{MPPS_BAD_ARGUMENT};
            }
            *field = Text(values[i]);
        }
        std::string uid;
        const int32_t outcome = services::MppsCreate(*settings, attributes, uid);
        if (instanceUid != nullptr) CopyText(uid, instanceUid, capacity);
        return outcome;
    });
}

extern "C" ZEDAVURA_API int32_t MppsSetSCU(const ConnectionOptions* peer, const char* instanceUid,
                                           const char* status, const char* const* files,
                                           uint32_t count) {
    const auto settings = SettingsOf(peer);
    if (!settings || (count > 0 && files == nullptr)) return MPPS_BAD_ARGUMENT;
    return Guarded("MppsSetSCU", int32_t{MPPS_BAD_ARGUMENT}, [&] {
        std::vector<std::filesystem::path> paths;
        for (uint32_t i = 0; i < count; ++i)
            paths.emplace_back(Text(files[i]));
        std::vector<std::filesystem::path> unreadable;
        const auto series = services::SeriesOfFiles(paths, unreadable);
        if (!unreadable.empty()) {
            net::NoteFailure(unreadable.front().string() +
                             " is not a DICOM file with series and instance UIDs; nothing was "
                             "sent");
            return int32_t{MPPS_BAD_ARGUMENT};
        }
        return services::MppsFinish(*settings, Text(instanceUid), Text(status), series);
    });
}
