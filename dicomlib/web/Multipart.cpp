#include "web/Multipart.h"

#include <algorithm>
#include <random>

namespace dicomlib::web {
namespace {

char Lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string LowerText(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(), Lower);
    return out;
}

std::string_view TrimBlanks(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

// What a stretch of bytes looks like, for an explanation: printable ASCII kept, the rest as
// dots, cut at the first line end.
std::string Shown(std::string_view bytes, std::size_t most = 80) {
    std::string out;
    for (char c : bytes) {
        if (c == '\r' || c == '\n' || out.size() == most) break;
        out += c >= 0x20 && c < 0x7F ? c : '.';
    }
    return out;
}

std::string_view AsText(std::span<const uint8_t> bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

void Append(std::vector<uint8_t>& body, std::string_view text) {
    body.insert(body.end(), text.begin(), text.end());
}

}  // namespace

std::string MediaType::Parameter(std::string_view name) const {
    for (const auto& [key, value] : parameters)
        if (key == name) return value;
    return {};
}

MediaType ParseMediaType(std::string_view text) {
    MediaType media;
    std::size_t at = text.find(';');
    media.type = LowerText(TrimBlanks(text.substr(0, at)));
    while (at != std::string_view::npos && at < text.size()) {
        ++at;  // past the ';'
        const std::size_t eq = text.find('=', at);
        if (eq == std::string_view::npos) break;
        const std::string name = LowerText(TrimBlanks(text.substr(at, eq - at)));
        std::size_t pos = eq + 1;
        while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\t'))
            ++pos;
        std::string value;
        if (pos < text.size() && text[pos] == '"') {
            // A quoted string: a backslash takes the next character as it is.
            for (++pos; pos < text.size() && text[pos] != '"'; ++pos) {
                if (text[pos] == '\\' && pos + 1 < text.size()) ++pos;
                value += text[pos];
            }
            at = text.find(';', pos);
        } else {
            at = text.find(';', pos);
            value = std::string(TrimBlanks(text.substr(pos, at - pos)));
        }
        if (!name.empty()) media.parameters.emplace_back(name, std::move(value));
    }
    return media;
}

MultipartReader::MultipartReader(std::string_view boundary)
    : delimiter_("\r\n--" + std::string(boundary)) {
    // The first boundary line may open the body: a line end in front of it makes every
    // boundary line look alike.
    buffer_ = {'\r', '\n'};
}

void MultipartReader::Fail(MultipartState state, std::string detail) {
    state_ = state;
    detail_ = std::move(detail);
    buffer_.clear();
    buffer_.shrink_to_fit();
}

bool MultipartReader::FindBoundaryLine(std::size_t& lineStart, std::size_t& next, bool& closing) {
    const auto begin = buffer_.begin();
    for (;;) {
        const auto found = std::search(begin + static_cast<std::ptrdiff_t>(scanFrom_),
                                       buffer_.end(), delimiter_.begin(), delimiter_.end());
        if (found == buffer_.end()) {
            // The delimiter may begin in the last bytes: look there again next time.
            const std::size_t keep = delimiter_.size() - 1;
            scanFrom_ = std::max(scanFrom_, buffer_.size() > keep ? buffer_.size() - keep : 0);
            return false;
        }
        const auto start = static_cast<std::size_t>(found - begin);
        std::size_t pos = start + delimiter_.size();
        // "--" closes the body; otherwise blanks may follow, then the line end. Anything else
        // makes it a line that merely begins like the boundary.
        if (buffer_.size() - pos < 2) {
            scanFrom_ = start;
            return false;
        }
        if (buffer_[pos] == '-' && buffer_[pos + 1] == '-') {
            lineStart = start;
            next = pos + 2;
            closing = true;
            return true;
        }
        while (pos < buffer_.size() && (buffer_[pos] == ' ' || buffer_[pos] == '\t'))
            ++pos;
        if (buffer_.size() - pos < 2) {
            scanFrom_ = start;
            return false;
        }
        if (buffer_[pos] == '\r' && buffer_[pos + 1] == '\n') {
            lineStart = start;
            next = pos + 2;
            closing = false;
            return true;
        }
        scanFrom_ = start + 1;
    }
}

// The headers of a part, up to the blank line that ends them; only Content-Type is kept.
bool MultipartReader::TakeHeaders() {
    static constexpr std::string_view BLANK_LINE = "\r\n\r\n";
    std::size_t end = 0, bodyStart = 0;
    if (buffer_.size() >= 2 && buffer_[0] == '\r' && buffer_[1] == '\n') {
        bodyStart = 2;  // a part without headers
    } else {
        const auto found =
            std::search(buffer_.begin(), buffer_.end(), BLANK_LINE.begin(), BLANK_LINE.end());
        if (found == buffer_.end()) {
            if (buffer_.size() > HEADER_LIMIT)
                Fail(MultipartState::Malformed,
                     "part " + std::to_string(parts_ + 1) + " has more than 16 KiB of headers");
            return false;
        }
        end = static_cast<std::size_t>(found - buffer_.begin());
        bodyStart = end + BLANK_LINE.size();
    }
    if (end > HEADER_LIMIT) {
        Fail(MultipartState::Malformed,
             "part " + std::to_string(parts_ + 1) + " has more than 16 KiB of headers");
        return false;
    }
    const std::string_view headers = AsText({buffer_.data(), end});
    part_ = {};
    for (std::size_t at = 0; at < headers.size();) {
        std::size_t lineEnd = headers.find("\r\n", at);
        if (lineEnd == std::string_view::npos) lineEnd = headers.size();
        const std::string_view line = headers.substr(at, lineEnd - at);
        at = lineEnd + 2;
        const std::size_t colon = line.find(':');
        if (colon == std::string_view::npos || colon == 0) {
            Fail(MultipartState::Malformed, "part " + std::to_string(parts_ + 1) +
                                                " has a header line without a name: \"" +
                                                Shown(line) + "\"");
            return false;
        }
        if (LowerText(TrimBlanks(line.substr(0, colon))) == "content-type")
            part_.contentType = std::string(TrimBlanks(line.substr(colon + 1)));
    }
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(bodyStart));
    scanFrom_ = 0;
    return true;
}

MultipartState MultipartReader::Feed(std::span<const uint8_t> bytes, const PartHandler& onPart) {
    if (state_ != MultipartState::Reading) return state_;
    received_ += bytes.size();
    if (stage_ == Stage::Epilogue) return state_;
    buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
    for (;;) {
        if (stage_ == Stage::Headers) {
            if (!TakeHeaders()) return state_;
            stage_ = Stage::Body;
        }
        std::size_t lineStart = 0, next = 0;
        bool closing = false;
        if (!FindBoundaryLine(lineStart, next, closing)) {
            if (stage_ == Stage::Preamble && buffer_.size() > PREAMBLE_LIMIT) {
                Fail(MultipartState::WrongBoundary,
                     "no line of the first 64 KiB is the boundary; the body begins \"" +
                         Shown(AsText(buffer_).substr(2)) + "\"");
            }
            return state_;
        }
        std::vector<uint8_t> rest(buffer_.begin() + static_cast<std::ptrdiff_t>(next),
                                  buffer_.end());
        if (stage_ == Stage::Body) {
            buffer_.resize(lineStart);
            part_.body = std::move(buffer_);
            ++parts_;
            if (!onPart(part_)) {
                Fail(MultipartState::Stopped, {});
                return state_;
            }
            part_ = {};
        }
        buffer_ = std::move(rest);
        scanFrom_ = 0;
        if (closing) {
            stage_ = Stage::Epilogue;
            state_ = MultipartState::Complete;
            buffer_.clear();
            return state_;
        }
        stage_ = Stage::Headers;
    }
}

MultipartState MultipartReader::Finish() {
    if (state_ != MultipartState::Reading) return state_;
    switch (stage_) {
        case Stage::Preamble:
            if (received_ == 0) {
                Fail(MultipartState::Truncated, "the body is empty");
            } else if (std::search(buffer_.begin(), buffer_.end(), delimiter_.begin(),
                                   delimiter_.end()) != buffer_.end() ||
                       std::string_view(delimiter_).starts_with(AsText(buffer_))) {
                // The first boundary line, or the start of it, and then the end.
                Fail(MultipartState::Truncated, "the body ends in its first boundary line");
            } else {
                Fail(MultipartState::WrongBoundary,
                     "no line of the body is the boundary; the body begins \"" +
                         Shown(AsText(buffer_).substr(2)) + "\"");
            }
            break;
        case Stage::Headers:
        case Stage::Body:
            Fail(MultipartState::Truncated,
                 "the body ends inside part " + std::to_string(parts_ + 1) + " after " +
                     std::to_string(buffer_.size()) + " bytes, before its boundary line");
            break;
        case Stage::Epilogue:
            break;
    }
    return state_;
}

std::string MakeBoundary() {
    static constexpr char LETTERS[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    std::random_device seed;
    std::mt19937_64 random(seed());
    std::uniform_int_distribution<std::size_t> pick(0, sizeof LETTERS - 2);
    std::string boundary = "tessaly-";
    for (int i = 0; i < 32; ++i)
        boundary += LETTERS[pick(random)];
    return boundary;
}

void AppendPart(std::vector<uint8_t>& body, std::string_view boundary, std::string_view contentType,
                std::span<const uint8_t> bytes) {
    Append(body, "--");
    Append(body, boundary);
    Append(body, "\r\nContent-Type: ");
    Append(body, contentType);
    Append(body, "\r\n\r\n");
    body.insert(body.end(), bytes.begin(), bytes.end());
    Append(body, "\r\n");
}

void CloseParts(std::vector<uint8_t>& body, std::string_view boundary) {
    Append(body, "--");
    Append(body, boundary);
    Append(body, "--\r\n");
}

}  // namespace dicomlib::web
