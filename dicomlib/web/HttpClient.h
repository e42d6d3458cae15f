// HTTP through libcurl: one request at a time on a handle that keeps its connection for the
// next. TLS checks the server against the system's certificate authorities or those given, and
// may show a client certificate; HTTP basic or bearer authentication; proxies come from the
// usual environment variables (http_proxy, https_proxy, no_proxy), as libcurl reads them.
// It knows nothing of DICOM. One thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>

namespace dicomlib::web {

struct HttpSettings {
    std::string tlsCa;  // a file of CA certificates, or a directory of hashed ones; "" the system's
    std::string tlsCert;         // a client certificate (PEM), "" none
    std::string tlsKey;          // its private key (PEM), "" the certificate's file
    bool tlsNoVerify = false;    // neither the server's certificate nor its name is checked
    std::string user, password;  // HTTP basic when user is not empty
    std::string token;           // a bearer token when not empty
    long stallSeconds = 0;       // an answer that stalls this long is broken off; 0: the default
};

struct HttpResponse {
    long status = 0;           // 0 until a status line came
    std::string contentType;   // "" when the answer has none
    std::string authenticate;  // the WWW-Authenticate header, "" when absent
    std::string allow;         // the Allow header (the methods a resource takes), "" when absent
    std::string allowOrigin;   // Access-Control-Allow-Origin, "" when absent
    std::string body;          // the body when no sink took it, else its first BODY_SAMPLE bytes
    uint64_t bodyBytes = 0;
};

// How much of a body that goes to a sink is kept for an explanation.
constexpr std::size_t BODY_SAMPLE = 4096;
// The most bytes of a body collected whole (an answer meant as JSON, an error page).
constexpr std::size_t BODY_LIMIT = 256 * 1024 * 1024;

enum class TransferFailure {
    None,
    BadUrl,        // not a URL libcurl can use
    NoConnection,  // the name does not resolve, or nothing answers on the port
    Tls,           // the TLS handshake or the check of a certificate failed
    TimedOut,      // no connection within the time-out, or the answer stalled
    Broken,        // the answer broke off, or could not be read
    Stopped,       // the body sink stopped the transfer
    TooLarge,      // a body to collect whole passed BODY_LIMIT
};

// How long the stages of a transfer took, in seconds from its start; 0 for a stage that did
// not happen (no TLS on http, say).
struct HttpTiming {
    double connected = 0;  // TCP connection made
    double secured = 0;    // TLS handshake done
    double firstByte = 0;  // the first byte of the answer came
    double total = 0;
};

// What the TLS handshake of an https transfer settled on and the server's certificate, as far
// as the transfer got; every text "" on http.
struct TlsFacts {
    std::string version;  // "TLSv1.3"
    std::string cipher;   // "TLS_AES_256_GCM_SHA384"
    std::string subject, issuer;
    std::string notBefore, notAfter;  // as the certificate gives them: "Jan  1 00:00:00 2026 GMT"
    std::string keyAlgorithm;         // "rsaEncryption", "id-ecPublicKey"
    std::string keyBits;              // "2048"; "" when not told
};

struct HttpResult {
    TransferFailure failure = TransferFailure::None;
    std::string detail;  // libcurl's words for a failure
    HttpResponse response;
    HttpTiming timing;
    TlsFacts tls;
};

class HttpClient {
  public:
    // Takes the body of a 2xx answer in pieces; the headers are in head. False stops the
    // transfer. Answers of another status are collected into the response instead.
    using BodySink = std::function<bool(const HttpResponse& head, std::span<const uint8_t> bytes)>;

    // A connection is given up after this many seconds; an answer that stalls for
    // STALL_SECONDS is broken off.
    static constexpr long CONNECT_SECONDS = 30;
    static constexpr long STALL_SECONDS = 300;

    explicit HttpClient(HttpSettings settings);
    ~HttpClient();
    HttpClient(const HttpClient&) = delete;
    HttpClient& operator=(const HttpClient&) = delete;

    HttpResult Get(const std::string& url, const std::string& accept, const BodySink& sink = {});
    HttpResult Post(const std::string& url, const std::string& contentType,
                    std::span<const uint8_t> body, const std::string& accept);
    // An OPTIONS request: what the resource offers, in the Allow header and the body.
    HttpResult Options(const std::string& url, const std::string& accept);

  private:
    struct Handle;
    HttpResult Perform(const std::string& url, const std::string& accept,
                       const std::string* contentType, std::span<const uint8_t> body,
                       const BodySink& sink, const char* method = nullptr);

    HttpSettings settings_;
    std::unique_ptr<Handle> handle_;
};

// Percent-encodes text for a query parameter or a path segment (letters, digits and "-._~"
// stay as they are).
std::string UrlEncode(std::string_view text);

}  // namespace dicomlib::web
