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

}  // namespace

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
    const std::vector<std::string> classes =
        job.storageClasses.empty() ? DefaultGetStorageClasses() : job.storageClasses;
    if (1 + 3 * classes.size() > net::MAX_PROPOSALS) return QUERY_REFUSED;

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
    return JudgeGet(last);
}

std::string GetOutcomeText(int32_t outcome) {
    if (outcome == GET_INCOMPLETE)
        return "the peer reported success, but not every instance arrived and was stored";
    return QueryOutcomeText(net::C_GET_RSP, outcome);
}

}  // namespace dicomlib::services
