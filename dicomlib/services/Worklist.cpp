#include "services/Worklist.h"

#include <array>
#include <optional>
#include <string>

#include "data/Tags.h"
#include "net/Dimse.h"
#include "net/TraceLog.h"
#include "services/QueryRetrieve.h"

namespace dicomlib::services {
namespace {

constexpr int OPEN_STEP = -1;
constexpr int CLOSE_STEP = -2;
constexpr std::size_t UNUSED_FIELD = 6;
constexpr std::size_t REQUESTED_CONTRAST_AGENT = 15;

// The identifier's order, by field index; the step sequence opens and closes in between.
constexpr std::array<int, 24> IDENTIFIER_ORDER = {
    4,  0,  1,  2,  3,  7,  8,  5,  9,  OPEN_STEP,  12, 15,
    13, 11, 10, 14, 17, 16, 18, 19, 20, CLOSE_STEP, 21, 22,
};

int32_t RefuseWorklist(std::string_view why) {
    LogServiceLine(net::LOG_ASSOCIATION, "C-FIND-RQ refused: " + std::string(why));
    return QUERY_REFUSED;
}

// The character sets the identifier names: at its top level, and in a step item of its own.
struct FilledSets {
    std::string top;
    std::optional<std::string> step;
};

void Fill(void* record, const ElementList& list, FlatNesting& nesting,
          const data::DecoderState& syntax, FilledSets& sets) {
    const auto fields = FieldsOf(RecordType::Worklist);
    for (const DicomElement* e : list) {
        const Tag t = TagOf(*e);
        if (t == tag::Item && nesting.InTopLevelSequence(tag::ScheduledProcedureStepSequence))
            sets.step.reset();  // each item starts in the set around it
        // Where a defined-length container may hold step attributes, it is opened here.
        const bool container =
            (nesting.Depth() == 0 && t == tag::ScheduledProcedureStepSequence) ||
            (nesting.InTopLevelSequence(tag::ScheduledProcedureStepSequence) && t == tag::Item);
        if (container && data::HasValue(*e)) {
            ElementList expanded;
            const std::size_t depth = nesting.Depth();
            // A malformed value still gives what was read before the fault.
            data::ExpandSequence(syntax, *e, expanded);
            Fill(record, expanded, nesting, syntax, sets);
            nesting.Truncate(depth);
            continue;
        }
        const bool top = nesting.Depth() == 0;
        const bool step = nesting.InTopLevelItemOf(tag::ScheduledProcedureStepSequence);
        if (!nesting.Take(*e) || (!top && !step)) continue;
        if (t == tag::SpecificCharacterSet)
            (top ? sets.top : sets.step.emplace()) = std::string(ValueText(*e));
        for (std::size_t i = 0; i < fields.size(); ++i) {
            if (i == UNUSED_FIELD || fields[i].tag != t) continue;
            const bool here =
                step ? fields[i].inStep : (!fields[i].inStep || i == REQUESTED_CONTRAST_AGENT);
            if (here) SetField(RecordType::Worklist, record, i, ValueText(*e));
        }
    }
}

}  // namespace

ElementList WorklistIdentifier(const void* key) {
    const auto fields = FieldsOf(RecordType::Worklist);
    ElementList identifier;
    identifier.Reserve(27);
    // Keys written in another set than the default say which, first in tag order.
    if (const std::string characterSet = CharacterSetOf(key, 0); !characterSet.empty())
        AddQueryKey(identifier, tag::SpecificCharacterSet, "CS", characterSet);
    for (const int index : IDENTIFIER_ORDER) {
        if (index == OPEN_STEP) {
            const Tag sq = tag::ScheduledProcedureStepSequence;
            identifier.Append(
                data::NewElement(sq.group, sq.element, UNDEFINED_LENGTH, nullptr, "SQ"));
            identifier.Append(data::NewElement(0xFFFE, 0xE000, UNDEFINED_LENGTH, nullptr, "DL"));
        } else if (index == CLOSE_STEP) {
            identifier.Append(data::NewElement(0xFFFE, 0xE00D, 0, nullptr, "DL"));
            identifier.Append(data::NewElement(0xFFFE, 0xE0DD, 0, nullptr, "DL"));
        } else {
            const RecordFieldInfo& field = fields[static_cast<std::size_t>(index)];
            const char* text = field.sentAsKey ? FieldText(RecordType::Worklist, key,
                                                           static_cast<std::size_t>(index))
                                               : "";
            AddQueryKey(identifier, field.tag, field.vr, text);
        }
    }
    return identifier;
}

void FillWorklistRecord(void* record, const ElementList& identifier,
                        const data::DecoderState& syntax) {
    FlatNesting nesting;
    FilledSets sets;
    Fill(record, identifier, nesting, syntax, sets);
    SetCharacterSets(record, sets.top,
                     sets.step ? std::optional<std::string_view>(*sets.step) : std::nullopt);
}

int32_t SendWorklistFind(Association& assoc, const RecordList& list, std::string_view sopClassUid) {
    if (list.Size() == 0) return RefuseWorklist("no key record in the list");
    if (list.Kind() != RecordType::Worklist)
        return RefuseWorklist("the key record is not a worklist record");
    ElementList identifier = WorklistIdentifier(list[0]);
    const uint16_t messageId = net::NextMessageID();
    net::CommandSet command = FindRequest(sopClassUid, messageId);
    assoc.pendingResponses = 0;
    assoc.queryMessageId = messageId;
    assoc.querySopClass = sopClassUid;
    if (!net::SendMessage(assoc, command.List(), sopClassUid, net::MessageKind::Command) ||
        !net::SendMessage(assoc, identifier, sopClassUid, net::MessageKind::DataSet)) {
        LogServiceLine(net::LOG_ASSOCIATION, "C-FIND-RQ could not be sent");
        return QUERY_SEND_FAILED;
    }
    return 0;
}

bool WriteWLFindRQ(Association& assoc, const RecordList& list, std::string_view sopClassUid) {
    return SendWorklistFind(assoc, list, sopClassUid) == 0;
}

int32_t ReadWLFindRSP(Association& assoc, RecordList& list) {
    if (!list.Holds(RecordType::Worklist))
        return RefuseWorklist("the list holds records of another kind than WORKLIST");
    ElementList command, identifier;
    const int32_t status = ReadResponse(assoc, net::C_FIND_RSP, command, identifier);
    if (status > 0)
        FillWorklistRecord(list.AppendNew(RecordType::Worklist), identifier, ReceivedSyntax(assoc));
    return status;
}

bool ClearWL(RecordList& list) {
    if (!list.Holds(RecordType::Worklist)) return false;
    list.Clear();
    return true;
}

}  // namespace dicomlib::services
