// DICOMweb beside DIMSE: searches (QIDO-RS) whose keys and results are the query records of
// the C-FIND user, retrieves (WADO-RS) that file every instance as the storage provider files
// what it receives, and stores (STOW-RS) of Part 10 files in one or more multipart requests.
// A service URL is the base the resources hang off ("http://pacs:8042/dicom-web"). Each
// operation returns WEB_SUCCESS, the HTTP status of an answer that failed, or one of our own
// failures below; why it failed, with what to do, is this thread's last failure
// (net::LastFailure). Neither libcurl nor the JSON library shows through this header.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <span>
#include <string>
#include <string_view>

#include "services/Records.h"
#include "web/HttpClient.h"

namespace dicomlib::web {

enum WebOutcomeCode : int32_t {
    WEB_SUCCESS = 0,
    WEB_NO_CONNECTION = -1,         // the name does not resolve, or nothing answers
    WEB_TLS_FAILED = -2,            // TLS handshake, or a certificate that is not trusted
    WEB_TIMED_OUT = -3,             // no connection in time, or the answer stalled
    WEB_BROKEN_ANSWER = -4,         // the answer broke off or could not be read
    WEB_BAD_URL = -5,               // not an http or https URL
    WEB_WRONG_CONTENT_TYPE = -6,    // an answer (or a part) of another media type than asked for
    WEB_NOT_JSON_ARRAY = -7,        // an answer that is not JSON, or JSON but not an array
    WEB_NOT_DICOM_JSON = -8,        // a JSON data set that is not in the DICOM JSON model
    WEB_WRONG_BOUNDARY = -9,        // a multipart body without the boundary its type names
    WEB_TRUNCATED_MULTIPART = -10,  // a multipart body that ends before its closing boundary
    WEB_MALFORMED_MULTIPART = -11,  // a part whose headers cannot be read
    WEB_NOT_DICOM = -12,            // a part that is not a DICOM instance that can be filed
    WEB_CANNOT_WRITE = -13,         // an instance that could not be written to the disk
    WEB_MISSING_INSTANCES = -14,    // instances the server's search listed that never came
    WEB_CANNOT_READ_FILE = -15,     // a file to store that is not a Part 10 file read whole
    WEB_NOT_STORED = -16,           // instances the server refused, or did not answer for
    WEB_ANSWER_TOO_LARGE = -17,     // an answer to collect whole beyond the limit
    WEB_REFUSED = -18,              // arguments that do not fit; nothing was sent
    WEB_INTERNAL_ERROR = -19,       // memory ran out, or another failure of the library
};

// What searches and metadata are asked in, and retrieves: instances in the syntax the server
// holds them in, not converted on the way.
inline constexpr char DICOM_JSON[] = "application/dicom+json";
inline constexpr char DICOM_MULTIPART[] =
    "multipart/related; type=\"application/dicom\"; transfer-syntax=*";

// Whether a Content-Type is JSON: the DICOM JSON media type or plain JSON.
bool IsJsonType(std::string_view contentType);

// The outcome in words: "HTTP 404 (not found)", or our failure's words.
std::string WebOutcomeText(int32_t outcome);

// Searches at the level of the key record at the head of list ("STUDY", "SERIES", "IMAGE"):
// /studies, /series, /instances, under the study and series the key names when it does. Every
// field of the level is asked for; the key's non-empty fields are the matching keys. Once the
// arguments fit the key record is freed, and a record is appended for every match. limit and
// offset page through the matches (0: the server's choice).
int32_t QidoSearch(const std::string& serviceUrl, const HttpSettings& settings,
                   std::string_view level, RecordList& list, uint32_t limit = 0,
                   uint32_t offset = 0);

// One instance of a retrieve: where it went and how.
struct RetrievedInstance {
    uint32_t index = 0;  // in the order instances came; announced ones that never came follow
    std::string sopInstanceUid;
    std::string filePath;  // empty when nothing was written
    uint64_t bytes = 0;
    int32_t outcome = WEB_SUCCESS;  // WEB_NOT_DICOM, WEB_CANNOT_WRITE, WEB_MISSING_INSTANCES
};
using RetrieveProgress = std::function<void(const RetrievedInstance&)>;

// Retrieves the instances of a study, a series (seriesUid not empty) or one instance (both
// not empty) as Part 10 files and files each as the storage provider does: directory + Study +
// "/" + Series + "/" + SOP Instance UID + ".dcm", written whole and durably, in the syntax it
// came in, entered into the index under indexRoot. The server's own search says first which
// instances to expect; every one of them must arrive.
int32_t WadoRetrieve(const std::string& serviceUrl, const HttpSettings& settings,
                     std::string_view studyUid, std::string_view seriesUid,
                     std::string_view instanceUid, const std::string& directory,
                     const std::filesystem::path& indexRoot, const RetrieveProgress& progress = {});

// The metadata of a study, series or instance: the server's JSON array as it came, checked to
// be one, in json.
int32_t WadoMetadata(const std::string& serviceUrl, const HttpSettings& settings,
                     std::string_view studyUid, std::string_view seriesUid,
                     std::string_view instanceUid, std::string& json);

// One file of a store and what became of it.
struct StoredInstance {
    uint32_t index = 0;
    uint32_t count = 0;
    std::string fileName;
    std::string sopClassUid;
    std::string sopInstanceUid;
    // WEB_SUCCESS stored; WEB_CANNOT_READ_FILE not sent; WEB_NOT_STORED refused or not
    // answered for; another failure or an HTTP status: the request that carried it failed.
    int32_t outcome = WEB_SUCCESS;
    int32_t failureReason = -1;  // (0008,1197) of the server's Failed SOP Sequence
    int32_t warningReason = -1;  // (0008,1196) of a stored instance
    std::string retrieveUrl;     // (0008,1190) of a stored instance
};
using StoreProgress = std::function<void(const StoredInstance&)>;

// How many instances and bytes one request of a store carries at most (a larger file goes in a
// request of its own).
constexpr uint32_t DEFAULT_STOW_BATCH = 100;
constexpr std::size_t STOW_BATCH_BYTES = 64 * 1024 * 1024;

// Stores the files, in their order, in multipart requests of at most batch instances (0: the
// default) to /studies, or to /studies/{studyUid} when it is given. After a request that fails
// without a word on any instance, the rest are not sent.
int32_t StowFiles(const std::string& serviceUrl, const HttpSettings& settings,
                  std::span<const std::string> fileNames, std::string_view studyUid, uint32_t batch,
                  const StoreProgress& progress = {});

}  // namespace dicomlib::web
