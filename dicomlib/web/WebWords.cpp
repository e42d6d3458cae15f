#include "web/WebWords.h"

#include "web/DicomWeb.h"

namespace dicomlib::web {

std::string_view HttpStatusWords(long status) {
    switch (status) {
        case 200:
            return "OK";
        case 202:
            return "accepted, with failures or warnings";
        case 204:
            return "no content";
        case 400:
            return "bad request";
        case 401:
            return "unauthorized";
        case 403:
            return "forbidden";
        case 404:
            return "not found";
        case 405:
            return "method not allowed";
        case 406:
            return "not acceptable";
        case 407:
            return "proxy authentication required";
        case 409:
            return "conflict";
        case 410:
            return "gone";
        case 413:
            return "payload too large";
        case 415:
            return "unsupported media type";
        case 429:
            return "too many requests";
        case 500:
            return "internal server error";
        case 501:
            return "not implemented";
        case 502:
            return "bad gateway";
        case 503:
            return "service unavailable";
        case 504:
            return "gateway timeout";
    }
    return {};
}

std::string HttpStatusText(long status) {
    const std::string_view words = HttpStatusWords(status);
    return "HTTP " + std::to_string(status) +
           (words.empty() ? std::string() : " (" + std::string(words) + ")");
}

std::string WebOutcomeText(int32_t outcome) {
    if (outcome > 0) return HttpStatusText(outcome);
    switch (static_cast<WebOutcomeCode>(outcome)) {
        case WEB_SUCCESS:
            return "done";
        case WEB_NO_CONNECTION:
            return "cannot connect to the server";
        case WEB_TLS_FAILED:
            return "TLS failed";
        case WEB_TIMED_OUT:
            return "no answer in time";
        case WEB_BROKEN_ANSWER:
            return "the answer broke off";
        case WEB_BAD_URL:
            return "not an http or https URL";
        case WEB_WRONG_CONTENT_TYPE:
            return "an answer of the wrong content type";
        case WEB_NOT_JSON_ARRAY:
            return "an answer that is not a JSON array";
        case WEB_NOT_DICOM_JSON:
            return "JSON that is not the DICOM JSON model";
        case WEB_WRONG_BOUNDARY:
            return "a multipart answer without its boundary";
        case WEB_TRUNCATED_MULTIPART:
            return "a truncated multipart answer";
        case WEB_MALFORMED_MULTIPART:
            return "a multipart answer with unreadable part headers";
        case WEB_NOT_DICOM:
            return "not a DICOM instance";
        case WEB_CANNOT_WRITE:
            return "cannot be written to the disk";
        case WEB_MISSING_INSTANCES:
            return "announced instances did not come";
        case WEB_CANNOT_READ_FILE:
            return "not a DICOM file that can be read to its end";
        case WEB_NOT_STORED:
            return "not stored";
        case WEB_ANSWER_TOO_LARGE:
            return "an answer too large to hold";
        case WEB_REFUSED:
            return "refused arguments";
        case WEB_INTERNAL_ERROR:
            return "failure of the library";
    }
    return "unknown outcome " + std::to_string(outcome);
}

int32_t TransferOutcome(TransferFailure failure) {
    switch (failure) {
        case TransferFailure::None:
            return WEB_SUCCESS;
        case TransferFailure::BadUrl:
            return WEB_BAD_URL;
        case TransferFailure::NoConnection:
            return WEB_NO_CONNECTION;
        case TransferFailure::Tls:
            return WEB_TLS_FAILED;
        case TransferFailure::TimedOut:
            return WEB_TIMED_OUT;
        case TransferFailure::TooLarge:
            return WEB_ANSWER_TOO_LARGE;
        case TransferFailure::Broken:
        case TransferFailure::Stopped:
            break;
    }
    return WEB_BROKEN_ANSWER;
}

std::string ExplainTransfer(const HttpResult& result, std::string_view url) {
    const std::string detail = result.detail.empty() ? std::string() : result.detail + ": ";
    switch (result.failure) {
        case TransferFailure::None:
        case TransferFailure::Stopped:
            return {};
        case TransferFailure::BadUrl:
            return detail + "\"" + std::string(url) +
                   "\" is not a URL of the service; give it as http://host:port/path or "
                   "https://host:port/path, the part before /studies";
        case TransferFailure::NoConnection:
            return detail +
                   "check the host name and port of the URL, that the DICOMweb service runs, "
                   "and the proxy settings (http_proxy, https_proxy, no_proxy)";
        case TransferFailure::Tls:
            return detail +
                   "the server's certificate is checked against the system's certificate "
                   "authorities or the ones given; give the authority that signed it, or a client "
                   "certificate and key when the server asks for one";
        case TransferFailure::TimedOut:
            return detail +
                   "the server did not answer in time; check that it runs and is not "
                   "overloaded";
        case TransferFailure::TooLarge:
            return "the answer is larger than " + std::to_string(BODY_LIMIT >> 20) +
                   " MiB, more than is held for an answer of its kind; ask for less";
        case TransferFailure::Broken:
            break;
    }
    return detail +
           "the connection broke before the answer was whole; the server's log may say "
           "why";
}

std::string BodyExcerpt(std::string_view body, std::size_t most) {
    std::string out;
    bool blank = false;
    for (char c : body) {
        if (out.size() >= most) {
            out += "...";
            break;
        }
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
            blank = !out.empty();
            continue;
        }
        if (blank) out += ' ';
        blank = false;
        const auto byte = static_cast<uint8_t>(c);
        out += byte < 0x20 || byte == 0x7F ? '.' : c;
    }
    return out;
}

std::string ExplainStatus(const HttpResponse& response, bool credentials) {
    std::string advice;
    const long status = response.status;
    if (status == 401) {
        const std::string asks = response.authenticate.empty()
                                     ? std::string("without a WWW-Authenticate header")
                                     : "(" + response.authenticate + ")";
        advice = credentials ? "the server refuses the credentials given " + asks +
                                   "; check the user name and password, or the token"
                             : "the server asks for credentials " + asks +
                                   "; give a user name and password (HTTP basic) or a bearer token";
    } else if (status == 403) {
        advice = "the server refuses this user the resource; its administrator can grant access";
    } else if (status == 404) {
        advice =
            "the server has no such resource; check the service URL (the part before "
            "/studies) and the UIDs";
    } else if (status == 405 || status == 501) {
        advice = "the server does not offer this service at this URL";
    } else if (status == 406) {
        advice = "the server cannot answer in the media type asked for";
    } else if (status == 407) {
        advice =
            "the proxy asks for credentials; give them in the proxy URL of http_proxy or "
            "https_proxy";
    } else if (status == 409) {
        advice = "the server refused the instances";
    } else if (status == 413) {
        advice = "the request is too large for the server; send fewer instances per request";
    } else if (status == 415) {
        advice = "the server does not take the media type sent";
    } else if (status == 429 || status == 503) {
        advice = "the server is busy; try again later";
    } else if (status >= 500) {
        advice = "the server failed; its log says why";
    } else if (status >= 300 && status < 400) {
        advice = "the server sends us elsewhere more often than is followed";
    } else {
        advice = "the server does not take the request";
    }
    const std::string said = BodyExcerpt(response.body);
    return advice + (said.empty() ? "" : "; it says: " + said);
}

}  // namespace dicomlib::web
