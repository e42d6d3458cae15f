#include "web/HttpClient.h"

#include <curl/curl.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <filesystem>
#include <mutex>
#include <stdexcept>
#include <string_view>
#include <system_error>

#include "net/TraceLog.h"

namespace dicomlib::web {
namespace {

void InitialiseOnce() {
    static std::once_flag once;
    std::call_once(once, [] {
        if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK)
            throw std::runtime_error("libcurl cannot be initialised");
    });
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        const char a = text[i] >= 'A' && text[i] <= 'Z' ? static_cast<char>(text[i] + 32) : text[i];
        if (a != prefix[i]) return false;
    }
    return true;
}

std::string_view TrimLine(std::string_view text) {
    while (!text.empty() && (text.back() == '\r' || text.back() == '\n' || text.back() == ' '))
        text.remove_suffix(1);
    while (!text.empty() && text.front() == ' ')
        text.remove_prefix(1);
    return text;
}

TransferFailure FailureOf(CURLcode code) {
    switch (code) {
        case CURLE_OK:
            return TransferFailure::None;
        case CURLE_UNSUPPORTED_PROTOCOL:
        case CURLE_URL_MALFORMAT:
            return TransferFailure::BadUrl;
        case CURLE_COULDNT_RESOLVE_PROXY:
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_CONNECT:
            return TransferFailure::NoConnection;
        case CURLE_OPERATION_TIMEDOUT:
            return TransferFailure::TimedOut;
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CIPHER:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_ISSUER_ERROR:
        case CURLE_SSL_CRL_BADFILE:
        case CURLE_SSL_ENGINE_NOTFOUND:
        case CURLE_SSL_ENGINE_SETFAILED:
        case CURLE_SSL_ENGINE_INITFAILED:
        case CURLE_USE_SSL_FAILED:
            return TransferFailure::Tls;
        case CURLE_WRITE_ERROR:
        case CURLE_ABORTED_BY_CALLBACK:
            return TransferFailure::Stopped;
        default:
            return TransferFailure::Broken;
    }
}

}  // namespace

struct HttpClient::Handle {
    CURL* curl = nullptr;
    char error[CURL_ERROR_SIZE] = {};
    ~Handle() {
        if (curl != nullptr) curl_easy_cleanup(curl);
    }
};

namespace {

// What one transfer collects from libcurl's callbacks.
struct Transfer {
    CURL* curl = nullptr;
    HttpResponse response;
    const HttpClient::BodySink* sink = nullptr;
    bool tooLarge = false;
    TlsFacts tls;
};

// The protocol and cipher suite of the connection in use: asked while the transfer runs, when
// libcurl still holds the TLS session.
void TakeTlsSession(Transfer& t) {
    if (!t.tls.version.empty()) return;
    curl_tlssessioninfo* info = nullptr;
    if (curl_easy_getinfo(t.curl, CURLINFO_TLS_SSL_PTR, &info) != CURLE_OK || info == nullptr ||
        info->backend != CURLSSLBACKEND_OPENSSL || info->internals == nullptr)
        return;
    const SSL* ssl = static_cast<const SSL*>(info->internals);
    t.tls.version = SSL_get_version(ssl);
    if (const SSL_CIPHER* cipher = SSL_get_current_cipher(ssl))
        t.tls.cipher = SSL_CIPHER_get_name(cipher);
}

// The server's certificate (the first of the chain libcurl reports), by the names libcurl
// gives its fields.
void TakeCertificate(CURL* curl, TlsFacts& tls) {
    curl_certinfo* chain = nullptr;
    if (curl_easy_getinfo(curl, CURLINFO_CERTINFO, &chain) != CURLE_OK || chain == nullptr ||
        chain->num_of_certs < 1)
        return;
    for (const curl_slist* field = chain->certinfo[0]; field != nullptr; field = field->next) {
        const std::string_view text = field->data;
        const std::size_t colon = text.find(':');
        if (colon == std::string_view::npos) continue;
        const std::string_view name = text.substr(0, colon);
        const std::string value(TrimLine(text.substr(colon + 1)));
        if (name == "Subject") tls.subject = value;
        if (name == "Issuer") tls.issuer = value;
        if (name == "Start date") tls.notBefore = value;
        if (name == "Expire date") tls.notAfter = value;
        if (name == "Public Key Algorithm") tls.keyAlgorithm = value;
        if (name.ends_with("Public Key") && name != "Public Key Algorithm") tls.keyBits = value;
    }
}

double Seconds(CURL* curl, CURLINFO info) {
    curl_off_t micros = 0;
    return curl_easy_getinfo(curl, info, &micros) == CURLE_OK ? double(micros) / 1e6 : 0;
}

size_t TakeHeader(char* data, size_t size, size_t count, void* context) {
    auto& t = *static_cast<Transfer*>(context);
    TakeTlsSession(t);
    const std::string_view line = TrimLine({data, size * count});
    if (StartsWithNoCase(line, "http/")) {
        // A new status line (after a redirect or a 100 Continue) starts a new answer.
        t.response = {};
        const std::size_t space = line.find(' ');
        if (space != std::string_view::npos)
            t.response.status =
                std::strtol(std::string(line.substr(space + 1, 3)).c_str(), nullptr, 10);
    } else if (StartsWithNoCase(line, "content-type:")) {
        t.response.contentType = std::string(TrimLine(line.substr(13)));
    } else if (StartsWithNoCase(line, "www-authenticate:")) {
        if (!t.response.authenticate.empty()) t.response.authenticate += ", ";
        t.response.authenticate += std::string(TrimLine(line.substr(17)));
    } else if (StartsWithNoCase(line, "allow:")) {
        t.response.allow = std::string(TrimLine(line.substr(6)));
    } else if (StartsWithNoCase(line, "access-control-allow-origin:")) {
        t.response.allowOrigin = std::string(TrimLine(line.substr(28)));
    }
    return size * count;
}

size_t TakeBody(char* data, size_t size, size_t count, void* context) {
    auto& t = *static_cast<Transfer*>(context);
    const std::size_t n = size * count;
    t.response.bodyBytes += n;
    const bool success = t.response.status >= 200 && t.response.status < 300;
    if (success && t.sink != nullptr && *t.sink) {
        if (t.response.body.size() < BODY_SAMPLE)
            t.response.body.append(data, std::min(n, BODY_SAMPLE - t.response.body.size()));
        const auto* bytes = reinterpret_cast<const uint8_t*>(data);
        return (*t.sink)(t.response, {bytes, n}) ? n : 0;
    }
    if (t.response.body.size() + n > BODY_LIMIT) {
        t.tooLarge = true;
        return 0;
    }
    t.response.body.append(data, n);
    return n;
}

}  // namespace

HttpClient::HttpClient(HttpSettings settings)
    : settings_(std::move(settings)), handle_(std::make_unique<Handle>()) {
    InitialiseOnce();
    handle_->curl = curl_easy_init();
    if (handle_->curl == nullptr) throw std::runtime_error("libcurl gives no handle");
}

HttpClient::~HttpClient() = default;

HttpResult HttpClient::Get(const std::string& url, const std::string& accept,
                           const BodySink& sink) {
    return Perform(url, accept, nullptr, {}, sink);
}

HttpResult HttpClient::Post(const std::string& url, const std::string& contentType,
                            std::span<const uint8_t> body, const std::string& accept) {
    return Perform(url, accept, &contentType, body, {});
}

HttpResult HttpClient::Options(const std::string& url, const std::string& accept) {
    return Perform(url, accept, nullptr, {}, {}, "OPTIONS");
}

HttpResult HttpClient::Perform(const std::string& url, const std::string& accept,
                               const std::string* contentType, std::span<const uint8_t> body,
                               const BodySink& sink, const char* method) {
    CURL* curl = handle_->curl;
    curl_easy_reset(curl);
    handle_->error[0] = '\0';
    Transfer transfer;
    transfer.curl = curl;
    transfer.sink = &sink;

    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, handle_->error);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 5L);
    curl_easy_setopt(curl, CURLOPT_POSTREDIR, static_cast<long>(CURL_REDIR_POST_ALL));
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, CONNECT_SECONDS);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME,
                     settings_.stallSeconds > 0 ? settings_.stallSeconds : STALL_SECONDS);
    curl_easy_setopt(curl, CURLOPT_TCP_NODELAY, 1L);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, TakeHeader);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &transfer);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, TakeBody);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &transfer);
    curl_easy_setopt(curl, CURLOPT_USERAGENT, "TESSALY/2.48");
    curl_easy_setopt(curl, CURLOPT_CERTINFO, 1L);
    if (method != nullptr) curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, method);

    if (!settings_.tlsCa.empty()) {
        std::error_code ec;
        const bool directory = std::filesystem::is_directory(settings_.tlsCa, ec);
        curl_easy_setopt(curl, directory ? CURLOPT_CAPATH : CURLOPT_CAINFO,
                         settings_.tlsCa.c_str());
    }
    if (!settings_.tlsCert.empty()) {
        curl_easy_setopt(curl, CURLOPT_SSLCERT, settings_.tlsCert.c_str());
        if (!settings_.tlsKey.empty())
            curl_easy_setopt(curl, CURLOPT_SSLKEY, settings_.tlsKey.c_str());
    }
    if (settings_.tlsNoVerify) {
        curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 0L);
        curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 0L);
    }
    if (!settings_.token.empty()) {
        curl_easy_setopt(curl, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_BEARER));
        curl_easy_setopt(curl, CURLOPT_XOAUTH2_BEARER, settings_.token.c_str());
    } else if (!settings_.user.empty()) {
        curl_easy_setopt(curl, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_BASIC));
        curl_easy_setopt(curl, CURLOPT_USERNAME, settings_.user.c_str());
        curl_easy_setopt(curl, CURLOPT_PASSWORD, settings_.password.c_str());
    }

    curl_slist* headers = nullptr;
    const auto addHeader = [&](const std::string& header) {
        curl_slist* more = curl_slist_append(headers, header.c_str());
        if (more == nullptr) {
            curl_slist_free_all(headers);
            throw std::bad_alloc();
        }
        headers = more;
    };
    if (!accept.empty()) addHeader("Accept: " + accept);
    if (contentType != nullptr) {
        addHeader("Content-Type: " + *contentType);
        // No wait for a "100 Continue" that many servers never send.
        addHeader("Expect:");
        curl_easy_setopt(curl, CURLOPT_POST, 1L);
        // Never null: libcurl would then read the body from standard input.
        static const char NOTHING[] = "";
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS,
                         body.empty() ? static_cast<const void*>(NOTHING) : body.data());
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    }
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);

    if (net::LogLevel() >= net::LOG_ASSOCIATION) {
        net::WriteLogLine(std::string(method != nullptr        ? std::string(method) + " "
                                      : contentType != nullptr ? "POST "
                                                               : "GET ") +
                          url +
                          (contentType != nullptr ? " (" + std::to_string(body.size()) + " bytes)"
                                                  : std::string()));
    }
    const CURLcode code = curl_easy_perform(curl);
    curl_slist_free_all(headers);

    HttpResult result;
    result.response = std::move(transfer.response);
    result.tls = std::move(transfer.tls);
    TakeCertificate(curl, result.tls);
    result.timing = {
        Seconds(curl, CURLINFO_CONNECT_TIME_T), Seconds(curl, CURLINFO_APPCONNECT_TIME_T),
        Seconds(curl, CURLINFO_STARTTRANSFER_TIME_T), Seconds(curl, CURLINFO_TOTAL_TIME_T)};
    result.failure = transfer.tooLarge ? TransferFailure::TooLarge : FailureOf(code);
    if (result.failure != TransferFailure::None)
        result.detail = handle_->error[0] != '\0' ? handle_->error : curl_easy_strerror(code);
    // A server that refuses us in TLS (no client certificate, say) may do so only once the
    // handshake seems done, as an alert on the first read.
    if ((code == CURLE_RECV_ERROR || code == CURLE_SEND_ERROR) &&
        result.detail.find("SSL") != std::string::npos) {
        result.failure = TransferFailure::Tls;
    }
    if (net::LogLevel() >= net::LOG_ASSOCIATION) {
        net::WriteLogLine(result.failure != TransferFailure::None
                              ? "HTTP transfer failed: " + result.detail
                              : "HTTP " + std::to_string(result.response.status) + " " +
                                    result.response.contentType + ", " +
                                    std::to_string(result.response.bodyBytes) + " bytes");
    }
    return result;
}

std::string UrlEncode(std::string_view text) {
    InitialiseOnce();
    char* escaped = curl_easy_escape(nullptr, text.data(), static_cast<int>(text.size()));
    if (escaped == nullptr) throw std::bad_alloc();
    std::string out(escaped);
    curl_free(escaped);
    return out;
}

}  // namespace dicomlib::web
