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
#include "net/TraceLog.h"
#include "store/IndexFiles.h"

namespace dicomlib::services {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t PREAMBLE_SIZE = 128;
const char* const IMAGE_INDEX = store::IndexFileName(store::IndexLevel::Image);

net::AssociationPtr NewStorageAssociation() {
    net::AssociationPtr assoc(new Association());
    assoc->messageDump = net::LogLevel() >= net::LOG_MESSAGES;
    return assoc;
}

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
    if (!data::HasValue(e)) return {};
    std::string text(reinterpret_cast<const char*>(e.value), e.length);
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

// Opens the association for one SOP class; 0, or why it was not opened.
int32_t OpenForStorage(Association& assoc, std::string_view host, std::string_view port,
                       std::string_view callingAeTitle, std::string_view calledAeTitle,
                       std::string_view sopClassUid, std::string_view fileSyntax,
                       std::optional<std::string_view> preferredSyntax) {
    std::string calling(callingAeTitle);
    if (net::OpenStorageAssoc(assoc, host, port, calling, calledAeTitle, sopClassUid, fileSyntax,
                              preferredSyntax))
        return 0;
    if (assoc.rejection.result != 0) return STORE_REJECTED;
    if (!assoc.answer.contexts.empty()) return STORE_CONTEXT_REFUSED;
    return STORE_NO_CONNECTION;
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
            return "cannot convert the data set to the transfer syntax " + name + " accepted";
        case STORE_SEND_FAILED:
            return "the connection to " + name + " failed while sending";
        case STORE_NO_FILES:
            return "no DICOM files in the directory";
        case STORE_INTERNAL_ERROR:
            return "internal failure (see the trace log)";
    }
    return "failure " + std::to_string(outcome);
}

net::CommandSet StoreRequest(std::string_view sopClassUid, uint16_t messageId,
                             std::optional<std::string_view> sopInstanceUid) {
    net::CommandSet command;
    command.AppendUid(tag::AffectedSOPClassUID, sopClassUid)
        .AppendUs(tag::CommandField, net::C_STORE_RQ)
        .AppendUs(tag::MessageID, messageId)
        .AppendUs(tag::Priority, net::PRIORITY_MEDIUM)
        .AppendUs(tag::CommandDataSetType, net::DATA_SET_PRESENT);
    // An odd-length instance UID gets its 0x00 pad here too: peers abort on an odd length.
    if (sopInstanceUid) command.AppendUid(tag::AffectedSOPInstanceUID, *sopInstanceUid);
    return command;
}

int32_t StoreDataSet(Association& assoc, ElementList& dataSet, std::string_view sopClassUid,
                     std::string_view currentSyntax, bool convert) {
    const uint8_t contextId = net::FindContextForClass(assoc, sopClassUid);
    if (contextId == 0) return STORE_CONTEXT_REFUSED;
    const auto accepted = net::AcceptedSyntaxOf(assoc, contextId);
    if (!accepted) return STORE_CONTEXT_REFUSED;

    // Without a conversion the data set itself is sent: the same bytes as a copy would give.
    VrKeeper keep(dataSet);
    ElementList converted;
    ElementList* toSend = &dataSet;
    if (convert && *accepted != currentSyntax) {
        if (data::Transcode(converted, dataSet, *accepted, currentSyntax) !=
            data::ConvertError::None)
            return STORE_CONVERSION_FAILED;
        toSend = &converted;
    }

    std::optional<std::string_view> instanceUid;
    if (const DicomElement* e = data::FindTag(*toSend, tag::SOPInstanceUID)) {
        instanceUid = data::HasValue(*e)
                          ? std::string_view(reinterpret_cast<const char*>(e->value), e->length)
                          : std::string_view();
    }
    net::CommandSet command = StoreRequest(sopClassUid, net::NextMessageID(), instanceUid);
    if (!net::SendMessage(assoc, command.List(), sopClassUid, net::MessageKind::Command))
        return STORE_SEND_FAILED;
    if (!net::SendMessage(assoc, *toSend, sopClassUid, net::MessageKind::DataSet))
        return STORE_SEND_FAILED;
    return 0;
}

bool WriteStoreRQ(Association& assoc, ElementList& dataSet, std::string_view sopClassUid,
                  std::string_view currentSyntax, bool convert) {
    return StoreDataSet(assoc, dataSet, sopClassUid, currentSyntax, convert) == 0;
}

int32_t ReadStoreRSP(Association& assoc) {
    ElementList response;
    if (!net::ReceiveMessage(assoc, response)) return STORE_NO_RESPONSE;
    if (data::GetTagUS(response, tag::CommandField) != net::C_STORE_RSP)
        return STORE_NOT_STORE_RESPONSE;
    const uint16_t status = data::GetTagUS(response, tag::Status);
    if (status != net::STATUS_SUCCESS) net::NoteStatusFailure(status, net::C_STORE_RSP);
    return status;
}

int32_t StoreFile(std::string_view host, std::string_view port, std::string_view callingAeTitle,
                  std::string_view calledAeTitle, const fs::path& file,
                  std::optional<std::string_view> preferredSyntax, bool convert) {
    net::NoteFailure({});
    ElementList dataSet;
    std::string syntax;
    if (const int32_t loaded = LoadForSending(file, dataSet, syntax); loaded != 0) return loaded;
    const std::string sopClass = SopClassOf(dataSet);
    if (sopClass.empty()) return STORE_NO_SOP_CLASS;

    net::AssociationPtr assoc = NewStorageAssociation();
    if (const int32_t opened = OpenForStorage(*assoc, host, port, callingAeTitle, calledAeTitle,
                                              sopClass, syntax, preferredSyntax);
        opened != 0)
        return opened;
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

int32_t SendSeriesStatus(std::string_view host, std::string_view port,
                         std::string_view callingAeTitle, std::string_view calledAeTitle,
                         const fs::path& directory, std::optional<std::string_view> preferredSyntax,
                         bool convert, const SeriesProgress& progress) {
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

    // The first file decides the SOP class and the file syntax that are proposed first.
    LoadedFile next = LoadEntry(entries[0]);
    if (next.outcome != 0) return next.outcome;
    std::string sopClass = SopClassOf(next.dataSet);

    net::AssociationPtr assoc = NewStorageAssociation();
    if (const int32_t opened = OpenForStorage(*assoc, host, port, callingAeTitle, calledAeTitle,
                                              sopClass, next.syntax, preferredSyntax);
        opened != 0)
        return opened;

    int32_t refused = 0;  // why the association for sopClass could not be opened
    int32_t outcome = 0;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        LoadedFile current = std::move(next);
        outcome = current.outcome;
        if (outcome == 0 && SopClassOf(current.dataSet) != sopClass) {
            // A file of another class goes on a new association for its class, with the next
            // Message ID after those already sent.
            const uint32_t counter = net::MessageCounterValue();
            assoc = NewStorageAssociation();
            sopClass = SopClassOf(current.dataSet);
            refused = OpenForStorage(*assoc, host, port, callingAeTitle, calledAeTitle, sopClass,
                                     current.syntax, preferredSyntax);
            net::SetMessageCounter(counter);
        }
        if (outcome == 0 && refused != 0)
            outcome = refused;  // and so for every file of the class that follows
        else if (outcome == 0 && !assoc->stream.Connected())
            outcome = STORE_SEND_FAILED;  // nothing more goes on this association
        else if (outcome == 0)
            outcome = StoreDataSet(*assoc, current.dataSet, sopClass, current.syntax, convert);
        current.dataSet.Clear();
        // The next file is read while the peer takes this one in.
        if (i + 1 < entries.size()) next = LoadEntry(entries[i + 1]);
        if (outcome == 0) outcome = ReadStoreRSP(*assoc);
        if (progress) progress(i, entries.size(), entries[i].file, outcome);
    }
    return outcome;
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
