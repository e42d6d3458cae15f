// The words for what goes wrong between us and a DICOMweb server: HTTP statuses, transfers
// that fail, and the explanation of a failed answer with what the operator can do.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "web/HttpClient.h"

namespace dicomlib::web {

// "not found", "unauthorized", ...; "" for a status without words of its own.
std::string_view HttpStatusWords(long status);
// "HTTP 404 (not found)".
std::string HttpStatusText(long status);

// The outcome code of a transfer that failed.
int32_t TransferOutcome(TransferFailure failure);

// Why a transfer to url failed, with what to do.
std::string ExplainTransfer(const HttpResult& result, std::string_view url);

// Why an answer with a failing status came, with what to do, and what the server said in its
// body. credentials: whether the request carried a user name or a token.
std::string ExplainStatus(const HttpResponse& response, bool credentials);

// A body as one line for an explanation: runs of blanks and line ends made one space, control
// characters dots, cut at most characters.
std::string BodyExcerpt(std::string_view body, std::size_t most = 300);

}  // namespace dicomlib::web
