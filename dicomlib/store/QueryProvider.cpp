// Records for C-FIND out of the index files, stored instances and worklist items, and the
// exchange of pending and final responses.
#include "store/QueryProvider.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>

#include "data/Part10File.h"
#include "data/Tags.h"
#include "data/TransferSyntax.h"
#include "data/Uids.h"
#include "net/CommandSet.h"
#include "net/Dimse.h"
#include "store/DatabaseIndex.h"
#include "store/IndexFiles.h"
#include "store/ProviderWatch.h"
#include "web/JsonDataSet.h"

namespace dicomlib::store {
namespace {

constexpr char PATIENT_ROOT_FIND[] = "1.2.840.10008.5.1.4.1.2.1.1";
constexpr char STUDY_ROOT_FIND[] = "1.2.840.10008.5.1.4.1.2.2.1";
constexpr char WORKLIST_FIND[] = "1.2.840.10008.5.1.4.31";

constexpr Tag RETRIEVE_AE_TITLE{0x0008, 0x0054};
constexpr Tag MODALITIES_IN_STUDY{0x0008, 0x0061};
constexpr Tag PATIENT_RELATED_STUDIES{0x0020, 0x1200};
constexpr Tag PATIENT_RELATED_SERIES{0x0020, 0x1202};
constexpr Tag PATIENT_RELATED_INSTANCES{0x0020, 0x1204};
constexpr Tag STUDY_RELATED_SERIES{0x0020, 0x1206};
constexpr Tag STUDY_RELATED_INSTANCES{0x0020, 0x1208};
constexpr Tag SERIES_RELATED_INSTANCES{0x0020, 0x1209};

enum Level { PATIENT, STUDY, SERIES, IMAGE };
constexpr const char* LEVEL_NAMES[] = {"PATIENT", "STUDY", "SERIES", "IMAGE"};

// The unique key of each level; a query at a higher level gets none of the lower ones.
constexpr Tag UNIQUE_KEYS[] = {tag::PatientID, tag::StudyInstanceUID, tag::SeriesInstanceUID,
                               tag::SOPInstanceUID};

// The index as one query reads it; a UID listed twice (two threads indexing the same new study
// at once) counts once.
struct SeriesNode {
    IndexEntry entry;
    std::vector<IndexEntry> images;
};
struct StudyNode {
    IndexEntry entry;
    std::vector<SeriesNode> series;
    bool loaded = false;
};

std::string_view Uid(IndexLevel level, const IndexEntry& entry) {
    return IndexValue(level, entry,
                      level == IndexLevel::Study    ? tag::StudyInstanceUID
                      : level == IndexLevel::Series ? tag::SeriesInstanceUID
                                                    : tag::SOPInstanceUID);
}

std::vector<IndexEntry> ReadUnique(IndexLevel level, const std::filesystem::path& path) {
    std::vector<IndexEntry> unique;
    std::set<std::string, std::less<>> seen;
    for (auto& entry : ReadIndexFile(level, path).value_or(std::vector<IndexEntry>{}))
        if (seen.insert(std::string(Uid(level, entry))).second) unique.push_back(std::move(entry));
    return unique;
}

// A stored file's attributes up to last (the rest, pixel data above all, is never read).
std::optional<QueryDataSet> ReadInstance(const std::filesystem::path& path,
                                         Tag last = {0xFFFF, 0xFFFF}) {
    ElementList data;
    std::string syntax;
    if (!data::LoadDataSetFile(path, data, syntax)) return std::nullopt;
    const data::DataSetEncoding encoding = data::EncodingOf(syntax);
    auto tree = QueryDataSetOf(data,
                               {static_cast<uint8_t>(encoding.explicitVr ? 1 : 0),
                                static_cast<uint8_t>(encoding.bigEndian ? 1 : 0), 0},
                               last);
    if (!tree) return std::nullopt;
    return std::move(*tree);
}

class Archive {
  public:
    explicit Archive(const StorageTarget& target) : target_(target) {
        for (auto& entry : ReadUnique(IndexLevel::Study, target.indexRoot / "LXStudy.dir"))
            studies_.push_back({std::move(entry), {}, false});
    }

    std::vector<StudyNode>& Studies() { return studies_; }

    StudyNode& Load(StudyNode& study) {
        if (study.loaded) return study;
        study.loaded = true;
        const auto dir = target_.indexRoot / std::string(Uid(IndexLevel::Study, study.entry));
        for (auto& entry : ReadUnique(IndexLevel::Series, dir / "Series.dir")) {
            SeriesNode node{std::move(entry), {}};
            node.images =
                ReadUnique(IndexLevel::Image,
                           dir / std::string(Uid(IndexLevel::Series, node.entry)) / "Image.dir");
            study.series.push_back(std::move(node));
        }
        return study;
    }

    // The attributes up to last of a stored file; the file read last is kept, since a study's
    // first file serves both its modalities and its other attributes.
    const std::optional<QueryDataSet>& Instance(const std::filesystem::path& path, Tag last) {
        if (!cached_ || cachedPath_ != path) {
            cached_.emplace(ReadInstance(path, last));
            cachedPath_ = path;
        }
        return *cached_;
    }

    // The stored file of an instance.
    std::filesystem::path FileOf(const StudyNode& study, const SeriesNode& series,
                                 const IndexEntry& image) const {
        return std::filesystem::path(target_.storageDirectory +
                                     std::string(Uid(IndexLevel::Study, study.entry)) + "/" +
                                     std::string(Uid(IndexLevel::Series, series.entry)) + "/" +
                                     std::string(Uid(IndexLevel::Image, image)) + ".dcm");
    }

  private:
    const StorageTarget& target_;
    std::vector<StudyNode> studies_;
    std::filesystem::path cachedPath_;
    std::optional<std::optional<QueryDataSet>> cached_;
};

// Attributes of the file that the record does not have yet.
void Merge(QueryDataSet& record, const QueryDataSet& file) {
    for (const QueryAttribute& a : file.attributes)
        if (record.Find(a.tag) == nullptr) record.Set(a);
}

void AddIndexValues(QueryDataSet& record, IndexLevel level, const IndexEntry& entry) {
    for (const IndexField& field : IndexLayout(level))
        if (field.tag.group != 0 && !IndexValue(level, entry, field.tag).empty())
            record.SetText(field.tag, IndexValue(level, entry, field.tag));
}

bool Computed(Tag tag) {
    for (Tag t : {RETRIEVE_AE_TITLE, PATIENT_RELATED_STUDIES, PATIENT_RELATED_SERIES,
                  PATIENT_RELATED_INSTANCES, STUDY_RELATED_SERIES, STUDY_RELATED_INSTANCES,
                  SERIES_RELATED_INSTANCES, tag::QueryRetrieveLevel, tag::SpecificCharacterSet})
        if (t == tag) return true;
    return false;
}

// Whether the record lacks an attribute the keys ask for, so that a stored file must be read.
bool NeedsFile(const QueryDataSet& keys, const QueryDataSet& record) {
    for (const QueryAttribute& key : keys.attributes)
        if (!Computed(key.tag) && record.Find(key.tag) == nullptr) return true;
    // Values beyond ASCII need the character set they are in.
    if (record.Find(tag::SpecificCharacterSet) == nullptr)
        for (const QueryAttribute& a : record.attributes)
            if (std::any_of(a.value.begin(), a.value.end(),
                            [](char c) { return static_cast<unsigned char>(c) >= 0x80; }))
                return true;
    return false;
}

std::string Count(std::size_t n) {
    return std::to_string(n);
}

struct Entity {
    StudyNode* study = nullptr;
    const SeriesNode* series = nullptr;
    const IndexEntry* image = nullptr;
};

std::optional<std::filesystem::path> RepresentativeFile(Archive& archive, Entity e) {
    StudyNode& study = archive.Load(*e.study);
    for (const SeriesNode& series : study.series) {
        if (e.series != nullptr && &series != e.series) continue;
        for (const IndexEntry& image : series.images) {
            if (e.image != nullptr && &image != e.image) continue;
            return archive.FileOf(study, series, image);
        }
    }
    return std::nullopt;
}

// The record of an entity at a level, with everything above it and what the keys ask for;
// none when what the index holds already fails the keys. Stored files are read up to last.
std::optional<QueryDataSet> RecordOf(Archive& archive, Level level, Entity e,
                                     const std::vector<StudyNode*>& all, const QueryDataSet& keys,
                                     std::string_view ourAeTitle, Tag last) {
    QueryDataSet record;
    record.SetText(tag::QueryRetrieveLevel, LEVEL_NAMES[level]);
    if (!ourAeTitle.empty()) record.SetText(RETRIEVE_AE_TITLE, ourAeTitle);
    const IndexEntry& s = e.study->entry;
    if (level == PATIENT) {
        for (Tag t : {tag::PatientID, tag::PatientName, tag::PatientBirthDate})
            if (!IndexValue(IndexLevel::Study, s, t).empty())
                record.SetText(t, IndexValue(IndexLevel::Study, s, t));
    } else {
        AddIndexValues(record, IndexLevel::Study, s);
    }
    if (e.series != nullptr) AddIndexValues(record, IndexLevel::Series, e.series->entry);
    if (e.image != nullptr) AddIndexValues(record, IndexLevel::Image, *e.image);
    const auto wants = [&](Tag t) { return keys.Find(t) != nullptr; };
    if (level == PATIENT) {
        std::size_t series = 0, instances = 0;
        for (StudyNode* study : all) {
            if (wants(PATIENT_RELATED_SERIES) || wants(PATIENT_RELATED_INSTANCES))
                for (const SeriesNode& node : archive.Load(*study).series) {
                    ++series;
                    instances += node.images.size();
                }
        }
        record.SetText(PATIENT_RELATED_STUDIES, Count(all.size()));
        record.SetText(PATIENT_RELATED_SERIES, Count(series));
        record.SetText(PATIENT_RELATED_INSTANCES, Count(instances));
    } else if (level == STUDY) {
        std::size_t instances = 0;
        if (wants(STUDY_RELATED_SERIES) || wants(STUDY_RELATED_INSTANCES)) {
            for (const SeriesNode& node : archive.Load(*e.study).series)
                instances += node.images.size();
            record.SetText(STUDY_RELATED_SERIES, Count(e.study->series.size()));
            record.SetText(STUDY_RELATED_INSTANCES, Count(instances));
        }
        if (!MatchesWhatItHolds(keys, record)) return std::nullopt;
        // The study index holds what the first instance said; the series say what is stored.
        const QueryAttribute* modalities = record.Find(MODALITIES_IN_STUDY);
        if (wants(MODALITIES_IN_STUDY) && (modalities == nullptr || modalities->value.empty())) {
            std::string list;
            for (const SeriesNode& node : archive.Load(*e.study).series) {
                if (node.images.empty()) continue;
                const auto& file =
                    archive.Instance(archive.FileOf(*e.study, node, node.images[0]), last);
                const QueryAttribute* modality = file ? file->Find(tag::Modality) : nullptr;
                if (modality == nullptr || modality->value.empty()) continue;
                if (("\\" + list + "\\").find("\\" + modality->value + "\\") == std::string::npos)
                    list += (list.empty() ? "" : "\\") + modality->value;
            }
            if (!list.empty()) record.SetText(MODALITIES_IN_STUDY, list);
        }
    } else if (level == SERIES) {
        record.SetText(SERIES_RELATED_INSTANCES, Count(e.series->images.size()));
    }
    // What the files add never changes what the record holds: a record that fails on that is
    // not completed from them.
    if (!MatchesWhatItHolds(keys, record)) return std::nullopt;
    if (NeedsFile(keys, record))
        if (const auto path = RepresentativeFile(archive, e))
            if (const auto& file = archive.Instance(*path, last)) Merge(record, *file);
    // A level's record knows nothing of the levels below it.
    for (int below = level + 1; below <= IMAGE; ++below) {
        if (const QueryAttribute* unique = record.Find(UNIQUE_KEYS[below])) {
            QueryAttribute blank = *unique;
            blank.value.clear();
            record.Set(std::move(blank));
        }
    }
    return record;
}

// The keys matched as asked, and whether some had to be taken as universal.
QueryDataSet MatchableKeys(const QueryDataSet& identifier, bool sequencesMatch, bool& dropped) {
    QueryDataSet keys;
    for (const QueryAttribute& key : identifier.attributes) {
        const bool privateTag = (key.tag.group & 1) != 0;
        const bool sequence = key.vr == "SQ" && !sequencesMatch;
        const bool asked = !key.value.empty() || !key.items.empty();
        if ((privateTag || sequence) && asked) {
            dropped = true;
            QueryAttribute universal = key;
            universal.value.clear();
            universal.items.clear();
            keys.Set(std::move(universal));
        } else {
            keys.Set(key);
        }
    }
    return keys;
}

QueryDataSet Answered(const QueryDataSet& identifier, const QueryDataSet& record) {
    return SelectReturnKeys(identifier, record);
}

std::vector<std::filesystem::path> WorklistFiles(const std::filesystem::path& directory) {
    std::vector<std::filesystem::path> files;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(directory, ec), end; !ec && it != end;
         it.increment(ec))
        if (it->is_regular_file(ec)) files.push_back(it->path());
    std::sort(files.begin(), files.end());
    return files;
}

std::optional<QueryDataSet> ReadWorklistItem(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first != std::string::npos && (text[first] == '{' || text[first] == '[')) {
        auto list = web::DataSetFromJsonText(text);
        if (!list) return std::nullopt;
        auto tree = QueryDataSetOf(*list, {1, 0, 0});
        if (!tree) return std::nullopt;
        return std::move(*tree);
    }
    return ReadInstance(path);
}

std::string SpaceTrimmed(std::string_view text) {
    const auto first = text.find_first_not_of(' ');
    if (first == std::string_view::npos) return {};
    return std::string(text.substr(first, text.find_last_not_of(' ') - first + 1));
}

// What stops an answer between two responses.
enum class Interruption { None, Cancelled, Ended };

// Reads what the requestor sent meanwhile, without waiting for anything: a C-CANCEL-RQ of this
// request cancels it; anything else but another's cancel ends the association, since one
// request at a time is all an association without asynchronous operations may have.
Interruption Interrupted(Association& assoc, uint16_t messageId) {
    while (assoc.stream.BufferedBytes() > 0 || assoc.stream.Socket().InputWaiting()) {
        auto message = net::ReceiveDimseMessage(assoc);
        if (!message) return Interruption::Ended;
        if (message->commandField != net::C_CANCEL_RQ) {
            net::AbortAssoc(assoc);
            return Interruption::Ended;
        }
        if (message->MessageIdBeingRespondedTo() == messageId) return Interruption::Cancelled;
    }
    return Interruption::None;
}

std::string LevelList(QueryModel model) {
    return model == QueryModel::PatientRoot ? "PATIENT, STUDY, SERIES or IMAGE"
                                            : "STUDY, SERIES or IMAGE";
}

}  // namespace

FindAnswer AnswerIndexQuery(QueryModel model, const QueryDataSet& identifier,
                            const StorageTarget& target, std::string_view ourAeTitle) {
    FindAnswer answer;
    const QueryAttribute* levelKey = identifier.Find(tag::QueryRetrieveLevel);
    const std::string levelName = levelKey != nullptr ? levelKey->value : std::string();
    int level = -1;
    for (int l = model == QueryModel::PatientRoot ? PATIENT : STUDY; l <= IMAGE; ++l)
        if (levelName == LEVEL_NAMES[l]) level = l;
    if (level < 0) {
        answer.status = net::STATUS_DATA_SET_DOES_NOT_MATCH;
        answer.reason = levelKey == nullptr ? "no Query/Retrieve Level in the identifier"
                                            : "Query/Retrieve Level \"" + levelName + "\" is not " +
                                                  LevelList(model);
        return answer;
    }
    const QueryDataSet keys = MatchableKeys(identifier, false, answer.keysNotSupported);
    // Stored files are read up to the last key asked for (and Modality, which Modalities in
    // Study is made of).
    Tag last = tag::Modality;
    for (const QueryAttribute& key : keys.attributes)
        if (key.tag.group > last.group ||
            (key.tag.group == last.group && key.tag.element > last.element))
            last = key.tag;
    Archive archive(target);
    auto& studies = archive.Studies();
    const auto consider = [&](Entity e, const std::vector<StudyNode*>& all) {
        const auto record =
            RecordOf(archive, static_cast<Level>(level), e, all, keys, ourAeTitle, last);
        if (record && Matches(keys, *record))
            answer.matches.push_back(Answered(identifier, *record));
    };
    if (level == PATIENT) {
        // A patient is the studies that share a Patient ID, in the order they first came.
        std::vector<std::string> ids;
        std::vector<std::vector<StudyNode*>> patients;
        for (StudyNode& study : studies) {
            const std::string id(IndexValue(IndexLevel::Study, study.entry, tag::PatientID));
            const auto at = std::find(ids.begin(), ids.end(), id);
            if (at == ids.end()) {
                ids.push_back(id);
                patients.push_back({&study});
            } else {
                patients[static_cast<std::size_t>(at - ids.begin())].push_back(&study);
            }
        }
        for (const auto& patient : patients)
            consider({patient.front(), nullptr, nullptr}, patient);
        return answer;
    }
    // The study's indexed values go first, so that a series or image query reads only the
    // index files of the studies that match.
    for (StudyNode& study : studies) {
        if (level == STUDY) {
            consider({&study, nullptr, nullptr}, {&study});
            continue;
        }
        QueryDataSet values;
        AddIndexValues(values, IndexLevel::Study, study.entry);
        if (!MatchesWhatItHolds(keys, values)) continue;
        for (const SeriesNode& series : archive.Load(study).series) {
            if (level == SERIES) {
                consider({&study, &series, nullptr}, {&study});
                continue;
            }
            for (const IndexEntry& image : series.images)
                consider({&study, &series, &image}, {&study});
        }
    }
    return answer;
}

FindAnswer AnswerWorklistQuery(const QueryDataSet& identifier,
                               const std::filesystem::path& directory) {
    FindAnswer answer;
    const QueryDataSet keys = MatchableKeys(identifier, true, answer.keysNotSupported);
    for (const auto& path : WorklistFiles(directory)) {
        const auto item = ReadWorklistItem(path);
        if (!item) {
            answer.unreadable.push_back(path.filename().string());
            continue;
        }
        if (Matches(keys, *item)) answer.matches.push_back(SelectReturnKeys(identifier, *item));
    }
    return answer;
}

ElementList FindResponse(const ElementList& request, uint16_t status, bool identifierFollows,
                         std::string_view errorComment) {
    net::CommandSet command;
    command.AppendUid(tag::AffectedSOPClassUID,
                      data::GetTagString(request, tag::AffectedSOPClassUID));
    command.AppendUs(tag::CommandField, net::C_FIND_RSP);
    command.AppendUs(tag::MessageIDBeingRespondedTo, data::GetTagUS(request, tag::MessageID));
    command.AppendUs(tag::CommandDataSetType,
                     identifierFollows ? net::DATA_SET_PRESENT : net::NO_DATA_SET);
    command.AppendUs(tag::Status, status);
    if (!errorComment.empty()) {
        std::string text(errorComment.substr(0, 64));
        if (text.size() % 2 != 0) text += ' ';
        command.AppendBytes(tag::ErrorComment, "LO",
                            {reinterpret_cast<const uint8_t*>(text.data()), text.size()});
    }
    ElementList list;
    data::CopyTags(list, command.List());
    return list;
}

net::DimseHandler FindHandler(QueryModel model, const StorageTarget& target,
                              const QueryProviderOptions& options) {
    return [model, target, options](Association& assoc, net::DimseMessage& message) {
        const uint8_t context = message.contextId;
        const auto send = [&](ElementList command, const QueryDataSet* identifier) {
            if (!net::SendMessageOnContext(assoc, command, context, net::MessageKind::Command))
                return false;
            if (identifier == nullptr) return true;
            ElementList flat = FlatDataSetOf(*identifier);
            return net::SendMessageOnContext(assoc, flat, context, net::MessageKind::DataSet);
        };
        const auto fail = [&](uint16_t status, const std::string& reason) {
            NoteReason(reason);
            return send(FindResponse(message.command, status, false, reason), nullptr)
                       ? net::HandlerResult::Continue
                       : net::HandlerResult::End;
        };
        if (!message.hasDataSet)
            return fail(net::STATUS_CANNOT_UNDERSTAND, "the C-FIND-RQ carries no identifier");
        const auto syntax = net::AcceptedSyntaxOf(assoc, message.dataSetContextId);
        const data::DataSetEncoding encoding = data::EncodingOf(syntax ? *syntax : "");
        const auto identifier =
            QueryDataSetOf(message.dataSet, {static_cast<uint8_t>(encoding.explicitVr ? 1 : 0),
                                             static_cast<uint8_t>(encoding.bigEndian ? 1 : 0), 0});
        if (!identifier)
            return fail(net::STATUS_CANNOT_UNDERSTAND,
                        "identifier cannot be read: " + identifier.GetError().detail);
        const FindAnswer answer = model == QueryModel::Worklist
                                      ? AnswerWorklistQuery(*identifier, options.worklistDirectory)
                                      : AnswerIndexQuery(model, *identifier, target,
                                                         SpaceTrimmed(assoc.request.calledAeTitle));
        if (answer.status != 0) return fail(answer.status, answer.reason);
        if (!answer.unreadable.empty()) {
            std::string files;
            for (const auto& name : answer.unreadable)
                files += (files.empty() ? "" : ", ") + name;
            NoteReason("worklist items that cannot be read: " + files);
        }
        const uint16_t pending =
            answer.keysNotSupported ? net::STATUS_PENDING_WARNING : net::STATUS_PENDING;
        const uint16_t messageId = data::GetTagUS(message.command, tag::MessageID);
        // The extra pending responses of the fault carry the keys asked for, all empty.
        QueryDataSet empty;
        if (model != QueryModel::Worklist)
            if (const QueryAttribute* level = identifier->Find(tag::QueryRetrieveLevel))
                empty.Set(*level);
        const QueryDataSet blank = SelectReturnKeys(*identifier, empty);
        const std::size_t total = answer.matches.size() + options.pending;
        for (std::size_t i = 0; i < total; ++i) {
            const Interruption interruption = Interrupted(assoc, messageId);
            if (interruption == Interruption::Ended) return net::HandlerResult::End;
            if (interruption == Interruption::Cancelled) {
                if (i > answer.matches.size())
                    NoteFault(std::to_string(i - answer.matches.size()) +
                              " extra pending responses");
                return send(FindResponse(message.command, net::STATUS_CANCEL, false), nullptr)
                           ? net::HandlerResult::Continue
                           : net::HandlerResult::End;
            }
            const QueryDataSet& identifierOut =
                i < answer.matches.size() ? answer.matches[i] : blank;
            if (!send(FindResponse(message.command, pending, true), &identifierOut))
                return net::HandlerResult::End;
        }
        if (options.pending != 0)
            NoteFault(std::to_string(options.pending) + " extra pending responses");
        const Interruption interruption = Interrupted(assoc, messageId);
        if (interruption == Interruption::Ended) return net::HandlerResult::End;
        const uint16_t final =
            interruption == Interruption::Cancelled ? net::STATUS_CANCEL : net::STATUS_SUCCESS;
        return send(FindResponse(message.command, final, false), nullptr)
                   ? net::HandlerResult::Continue
                   : net::HandlerResult::End;
    };
}

void AddQueryRows(ProviderProfile& profile, const StorageTarget& target,
                  const QueryProviderOptions& options) {
    std::vector<std::pair<const char*, QueryModel>> models;
    if (options.query) {
        models.emplace_back(PATIENT_ROOT_FIND, QueryModel::PatientRoot);
        models.emplace_back(STUDY_ROOT_FIND, QueryModel::StudyRoot);
    }
    if (!options.worklistDirectory.empty())
        models.emplace_back(WORKLIST_FIND, QueryModel::Worklist);
    for (const auto& [uid, model] : models) {
        auto row =
            std::find_if(profile.rows.begin(), profile.rows.end(),
                         [uid = uid](const ProfileRow& r) { return r.abstractSyntax == uid; });
        if (row == profile.rows.end()) {
            ProfileRow added;
            added.abstractSyntax = uid;
            added.syntaxPreference = {uid::ExplicitVRLittleEndian, uid::ImplicitVRLittleEndian};
            profile.rows.push_back(std::move(added));
            row = std::prev(profile.rows.end());
        }
        row->commandField = net::C_FIND_RQ;
        row->handler = FindHandler(model, target, options);
    }
}

}  // namespace dicomlib::store
