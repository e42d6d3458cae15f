#include "web/DicomWeb.h"

#include <algorithm>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <utility>
#include <vector>

#include "data/Datadec.h"
#include "data/FileBytes.h"
#include "data/Tags.h"
#include "net/Association.h"
#include "net/TraceLog.h"
#include "services/QueryRetrieve.h"
#include "store/StoreScp.h"
#include "web/JsonModel.h"
#include "web/Multipart.h"
#include "web/WebWords.h"

namespace dicomlib::web {
namespace {

constexpr char DICOM_PART[] = "application/dicom";

std::string ServiceBase(std::string_view url) {
    while (!url.empty() && url.back() == '/')
        url.remove_suffix(1);
    return std::string(url);
}

bool HasCredentials(const HttpSettings& settings) {
    return !settings.user.empty() || !settings.token.empty();
}

int32_t Failed(int32_t code, std::string why) {
    net::WriteLogLine(WebOutcomeText(code) + (why.empty() ? "" : ": " + why));
    net::NoteFailure(std::move(why));
    return code;
}

// A transfer failure or a status other than those expected, noted; WEB_SUCCESS otherwise.
int32_t CheckAnswer(const HttpResult& result, const std::string& url, const HttpSettings& settings,
                    std::initializer_list<long> expected) {
    if (result.failure != TransferFailure::None)
        return Failed(TransferOutcome(result.failure), ExplainTransfer(result, url));
    for (long status : expected)
        if (result.response.status == status) return WEB_SUCCESS;
    return Failed(static_cast<int32_t>(result.response.status),
                  ExplainStatus(result.response, HasCredentials(settings)));
}

// The body of a JSON answer as an array of data sets.
int32_t ParseArray(const HttpResponse& response, Json& out) {
    if (!response.contentType.empty() && !IsJsonType(response.contentType)) {
        return Failed(WEB_WRONG_CONTENT_TYPE,
                      "the answer is " + response.contentType + ", not " + DICOM_JSON +
                          "; the URL may lead to a web page rather than the DICOMweb service; it "
                          "begins: " +
                          BodyExcerpt(response.body, 120));
    }
    out = Json::parse(response.body, nullptr, false);
    if (out.is_discarded()) {
        return Failed(WEB_NOT_JSON_ARRAY,
                      "the answer is not JSON; it begins: " + BodyExcerpt(response.body, 120));
    }
    if (!out.is_array()) {
        const char* kind = out.is_object() ? "an object" : out.is_string() ? "a string" : "a value";
        return Failed(WEB_NOT_JSON_ARRAY,
                      std::string("the answer is JSON but ") + kind +
                          ", not an array of data sets: " + BodyExcerpt(response.body, 120));
    }
    return WEB_SUCCESS;
}

std::string TrimmedField(services::RecordType kind, const void* record, std::size_t index) {
    std::string_view text = services::FieldText(kind, record, index);
    while (!text.empty() && text.back() == ' ')
        text.remove_suffix(1);
    while (!text.empty() && text.front() == ' ')
        text.remove_prefix(1);
    return std::string(text);
}

}  // namespace

bool IsJsonType(std::string_view contentType) {
    const std::string type = ParseMediaType(contentType).type;
    return type == DICOM_JSON || type == "application/json";
}

int32_t QidoSearch(const std::string& serviceUrl, const HttpSettings& settings,
                   std::string_view level, RecordList& list, uint32_t limit, uint32_t offset) {
    net::NoteFailure({});
    const auto kind = services::QueryLevelKind(level);
    if (!kind || list.Size() == 0 || services::KindOf(list[0]) != kind) {
        return Failed(WEB_REFUSED,
                      "a search takes a key record of its level (STUDY, SERIES or "
                      "IMAGE) at the head of the list");
    }
    const void* key = list[0];
    const auto fields = services::FieldsOf(*kind);
    std::string study, series;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (fields[i].tag == tag::StudyInstanceUID) study = TrimmedField(*kind, key, i);
        if (fields[i].tag == tag::SeriesInstanceUID) series = TrimmedField(*kind, key, i);
    }
    // The UIDs above the level go into the path where the resources allow it.
    std::string url = ServiceBase(serviceUrl);
    bool studyInPath = false, seriesInPath = false;
    if (*kind == services::RecordType::Study) {
        url += "/studies";
    } else if (*kind == services::RecordType::Series) {
        studyInPath = !study.empty();
        url += studyInPath ? "/studies/" + UrlEncode(study) + "/series" : "/series";
    } else {
        studyInPath = !study.empty();
        seriesInPath = studyInPath && !series.empty();
        if (studyInPath) url += "/studies/" + UrlEncode(study);
        if (seriesInPath) url += "/series/" + UrlEncode(series);
        url += "/instances";
    }
    std::string query, include;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        const Tag tag = fields[i].tag;
        include += (include.empty() ? "" : ",") + TagKey(tag);
        const std::string text = TrimmedField(*kind, key, i);
        if (text.empty() || (studyInPath && tag == tag::StudyInstanceUID) ||
            (seriesInPath && tag == tag::SeriesInstanceUID)) {
            continue;
        }
        query += "&" + TagKey(tag) + "=" + UrlEncode(Windows1252ToUtf8(text));
    }
    if (limit != 0) query += "&limit=" + std::to_string(limit);
    if (offset != 0) query += "&offset=" + std::to_string(offset);
    url += "?includefield=" + include + query;
    list.FreeFront();

    HttpClient client(settings);
    const HttpResult result = client.Get(url, DICOM_JSON);
    if (const int32_t bad = CheckAnswer(result, url, settings, {200, 204}); bad != WEB_SUCCESS)
        return bad;
    if (result.response.status == 204 || result.response.body.empty()) return WEB_SUCCESS;
    Json matches;
    if (const int32_t bad = ParseArray(result.response, matches); bad != WEB_SUCCESS) return bad;
    for (std::size_t m = 0; m < matches.size(); ++m) {
        auto identifier = DataSetFromJson(matches[m]);
        if (!identifier) {
            return Failed(WEB_NOT_DICOM_JSON, "match " + std::to_string(m + 1) +
                                                  " is not a data set of the DICOM JSON model: " +
                                                  identifier.GetError().detail);
        }
        services::FillQueryRecord(*kind, list.AppendNew(*kind), *identifier);
    }
    return WEB_SUCCESS;
}

namespace {

// The path of a study, a series in it, or an instance in that.
std::string ResourcePath(const std::string& serviceUrl, std::string_view study,
                         std::string_view series, std::string_view instance) {
    std::string path = ServiceBase(serviceUrl) + "/studies/" + std::string(study);
    if (!series.empty()) path += "/series/" + std::string(series);
    if (!instance.empty()) path += "/instances/" + std::string(instance);
    return path;
}

// UIDs become parts of a path: each must be a UID, and an instance belongs to a series.
bool RetrieveArgumentsFit(std::string_view study, std::string_view series,
                          std::string_view instance) {
    return store::IsValidUid(study) && (series.empty() || store::IsValidUid(series)) &&
           (instance.empty() || (!series.empty() && store::IsValidUid(instance)));
}

// One retrieve: the multipart body as it arrives, each part filed as soon as it is whole.
class Retrieval {
  public:
    Retrieval(const std::string& directory, const std::filesystem::path& indexRoot,
              const RetrieveProgress& progress)
        : directory_(store::StorageDirectoryOf(directory)),
          indexRoot_(indexRoot),
          progress_(progress) {}

    bool Take(const HttpResponse& head, std::span<const uint8_t> bytes) {
        if (!reader_ && !Start(head)) return false;
        const MultipartState state =
            reader_->Feed(bytes, [this](MultipartPart& part) { return File(part); });
        return state == MultipartState::Reading || state == MultipartState::Complete;
    }

    bool Started() const { return reader_ != nullptr; }
    int32_t Failure() const { return failure_; }
    const std::string& Why() const { return why_; }
    MultipartReader& Reader() { return *reader_; }
    const std::string& Boundary() const { return boundary_; }
    uint32_t Filed() const { return filed_; }
    uint32_t Count() const { return index_; }
    int32_t InstanceFailure() const { return instanceFailure_; }
    const std::string& InstanceWhy() const { return instanceWhy_; }
    bool Arrived(const std::string& uid) const { return arrived_.count(uid) != 0; }

    void Report(RetrievedInstance instance) {
        instance.index = index_++;
        if (progress_) progress_(instance);
    }

  private:
    bool Start(const HttpResponse& head) {
        const MediaType media = ParseMediaType(head.contentType);
        const std::string type = media.Parameter("type");
        if (media.type != "multipart/related" || (!type.empty() && type != DICOM_PART)) {
            failure_ = WEB_WRONG_CONTENT_TYPE;
            why_ = "the answer is " + (head.contentType.empty() ? "of no type" : head.contentType) +
                   ", not " + DICOM_MULTIPART + "; it begins: " + BodyExcerpt(head.body, 120);
            return false;
        }
        boundary_ = media.Parameter("boundary");
        if (boundary_.empty()) {
            failure_ = WEB_WRONG_BOUNDARY;
            why_ = "the answer's Content-Type names no boundary: " + head.contentType;
            return false;
        }
        reader_ = std::make_unique<MultipartReader>(boundary_);
        return true;
    }

    void NoteInstanceFailure(int32_t code, std::string why) {
        if (instanceFailure_ != WEB_SUCCESS) return;
        instanceFailure_ = code;
        instanceWhy_ = std::move(why);
    }

    bool File(MultipartPart& part) {
        RetrievedInstance instance;
        instance.bytes = part.body.size();
        const std::string number = "instance " + std::to_string(index_ + 1);
        const std::string type = ParseMediaType(part.contentType).type;
        data::DecoderState state;
        ElementList meta, dataSet;
        std::string syntax;
        if (!type.empty() && type != DICOM_PART) {
            instance.outcome = WEB_NOT_DICOM;
            NoteInstanceFailure(WEB_NOT_DICOM,
                                number + " is " + part.contentType + ", not " + DICOM_PART);
        } else if (!data::ReadPart10Bytes(state, part.body, meta, dataSet) ||
                   (syntax = data::GetTagString(meta, tag::TransferSyntaxUID)).empty()) {
            instance.outcome = WEB_NOT_DICOM;
            NoteInstanceFailure(WEB_NOT_DICOM, number +
                                                   " is not a DICOM file that can be read "
                                                   "to its end");
        } else {
            part.body = {};  // the elements hold their own copies
            instance.sopInstanceUid = data::GetTopLevelString(dataSet, tag::SOPInstanceUID);
            const auto plan = store::PlanStorage(directory_, dataSet);
            const uint16_t status =
                plan ? store::StoreInstance(directory_, indexRoot_, dataSet, syntax, true)
                     : net::STATUS_CANNOT_UNDERSTAND;
            if (status == net::STATUS_SUCCESS) {
                instance.filePath = plan->filePath;
                ++filed_;
            } else if (status == net::STATUS_OUT_OF_RESOURCES) {
                instance.outcome = WEB_CANNOT_WRITE;
                NoteInstanceFailure(WEB_CANNOT_WRITE,
                                    number + " (" + instance.sopInstanceUid +
                                        ") could not be written under " + directory_ +
                                        "; check the room on the disk and the permissions");
            } else {
                instance.outcome = WEB_NOT_DICOM;
                NoteInstanceFailure(WEB_NOT_DICOM,
                                    number +
                                        " has UIDs that cannot become file names, or a "
                                        "data set that cannot be written again");
            }
            arrived_.insert(instance.sopInstanceUid);
        }
        Report(std::move(instance));
        return true;
    }

    std::string directory_;
    std::filesystem::path indexRoot_;
    const RetrieveProgress& progress_;
    std::unique_ptr<MultipartReader> reader_;
    std::string boundary_;
    int32_t failure_ = WEB_SUCCESS;
    std::string why_;
    int32_t instanceFailure_ = WEB_SUCCESS;
    std::string instanceWhy_;
    uint32_t index_ = 0;
    uint32_t filed_ = 0;
    std::set<std::string> arrived_;
};

// What the multipart reader's end means.
int32_t FramingOutcome(MultipartState state) {
    switch (state) {
        case MultipartState::Complete:
        case MultipartState::Reading:
        case MultipartState::Stopped:
            return WEB_SUCCESS;
        case MultipartState::WrongBoundary:
            return WEB_WRONG_BOUNDARY;
        case MultipartState::Truncated:
            return WEB_TRUNCATED_MULTIPART;
        case MultipartState::Malformed:
            break;
    }
    return WEB_MALFORMED_MULTIPART;
}

}  // namespace

int32_t WadoRetrieve(const std::string& serviceUrl, const HttpSettings& settings,
                     std::string_view studyUid, std::string_view seriesUid,
                     std::string_view instanceUid, const std::string& directory,
                     const std::filesystem::path& indexRoot, const RetrieveProgress& progress) {
    net::NoteFailure({});
    if (!RetrieveArgumentsFit(studyUid, seriesUid, instanceUid)) {
        return Failed(WEB_REFUSED,
                      "a retrieve takes a Study Instance UID, and a Series Instance "
                      "UID with a SOP Instance UID; each must be a UID");
    }
    HttpClient client(settings);

    // What the server says it holds: its own search, or the one instance asked for.
    std::vector<std::string> announced;
    if (!instanceUid.empty()) {
        announced.emplace_back(instanceUid);
    } else {
        const std::string search =
            ResourcePath(serviceUrl, studyUid, seriesUid, {}) + "/instances?includefield=00080018";
        const HttpResult found = client.Get(search, DICOM_JSON);
        if (found.failure != TransferFailure::None)
            return Failed(TransferOutcome(found.failure), ExplainTransfer(found, search));
        Json matches;
        if (found.response.status == 200 && ParseArray(found.response, matches) == WEB_SUCCESS) {
            for (const Json& match : matches) {
                const std::string uid = FirstText(match, tag::SOPInstanceUID);
                if (!uid.empty()) announced.push_back(uid);
            }
        } else if (found.response.status != 204) {
            // Without the search, the retrieve alone says what there is.
            net::NoteFailure({});
            net::WriteLogLine("no instance search: " + HttpStatusText(found.response.status));
        }
    }

    const std::string resource = ResourcePath(serviceUrl, studyUid, seriesUid, instanceUid);
    Retrieval retrieval(directory, indexRoot, progress);
    const HttpResult result = client.Get(
        resource, DICOM_MULTIPART,
        [&](const HttpResponse& head, auto bytes) { return retrieval.Take(head, bytes); });

    int32_t outcome = WEB_SUCCESS;
    std::string why;
    if (retrieval.Failure() != WEB_SUCCESS) {
        outcome = retrieval.Failure();
        why = retrieval.Why();
    } else if (retrieval.Started()) {
        const MultipartState state = retrieval.Reader().Finish();
        outcome = FramingOutcome(state);
        if (outcome == WEB_WRONG_BOUNDARY) {
            why = "the answer's Content-Type names the boundary \"" + retrieval.Boundary() +
                  "\", but " + retrieval.Reader().Detail();
        } else if (outcome != WEB_SUCCESS) {
            why = retrieval.Reader().Detail() + "; " + std::to_string(retrieval.Count()) +
                  " instances came whole";
            if (result.failure != TransferFailure::None) why += " (" + result.detail + ")";
        }
    } else if (const int32_t bad = CheckAnswer(result, resource, settings, {200, 204});
               bad != WEB_SUCCESS) {
        return bad;  // nothing came, nothing to report
    }

    uint32_t missing = 0;
    std::string firstMissing;
    for (const std::string& uid : announced) {
        if (retrieval.Arrived(uid)) continue;
        if (missing++ == 0) firstMissing = uid;
        RetrievedInstance instance;
        instance.sopInstanceUid = uid;
        instance.outcome = WEB_MISSING_INSTANCES;
        retrieval.Report(std::move(instance));
    }
    if (outcome == WEB_SUCCESS && retrieval.InstanceFailure() != WEB_SUCCESS) {
        outcome = retrieval.InstanceFailure();
        why = retrieval.InstanceWhy();
    }
    if (outcome == WEB_SUCCESS && missing > 0) {
        outcome = WEB_MISSING_INSTANCES;
        why = "the server's search lists " + std::to_string(announced.size()) + " instances, and " +
              std::to_string(missing) + " of them did not come (" + firstMissing +
              (missing > 1 ? ", ..." : "") + ")";
    }
    return outcome == WEB_SUCCESS ? WEB_SUCCESS : Failed(outcome, why);
}

int32_t WadoMetadata(const std::string& serviceUrl, const HttpSettings& settings,
                     std::string_view studyUid, std::string_view seriesUid,
                     std::string_view instanceUid, std::string& json) {
    net::NoteFailure({});
    if (!RetrieveArgumentsFit(studyUid, seriesUid, instanceUid)) {
        return Failed(WEB_REFUSED,
                      "metadata takes a Study Instance UID, and a Series Instance "
                      "UID with a SOP Instance UID; each must be a UID");
    }
    const std::string url =
        ResourcePath(serviceUrl, studyUid, seriesUid, instanceUid) + "/metadata";
    HttpClient client(settings);
    HttpResult result = client.Get(url, DICOM_JSON);
    if (const int32_t bad = CheckAnswer(result, url, settings, {200}); bad != WEB_SUCCESS)
        return bad;
    Json parsed;
    if (const int32_t bad = ParseArray(result.response, parsed); bad != WEB_SUCCESS) return bad;
    json = std::move(result.response.body);
    return WEB_SUCCESS;
}

namespace {

// A file on its way to the server.
// A file on its way to the server; one that could not be read waits without bytes, so that
// every file is reported in its order.
struct Outgoing {
    StoredInstance instance;
    std::optional<data::FileBytes> bytes;
};

// Reads a file to store: whole, as a Part 10 file with its UIDs. Not sent otherwise.
std::optional<data::FileBytes> ReadForStore(StoredInstance& instance) {
    auto bytes = data::FileBytes::Read(instance.fileName);
    if (!bytes) return std::nullopt;
    data::DecoderState state;
    ElementList meta, dataSet;
    if (!data::ReadPart10Bytes(state, bytes->Span(), meta, dataSet)) return std::nullopt;
    instance.sopClassUid = data::GetTopLevelString(dataSet, tag::SOPClassUID);
    instance.sopInstanceUid = data::GetTopLevelString(dataSet, tag::SOPInstanceUID);
    if (instance.sopInstanceUid.empty()) return std::nullopt;
    return bytes;
}

// The items of a sequence of the answer by their Referenced SOP Instance UID.
std::map<std::string, const Json*> ItemsByInstance(const Json& answer, Tag sequence) {
    std::map<std::string, const Json*> items;
    if (const Json* found = ItemsOf(answer, sequence)) {
        for (const Json& item : *found) {
            const std::string uid = FirstText(item, tag::ReferencedSOPInstanceUID);
            if (!uid.empty()) items.emplace(uid, &item);
        }
    }
    return items;
}

class Store {
  public:
    Store(const std::string& target, const HttpSettings& settings, uint32_t count,
          const StoreProgress& progress)
        : target_(target),
          settings_(settings),
          client_(settings),
          count_(count),
          progress_(progress) {}

    // Sends the files of the batch that were read, reports every file of it, and empties it;
    // false when nothing more should be sent.
    bool Send(std::vector<Outgoing>& batch) {
        const bool any = std::any_of(batch.begin(), batch.end(),
                                     [](const Outgoing& o) { return o.bytes.has_value(); });
        bool go = true;
        if (any) {
            const std::string boundary = MakeBoundary();
            std::vector<uint8_t> body;
            std::size_t size = 0;
            for (const Outgoing& o : batch)
                size += o.bytes ? o.bytes->Size() + 128 : 0;
            body.reserve(size);
            for (const Outgoing& o : batch)
                if (o.bytes) AppendPart(body, boundary, DICOM_PART, o.bytes->Span());
            CloseParts(body, boundary);
            const HttpResult result = client_.Post(
                target_, "multipart/related; type=\"application/dicom\"; boundary=" + boundary,
                body, DICOM_JSON);
            go = Judge(result, batch);
        }
        for (Outgoing& o : batch)
            Report(o.instance);
        batch.clear();
        return go;
    }

    void Report(StoredInstance& instance) {
        instance.count = count_;
        if (instance.outcome == WEB_SUCCESS) {
            ++stored_;
        } else {
            if (outcome_ == WEB_SUCCESS) outcome_ = instance.outcome;
            if (instance.outcome == WEB_CANNOT_READ_FILE) ++unread_;
            if (instance.outcome == WEB_NOT_STORED) ++refused_;
        }
        if (progress_) progress_(instance);
    }

    // What the files that are no longer sent are told.
    int32_t StopOutcome() const { return stopOutcome_; }

    int32_t Finish() {
        if (outcome_ == WEB_SUCCESS) return WEB_SUCCESS;
        std::string why =
            std::to_string(stored_) + " of " + std::to_string(count_) + " instances stored";
        if (unread_ > 0) {
            why += "; " + std::to_string(unread_) +
                   " not sent, being no DICOM files that can be read to their end";
        }
        if (refused_ > 0) {
            why += "; " + std::to_string(refused_) + " refused by the server, or not answered for";
        }
        if (!why_.empty()) why += "; " + why_;
        return Failed(outcome_, why);
    }

  private:
    void Note(std::string why) {
        if (why_.empty()) why_ = std::move(why);
    }

    bool Judge(const HttpResult& result, std::vector<Outgoing>& batch) {
        if (result.failure != TransferFailure::None) {
            Note(ExplainTransfer(result, target_));
            stopOutcome_ = TransferOutcome(result.failure);
            for (Outgoing& o : batch)
                if (o.bytes) o.instance.outcome = stopOutcome_;
            return false;
        }
        const HttpResponse& response = result.response;
        // The answer is a data set; some servers wrap it in an array, or send no type.
        Json answer = Json::parse(response.body, nullptr, false);
        if (answer.is_array() && answer.size() == 1) answer = Json(answer[0]);
        const auto referenced = ItemsByInstance(answer, tag::ReferencedSOPSequence);
        const auto failed = ItemsByInstance(answer, tag::FailedSOPSequence);
        const bool success = response.status == 200 || response.status == 202;
        bool named = false;
        for (Outgoing& o : batch) {
            if (!o.bytes) continue;
            StoredInstance& instance = o.instance;
            if (const auto r = referenced.find(instance.sopInstanceUid); r != referenced.end()) {
                named = true;
                instance.warningReason =
                    static_cast<int32_t>(FirstNumber(*r->second, tag::WarningReason).value_or(-1));
                instance.retrieveUrl = FirstText(*r->second, tag::RetrieveURL);
            } else if (const auto f = failed.find(instance.sopInstanceUid); f != failed.end()) {
                named = true;
                instance.outcome = WEB_NOT_STORED;
                instance.failureReason =
                    static_cast<int32_t>(FirstNumber(*f->second, tag::FailureReason).value_or(-1));
            } else {
                instance.outcome = success ? WEB_NOT_STORED : static_cast<int32_t>(response.status);
            }
        }
        if (response.status != 200) {
            const std::string said = HttpStatusText(response.status) + ": " +
                                     ExplainStatus(response, HasCredentials(settings_));
            Note("the server answered " + said);
        } else if (!named && !batch.empty()) {
            Note("the server's answer names none of the instances sent: " +
                 BodyExcerpt(response.body, 200));
        }
        stopOutcome_ = static_cast<int32_t>(response.status);
        return named || success;
    }

    std::string target_;
    const HttpSettings& settings_;
    HttpClient client_;
    uint32_t count_;
    const StoreProgress& progress_;
    uint32_t stored_ = 0, unread_ = 0, refused_ = 0;
    int32_t outcome_ = WEB_SUCCESS;
    int32_t stopOutcome_ = WEB_NOT_STORED;
    std::string why_;
};

}  // namespace

int32_t StowFiles(const std::string& serviceUrl, const HttpSettings& settings,
                  std::span<const std::string> fileNames, std::string_view studyUid, uint32_t batch,
                  const StoreProgress& progress) {
    net::NoteFailure({});
    if (fileNames.empty() || (!studyUid.empty() && !store::IsValidUid(studyUid))) {
        return Failed(WEB_REFUSED,
                      "a store takes at least one file, and a study given must be "
                      "a UID");
    }
    if (batch == 0) batch = DEFAULT_STOW_BATCH;
    const std::string target = ServiceBase(serviceUrl) + "/studies" +
                               (studyUid.empty() ? "" : "/" + std::string(studyUid));
    const auto count = static_cast<uint32_t>(fileNames.size());
    Store store(target, settings, count, progress);
    std::vector<Outgoing> pending;
    std::size_t pendingBytes = 0, pendingFiles = 0;
    bool go = true;
    for (uint32_t i = 0; i < count; ++i) {
        Outgoing file;
        file.instance.index = i;
        file.instance.fileName = fileNames[i];
        if (!go) {
            file.instance.outcome = store.StopOutcome();
            store.Report(file.instance);
            continue;
        }
        file.bytes = ReadForStore(file.instance);
        if (!file.bytes) {
            file.instance.outcome = WEB_CANNOT_READ_FILE;
            pending.push_back(std::move(file));
            continue;
        }
        // A request holds at most batch instances and, unless one alone is larger, the bytes
        // of STOW_BATCH_BYTES.
        const std::size_t size = file.bytes->Size();
        if (pendingFiles > 0 && pendingBytes + size > STOW_BATCH_BYTES) {
            go = store.Send(pending);
            pendingBytes = pendingFiles = 0;
            if (!go) {
                file.instance.outcome = store.StopOutcome();
                store.Report(file.instance);
                continue;
            }
        }
        pendingBytes += size;
        ++pendingFiles;
        pending.push_back(std::move(file));
        if (pendingFiles == batch) {
            go = store.Send(pending);
            pendingBytes = pendingFiles = 0;
        }
    }
    store.Send(pending);
    return store.Finish();
}

}  // namespace dicomlib::web
