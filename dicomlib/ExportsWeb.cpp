// Exported DICOMweb operations: thin wrappers over web/. The C records handed to the progress
// sinks point into the core's records and live for the call of the sink only.
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "Guarded.h"
#include "ProbeRecords.h"
#include "store/DatabaseIndex.h"
#include "web/DicomWeb.h"
#include "web/WebProbe.h"
#include "zedavura.h"

using namespace dicomlib;

namespace {

constexpr bool Mirrors(WebOutcome exported, web::WebOutcomeCode core) {
    return static_cast<int32_t>(exported) == static_cast<int32_t>(core);
}
static_assert(Mirrors(WEB_SUCCESS, web::WEB_SUCCESS));
static_assert(Mirrors(WEB_NO_CONNECTION, web::WEB_NO_CONNECTION));
static_assert(Mirrors(WEB_TLS_FAILED, web::WEB_TLS_FAILED));
static_assert(Mirrors(WEB_TIMED_OUT, web::WEB_TIMED_OUT));
static_assert(Mirrors(WEB_BROKEN_ANSWER, web::WEB_BROKEN_ANSWER));
static_assert(Mirrors(WEB_BAD_URL, web::WEB_BAD_URL));
static_assert(Mirrors(WEB_WRONG_CONTENT_TYPE, web::WEB_WRONG_CONTENT_TYPE));
static_assert(Mirrors(WEB_NOT_JSON_ARRAY, web::WEB_NOT_JSON_ARRAY));
static_assert(Mirrors(WEB_NOT_DICOM_JSON, web::WEB_NOT_DICOM_JSON));
static_assert(Mirrors(WEB_WRONG_BOUNDARY, web::WEB_WRONG_BOUNDARY));
static_assert(Mirrors(WEB_TRUNCATED_MULTIPART, web::WEB_TRUNCATED_MULTIPART));
static_assert(Mirrors(WEB_MALFORMED_MULTIPART, web::WEB_MALFORMED_MULTIPART));
static_assert(Mirrors(WEB_NOT_DICOM, web::WEB_NOT_DICOM));
static_assert(Mirrors(WEB_CANNOT_WRITE, web::WEB_CANNOT_WRITE));
static_assert(Mirrors(WEB_MISSING_INSTANCES, web::WEB_MISSING_INSTANCES));
static_assert(Mirrors(WEB_CANNOT_READ_FILE, web::WEB_CANNOT_READ_FILE));
static_assert(Mirrors(WEB_NOT_STORED, web::WEB_NOT_STORED));
static_assert(Mirrors(WEB_ANSWER_TOO_LARGE, web::WEB_ANSWER_TOO_LARGE));
static_assert(Mirrors(WEB_REFUSED, web::WEB_REFUSED));
static_assert(Mirrors(WEB_INTERNAL_ERROR, web::WEB_INTERNAL_ERROR));

std::string WebText(const char* text) {
    return text != nullptr ? std::string(text) : std::string();
}

web::HttpSettings SettingsOf(const WebSettings* settings) {
    web::HttpSettings s;
    if (settings == nullptr) return s;
    s.tlsCa = WebText(settings->tlsCa);
    s.tlsCert = WebText(settings->tlsCert);
    s.tlsKey = WebText(settings->tlsKey);
    s.tlsNoVerify = settings->tlsNoVerify != 0;
    s.user = WebText(settings->user);
    s.password = WebText(settings->password);
    s.token = WebText(settings->token);
    return s;
}

}  // namespace

extern "C" ZEDAVURA_API int32_t QidoSearch(const char* serviceUrl, const WebSettings* settings,
                                           const char* level, RecordList* list, uint32_t limit,
                                           uint32_t offset) {
    if (serviceUrl == nullptr || level == nullptr || list == nullptr) return WEB_REFUSED;
    return Guarded("QidoSearch", int32_t{WEB_INTERNAL_ERROR}, [&] {
        return web::QidoSearch(serviceUrl, SettingsOf(settings), level, *list, limit, offset);
    });
}

extern "C" ZEDAVURA_API int32_t WadoRetrieve(const char* serviceUrl, const WebSettings* settings,
                                             const char* studyUid, const char* seriesUid,
                                             const char* instanceUid, const char* directory,
                                             WadoProgressSink progress, void* context) {
    if (serviceUrl == nullptr || studyUid == nullptr || directory == nullptr) return WEB_REFUSED;
    return Guarded("WadoRetrieve", int32_t{WEB_INTERNAL_ERROR}, [&] {
        const web::RetrieveProgress told = [&](const web::RetrievedInstance& r) {
            if (progress == nullptr) return;
            const WadoInstance instance{r.index, r.sopInstanceUid.c_str(), r.filePath.c_str(),
                                        r.bytes, r.outcome};
            progress(context, &instance);
        };
        return web::WadoRetrieve(serviceUrl, SettingsOf(settings), studyUid, WebText(seriesUid),
                                 WebText(instanceUid), directory, store::INDEX_ROOT, told);
    });
}

extern "C" ZEDAVURA_API int32_t WadoMetadata(const char* serviceUrl, const WebSettings* settings,
                                             const char* studyUid, const char* seriesUid,
                                             const char* instanceUid, WebTextSink sink,
                                             void* context) {
    if (serviceUrl == nullptr || studyUid == nullptr) return WEB_REFUSED;
    return Guarded("WadoMetadata", int32_t{WEB_INTERNAL_ERROR}, [&] {
        std::string json;
        const int32_t outcome = web::WadoMetadata(serviceUrl, SettingsOf(settings), studyUid,
                                                  WebText(seriesUid), WebText(instanceUid), json);
        if (outcome == WEB_SUCCESS && sink != nullptr)
            sink(context, json.c_str(), static_cast<uint32_t>(json.size()));
        return outcome;
    });
}

extern "C" ZEDAVURA_API int32_t StowFiles(const char* serviceUrl, const WebSettings* settings,
                                          const char* const* fileNames, uint32_t count,
                                          const char* studyUid, uint32_t batch,
                                          StowProgressSink progress, void* context) {
    if (serviceUrl == nullptr || fileNames == nullptr || count == 0) return WEB_REFUSED;
    return Guarded("StowFiles", int32_t{WEB_INTERNAL_ERROR}, [&] {
        std::vector<std::string> files;
        for (uint32_t i = 0; i < count; ++i) {
            if (fileNames[i] == nullptr) return int32_t{WEB_REFUSED};
            files.emplace_back(fileNames[i]);
        }
        const web::StoreProgress told = [&](const web::StoredInstance& s) {
            if (progress == nullptr) return;
            const StowInstance instance{s.index,
                                        s.count,
                                        s.fileName.c_str(),
                                        s.sopClassUid.c_str(),
                                        s.sopInstanceUid.c_str(),
                                        s.outcome,
                                        s.failureReason,
                                        s.warningReason,
                                        s.retrieveUrl.c_str()};
            progress(context, &instance);
        };
        return web::StowFiles(serviceUrl, SettingsOf(settings), files, WebText(studyUid), batch,
                              told);
    });
}

extern "C" ZEDAVURA_API ProbeReport* RunWebProbe(const WebProbeOptions* options,
                                                 ProbeSectionSink sink, void* context) {
    if (options == nullptr || options->structSize < sizeof(WebProbeOptions) ||
        options->serviceUrl == nullptr)
        return nullptr;
    return Guarded("RunWebProbe", static_cast<ProbeReport*>(nullptr), [&] {
        web::WebProbeOptions o;
        o.serviceUrl = options->serviceUrl;
        o.settings = SettingsOf(options->settings);
        o.storeTestFile = WebText(options->storeTestFile);
        auto report = std::make_unique<ProbeReport>();
        const services::probe::Report done =
            web::ProbeWeb(o, [&](const services::probe::Section& section) {
                report->sections.push_back(std::make_unique<SectionRecords>(section));
                if (sink != nullptr) sink(context, &report->sections.back()->record);
            });
        report->associations = done.associations;
        return report.release();
    });
}
