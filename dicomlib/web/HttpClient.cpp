#include "web/HttpClient.h"

#include <curl/curl.h>

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
    HttpResponse response;
    const HttpClient::BodySink* sink = nullptr;
    bool tooLarge = false;
};

size_t TakeHeader(char* data, size_t size, size_t count, void* context) {
    auto& t = *static_cast<Transfer*>(context);
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

HttpResult HttpClient::Perform(const std::string& url, const std::string& accept,
                               const std::string* contentType, std::span<const uint8_t> body,
                               const BodySink& sink) {
    CURL* curl = handle_->curl;
    curl_easy_reset(curl);
    handle_->error[0] = '\0';
    Transfer transfer;
    transfer.sink = &sink;

    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, handle_->error);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 5L);
    curl_easy_setopt(curl, CURLOPT_POSTREDIR, static_cast<long>(CURL_REDIR_POST_ALL));
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, CONNECT_SECONDS);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, STALL_SECONDS);
    curl_easy_setopt(curl, CURLOPT_TCP_NODELAY, 1L);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, TakeHeader);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &transfer);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, TakeBody);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &transfer);
    curl_easy_setopt(curl, CURLOPT_USERAGENT, "TESSALY/2.48");

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
        net::WriteLogLine(std::string(contentType != nullptr ? "POST " : "GET ") + url +
                          (contentType != nullptr ? " (" + std::to_string(body.size()) + " bytes)"
                                                  : std::string()));
    }
    const CURLcode code = curl_easy_perform(curl);
    curl_slist_free_all(headers);

    HttpResult result;
    result.response = std::move(transfer.response);
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
