#include "QueryJobs.h"

#include <cstddef>
#include <memory>
#include <new>

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

// A new list holding one key record of kind with two keys set.
ListPtr KeyList(const char* kind, uint32_t nameField, const std::string& name, uint32_t dateField,
                const std::string& date) {
    ListPtr list(NewRecordList());
    void* key = NewRecord(kind);
    if (!list || key == nullptr) {
        FreeRecord(key);
        throw std::bad_alloc();
    }
    SetRecordField(key, nameField, name.c_str());
    SetRecordField(key, dateField, date.c_str());
    AppendRecord(list.get(), key);
    return list;
}

struct QueryRun {
    bool opened = false;
    bool sent = false;
    int32_t state = NO_RESPONSE_YET;
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
    run.opened = OpenAssoc(assoc.get(), s.RemoteIP.data(), s.RemotePort.data(), s.LocalAET.data(),
                           s.RemoteAET.data(), sopClass, nullptr) == 1;
    if (!run.opened) return run;
    run.sent = send(assoc.get());
    if (!run.sent) return run;
    do {
        run.state = read(assoc.get());
    } while (IsPendingStatus(run.state));
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

void StudyLines(const StudyRecord& r, JobOutput& out) {
    const std::pair<const char*, const char*> lines[] = {
        {"PatientName: ", r.PatientName},
        {"PatientID: ", r.PatientID},
        {"PatientSex: ", r.PatientSex},
        {"PatientBD: ", r.PatientBD},
        {"StudyID: ", r.StudyID},
        {"StudyInstanceUID: ", r.StudyInstanceUID},
        {"StudyDate: ", r.StudyDate},
        {"StudyTime: ", r.StudyTime},
        {"StudyDescription: ", r.StudyDescription},
        {"Modalities: ", r.Modalities},
        {"InstitutionName: ", r.InstitutionName},
        {"AccessionNumber: ", r.AccessionNumber},
        {"PhysiciansName: ", r.PhysiciansName},
    };
    for (const auto& [label, text] : lines)
        out.MemoLine(label + std::string(text));
    out.MemoLine("");
}

void WorklistLines(const WorklistRecord& r, JobOutput& out) {
    const std::pair<const char*, const char*> lines[] = {
        {"PatientName: ", r.PatientName},
        {"PatientID: ", r.PatientID},
        {"PatientBD: ", r.PatientBD},
        {"PatientSex: ", r.PatientSex},
        {"Modality: ", r.Modality},
        {"Scheduled Station AET: ", r.ScheduledStationAET},
        {"Scheduled Procedure Step Start Date: ", r.SPSStartDate},
        {"Scheduled Procedure Step Start Time: ", r.SPSStartTime},
        {"Scheduled Performing Physician: ", r.ScheduledPerformingPhysician},
    };
    for (const auto& [label, text] : lines)
        out.MemoLine(label + std::string(text));
    out.MemoLine("");
}

// Print lines that say a step went well; the others (failures and why) go to the memo.
bool IsSuccessLine(const std::string& line) {
    const auto endsWith = [&](const char* tail) {
        const std::string t(tail);
        return line.size() >= t.size() && line.compare(line.size() - t.size(), t.size(), t) == 0;
    };
    return endsWith(": OK!") || line.rfind("Width: ", 0) == 0;
}

void ToMemoUnlessSuccess(void* context, const char* line) {
    if (!IsSuccessLine(line)) static_cast<JobOutput*>(context)->MemoLine(line);
}

}  // namespace

bool FindStudies(ServiceJob& job, JobOutput& out) {
    // The key record is freed with the list on every path, an association that never opened
    // included.
    const ListPtr list =
        KeyList("STUDY", STUDY_PATIENT_NAME, job.PatientFilter, STUDY_DATE, job.DateFilter);
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
        return false;
    }
    CountLine(list.get(), out);
    for (uint32_t i = 0; i < RecordCount(list.get()); ++i)
        StudyLines(*static_cast<const StudyRecord*>(RecordAt(list.get(), i)), out);
    WhyNotSucceeded(run, out);
    return run.state == QUERY_SUCCESS;
}

bool FindWorklist(ServiceJob& job, JobOutput& out) {
    const ListPtr list = KeyList("WORKLIST", WORKLIST_PATIENT_NAME, job.PatientFilter,
                                 WORKLIST_START_DATE, job.DateFilter);
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
        return false;
    }
    CountLine(list.get(), out);
    for (uint32_t i = 0; i < RecordCount(list.get()); ++i)
        WorklistLines(*static_cast<const WorklistRecord*>(RecordAt(list.get(), i)), out);
    WhyNotSucceeded(run, out);
    return run.state == QUERY_SUCCESS;
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

bool PrintFile(ServiceJob& job, JobOutput& out) {
    if (job.fileName.empty()) return false;
    const FilmTexts film = FilmTextsFor(job.settings);
    const FilmSessionSettings session = {film.session[0].c_str(), film.session[1].c_str(),
                                         film.session[2].c_str(), film.session[3].c_str()};
    const FilmBoxSettings box = {film.box[0].c_str(), film.box[1].c_str(), film.box[2].c_str(),
                                 film.box[3].c_str(), film.box[4].c_str(), film.box[5].c_str(),
                                 film.box[6].c_str(), film.box[7].c_str()};
    Settings& s = job.settings;
    return PrintSCUWithLines(job.fileName.c_str(), s.RemoteIP.data(), s.RemotePort.data(),
                             s.LocalAET.data(), s.RemoteAET.data(), &session, &box,
                             ToMemoUnlessSuccess, &out) == 1;
}

}  // namespace app
