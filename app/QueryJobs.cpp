#include "QueryJobs.h"

#include <cstddef>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <string>

#include "Text.h"
#include "zedavura.h"

namespace app {
namespace {

// The response state before the first response: neither pending nor success.
constexpr int32_t NO_RESPONSE_YET = 1;

// Records are read by field position, the order of the structs in zedavura.h.
constexpr uint32_t FieldIndex(std::size_t offset) {
    return static_cast<uint32_t>(offset / sizeof(char*));
}
constexpr uint32_t STUDY_PATIENT_NAME = FieldIndex(offsetof(StudyRecord, PatientName));
constexpr uint32_t STUDY_DATE = FieldIndex(offsetof(StudyRecord, StudyDate));
constexpr uint32_t WORKLIST_PATIENT_NAME = FieldIndex(offsetof(WorklistRecord, PatientName));
constexpr uint32_t WORKLIST_START_DATE = FieldIndex(offsetof(WorklistRecord, SPSStartDate));

struct ListDeleter {
    void operator()(RecordList* list) const { DeleteRecordList(list); }
};
using ListPtr = std::unique_ptr<RecordList, ListDeleter>;

// Released and freed also when it never opened.
struct AssociationCloser {
    void operator()(Association* assoc) const {
        CloseAssoc(assoc);
        DeletePDU(assoc);
    }
};
using AssociationPtr = std::unique_ptr<Association, AssociationCloser>;

// A key's UTF-8 text in the set the keys are written in; without one, as Latin-1 bytes that
// name no set, as the window always sent them. None, with the reason in the memo, for a
// character the set cannot hold.
std::optional<std::string> KeyText(const char* field, const char* vr, const std::string& text,
                                   const std::string& characterSet, JobOutput& out) {
    std::string why;
    std::optional<std::string> bytes =
        cli::KeyBytes(characterSet.empty() ? "ISO_IR 100" : characterSet, vr, text, why);
    if (!bytes)
        out.MemoLine(std::string(field) + " \"" + text + "\": " + why +
                     (characterSet.empty() ? ": choose a Query Character Set in Setup" : ""));
    return bytes;
}

// A new list holding one key record of kind with the name and date keys set, in the character
// set of the settings; null when a key cannot be written in it.
ListPtr KeyList(const char* kind, uint32_t nameField, uint32_t dateField, const ServiceJob& job,
                JobOutput& out) {
    const std::string& characterSet = job.ini.queryCharacterSet;
    const auto name = KeyText("PatientName", "PN", job.PatientFilter, characterSet, out);
    const auto date = KeyText("Date", "DA", job.DateFilter, characterSet, out);
    if (!name || !date) return nullptr;
    ListPtr list(NewRecordList());
    void* key = NewRecord(kind);
    if (!list || key == nullptr) {
        FreeRecord(key);
        throw std::bad_alloc();
    }
    SetRecordField(key, nameField, name->c_str());
    SetRecordField(key, dateField, date->c_str());
    SetRecordCharacterSet(key, characterSet.c_str());
    AppendRecord(list.get(), key);
    return list;
}

struct QueryRun {
    bool opened = false;
    bool sent = false;
    int32_t state = NO_RESPONSE_YET;
    JobResult result;  // why, read right after the call that failed
};

// Opens the association for sopClass, sends the request, then reads one response and goes on
// reading while the last one was pending. The association is released and freed before the
// results are listed.
template <typename Send, typename Read>
QueryRun RunQuery(ServiceJob& job, const char* sopClass, Send send, Read read) {
    Settings& s = job.settings;
    AssociationPtr assoc(NewPDU());
    if (!assoc) throw std::bad_alloc();
    if (s.TraceLevel > 1) SetMessageDump(assoc.get(), 1);
    QueryRun run;
    cli::NetLine line;
    if (!Connection(job, line, run.result)) return run;
    const ConnectionOptions options = line.Options();
    run.opened = OpenAssocWith(assoc.get(), &options, sopClass, nullptr) == 1;
    if (!run.opened) {
        run.result = Failed();
        return run;
    }
    run.sent = send(assoc.get());
    if (!run.sent) {
        run.result = Failed();
        return run;
    }
    do {
        run.state = read(assoc.get());
    } while (IsPendingStatus(run.state));
    run.result = run.state == QUERY_SUCCESS ? JobResult{true, {}} : Failed();
    return run;
}

// A C-FIND outcome in the library's words: "status 0xA700 (refused: out of resources)", or
// our own failure's.
std::string FindWords(int32_t outcome) {
    return cli::OutcomeWords(OUTCOME_FIND, outcome);
}

// Why a query that opened its association did not end in success, or nothing when it did.
void WhyNotSucceeded(const QueryRun& run, JobOutput& out) {
    if (!run.sent) {
        out.MemoLine("The query could not be sent");
    } else if (run.state >= 0 && run.state != QUERY_SUCCESS) {
        out.MemoLine("Final " + FindWords(run.state));
    } else if (run.state < 0) {
        out.MemoLine("No final status: " + FindWords(run.state));
    }
}

void CountLine(const RecordList* list, JobOutput& out) {
    out.MemoLine("No studies: " + std::to_string(RecordCount(list)));
    out.MemoLine("");
}

struct Line {
    const char* label;
    uint32_t field;
};

// The lines of one record, each label followed by its field in UTF-8, then an empty line.
void RecordLines(const void* record, std::span<const Line> lines, JobOutput& out) {
    for (const Line& line : lines)
        out.MemoLine(line.label + cli::RecordUtf8(record, line.field));
    out.MemoLine("");
}

constexpr Line STUDY_LINES[] = {
    {"PatientName: ", FieldIndex(offsetof(StudyRecord, PatientName))},
    {"PatientID: ", FieldIndex(offsetof(StudyRecord, PatientID))},
    {"PatientSex: ", FieldIndex(offsetof(StudyRecord, PatientSex))},
    {"PatientBD: ", FieldIndex(offsetof(StudyRecord, PatientBD))},
    {"StudyID: ", FieldIndex(offsetof(StudyRecord, StudyID))},
    {"StudyInstanceUID: ", FieldIndex(offsetof(StudyRecord, StudyInstanceUID))},
    {"StudyDate: ", FieldIndex(offsetof(StudyRecord, StudyDate))},
    {"StudyTime: ", FieldIndex(offsetof(StudyRecord, StudyTime))},
    {"StudyDescription: ", FieldIndex(offsetof(StudyRecord, StudyDescription))},
    {"Modalities: ", FieldIndex(offsetof(StudyRecord, Modalities))},
    {"InstitutionName: ", FieldIndex(offsetof(StudyRecord, InstitutionName))},
    {"AccessionNumber: ", FieldIndex(offsetof(StudyRecord, AccessionNumber))},
    {"PhysiciansName: ", FieldIndex(offsetof(StudyRecord, PhysiciansName))},
};

constexpr Line WORKLIST_LINES[] = {
    {"PatientName: ", FieldIndex(offsetof(WorklistRecord, PatientName))},
    {"PatientID: ", FieldIndex(offsetof(WorklistRecord, PatientID))},
    {"PatientBD: ", FieldIndex(offsetof(WorklistRecord, PatientBD))},
    {"PatientSex: ", FieldIndex(offsetof(WorklistRecord, PatientSex))},
    {"Modality: ", FieldIndex(offsetof(WorklistRecord, Modality))},
    {"Scheduled Station AET: ", FieldIndex(offsetof(WorklistRecord, ScheduledStationAET))},
    {"Scheduled Procedure Step Start Date: ", FieldIndex(offsetof(WorklistRecord, SPSStartDate))},
    {"Scheduled Procedure Step Start Time: ", FieldIndex(offsetof(WorklistRecord, SPSStartTime))},
    {"Scheduled Performing Physician: ",
     FieldIndex(offsetof(WorklistRecord, ScheduledPerformingPhysician))},
};

// Print lines that say a step went well; the others (failures and why) go to the memo.
bool IsSuccessLine(const std::string& line) {
    const auto endsWith = [&](const char* tail) {
        const std::string t(tail);
        return line.size() >= t.size() && line.compare(line.size() - t.size(), t.size(), t) == 0;
    };
    return endsWith(": OK!") || line.rfind("Width: ", 0) == 0;
}

void ToMemoUnlessSuccess(void* context, const char* line) {
    if (!IsSuccessLine(line)) static_cast<JobOutput*>(context)->MemoLine(cli::Cp1252ToUtf8(line));
}

}  // namespace

JobResult FindStudies(ServiceJob& job, JobOutput& out) {
    // The key record is freed with the list on every path, an association that never opened
    // included.
    const ListPtr list = KeyList("STUDY", STUDY_PATIENT_NAME, STUDY_DATE, job, out);
    if (!list) return {};
    const QueryRun run = RunQuery(
        job, SOP_CLASS_STUDY_ROOT_FIND,
        [&](Association* assoc) {
            const bool sent =
                WriteFindRQ(assoc, list.get(), SOP_CLASS_STUDY_ROOT_FIND, "STUDY") == 1;
            // The key record has left the list once the request was built; a refused request
            // leaves it there, and no response is read into a list that holds it.
            ClearQuery(list.get(), "STUDY");
            return sent;
        },
        [&](Association* assoc) { return ReadFindRSP(assoc, list.get(), "STUDY"); });
    if (!run.opened) {
        out.MemoLine("Association Failed!");
        return run.result;
    }
    CountLine(list.get(), out);
    for (uint32_t i = 0; i < RecordCount(list.get()); ++i)
        RecordLines(RecordAt(list.get(), i), STUDY_LINES, out);
    WhyNotSucceeded(run, out);
    return run.result;
}

JobResult FindWorklist(ServiceJob& job, JobOutput& out) {
    const ListPtr list = KeyList("WORKLIST", WORKLIST_PATIENT_NAME, WORKLIST_START_DATE, job, out);
    if (!list) return {};
    const QueryRun run = RunQuery(
        job, SOP_CLASS_MODALITY_WORKLIST_FIND,
        [&](Association* assoc) {
            const bool sent =
                WriteWLFindRQ(assoc, list.get(), SOP_CLASS_MODALITY_WORKLIST_FIND) == 1;
            ClearWL(list.get());  // the key record stays in the list until here
            return sent;
        },
        [&](Association* assoc) { return ReadWLFindRSP(assoc, list.get()); });
    if (!run.opened) {
        out.MemoLine("Association Failed!");
        return run.result;
    }
    CountLine(list.get(), out);
    for (uint32_t i = 0; i < RecordCount(list.get()); ++i)
        RecordLines(RecordAt(list.get(), i), WORKLIST_LINES, out);
    WhyNotSucceeded(run, out);
    return run.result;
}

FilmTexts FilmTextsFor(const Settings& s) {
    FilmTexts texts;
    texts.session = {"1", "MED", "BLUE FILM", ChoiceText(FilmDestinationList(), s.FilmDestination)};
    texts.box = {"STANDARD\\1,1",
                 ChoiceText(FilmOrientationList(), s.FilmOrientation),
                 ChoiceText(FilmSizeList(), s.FilmSize),
                 ChoiceText(MagnificationTypeList(), s.MagnificationType),
                 "",
                 "",
                 "",
                 ""};
    return texts;
}

JobResult PrintFile(ServiceJob& job, JobOutput& out) {
    if (job.fileName.empty()) return {false, NO_FILE_CHOSEN};
    const FilmTexts film = FilmTextsFor(job.settings);
    const FilmSessionSettings session = {film.session[0].c_str(), film.session[1].c_str(),
                                         film.session[2].c_str(), film.session[3].c_str()};
    const FilmBoxSettings box = {film.box[0].c_str(), film.box[1].c_str(), film.box[2].c_str(),
                                 film.box[3].c_str(), film.box[4].c_str(), film.box[5].c_str(),
                                 film.box[6].c_str(), film.box[7].c_str()};
    cli::NetLine line;
    if (JobResult refused; !Connection(job, line, refused)) return refused;
    const ConnectionOptions options = line.Options();
    if (PrintSCUWith(job.fileName.c_str(), &options, &session, &box, ToMemoUnlessSuccess, &out) ==
        1)
        return {true, {}};
    return Failed();
}

}  // namespace app
