#include "services/Storage.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <system_error>

#include "data/Converter.h"
#include "data/Datadec.h"
#include "data/Part10File.h"
#include "data/Tags.h"
#include "data/TransferSyntax.h"
#include "net/AssociationWords.h"
#include "net/Dimse.h"
#include "net/Dispatcher.h"
#include "net/ErrorComment.h"
#include "net/TraceLog.h"
#include "store/IndexFiles.h"

namespace dicomlib::services {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t PREAMBLE_SIZE = 128;
constexpr Tag MOVE_ORIGINATOR_AE_TITLE{0x0000, 0x1030};
constexpr Tag MOVE_ORIGINATOR_MESSAGE_ID{0x0000, 0x1031};
const char* const IMAGE_INDEX = store::IndexFileName(store::IndexLevel::Image);

enum class Probe { CannotOpen, NotPart10, Part10 };

Probe ProbeFile(const fs::path& path) {
    std::error_code ec;
    if (!fs::is_regular_file(path, ec)) return Probe::CannotOpen;
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return Probe::CannotOpen;
    std::array<char, PREAMBLE_SIZE + 4> head{};
    const std::size_t got = std::fread(head.data(), 1, head.size(), file);
    std::fclose(file);
    if (got != head.size()) return Probe::NotPart10;
    return std::memcmp(head.data() + PREAMBLE_SIZE, "DICM", 4) == 0 ? Probe::Part10
                                                                    : Probe::NotPart10;
}

// A UID value as text: up to its first NUL (the pad of an odd length), without trailing
// blanks, which some writers pad with although UIDs compare byte for byte.
std::string UidText(const DicomElement& e) {
    const data::ValueView value(e);
    std::string text(reinterpret_cast<const char*>(value.Data()), value.Bytes().size());
    text.resize(std::strlen(text.c_str()));
    while (!text.empty() && text.back() == ' ')
        text.pop_back();
    return text;
}

std::string SopClassOf(const ElementList& dataSet) {
    const DicomElement* e = data::FindTag(dataSet, tag::SOPClassUID);
    return e != nullptr ? UidText(*e) : std::string();
}

// A bare data set, without preamble or meta group, as some archives keep them. Its first
// element tells the syntax: group 0x0008 in either byte order, with or without a VR. Taken only
// when it reads to its end, names its SOP class and holds no group below 0x0008 (a misread, or a
// zero-filled tail); anything else stays "not a DICOM file".
bool LoadBareDataSet(const fs::path& path, ElementList& dataSet, std::string& syntax) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return false;
    std::array<unsigned char, 6> head{};
    const std::size_t got = std::fread(head.data(), 1, head.size(), file);
    std::fclose(file);
    if (got != head.size()) return false;
    const bool little = head[0] == 0x08 && head[1] == 0x00;
    const bool big = head[0] == 0x00 && head[1] == 0x08;
    const bool explicitVr = std::isupper(head[4]) != 0 && std::isupper(head[5]) != 0;
    const char* name = little ? (explicitVr ? "explicit" : "implicit") : "big";
    if ((!little && !big) || (big && !explicitVr)) return false;
    const data::TransferSyntax* row = data::FindTransferSyntaxNamed(name);
    bool complete = false;
    if (row == nullptr || !data::ReadRawDataSetFile(path, dataSet, row->uid, &complete) ||
        !complete || SopClassOf(dataSet).empty() ||
        std::any_of(dataSet.begin(), dataSet.end(),
                    [](const DicomElement* e) { return e->group < 0x0008; })) {
        dataSet.Clear();
        return false;
    }
    syntax = row->uid;
    return true;
}

// Reads a file to be sent: its data set and its transfer syntax. 0, or why it cannot be sent.
int32_t LoadForSending(const fs::path& path, ElementList& dataSet, std::string& syntax) {
    switch (ProbeFile(path)) {
        case Probe::CannotOpen:
            return STORE_CANNOT_OPEN;
        case Probe::NotPart10:
            return LoadBareDataSet(path, dataSet, syntax) ? 0 : STORE_NOT_PART10;
        case Probe::Part10:
            break;
    }
    data::DecoderState state;
    ElementList meta;
    if (!data::ReadPart10File(state, path, meta, dataSet)) return STORE_DAMAGED_FILE;
    const DicomElement* ts = data::FindTag(meta, tag::TransferSyntaxUID);
    syntax = ts != nullptr ? UidText(*ts) : std::string();
    return syntax.empty() ? STORE_NO_TRANSFER_SYNTAX : 0;
}

// Sending in explicit VR gives elements their dictionary VRs; a list that is not ours gets its
// own back afterwards, as if a copy had been sent.
class VrKeeper {
  public:
    explicit VrKeeper(ElementList& list) : list_(list) {
        vrs_.reserve(list.Size());
        for (const DicomElement* e : list)
            vrs_.push_back({e->vr[0], e->vr[1]});
    }
    ~VrKeeper() {
        const std::size_t n = std::min(vrs_.size(), list_.Size());
        for (std::size_t i = 0; i < n; ++i) {
            list_[i]->vr[0] = vrs_[i][0];
            list_[i]->vr[1] = vrs_[i][1];
        }
    }
    VrKeeper(const VrKeeper&) = delete;
    VrKeeper& operator=(const VrKeeper&) = delete;

  private:
    ElementList& list_;
    std::vector<std::array<char, 2>> vrs_;
};

struct SeriesEntry {
    fs::path file;
    bool usable = true;  // false for an index line whose name would leave the directory
};

std::vector<SeriesEntry> EntriesFromIndex(const fs::path& directory, const fs::path& index) {
    std::vector<SeriesEntry> entries;
    const auto lines = store::ReadIndexFile(store::IndexLevel::Image, index);
    if (!lines) return entries;
    for (const store::IndexEntry& line : *lines) {
        const std::string uid(
            store::IndexValue(store::IndexLevel::Image, line, tag::SOPInstanceUID));
        SeriesEntry entry;
        entry.file = directory / (uid + ".dcm");
        // The instance's field names a file in this directory: never a path elsewhere.
        entry.usable = !uid.empty() && uid != "." && uid != ".." &&
                       uid.find_first_of("/\\") == std::string::npos;
        entries.push_back(std::move(entry));
    }
    return entries;
}

// A file of a series, read and ready to send (outcome 0), or why it cannot be sent.
struct LoadedFile {
    ElementList dataSet;
    std::string syntax;
    int32_t outcome = 0;
};

LoadedFile LoadEntry(const SeriesEntry& entry) {
    LoadedFile file;
    if (!entry.usable) {
        file.outcome = STORE_CANNOT_OPEN;
        return file;
    }
    file.outcome = LoadForSending(entry.file, file.dataSet, file.syntax);
    if (file.outcome == 0 && SopClassOf(file.dataSet).empty()) file.outcome = STORE_NO_SOP_CLASS;
    return file;
}

// What the scan of a series learns of one entry, or why it cannot be sent. Only the elements
// in front of the pixel data are read; a file damaged further on is found when it is sent.
ScannedFile ScanEntry(const SeriesEntry& entry) {
    ScannedFile scanned;
    if (!entry.usable) {
        scanned.outcome = STORE_CANNOT_OPEN;
        return scanned;
    }
    switch (ProbeFile(entry.file)) {
        case Probe::CannotOpen:
            scanned.outcome = STORE_CANNOT_OPEN;
            return scanned;
        case Probe::NotPart10: {
            // A bare data set is read whole: its first element decides how.
            LoadedFile bare = LoadEntry(entry);
            scanned.outcome = bare.outcome;
            scanned.syntax = bare.syntax;
            scanned.sopClass = SopClassOf(bare.dataSet);
            return scanned;
        }
        case Probe::Part10:
            break;
    }
    ElementList header;
    const auto bytes = data::ReadWholeFile(entry.file);
    if (!bytes || !data::ReadPart10Header(bytes->Span(), header)) {
        scanned.outcome = STORE_CANNOT_OPEN;
        return scanned;
    }
    const DicomElement* ts = data::FindTag(header, tag::TransferSyntaxUID);
    scanned.syntax = ts != nullptr ? UidText(*ts) : std::string();
    scanned.sopClass = SopClassOf(header);
    if (scanned.syntax.empty()) {
        scanned.outcome = STORE_NO_TRANSFER_SYNTAX;
    } else if (scanned.sopClass.empty()) {
        // No class where one is looked for may also be a body that does not read in its
        // syntax: the whole file tells which.
        scanned.outcome = LoadEntry(entry).outcome;
        if (scanned.outcome == 0) scanned.outcome = STORE_NO_SOP_CLASS;
    }
    return scanned;
}

}  // namespace

std::string StoreOutcomeText(int32_t outcome, std::string_view peer) {
    const std::string name(peer);
    if (outcome >= 0 && outcome <= 0xFFFF)
        return net::StatusText(static_cast<uint16_t>(outcome), net::C_STORE_RSP);
    switch (static_cast<StoreFailure>(outcome)) {
        case STORE_NO_RESPONSE:
            return "no response from " + name;
        case STORE_NOT_STORE_RESPONSE:
            return "the answer from " + name + " was not a C-STORE response";
        case STORE_CANNOT_OPEN:
            return "cannot be opened";
        case STORE_NOT_PART10:
            return "not a DICOM file (no \"DICM\" at offset 128)";
        case STORE_DAMAGED_FILE:
            return "damaged DICOM file (cannot be read to its end)";
        case STORE_NO_TRANSFER_SYNTAX:
            return "no transfer syntax in its meta group";
        case STORE_NO_SOP_CLASS:
            return "no SOP Class UID";
        case STORE_NO_CONNECTION:
            return "cannot connect to " + name;
        case STORE_REJECTED:
            return "association rejected by " + name;
        case STORE_CONTEXT_REFUSED:
            return name + " accepted no presentation context for its SOP class";
        case STORE_CONVERSION_FAILED:
            return "cannot convert the data set to a transfer syntax " + name + " accepted";
        case STORE_SEND_FAILED:
            return "the connection to " + name + " failed while sending";
        case STORE_NO_FILES:
            return "no DICOM files in the directory";
        case STORE_INTERNAL_ERROR:
            return "internal failure (see the trace log)";
        case STORE_ASSOCIATION_ABORTED:
            return name + " aborted the association request";
        case STORE_MALFORMED_ANSWER:
            return name + " gave no sound answer to the association request";
    }
    return "failure " + std::to_string(outcome);
}

net::CommandSet StoreRequest(std::string_view sopClassUid, uint16_t messageId,
                             std::optional<std::string_view> sopInstanceUid,
                             const MoveOriginator* originator) {
    net::CommandSet command;
    command.AppendUid(tag::AffectedSOPClassUID, sopClassUid)
        .AppendUs(tag::CommandField, net::C_STORE_RQ)
        .AppendUs(tag::MessageID, messageId)
        .AppendUs(tag::Priority, net::PRIORITY_MEDIUM)
        .AppendUs(tag::CommandDataSetType, net::DATA_SET_PRESENT);
    // An odd-length instance UID gets its 0x00 pad here too: peers abort on an odd length.
    if (sopInstanceUid) command.AppendUid(tag::AffectedSOPInstanceUID, *sopInstanceUid);
    if (originator != nullptr) {
        std::string title = originator->aeTitle;
        if (title.size() % 2 != 0) title += ' ';
        command
            .AppendBytes(MOVE_ORIGINATOR_AE_TITLE, "AE",
                         {reinterpret_cast<const uint8_t*>(title.data()), title.size()})
            .AppendUs(MOVE_ORIGINATOR_MESSAGE_ID, originator->messageId);
    }
    return command;
}

int32_t StoreDataSet(Association& assoc, ElementList& dataSet, std::string_view sopClassUid,
                     std::string_view currentSyntax, bool convert) {
    const uint8_t contextId = net::FindContextForClass(assoc, sopClassUid);
    if (contextId == 0) return STORE_CONTEXT_REFUSED;
    return StoreDataSetOn(assoc, contextId, dataSet, sopClassUid, currentSyntax, convert);
}

int32_t StoreDataSetOn(Association& assoc, uint8_t contextId, ElementList& dataSet,
                       std::string_view sopClassUid, std::string_view currentSyntax, bool convert,
                       const MoveOriginator* originator) {
    const auto accepted = net::AcceptedSyntaxOf(assoc, contextId);
    if (!accepted) return STORE_CONTEXT_REFUSED;

    // Without a conversion the data set itself is sent: the same bytes as a copy would give.
    // A conversion is made ready (all but the later pixel data frames) before the command goes
    // out, and converts those frames as they are sent.
    VrKeeper keep(dataSet);
    std::optional<data::Conversion> conversion;
    std::string detail;
    if (convert && *accepted != currentSyntax) {
        conversion.emplace(dataSet, *accepted, currentSyntax, &detail);
        if (const data::ConvertError error = conversion->Prepare();
            error != data::ConvertError::None) {
            net::NoteFailure(data::ConvertFailureText(error, currentSyntax, *accepted, detail));
            return STORE_CONVERSION_FAILED;
        }
    }

    // The instance UID is text: a conversion leaves it as it is.
    std::optional<std::string> instanceUid;
    if (const DicomElement* e = data::FindTag(dataSet, tag::SOPInstanceUID)) {
        const data::ValueView value(*e);
        instanceUid.emplace(reinterpret_cast<const char*>(value.Data()), value.Bytes().size());
    }
    net::CommandSet command =
        StoreRequest(sopClassUid, net::NextMessageID(), instanceUid, originator);
    if (!net::SendMessageOnContext(assoc, command.List(), contextId, net::MessageKind::Command))
        return STORE_SEND_FAILED;
    if (!conversion) {
        return net::SendMessageOnContext(assoc, dataSet, contextId, net::MessageKind::DataSet)
                   ? 0
                   : STORE_SEND_FAILED;
    }
    data::ConvertError written = data::ConvertError::None;
    const bool sent = net::SendMessageOnContextFrom(assoc, contextId, net::MessageKind::DataSet,
                                                    [&](data::ElementSink& sink) {
                                                        written = conversion->WriteTo(sink);
                                                        return written == data::ConvertError::None;
                                                    });
    if (written != data::ConvertError::None && written != data::ConvertError::WriteFailed) {
        // A later frame: the peer had part of the data set, and the association was aborted.
        net::NoteFailure(data::ConvertFailureText(written, currentSyntax, *accepted, detail) +
                         "; the association was aborted part way through the data set");
        return STORE_CONVERSION_FAILED;
    }
    return sent ? 0 : STORE_SEND_FAILED;
}

bool WriteStoreRQ(Association& assoc, ElementList& dataSet, std::string_view sopClassUid,
                  std::string_view currentSyntax, bool convert) {
    return StoreDataSet(assoc, dataSet, sopClassUid, currentSyntax, convert) == 0;
}

int32_t ReadStoreRSP(Association& assoc) {
    assoc.dataTransfer.awaitedResponse = net::C_STORE_RSP;
    auto response = net::AwaitResponse(assoc);
    if (!response) return STORE_NO_RESPONSE;
    if (response->commandField != net::C_STORE_RSP) return STORE_NOT_STORE_RESPONSE;
    const uint16_t status = data::GetTagUS(response->command, tag::Status);
    if (status != net::STATUS_SUCCESS)
        net::NoteStatusFailureOf(status, net::C_STORE_RSP, response->command);
    return status;
}

int32_t OpenFailureOutcome(const Association& assoc) {
    switch (assoc.opened.outcome) {
        case net::OpenOutcome::Rejected:
            return STORE_REJECTED;
        case net::OpenOutcome::NothingAccepted:
            return STORE_CONTEXT_REFUSED;
        case net::OpenOutcome::Aborted:
            return STORE_ASSOCIATION_ABORTED;
        case net::OpenOutcome::MalformedAnswer:
            return STORE_MALFORMED_ANSWER;
        default:
            return STORE_NO_CONNECTION;
    }
}

int32_t StoreFile(std::string_view host, std::string_view port, std::string_view callingAeTitle,
                  std::string_view calledAeTitle, const fs::path& file,
                  std::optional<std::string_view> preferredSyntax, bool convert) {
    return StoreFile(net::SettingsFor(std::string(host), std::string(port),
                                      std::string(callingAeTitle), std::string(calledAeTitle)),
                     file, preferredSyntax, convert);
}

int32_t StoreFile(const net::ConnectionSettings& peer, const fs::path& file,
                  std::optional<std::string_view> preferredSyntax, bool convert) {
    net::NoteFailure({});
    ElementList dataSet;
    std::string syntax;
    if (const int32_t loaded = LoadForSending(file, dataSet, syntax); loaded != 0) return loaded;
    const std::string sopClass = SopClassOf(dataSet);
    if (sopClass.empty()) return STORE_NO_SOP_CLASS;

    auto syntaxes = net::StorageProposedTransferSyntaxes(syntax, preferredSyntax);
    net::AssociationPtr assoc = net::Open(peer, {{{0, sopClass, std::move(*syntaxes)}}});
    if (assoc->opened.outcome != net::OpenOutcome::Accepted) return OpenFailureOutcome(*assoc);
    if (const int32_t sent = StoreDataSet(*assoc, dataSet, sopClass, syntax, convert); sent != 0)
        return sent;
    return ReadStoreRSP(*assoc);
}

bool StoreSCU(std::string_view host, std::string_view port, std::string_view callingAeTitle,
              std::string_view calledAeTitle, const fs::path& file,
              std::optional<std::string_view> preferredSyntax, bool convert) {
    return StoreFile(host, port, callingAeTitle, calledAeTitle, file, preferredSyntax, convert) ==
           net::STATUS_SUCCESS;
}

std::vector<SeriesAssociation> PlanSeries(const std::vector<ScannedFile>& files,
                                          std::optional<std::string_view> preferredSyntax) {
    struct ClassPlan {
        std::string sopClass;
        std::vector<std::string> syntaxes;
        std::size_t association = 0;
    };
    std::vector<ClassPlan> classes;  // in the order of their first files
    std::vector<std::size_t> classOf(files.size(), classes.max_size());
    for (std::size_t i = 0; i < files.size(); ++i) {
        if (files[i].outcome != 0) continue;
        auto found = std::find_if(classes.begin(), classes.end(), [&](const ClassPlan& c) {
            return c.sopClass == files[i].sopClass;
        });
        if (found == classes.end()) found = classes.insert(classes.end(), {files[i].sopClass, {}});
        if (std::find(found->syntaxes.begin(), found->syntaxes.end(), files[i].syntax) ==
            found->syntaxes.end())
            found->syntaxes.push_back(files[i].syntax);
        classOf[i] = static_cast<std::size_t>(found - classes.begin());
    }

    std::vector<SeriesAssociation> plan;
    for (ClassPlan& c : classes) {
        for (std::string_view extra : {preferredSyntax.value_or(std::string_view()),
                                       std::string_view(uid::ImplicitVRLittleEndian)}) {
            if (!extra.empty() &&
                std::find(c.syntaxes.begin(), c.syntaxes.end(), extra) == c.syntaxes.end())
                c.syntaxes.emplace_back(extra);
        }
        // A class stays on one association, so that each of its files can go in any of the
        // syntaxes the peer takes for it.
        if (plan.empty() || plan.back().proposals.size() + c.syntaxes.size() > net::MAX_PROPOSALS)
            plan.emplace_back();
        for (const std::string& syntax : c.syntaxes)
            plan.back().proposals.push_back({0, c.sopClass, {syntax}});
        c.association = plan.size() - 1;
    }
    if (plan.empty()) plan.emplace_back();  // nothing to send: every file is told why
    // A file that cannot be sent is told with the files around it.
    std::size_t current = 0;
    for (std::size_t i = 0; i < files.size(); ++i) {
        if (classOf[i] < classes.size()) current = classes[classOf[i]].association;
        plan[current].entries.push_back(i);
    }
    return plan;
}

uint8_t ContextForFile(const Association& assoc, std::string_view sopClassUid,
                       std::string_view fileSyntax,
                       std::optional<std::string_view> preferredSyntax) {
    uint8_t preferred = 0, implicit = 0, first = 0;
    for (const auto& pc : assoc.acceptedContexts) {
        if (pc.abstractSyntax != sopClassUid) continue;
        if (pc.transferSyntax == fileSyntax) return pc.id;
        if (first == 0) first = pc.id;
        if (preferred == 0 && preferredSyntax && pc.transferSyntax == *preferredSyntax)
            preferred = pc.id;
        if (implicit == 0 && pc.transferSyntax == uid::ImplicitVRLittleEndian) implicit = pc.id;
    }
    return preferred != 0 ? preferred : implicit != 0 ? implicit : first;
}

int32_t SendSeriesStatus(std::string_view host, std::string_view port,
                         std::string_view callingAeTitle, std::string_view calledAeTitle,
                         const fs::path& directory, std::optional<std::string_view> preferredSyntax,
                         bool convert, const SeriesProgress& progress) {
    return SendSeriesStatus(
        net::SettingsFor(std::string(host), std::string(port), std::string(callingAeTitle),
                         std::string(calledAeTitle)),
        directory, preferredSyntax, convert, progress);
}

int32_t SendSeriesStatus(const net::ConnectionSettings& peer, const fs::path& directory,
                         std::optional<std::string_view> preferredSyntax, bool convert,
                         const SeriesProgress& progress) {
    net::NoteFailure({});
    std::vector<SeriesEntry> entries;
    std::error_code ec;
    const fs::path index = directory / IMAGE_INDEX;
    if (fs::exists(index, ec)) {
        entries = EntriesFromIndex(directory, index);
    } else {
        for (auto& file : ListPart10Files(directory))
            entries.push_back({std::move(file), true});
    }
    if (entries.empty()) return STORE_NO_FILES;
    // An empty preferred syntax is the operator's choice of implicit VR little endian.
    if (preferredSyntax && preferredSyntax->empty()) preferredSyntax.reset();

    // Every file is looked at first: what classes and syntaxes to propose depends on them all.
    std::vector<ScannedFile> scanned;
    scanned.reserve(entries.size());
    for (const SeriesEntry& entry : entries)
        scanned.push_back(ScanEntry(entry));

    std::vector<int32_t> outcomes(entries.size(), STORE_NO_CONNECTION);
    bool opened = false;
    for (const SeriesAssociation& planned : PlanSeries(scanned, preferredSyntax)) {
        net::AssociationPtr assoc;
        int32_t refused = 0;  // why this association could not be opened
        if (!planned.proposals.empty()) {
            // Message IDs go on from those already sent.
            const uint32_t counter = net::MessageCounterValue();
            assoc = net::Open(peer, {planned.proposals});
            refused = assoc->opened.outcome == net::OpenOutcome::Accepted
                          ? 0
                          : OpenFailureOutcome(*assoc);
            if (opened) net::SetMessageCounter(counter);
            opened = true;
        }
        std::vector<std::size_t> usable;
        for (std::size_t i : planned.entries)
            if (scanned[i].outcome == 0) usable.push_back(i);
        LoadedFile next;
        std::size_t nextUsable = 0;
        if (refused == 0 && !usable.empty()) next = LoadEntry(entries[usable[0]]);
        for (std::size_t i : planned.entries) {
            int32_t& outcome = outcomes[i];
            if (scanned[i].outcome != 0) {
                outcome = scanned[i].outcome;
                if (progress) progress(i, entries.size(), entries[i].file, outcome);
                continue;
            }
            ++nextUsable;
            LoadedFile current = std::move(next);
            const std::string& sopClass = scanned[i].sopClass;
            if (refused != 0) {
                outcome = refused;
            } else if (current.outcome != 0) {
                outcome = current.outcome;
            } else if (!assoc->stream.Connected()) {
                outcome = STORE_SEND_FAILED;  // nothing more goes on this association
            } else if (const uint8_t context =
                           ContextForFile(*assoc, sopClass, current.syntax, preferredSyntax);
                       context == 0) {
                net::NoteFailure("the peer refused every presentation context for the SOP class: " +
                                 net::ContextRefusalText(*assoc, sopClass));
                outcome = STORE_CONTEXT_REFUSED;
            } else {
                const std::string before = net::LastFailure();
                outcome = StoreDataSetOn(*assoc, context, current.dataSet, sopClass, current.syntax,
                                         convert);
                // A syntax the data set cannot be converted into (a colour image into lossless
                // JPEG, say) still leaves implicit VR little endian, when the peer took that.
                const uint8_t fallback =
                    ContextForFile(*assoc, sopClass, current.syntax, std::nullopt);
                if (outcome == STORE_CONVERSION_FAILED && fallback != context) {
                    outcome = StoreDataSetOn(*assoc, fallback, current.dataSet, sopClass,
                                             current.syntax, convert);
                    if (outcome == 0) net::NoteFailure(before);
                }
            }
            current.dataSet.Clear();
            // The next file is read while the peer takes this one in.
            if (refused == 0 && nextUsable < usable.size())
                next = LoadEntry(entries[usable[nextUsable]]);
            if (outcome == 0) outcome = ReadStoreRSP(*assoc);
            if (progress) progress(i, entries.size(), entries[i].file, outcome);
        }
    }
    return outcomes.back();
}

int32_t SendSeries(std::string_view host, std::string_view port, std::string_view callingAeTitle,
                   std::string_view calledAeTitle, const fs::path& directory,
                   std::optional<std::string_view> preferredSyntax, bool convert) {
    return SendSeriesStatus(host, port, callingAeTitle, calledAeTitle, directory, preferredSyntax,
                            convert) == net::STATUS_SUCCESS
               ? 1
               : 0;
}

bool IsPart10File(const fs::path& path) {
    return ProbeFile(path) == Probe::Part10;
}

std::vector<fs::path> ListPart10Files(const fs::path& directory) {
    std::vector<fs::path> files;
    std::error_code ec;
    for (fs::directory_iterator it(directory, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code typeError;
        // Directories, devices and pipes are never opened.
        if (!it->is_regular_file(typeError)) continue;
        if (IsPart10File(it->path())) files.push_back(it->path());
    }
    std::sort(files.begin(), files.end(), [](const fs::path& a, const fs::path& b) {
        return a.filename().native() < b.filename().native();
    });
    return files;
}

}  // namespace dicomlib::services
