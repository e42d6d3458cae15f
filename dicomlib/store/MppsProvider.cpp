#include "store/MppsProvider.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <mutex>
#include <utility>

#include "data/Dictionary.h"
#include "data/Part10File.h"
#include "data/Tags.h"
#include "data/TransferSyntax.h"
#include "data/Uids.h"
#include "net/Association.h"
#include "net/CommandSet.h"
#include "net/Dimse.h"
#include "net/NService.h"
#include "services/Mpps.h"
#include "store/StoreScp.h"

namespace dicomlib::store {
namespace {

namespace fs = std::filesystem;

constexpr Tag STATUS_TAG{0x0040, 0x0252};
constexpr Tag SCHEDULED_STEP_SEQUENCE{0x0040, 0x0270};
constexpr Tag STUDY_INSTANCE_UID{0x0020, 0x000D};
// What a creator must give a value, at the top level.
constexpr Tag REQUIRED_AT_TOP[] = {
    {0x0008, 0x0060},  // Modality
    {0x0040, 0x0241},  // Performed Station AE Title
    {0x0040, 0x0244},  // Performed Procedure Step Start Date
    {0x0040, 0x0245},  // Performed Procedure Step Start Time
    {0x0040, 0x0252},  // Performed Procedure Step Status
    {0x0040, 0x0253},  // Performed Procedure Step ID
};
constexpr uint16_t STATUS_PROCESSING_FAILURE = 0x0110, STATUS_DUPLICATE_INSTANCE = 0x0111;
constexpr uint16_t STATUS_NO_SUCH_INSTANCE = 0x0112, STATUS_INVALID_INSTANCE = 0x0117;
constexpr uint16_t STATUS_MISSING_ATTRIBUTE = 0x0120, STATUS_MISSING_VALUE = 0x0121;
constexpr uint16_t STATUS_INVALID_VALUE = 0x0106;

bool TagLess(Tag a, Tag b) {
    return a.group != b.group ? a.group < b.group : a.element < b.element;
}

bool Opens(const DicomElement& e) {
    return e.length == UNDEFINED_LENGTH && !(e.group == 0xFFFE && e.element != 0xE000);
}
bool Closes(const DicomElement& e) {
    return e.group == 0xFFFE && (e.element == 0xE00D || e.element == 0xE0DD);
}

// Each top-level element with all it holds, as [first, last) indexes of the flat list.
std::vector<std::pair<std::size_t, std::size_t>> TopLevelRuns(const ElementList& list) {
    std::vector<std::pair<std::size_t, std::size_t>> runs;
    std::size_t depth = 0;
    for (std::size_t i = 0; i < list.Size(); ++i) {
        const DicomElement& e = *list[i];
        if (depth == 0) runs.emplace_back(i, i + 1);
        if (Opens(e)) ++depth;
        if (Closes(e) && depth > 0) --depth;
        runs.back().second = i + 1;
    }
    return runs;
}

std::string TagHex(Tag t) {
    char text[16];
    std::snprintf(text, sizeof text, "(%04X,%04X)", t.group, t.element);
    return text;
}

std::string Names(const std::vector<Tag>& tags) {
    std::string text;
    for (Tag t : tags)
        text += (text.empty() ? "" : " ") + TagHex(t);
    return text;
}

// Whether the scheduled step sequence has items, and the Study Instance UIDs its items lack or
// leave empty.
void CheckScheduledSteps(const ElementList& list, std::size_t first, std::size_t last,
                         std::vector<Tag>& missing, std::vector<Tag>& empty) {
    std::size_t items = 0, depth = 0;
    bool found = false, valued = false;
    auto endItem = [&] {
        if (!found) missing.push_back(STUDY_INSTANCE_UID);
        if (found && !valued) empty.push_back(STUDY_INSTANCE_UID);
    };
    for (std::size_t i = first + 1; i < last; ++i) {
        const DicomElement& e = *list[i];
        if (depth == 0 && TagOf(e) == tag::Item) {
            ++items;
            found = valued = false;
        }
        if (depth == 1 && TagOf(e) == STUDY_INSTANCE_UID) {
            found = true;
            valued = !net::UidText(e).empty();
        }
        if (Opens(e)) ++depth;
        if (Closes(e) && depth > 0 && --depth == 0 && e.element == 0xE00D) endItem();
    }
    if (items == 0) empty.push_back(SCHEDULED_STEP_SEQUENCE);
    std::sort(missing.begin(), missing.end(), TagLess);
    missing.erase(std::unique(missing.begin(), missing.end()), missing.end());
    std::sort(empty.begin(), empty.end(), TagLess);
    empty.erase(std::unique(empty.begin(), empty.end()), empty.end());
}

std::string UnpaddedValue(std::string text) {
    while (!text.empty() && (text.back() == ' ' || text.back() == '\0'))
        text.pop_back();
    return text;
}

std::string StatusOf(const ElementList& list) {
    return UnpaddedValue(data::GetTopLevelString(list, STATUS_TAG));
}

// The steps of one folder, one decision and one file write at a time.
struct MppsState {
    fs::path directory;
    std::mutex mutex;
    fs::path FileOf(const std::string& uid) const { return directory / (uid + ".dcm"); }
};

data::DecoderState StateOf(Association& assoc, const net::DimseMessage& message) {
    const auto syntax = net::AcceptedSyntaxOf(assoc, message.dataSetContextId);
    const data::DataSetEncoding encoding = data::EncodingOf(syntax ? *syntax : "");
    return {static_cast<uint8_t>(encoding.explicitVr ? 1 : 0),
            static_cast<uint8_t>(encoding.bigEndian ? 1 : 0), 0};
}

bool Write(const fs::path& path, const std::string& uid, const ElementList& dataSet) {
    std::error_code ec;
    fs::create_directories(path.parent_path(), ec);
    ElementList meta;
    data::BuildMetaHeader(meta, MPPS_CLASS, uid, uid::ImplicitVRLittleEndian);
    return data::WritePart10File(path, &meta, dataSet, false, false, true);
}

net::HandlerResult Answer(Association& assoc, const net::DimseMessage& message, uint16_t field,
                          const std::string& uid, const MppsDecision& decision) {
    net::CommandSet response =
        decision.status == net::STATUS_SUCCESS
            ? net::NServiceResponse(field, MPPS_CLASS, uid, message.MessageId(), decision.status,
                                    false)
            : net::NServiceFailure(field, MPPS_CLASS, uid, message.MessageId(), decision.status,
                                   decision.comment, decision.attributes);
    return net::SendMessageOnContext(assoc, response.List(), message.contextId,
                                     net::MessageKind::Command)
               ? net::HandlerResult::Continue
               : net::HandlerResult::End;
}

}  // namespace

ElementList FlatDataSet(const ElementList& list, const data::DecoderState& syntax) {
    ElementList flat;
    for (const DicomElement* e : list) {
        DicomElement* copy = data::CopyElement(*e);
        if (copy->vr[0] == 0) data::LookupVR(*copy);
        const bool container = data::VrIs(*copy, "SQ") || TagOf(*copy) == tag::Item;
        if (container && copy->length != UNDEFINED_LENGTH && data::HasValue(*copy)) {
            data::ExpandSequence(syntax, *copy, flat);
            data::FreeElement(copy);
        } else {
            flat.Append(copy);
        }
    }
    return flat;
}

MppsDecision DecideCreate(const ElementList& dataSet, bool exists) {
    if (exists) return {STATUS_DUPLICATE_INSTANCE, "the step exists already", {}};
    std::vector<Tag> missing, empty;
    for (Tag t : REQUIRED_AT_TOP) {
        const DicomElement* e = data::FindTopLevelTag(dataSet, t);
        if (e == nullptr)
            missing.push_back(t);
        else if (UnpaddedValue(data::GetTopLevelString(dataSet, t)).empty())
            empty.push_back(t);
    }
    const auto runs = TopLevelRuns(dataSet);
    const auto steps = std::find_if(runs.begin(), runs.end(), [&](const auto& run) {
        return TagOf(*dataSet[run.first]) == SCHEDULED_STEP_SEQUENCE;
    });
    if (steps == runs.end())
        missing.push_back(SCHEDULED_STEP_SEQUENCE);
    else
        CheckScheduledSteps(dataSet, steps->first, steps->second, missing, empty);
    std::sort(missing.begin(), missing.end(), TagLess);
    std::sort(empty.begin(), empty.end(), TagLess);
    if (!missing.empty()) return {STATUS_MISSING_ATTRIBUTE, "missing " + Names(missing), missing};
    if (!empty.empty()) return {STATUS_MISSING_VALUE, "no value in " + Names(empty), empty};
    if (StatusOf(dataSet) != "IN PROGRESS")
        return {STATUS_INVALID_VALUE, "a step is created IN PROGRESS", {STATUS_TAG}};
    return {};
}

MppsDecision DecideSet(std::string_view storedStatus, const ElementList& changes) {
    if (storedStatus != "IN PROGRESS")
        return {STATUS_PROCESSING_FAILURE,
                "the step is " + std::string(storedStatus) + ": it cannot be changed",
                {}};
    if (data::FindTopLevelTag(changes, STATUS_TAG) != nullptr) {
        const std::string status = StatusOf(changes);
        if (status != "IN PROGRESS" && status != "COMPLETED" && status != "DISCONTINUED")
            return {STATUS_INVALID_VALUE,
                    "status " + status + " is not IN PROGRESS, COMPLETED or DISCONTINUED",
                    {STATUS_TAG}};
    }
    return {};
}

ElementList MergeSet(const ElementList& stored, const ElementList& changes) {
    struct Run {
        const ElementList* list;
        std::size_t first, last;
    };
    std::vector<Run> runs;
    const auto changed = TopLevelRuns(changes);
    for (const auto& [first, last] : TopLevelRuns(stored)) {
        const Tag t = TagOf(*stored[first]);
        const bool replaced = std::any_of(changed.begin(), changed.end(), [&](const auto& c) {
            return TagOf(*changes[c.first]) == t;
        });
        if (!replaced) runs.push_back({&stored, first, last});
    }
    for (const auto& [first, last] : changed)
        runs.push_back({&changes, first, last});
    std::stable_sort(runs.begin(), runs.end(), [](const Run& a, const Run& b) {
        return TagLess(TagOf(*(*a.list)[a.first]), TagOf(*(*b.list)[b.first]));
    });
    ElementList merged;
    for (const Run& run : runs)
        for (std::size_t i = run.first; i < run.last; ++i)
            merged.Append(data::CopyElement(*(*run.list)[i]));
    return merged;
}

MppsHandlers MppsProviderHandlers(const fs::path& directory) {
    auto state = std::make_shared<MppsState>();
    state->directory = directory;
    MppsHandlers handlers;
    handlers.create = [state](Association& assoc, net::DimseMessage& message) {
        std::string uid;
        if (const DicomElement* e = data::FindTag(message.command, tag::AffectedSOPInstanceUID))
            uid = net::UidText(*e);
        if (uid.empty()) uid = services::NewUid();
        if (!IsValidUid(uid))
            return Answer(assoc, message, net::N_CREATE_RSP, uid,
                          {STATUS_INVALID_INSTANCE, "the SOP Instance UID is not a UID", {}});
        const ElementList dataSet = FlatDataSet(message.dataSet, StateOf(assoc, message));
        std::lock_guard lock(state->mutex);
        const fs::path path = state->FileOf(uid);
        std::error_code ec;
        MppsDecision decision = DecideCreate(dataSet, fs::exists(path, ec));
        if (decision.status == net::STATUS_SUCCESS && !Write(path, uid, dataSet))
            decision = {STATUS_PROCESSING_FAILURE, "the step cannot be written to disk", {}};
        return Answer(assoc, message, net::N_CREATE_RSP, uid, decision);
    };
    handlers.set = [state](Association& assoc, net::DimseMessage& message) {
        std::string uid;
        if (const DicomElement* e = data::FindTag(message.command, tag::RequestedSOPInstanceUID))
            uid = net::UidText(*e);
        std::lock_guard lock(state->mutex);
        const fs::path path = state->FileOf(uid);
        data::DecoderState fileState;
        ElementList meta, stored;
        std::error_code ec;
        if (!IsValidUid(uid) || !fs::exists(path, ec) ||
            !data::ReadPart10File(fileState, path, meta, stored))
            return Answer(assoc, message, net::N_SET_RSP, uid,
                          {STATUS_NO_SUCH_INSTANCE, "no step " + uid + " here", {}});
        const ElementList changes = FlatDataSet(message.dataSet, StateOf(assoc, message));
        MppsDecision decision = DecideSet(StatusOf(stored), changes);
        if (decision.status == net::STATUS_SUCCESS && !Write(path, uid, MergeSet(stored, changes)))
            decision = {STATUS_PROCESSING_FAILURE, "the step cannot be written to disk", {}};
        return Answer(assoc, message, net::N_SET_RSP, uid, decision);
    };
    return handlers;
}

}  // namespace dicomlib::store
