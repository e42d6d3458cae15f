#include "web/WebProbe.h"

#include <cstdio>
#include <ctime>
#include <optional>
#include <vector>

#include "data/Tags.h"
#include "net/Association.h"
#include "web/DicomWeb.h"
#include "web/JsonModel.h"
#include "web/Multipart.h"
#include "web/WebWords.h"

namespace dicomlib::web {
namespace {

using services::probe::Fact;
using services::probe::Report;
using services::probe::Row;
using services::probe::Section;
using services::probe::Verdict;

// Matches asked for at each level: enough to show what comes back, little for the server.
constexpr int SEARCH_LIMIT = 5;

std::string Milliseconds(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f ms", seconds * 1000);
    return text;
}

// Days from now until a certificate date as libcurl gives it ("Jan  1 00:00:00 2026 GMT");
// none when the text is not such a date.
std::optional<long> DaysUntil(const std::string& date) {
    std::tm when{};
    const char* end = strptime(date.c_str(), "%b %d %H:%M:%S %Y GMT", &when);
    if (end == nullptr) return std::nullopt;
    const std::time_t at = timegm(&when);
    return static_cast<long>(std::difftime(at, std::time(nullptr)) / 86400);
}

// The verdict, reason and advice of an answer that failed: in transfer, by its status (401 and
// 403 as a refusal), by its content type, or as JSON that is no array. False when none of
// these: the answer can be read.
bool JudgeFailure(const HttpResult& r, const std::string& url, const HttpSettings& settings,
                  Verdict& verdict, std::string& reason, std::string& advice, Json* array) {
    if (r.failure != TransferFailure::None) {
        verdict = Verdict::Failed;
        reason = WebOutcomeText(TransferOutcome(r.failure));
        advice = ExplainTransfer(r, url);
        return true;
    }
    const long status = r.response.status;
    if (status < 200 || status >= 300) {
        verdict = status == 401 || status == 403 || status == 407   ? Verdict::Refused
                  : status == 404 || status == 405 || status == 501 ? Verdict::NotOffered
                                                                    : Verdict::Failed;
        reason = HttpStatusText(status);
        advice = ExplainStatus(r.response, !settings.user.empty() || !settings.token.empty());
        return true;
    }
    if (array == nullptr || status == 204) return false;
    if (r.response.contentType.empty() && r.response.bodyBytes == 0 &&
        !r.response.allowOrigin.empty()) {
        verdict = Verdict::Failed;
        reason = "an answer with cross-origin (CORS) headers only, no content";
        advice =
            "the server answers as to a browser's preflight request; check that the URL is the "
            "DICOMweb service itself and not a gateway in front of it";
        return true;
    }
    if (!IsJsonType(r.response.contentType)) {
        verdict = Verdict::Failed;
        reason = "an answer of type " +
                 (r.response.contentType.empty() ? std::string("(none)") : r.response.contentType) +
                 ", not " + DICOM_JSON;
        advice = "the URL may lead to a web page rather than the DICOMweb service; it begins: " +
                 BodyExcerpt(r.response.body, 120);
        return true;
    }
    *array = Json::parse(r.response.body, nullptr, false);
    if (array->is_discarded() || !array->is_array()) {
        verdict = Verdict::Failed;
        reason = WebOutcomeText(WEB_NOT_JSON_ARRAY);
        advice = "it begins: " + BodyExcerpt(r.response.body, 120);
        return true;
    }
    return false;
}

// The tags of a data set in the JSON model, in the order they came.
std::string Attributes(const Json& dataSet) {
    std::string keys;
    if (!dataSet.is_object()) return keys;
    for (const auto& item : dataSet.items())
        keys += (keys.empty() ? "" : " ") + item.key();
    return keys;
}

// A probe gives up on an answer that stalls for this long, where a retrieve would wait minutes.
constexpr long PROBE_STALL_SECONDS = 10;

HttpSettings ProbeSettings(HttpSettings settings) {
    settings.stallSeconds = PROBE_STALL_SECONDS;
    return settings;
}

class Prober {
  public:
    Prober(const WebProbeOptions& options, const services::probe::SectionSink& onSection)
        : o_(options), onSection_(onSection), client_(ProbeSettings(options.settings)) {
        base_ = o_.serviceUrl;
        while (!base_.empty() && base_.back() == '/')
            base_.pop_back();
    }

    Report Run() {
        Endpoint();
        Capabilities();
        Store();
        Search();
        Retrieve();
        return std::move(report_);
    }

  private:
    HttpResult Get(const std::string& url, const std::string& accept) {
        ++report_.associations;
        return client_.Get(url, accept);
    }

    void Finish(Section section) {
        report_.sections.push_back(std::move(section));
        if (onSection_) onSection_(report_.sections.back());
    }

    // A section that cannot run because the endpoint did not answer.
    bool SkippedForEndpoint(Section& s) {
        if (skipped_.empty()) return false;
        s.verdict = Verdict::Failed;
        s.reason = skipped_;
        Finish(std::move(s));
        return true;
    }

    void Endpoint() {
        Section s{"Endpoint", Verdict::Failed, {}, {}, {}, {}};
        const std::string url = base_ + "/studies?limit=1";
        const HttpResult r = Get(url, DICOM_JSON);
        s.facts.push_back({"URL", o_.serviceUrl});
        if (r.timing.connected > 0)
            s.facts.push_back({"TCP connect", Milliseconds(r.timing.connected)});
        if (r.timing.secured > 0)
            s.facts.push_back(
                {"TLS handshake", Milliseconds(r.timing.secured - r.timing.connected)});
        const TlsFacts& tls = r.tls;
        if (!tls.version.empty()) s.facts.push_back({"TLS protocol", tls.version});
        if (!tls.cipher.empty()) s.facts.push_back({"cipher suite", tls.cipher});
        if (!tls.subject.empty()) s.facts.push_back({"certificate subject", tls.subject});
        if (!tls.issuer.empty()) s.facts.push_back({"certificate issuer", tls.issuer});
        if (!tls.notBefore.empty()) s.facts.push_back({"valid from", tls.notBefore});
        if (!tls.notAfter.empty()) {
            s.facts.push_back({"valid until", tls.notAfter});
            if (const auto days = DaysUntil(tls.notAfter))
                s.facts.push_back({"days left", std::to_string(*days)});
        }
        if (!tls.keyAlgorithm.empty())
            s.facts.push_back(
                {"public key",
                 tls.keyAlgorithm + (tls.keyBits.empty() ? "" : ", " + tls.keyBits + " bits")});
        if (r.failure != TransferFailure::None)
            skipped_ = "no answer from the endpoint (see Endpoint)";
        Json matches;
        if (!JudgeFailure(r, url, o_.settings, s.verdict, s.reason, s.advice, &matches)) {
            s.verdict = Verdict::Works;
            s.reason = HttpStatusText(r.response.status) + " to a study search in " +
                       Milliseconds(r.timing.total);
        }
        if (r.failure == TransferFailure::None) {
            s.facts.push_back({"first byte", Milliseconds(r.timing.firstByte)});
            // Without credentials the server may be asked nothing else.
            if (s.verdict == Verdict::Refused) skipped_ = "the endpoint refuses us (see Endpoint)";
        }
        Finish(std::move(s));
    }

    void Capabilities() {
        Section s{"Capabilities", Verdict::Failed, {}, {}, {}, {}};
        if (SkippedForEndpoint(s)) return;
        ++report_.associations;
        const HttpResult r = client_.Options(base_, "");
        if (!JudgeFailure(r, base_, o_.settings, s.verdict, s.reason, s.advice, nullptr)) {
            s.verdict = Verdict::Works;
            s.reason = HttpStatusText(r.response.status) + " to OPTIONS";
        } else if (s.verdict == Verdict::NotOffered) {
            s.advice =
                "the server does not describe itself at the service URL; the other "
                "sections show what it offers";
        }
        if (r.failure == TransferFailure::None) {
            s.facts.push_back(
                {"methods (Allow)", r.response.allow.empty() ? "not said" : r.response.allow});
            if (!r.response.contentType.empty())
                s.facts.push_back({"description", r.response.contentType + ", " +
                                                      std::to_string(r.response.bodyBytes) +
                                                      " bytes"});
        }
        Finish(std::move(s));
    }

    void Store() {
        Section s{"STOW-RS", Verdict::NotTested, {}, {}, {}, {}};
        if (o_.storeTestFile.empty()) {
            s.reason = "nothing is stored unless asked";
            s.advice = "give --store-test FILE to store one instance";
            Finish(std::move(s));
            return;
        }
        if (SkippedForEndpoint(s)) return;
        const std::string file = o_.storeTestFile.string();
        Row row{
            "store test: " + o_.storeTestFile.filename().string(), {}, Verdict::Failed, {}, {}, {}};
        ++report_.associations;
        const int32_t outcome =
            StowFiles(o_.serviceUrl, o_.settings, std::span<const std::string>(&file, 1), {}, 1,
                      [&](const StoredInstance& stored) { row.uid = stored.sopClassUid; });
        if (outcome == WEB_SUCCESS) {
            row.verdict = Verdict::Works;
            row.reason = "stored";
        } else {
            row.verdict = outcome == 401 || outcome == 403   ? Verdict::Refused
                          : outcome == 404 || outcome == 405 ? Verdict::NotOffered
                                                             : Verdict::Failed;
            row.reason = WebOutcomeText(outcome);
            row.advice = net::LastFailure();
        }
        s.verdict = row.verdict;
        s.reason = row.verdict == Verdict::Works ? "one instance stored" : row.reason;
        s.rows.push_back(std::move(row));
        Finish(std::move(s));
    }

    // One search: its row, and the first match's UID of the level's unique key.
    std::string SearchRow(Section& s, const std::string& item, const std::string& url, Tag key) {
        Row row{item, {}, Verdict::Failed, {}, {}, {}};
        const HttpResult r = Get(url, DICOM_JSON);
        Json matches = Json::array();
        std::string uid;
        if (!JudgeFailure(r, url, o_.settings, row.verdict, row.reason, row.advice, &matches)) {
            row.verdict = Verdict::Works;
            const std::size_t n = matches.is_array() ? matches.size() : 0;
            row.reason = HttpStatusText(r.response.status) + ": " + std::to_string(n) +
                         (n == 1 ? " match" : " matches") + " in " + Milliseconds(r.timing.total);
            if (n > 0) {
                s.facts.push_back({item + " attributes", Attributes(matches[0])});
                uid = FirstText(matches[0], key);
            }
        }
        s.rows.push_back(std::move(row));
        return uid;
    }

    void NotSearched(Section& s, const std::string& item, const std::string& why) {
        s.rows.push_back({item, {}, Verdict::NotTested, why, {}, {}});
    }

    void Search() {
        Section s{"QIDO-RS", Verdict::Works, {}, {}, {}, {}};
        if (SkippedForEndpoint(s)) return;
        const std::string limit = "?limit=" + std::to_string(SEARCH_LIMIT);
        study_ = SearchRow(s, "studies", base_ + "/studies" + limit, tag::StudyInstanceUID);
        if (!study_.empty()) {
            const std::string studyPath = base_ + "/studies/" + UrlEncode(study_);
            series_ = SearchRow(s, "series", studyPath + "/series" + limit, tag::SeriesInstanceUID);
            if (!series_.empty()) {
                instance_ =
                    SearchRow(s, "instances",
                              studyPath + "/series/" + UrlEncode(series_) + "/instances" + limit,
                              tag::SOPInstanceUID);
            } else {
                NotSearched(s, "instances", "no series to search in");
            }
        } else {
            NotSearched(s, "series", "no study to search in");
            NotSearched(s, "instances", "no study to search in");
        }
        JudgeByRows(s);
        if (s.verdict == Verdict::Works) s.reason = "every level searched answered";
        if (s.verdict == Verdict::Works && study_.empty()) {
            s.reason = "the server holds no study";
            s.advice = "store one (--store-test FILE) to search below the study level";
        }
        Finish(std::move(s));
    }

    void Retrieve() {
        Section s{"WADO-RS", Verdict::Works, {}, {}, {}, {}};
        if (SkippedForEndpoint(s)) return;
        if (instance_.empty()) {
            s.verdict = Verdict::NotTested;
            s.reason = "no instance was found to retrieve (see QIDO-RS)";
            Finish(std::move(s));
            return;
        }
        const std::string path = base_ + "/studies/" + UrlEncode(study_) + "/series/" +
                                 UrlEncode(series_) + "/instances/" + UrlEncode(instance_);

        s.facts.push_back({"instance", instance_});
        Row metadata{"metadata", {}, Verdict::Failed, {}, {}, {}};
        const HttpResult m = Get(path + "/metadata", DICOM_JSON);
        Json sets;
        if (!JudgeFailure(m, path + "/metadata", o_.settings, metadata.verdict, metadata.reason,
                          metadata.advice, &sets)) {
            if (sets.size() == 1 && sets[0].is_object()) {
                metadata.verdict = Verdict::Works;
                metadata.reason = HttpStatusText(m.response.status) + ": " +
                                  std::to_string(sets[0].size()) + " attributes in " +
                                  Milliseconds(m.timing.total);
            } else {
                metadata.reason = "the metadata of one instance holds " +
                                  std::to_string(sets.size()) + " data sets";
                metadata.advice = "the server does not answer the metadata resource as asked";
            }
        }
        s.rows.push_back(std::move(metadata));

        Row instance{"instance", {}, Verdict::Failed, {}, {}, {}};
        const HttpResult r = Get(path, DICOM_MULTIPART);
        if (!JudgeFailure(r, path, o_.settings, instance.verdict, instance.reason, instance.advice,
                          nullptr)) {
            const MediaType type = ParseMediaType(r.response.contentType);
            if (type.type != "multipart/related") {
                instance.reason =
                    "an answer of type " + r.response.contentType + ", not multipart/related";
                instance.advice = "the server does not answer a retrieve as asked";
            } else {
                MultipartReader reader(type.Parameter("boundary"));
                std::vector<std::string> parts;
                reader.Feed({reinterpret_cast<const uint8_t*>(r.response.body.data()),
                             r.response.body.size()},
                            [&](MultipartPart& part) {
                                parts.push_back(part.contentType + ", " +
                                                std::to_string(part.body.size()) + " bytes");
                                return true;
                            });
                if (reader.Finish() != MultipartState::Complete) {
                    instance.reason = "a multipart answer that cannot be read";
                    instance.advice = reader.Detail();
                } else if (parts.size() != 1) {
                    instance.reason = std::to_string(parts.size()) + " parts for one instance";
                    instance.advice = "the server does not answer a retrieve as asked";
                } else {
                    instance.verdict = Verdict::Works;
                    instance.reason = HttpStatusText(r.response.status) + ": " + parts[0] + " in " +
                                      Milliseconds(r.timing.total);
                }
            }
        }
        s.rows.push_back(std::move(instance));
        JudgeByRows(s);
        if (s.verdict == Verdict::Works) s.reason = "the metadata and the instance came";
        Finish(std::move(s));
    }

    // A section is no better than its worst row.
    static void JudgeByRows(Section& s) {
        for (const Row& row : s.rows) {
            if (row.verdict != Verdict::Failed && row.verdict != Verdict::Refused) continue;
            if (s.verdict == Verdict::Works || row.verdict == Verdict::Failed) {
                s.verdict = row.verdict;
                s.reason = row.item + ": " + row.reason;
            }
        }
    }

    const WebProbeOptions& o_;
    const services::probe::SectionSink& onSection_;
    HttpClient client_;
    std::string base_;
    std::string skipped_;  // why the sections after the endpoint's cannot run; "" when they can
    std::string study_, series_, instance_;
    Report report_;
};

}  // namespace

Report ProbeWeb(const WebProbeOptions& options, const services::probe::SectionSink& onSection) {
    return Prober(options, onSection).Run();
}

}  // namespace dicomlib::web
