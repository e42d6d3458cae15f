#include "services/Retrieve.h"

#include <algorithm>

#include "data/TransferSyntax.h"
#include "data/Uids.h"
#include "net/AssociationWords.h"
#include "net/CommandSet.h"
#include "net/Dimse.h"
#include "net/Dispatcher.h"
#include "net/StorageClasses.h"
#include "services/Storage.h"
#include "store/ProviderProfile.h"
#include "store/StoreScp.h"

namespace dicomlib::services {
namespace {

std::string ClassName(std::string_view uid) {
    for (const net::StorageClass& c : net::StandardStorageClasses())
        if (c.uid == uid) return std::string(c.name);
    return std::string(uid);
}

// What the class carries, for the operator: "CT" of "CT Image Storage".
std::string WhatItCarries(const std::string& name) {
    for (const std::string_view suffix : {" Image Storage", " Storage"})
        if (const auto at = name.find(suffix); at != std::string::npos && at > 0)
            return name.substr(0, at);
    return name + " instances";
}

bool Stored(uint16_t status) {
    return status == net::STATUS_SUCCESS || (status & 0xF000) == 0xB000;
}

// One C-FIND at level on assoc for the given unique keys; the records answered, or the failure
// status (or negative outcome) when it did not end in success.
int32_t FindUnder(Association& assoc, RecordType kind,
                  const std::vector<std::pair<std::string_view, std::string>>& keys,
                  std::vector<std::string>& values, std::string_view wanted) {
    RecordList list;
    void* key = NewRecord(kind);
    for (const auto& [name, text] : keys)
        SetFieldNamed(kind, key, name, text);
    list.Append(key);
    const std::string level = KindName(kind);
    if (const int32_t sent = SendFind(assoc, list, STUDY_ROOT_FIND, level); sent != 0) {
        ClearQuery(list, level);
        return sent;
    }
    int32_t status = net::STATUS_PENDING;
    while (net::IsPending(status))
        status = ReadFindRSP(assoc, list, level);
    for (std::size_t i = 0; i < list.Size(); ++i)
        values.push_back(FieldTextNamed(kind, list[i], wanted));
    ClearQuery(list, level);
    return status;
}

// The standard classes, then those the peer names that are not among them, as far as the
// association's contexts go; those left out are told.
std::vector<std::string> ClassesToTake(const std::vector<std::string>& named,
                                       const GetNoteFn& note) {
    std::vector<std::string> classes = DefaultGetStorageClasses();
    std::vector<std::string> left;
    for (const std::string& uid : named) {
        if (std::find(classes.begin(), classes.end(), uid) != classes.end()) continue;
        if (classes.size() < MAX_GET_STORAGE_CLASSES)
            classes.push_back(uid);
        else
            left.push_back(ClassName(uid));
    }
    if (!left.empty() && note) {
        std::string list;
        for (const std::string& name : left)
            list += (list.empty() ? "" : ", ") + name;
        note(
            "the peer holds instances of more storage classes than one association can "
            "propose; not proposed: " +
            list + " (choose the classes with --classes)");
    }
    return classes;
}

}  // namespace

std::vector<std::string> StorageClassesThePeerNames(const net::ConnectionSettings& peer,
                                                    RecordType kind, const void* key,
                                                    std::string& caveat) {
    const std::string study = FieldTextNamed(kind, key, "StudyInstanceUID");
    const std::string series =
        kind == RecordType::Study ? std::string() : FieldTextNamed(kind, key, "SeriesInstanceUID");
    const std::string instance =
        kind == RecordType::Image ? FieldTextNamed(kind, key, "SOPInstanceUID") : std::string();
    if (study.empty()) return {};
    int32_t opened = 0;
    net::AssociationPtr assoc = OpenQuery(peer, STUDY_ROOT_FIND, opened);
    if (opened != 0) {
        caveat =
            "the peer's Study Root C-FIND could not be asked which storage classes it holds "
            "for this retrieve (" +
            std::string(net::ExplainOpenFailure(*assoc)) +
            "): only the standard classes were proposed (give others with --classes)";
        return {};
    }
    std::vector<std::string> classes;
    const int32_t status = FindUnder(
        *assoc, RecordType::Image,
        {{"StudyInstanceUID", study}, {"SeriesInstanceUID", series}, {"SOPInstanceUID", instance}},
        classes, "SOPClassUID");
    if (status != net::STATUS_SUCCESS && series.empty() && assoc->stream.Connected()) {
        classes.clear();
        std::vector<std::string> seriesUids;
        if (FindUnder(*assoc, RecordType::Series, {{"StudyInstanceUID", study}}, seriesUids,
                      "SeriesInstanceUID") == net::STATUS_SUCCESS)
            for (const std::string& uid : seriesUids)
                if (!uid.empty() && assoc->stream.Connected())
                    FindUnder(*assoc, RecordType::Image,
                              {{"StudyInstanceUID", study}, {"SeriesInstanceUID", uid}}, classes,
                              "SOPClassUID");
    }
    assoc.reset();  // released
    const bool answered = !classes.empty();
    std::sort(classes.begin(), classes.end());
    classes.erase(std::unique(classes.begin(), classes.end()), classes.end());
    std::erase(classes, std::string());
    if (answered && classes.empty())
        caveat =
            "the peer's C-FIND names no SOP Class UID for the instances asked for: only the "
            "standard storage classes were proposed (give others with --classes)";
    return classes;
}

std::vector<std::string> DefaultGetStorageClasses() {
    std::vector<std::string> classes;
    for (const store::ProfileRow& row : store::StandardProfile({}).rows)
        if (row.commandField == net::C_STORE_RQ) classes.push_back(row.abstractSyntax);
    return classes;
}

net::Proposals GetProposals(std::string_view getClass, const std::vector<std::string>& classes) {
    net::Proposals proposals;
    proposals.contexts.push_back({0, std::string(getClass), {uid::ImplicitVRLittleEndian}});
    for (const std::string& c : classes) {
        proposals.contexts.push_back(
            {0, c, {uid::ExplicitVRLittleEndian, uid::ImplicitVRLittleEndian}});
        proposals.contexts.push_back({0, c, {uid::JPEGLossless}});
        proposals.contexts.push_back({0, c, {uid::JPEGBaseline}});
        proposals.roleSelections.push_back({c, 0, 1});
    }
    return proposals;
}

std::vector<std::string> UnsendableClasses(const Association& assoc,
                                           const std::vector<std::string>& classes) {
    std::vector<std::string> words;
    for (const std::string& c : classes) {
        const std::string name = ClassName(c);
        const std::string consequence =
            ": it cannot send " + WhatItCarries(name) + " on this association";
        if (net::FindContextForClass(assoc, c) == 0) {
            words.push_back("the peer refused " + name + consequence);
            continue;
        }
        const auto& roles = assoc.answer.userInformation.roleSelections;
        const bool granted = std::any_of(roles.begin(), roles.end(), [&](const auto& r) {
            return r.sopClassUid == c && r.scpRole == 1;
        });
        if (!granted)
            words.push_back("the peer did not accept our SCP role for " + name + consequence);
    }
    return words;
}

int32_t JudgeGet(const GetProgress& final) {
    const MoveResponse& r = final.response;
    if (r.status != net::STATUS_SUCCESS) return r.status;
    const int32_t reported = std::max(r.completed, 0) + std::max(r.warning, 0);
    if (r.failed > 0 || final.stored != final.received ||
        (r.completed >= 0 && reported != static_cast<int32_t>(final.stored)))
        return GET_INCOMPLETE;
    return r.status;
}

int32_t GetSCUStatus(const net::ConnectionSettings& peer, const GetJob& job, RecordList& list,
                     GetProgress& last, const GetProgressFn& progress, const GetNoteFn& note) {
    last = GetProgress();
    const auto kind = QueryLevelKind(job.level);
    if (!kind || list.Size() == 0 || list.Kind() != kind) return QUERY_REFUSED;
    if (job.storageClasses.size() > MAX_GET_STORAGE_CLASSES) return QUERY_REFUSED;
    // Why the peer could not be asked which classes it holds: told only when something does
    // not arrive.
    std::string caveat;
    const std::vector<std::string> classes =
        job.storageClasses.empty()
            ? ClassesToTake(StorageClassesThePeerNames(peer, *kind, list[0], caveat), note)
            : job.storageClasses;

    net::AssociationPtr assoc = net::Open(peer, GetProposals(job.sopClassUid, classes));
    if (assoc->opened.outcome != net::OpenOutcome::Accepted) return OpenFailureOutcome(*assoc);
    if (net::FindContextForClass(*assoc, job.sopClassUid) == 0) {
        net::NoteFailure(net::ContextRefusalText(*assoc, job.sopClassUid));
        return QUERY_CONTEXT_REFUSED;
    }
    if (note)
        for (const std::string& words : UnsendableClasses(*assoc, classes))
            note(words);

    store::StorageTarget target{store::StorageDirectoryOf(job.directory), job.indexRoot, false,
                                [&last](uint16_t status) {
                                    if (Stored(status)) ++last.stored;
                                }};
    const net::DataSetSpool spool = store::StoreSpool(target);
    const net::DimseHandler store = store::StoreHandler(std::move(target));
    assoc->handlers.On(
        net::C_STORE_RQ, {},
        [&last, &store](Association& a, net::DimseMessage& m) {
            if (m.hasDataSet) ++last.received;
            return store(a, m);
        },
        spool);

    if (const int32_t sent = SendGet(*assoc, list, job.sopClassUid, job.level, job.patientId);
        sent != 0)
        return sent;
    bool cancelSent = false;
    uint32_t afterCancel = 0;
    do {
        if (!cancelSent && job.cancelled && job.cancelled()) {
            net::CommandSet cancel = net::CancelRequest(assoc->queryMessageId);
            if (!net::SendMessage(*assoc, cancel.List(), assoc->querySopClass,
                                  net::MessageKind::Command))
                return QUERY_SEND_FAILED;
            cancelSent = true;
            if (note) note("C-CANCEL-RQ sent: waiting for the peer's final response");
        }
        if (cancelSent && afterCancel++ > MAX_RESPONSES_AFTER_CANCEL) {
            net::AbortAssoc(*assoc);
            return QUERY_TOO_MANY_PENDING;
        }
        last.response = ReadRetrieveResponse(*assoc, net::C_GET_RSP);
        if (progress && last.response.status >= 0) progress(last);
    } while (last.response.status == net::STATUS_PENDING);
    if (last.response.status < 0) return last.response.status;
    const int32_t judged = JudgeGet(last);
    if (judged != net::STATUS_SUCCESS && !caveat.empty() && note) note(caveat);
    return judged;
}

std::string GetOutcomeText(int32_t outcome) {
    if (outcome == GET_INCOMPLETE)
        return "the peer reported success, but not every instance arrived and was stored";
    return QueryOutcomeText(net::C_GET_RSP, outcome);
}

}  // namespace dicomlib::services
