#include "services/Records.h"

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <unordered_map>

namespace dicomlib::services {
namespace {

// The member behind each field, in record order.
constexpr char* StudyRecord::*STUDY_MEMBERS[] = {
    &StudyRecord::PatientName,      &StudyRecord::PatientID,       &StudyRecord::PatientAge,
    &StudyRecord::PatientSex,       &StudyRecord::PatientBD,       &StudyRecord::StudyDate,
    &StudyRecord::StudyTime,        &StudyRecord::StudyID,         &StudyRecord::StudyDescription,
    &StudyRecord::StudyInstanceUID, &StudyRecord::InstitutionName, &StudyRecord::PhysiciansName,
    &StudyRecord::Modalities,       &StudyRecord::AccessionNumber,
};
constexpr RecordFieldInfo STUDY_FIELDS[] = {
    {"PatientName", {0x0010, 0x0010}, "PN"},      {"PatientID", {0x0010, 0x0020}, "LO"},
    {"PatientAge", {0x0010, 0x1010}, "AS"},       {"PatientSex", {0x0010, 0x0040}, "CS"},
    {"PatientBD", {0x0010, 0x0030}, "DA"},        {"StudyDate", {0x0008, 0x0020}, "DA"},
    {"StudyTime", {0x0008, 0x0030}, "TM"},        {"StudyID", {0x0020, 0x0010}, "SH"},
    {"StudyDescription", {0x0008, 0x1030}, "LO"}, {"StudyInstanceUID", {0x0020, 0x000D}, "UI"},
    {"InstitutionName", {0x0008, 0x0080}, "LO"},  {"PhysiciansName", {0x0008, 0x0090}, "PN"},
    {"Modalities", {0x0008, 0x0061}, "CS"},       {"AccessionNumber", {0x0008, 0x0050}, "SH"},
};

constexpr char* SeriesRecord::*SERIES_MEMBERS[] = {
    &SeriesRecord::SeriesDate,        &SeriesRecord::SeriesTime,
    &SeriesRecord::SeriesDescription, &SeriesRecord::BodyPartExamined,
    &SeriesRecord::SeriesInstanceUID, &SeriesRecord::SeriesNumber,
    &SeriesRecord::Modality,          &SeriesRecord::StudyInstanceUID,
    &SeriesRecord::ProtocolName,      &SeriesRecord::PatientPosition,
};
constexpr RecordFieldInfo SERIES_FIELDS[] = {
    {"SeriesDate", {0x0008, 0x0021}, "DA"},        {"SeriesTime", {0x0008, 0x0031}, "TM"},
    {"SeriesDescription", {0x0008, 0x103E}, "LO"}, {"BodyPartExamined", {0x0018, 0x0015}, "CS"},
    {"SeriesInstanceUID", {0x0020, 0x000E}, "UI"}, {"SeriesNumber", {0x0020, 0x0011}, "IS"},
    {"Modality", {0x0008, 0x0060}, "CS"},          {"StudyInstanceUID", {0x0020, 0x000D}, "UI"},
    {"ProtocolName", {0x0018, 0x1030}, "LO"},      {"PatientPosition", {0x0018, 0x5100}, "CS"},
};

constexpr char* ImageRecord::*IMAGE_MEMBERS[] = {
    &ImageRecord::ImageDate,
    &ImageRecord::ImageTime,
    &ImageRecord::InstanceNumber,
    &ImageRecord::AcquisitionDate,
    &ImageRecord::AcquisitionTime,
    &ImageRecord::AcquisitionNumber,
    &ImageRecord::SOPInstanceUID,
    &ImageRecord::SOPClassUID,
    &ImageRecord::SeriesNumber,
    &ImageRecord::SeriesInstanceUID,
    &ImageRecord::StudyInstanceUID,
    &ImageRecord::SliceLocation,
    &ImageRecord::ImageType,
    &ImageRecord::NumberOfFrames,
    &ImageRecord::ImagePosition,
    &ImageRecord::ImageOrientationPatient,
    &ImageRecord::ImagePositionPatient,
    &ImageRecord::FrameOfReferenceUID,
};
constexpr RecordFieldInfo IMAGE_FIELDS[] = {
    {"ImageDate", {0x0008, 0x0023}, "DA"},
    {"ImageTime", {0x0008, 0x0033}, "TM"},
    {"InstanceNumber", {0x0020, 0x0013}, "IS"},
    {"AcquisitionDate", {0x0008, 0x0022}, "DA"},
    {"AcquisitionTime", {0x0008, 0x0032}, "TM"},
    {"AcquisitionNumber", {0x0020, 0x0012}, "IS"},
    {"SOPInstanceUID", {0x0008, 0x0018}, "UI"},
    {"SOPClassUID", {0x0008, 0x0016}, "UI"},
    // A series attribute: of the higher levels only their unique keys go into an image-level
    // identifier, and strict archives refuse anything else there.
    {"SeriesNumber", {0x0020, 0x0011}, "IS", false, false, false},
    {"SeriesInstanceUID", {0x0020, 0x000E}, "UI"},
    {"StudyInstanceUID", {0x0020, 0x000D}, "UI"},
    {"SliceLocation", {0x0020, 0x1041}, "DS"},
    {"ImageType", {0x0008, 0x0008}, "CS"},
    {"NumberOfFrames", {0x0028, 0x0008}, "IS"},
    {"ImagePosition", {0x0020, 0x0030}, "DS"},
    {"ImageOrientationPatient", {0x0020, 0x0037}, "DS"},
    {"ImagePositionPatient", {0x0020, 0x0032}, "DS"},
    {"FrameOfReferenceUID", {0x0020, 0x0052}, "UI"},
};

constexpr char* WorklistRecord::*WORKLIST_MEMBERS[] = {
    &WorklistRecord::PatientName,
    &WorklistRecord::PatientID,
    &WorklistRecord::PatientBD,
    &WorklistRecord::PatientSex,
    &WorklistRecord::AccessionNumber,
    &WorklistRecord::RequestingPhysician,
    &WorklistRecord::Unused,
    &WorklistRecord::Allergies,
    &WorklistRecord::StudyInstanceUID,
    &WorklistRecord::RequestedProcedureDescription,
    &WorklistRecord::SPSStartTime,
    &WorklistRecord::SPSStartDate,
    &WorklistRecord::Modality,
    &WorklistRecord::ScheduledStationAET,
    &WorklistRecord::ScheduledPerformingPhysician,
    &WorklistRecord::RequestedContrastAgent,
    &WorklistRecord::SPSID,
    &WorklistRecord::SPSDescription,
    &WorklistRecord::ScheduledStationName,
    &WorklistRecord::SPSLocation,
    &WorklistRecord::PreMedication,
    &WorklistRecord::RequestedProcedureID,
    &WorklistRecord::RequestedProcedurePriority,
};
// Requested Contrast Agent travels in the step item of the identifier, though it is filled
// from either level of a response.
constexpr RecordFieldInfo WORKLIST_FIELDS[] = {
    {"PatientName", {0x0010, 0x0010}, "PN"},
    {"PatientID", {0x0010, 0x0020}, "LO"},
    {"PatientBD", {0x0010, 0x0030}, "DA"},
    {"PatientSex", {0x0010, 0x0040}, "CS"},
    {"AccessionNumber", {0x0008, 0x0050}, "SH"},
    {"RequestingPhysician", {0x0032, 0x1032}, "PN"},
    {"", {0x0000, 0x0000}, "", false},
    {"Allergies", {0x0010, 0x2110}, "LO", false},
    {"StudyInstanceUID", {0x0020, 0x000D}, "UI"},
    {"RequestedProcedureDescription", {0x0032, 0x1060}, "LO"},
    {"SPSStartTime", {0x0040, 0x0003}, "TM", true, true},
    {"SPSStartDate", {0x0040, 0x0002}, "DA", true, true},
    {"Modality", {0x0008, 0x0060}, "CS", true, true},
    {"ScheduledStationAET", {0x0040, 0x0001}, "AE", false, true},
    {"ScheduledPerformingPhysician", {0x0040, 0x0006}, "PN", true, true},
    {"RequestedContrastAgent", {0x0032, 0x1070}, "LO", false, true},
    {"SPSID", {0x0040, 0x0009}, "SH", true, true},
    {"SPSDescription", {0x0040, 0x0007}, "LO", true, true},
    {"ScheduledStationName", {0x0040, 0x0010}, "SH", true, true},
    {"SPSLocation", {0x0040, 0x0011}, "SH", true, true},
    {"PreMedication", {0x0040, 0x0012}, "LO", true, true},
    {"RequestedProcedureID", {0x0040, 0x1001}, "SH", false},
    {"RequestedProcedurePriority", {0x0040, 0x1003}, "SH", false},
};

static_assert(std::size(STUDY_MEMBERS) == 14 && std::size(STUDY_FIELDS) == 14);
static_assert(std::size(SERIES_MEMBERS) == 10 && std::size(SERIES_FIELDS) == 10);
static_assert(std::size(IMAGE_MEMBERS) == 18 && std::size(IMAGE_FIELDS) == 18);
static_assert(std::size(WORKLIST_MEMBERS) == 23 && std::size(WORKLIST_FIELDS) == 23);

// Every live record and whether a list holds it. Records move between threads with their
// lists, so the registry is shared and guarded.
struct Registration {
    RecordType kind;
    bool listed;
    std::string characterSet;
    std::optional<std::string> stepCharacterSet;
};
std::mutex gRegistryMutex;
std::unordered_map<const void*, Registration> gRegistry;

char* CopyText(std::string_view text) {
    char* copy = static_cast<char*>(std::malloc(text.size() + 1));
    if (copy == nullptr) throw std::bad_alloc();
    if (!text.empty()) std::memcpy(copy, text.data(), text.size());
    copy[text.size()] = '\0';
    return copy;
}

template <class R>
void* MakeRecord(std::span<char * R::*const> members) {
    R* record = new R{};
    try {
        for (auto member : members)
            record->*member = CopyText("");
    } catch (...) {
        for (auto member : members)
            std::free(record->*member);
        delete record;
        throw;
    }
    return record;
}

template <class R>
void DestroyRecord(std::span<char * R::*const> members, void* pointer) {
    R* record = static_cast<R*>(pointer);
    for (auto member : members)
        std::free(record->*member);
    delete record;
}

void Destroy(RecordType kind, void* record) {
    switch (kind) {
        case RecordType::Study:
            return DestroyRecord<StudyRecord>(STUDY_MEMBERS, record);
        case RecordType::Series:
            return DestroyRecord<SeriesRecord>(SERIES_MEMBERS, record);
        case RecordType::Image:
            return DestroyRecord<ImageRecord>(IMAGE_MEMBERS, record);
        case RecordType::Worklist:
            return DestroyRecord<WorklistRecord>(WORKLIST_MEMBERS, record);
    }
}

// Unregisters and frees a record the caller knows to be live.
void Release(RecordType kind, void* record) {
    {
        std::lock_guard lock(gRegistryMutex);
        gRegistry.erase(record);
    }
    Destroy(kind, record);
}

}  // namespace

std::optional<RecordType> KindNamed(std::string_view name) {
    if (name == "WORKLIST") return RecordType::Worklist;
    return QueryLevelKind(name);
}

std::optional<RecordType> QueryLevelKind(std::string_view level) {
    if (level == "STUDY") return RecordType::Study;
    if (level == "SERIES") return RecordType::Series;
    if (level == "IMAGE") return RecordType::Image;
    return std::nullopt;
}

const char* KindName(RecordType kind) {
    switch (kind) {
        case RecordType::Study:
            return "STUDY";
        case RecordType::Series:
            return "SERIES";
        case RecordType::Image:
            return "IMAGE";
        case RecordType::Worklist:
            return "WORKLIST";
    }
    return "";
}

std::span<const RecordFieldInfo> FieldsOf(RecordType kind) {
    switch (kind) {
        case RecordType::Study:
            return STUDY_FIELDS;
        case RecordType::Series:
            return SERIES_FIELDS;
        case RecordType::Image:
            return IMAGE_FIELDS;
        case RecordType::Worklist:
            return WORKLIST_FIELDS;
    }
    return {};
}

void* NewRecord(RecordType kind) {
    void* record = nullptr;
    switch (kind) {
        case RecordType::Study:
            record = MakeRecord<StudyRecord>(STUDY_MEMBERS);
            break;
        case RecordType::Series:
            record = MakeRecord<SeriesRecord>(SERIES_MEMBERS);
            break;
        case RecordType::Image:
            record = MakeRecord<ImageRecord>(IMAGE_MEMBERS);
            break;
        case RecordType::Worklist:
            record = MakeRecord<WorklistRecord>(WORKLIST_MEMBERS);
            break;
    }
    try {
        std::lock_guard lock(gRegistryMutex);
        gRegistry.emplace(record, Registration{kind, false, {}, {}});
    } catch (...) {
        Destroy(kind, record);
        throw;
    }
    return record;
}

std::optional<RecordType> KindOf(const void* record) {
    std::lock_guard lock(gRegistryMutex);
    const auto it = gRegistry.find(record);
    if (it == gRegistry.end()) return std::nullopt;
    return it->second.kind;
}

char*& FieldOf(RecordType kind, void* record, std::size_t index) {
    switch (kind) {
        case RecordType::Study:
            return static_cast<StudyRecord*>(record)->*STUDY_MEMBERS[index];
        case RecordType::Series:
            return static_cast<SeriesRecord*>(record)->*SERIES_MEMBERS[index];
        case RecordType::Image:
            return static_cast<ImageRecord*>(record)->*IMAGE_MEMBERS[index];
        case RecordType::Worklist:
            break;
    }
    return static_cast<WorklistRecord*>(record)->*WORKLIST_MEMBERS[index];
}

const char* FieldText(RecordType kind, const void* record, std::size_t index) {
    return FieldOf(kind, const_cast<void*>(record), index);
}

void SetField(RecordType kind, void* record, std::size_t index, std::string_view text) {
    const std::size_t nul = text.find('\0');
    if (nul != std::string_view::npos) text = text.substr(0, nul);
    char* copy = CopyText(text);
    char*& field = FieldOf(kind, record, index);
    std::free(field);
    field = copy;
}

std::string FieldTextNamed(RecordType kind, const void* record, std::string_view name) {
    const auto fields = FieldsOf(kind);
    for (std::size_t i = 0; i < fields.size(); ++i)
        if (fields[i].name == name) return FieldText(kind, record, i);
    return {};
}

void SetFieldNamed(RecordType kind, void* record, std::string_view name, std::string_view text) {
    const auto fields = FieldsOf(kind);
    for (std::size_t i = 0; i < fields.size(); ++i)
        if (fields[i].name == name) SetField(kind, record, i, text);
}

bool FreeLoneRecord(void* record) {
    RecordType kind;
    {
        std::lock_guard lock(gRegistryMutex);
        const auto it = gRegistry.find(record);
        if (it == gRegistry.end() || it->second.listed) return false;
        kind = it->second.kind;
        gRegistry.erase(it);
    }
    Destroy(kind, record);
    return true;
}

const char* CharacterSetOf(const void* record, std::size_t index) {
    std::lock_guard lock(gRegistryMutex);
    const auto it = gRegistry.find(record);
    if (it == gRegistry.end()) return nullptr;
    const Registration& r = it->second;
    const auto fields = FieldsOf(r.kind);
    if (index < fields.size() && fields[index].inStep && r.stepCharacterSet)
        return r.stepCharacterSet->c_str();
    return r.characterSet.c_str();
}

bool SetCharacterSets(const void* record, std::string_view top,
                      std::optional<std::string_view> step) {
    auto trimmed = [](std::string_view text) {
        while (!text.empty() && (text.back() == ' ' || text.back() == '\0'))
            text.remove_suffix(1);
        while (!text.empty() && text.front() == ' ')
            text.remove_prefix(1);
        return std::string(text);
    };
    std::string topSet = trimmed(top);
    std::optional<std::string> stepSet;
    if (step) stepSet = trimmed(*step);
    std::lock_guard lock(gRegistryMutex);
    const auto it = gRegistry.find(record);
    if (it == gRegistry.end()) return false;
    it->second.characterSet = std::move(topSet);
    it->second.stepCharacterSet = std::move(stepSet);
    return true;
}

}  // namespace dicomlib::services

bool RecordList::Append(void* record) {
    std::lock_guard lock(dicomlib::services::gRegistryMutex);
    const auto it = dicomlib::services::gRegistry.find(record);
    if (it == dicomlib::services::gRegistry.end() || it->second.listed || !Holds(it->second.kind))
        return false;
    records_.push_back(record);
    kind_ = it->second.kind;
    it->second.listed = true;
    return true;
}

void* RecordList::AppendNew(dicomlib::services::RecordType kind) {
    void* record = dicomlib::services::NewRecord(kind);
    try {
        records_.push_back(record);
    } catch (...) {
        dicomlib::services::FreeLoneRecord(record);
        throw;
    }
    {
        std::lock_guard lock(dicomlib::services::gRegistryMutex);
        dicomlib::services::gRegistry[record].listed = true;
    }
    kind_ = kind;
    return record;
}

void RecordList::FreeFront() {
    if (records_.empty()) return;
    void* record = records_.front();
    records_.erase(records_.begin());
    dicomlib::services::Release(kind_, record);
}

void RecordList::Clear() {
    {
        std::lock_guard lock(dicomlib::services::gRegistryMutex);
        for (void* record : records_)
            dicomlib::services::gRegistry.erase(record);
    }
    for (void* record : records_)
        dicomlib::services::Destroy(kind_, record);
    records_.clear();
}
