// Bodies of type multipart/related, as DICOMweb carries instances both ways: the reader takes a
// body in pieces as they arrive and hands on each part once it is whole; the writer lays parts
// out between boundary lines. Both work on bytes alone and know nothing of HTTP.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace dicomlib::web {

// A Content-Type value: the media type in lower case and its parameters, names in lower case,
// values without their quotes.
struct MediaType {
    std::string type;
    std::vector<std::pair<std::string, std::string>> parameters;

    // The value of the parameter, "" when it is absent.
    std::string Parameter(std::string_view name) const;
};

MediaType ParseMediaType(std::string_view text);

struct MultipartPart {
    std::string contentType;  // the part's Content-Type header, "" when it has none
    std::vector<uint8_t> body;
};

enum class MultipartState {
    Reading,        // more bytes are expected
    Complete,       // the closing boundary line has come
    WrongBoundary,  // no line in the body is the boundary we were told of
    Truncated,      // the body ended before its closing boundary line
    Malformed,      // a part's headers are too long or not headers at all
    Stopped,        // the part handler asked to stop
};

class MultipartReader {
  public:
    // Returns false to stop reading.
    using PartHandler = std::function<bool(MultipartPart& part)>;

    // Bytes the reader looks through for the first boundary line before it gives up on it.
    static constexpr std::size_t PREAMBLE_LIMIT = 64 * 1024;
    // The most bytes of headers one part may carry.
    static constexpr std::size_t HEADER_LIMIT = 16 * 1024;

    explicit MultipartReader(std::string_view boundary);

    // Takes the next bytes of the body; each part that becomes whole goes to onPart. Bytes after
    // the closing boundary line are ignored. The state afterwards: Reading, or where it ended.
    MultipartState Feed(std::span<const uint8_t> bytes, const PartHandler& onPart);
    // The body has ended: Complete once the closing line came, otherwise what went wrong.
    MultipartState Finish();

    MultipartState State() const { return state_; }
    std::size_t PartsRead() const { return parts_; }
    // What went wrong, for people: what the body holds where the boundary line was looked for,
    // or where it ended. Empty while nothing did.
    const std::string& Detail() const { return detail_; }

  private:
    enum class Stage { Preamble, Headers, Body, Epilogue };

    // Looks for a boundary line in buffer_ from scanFrom_; true with where the line starts and
    // where the next stage begins, false when more bytes are needed.
    bool FindBoundaryLine(std::size_t& lineStart, std::size_t& next, bool& closing);
    bool TakeHeaders();
    void Fail(MultipartState state, std::string detail);

    std::string delimiter_;  // CR LF "--" boundary
    std::vector<uint8_t> buffer_;
    std::size_t scanFrom_ = 0;
    std::size_t received_ = 0;
    std::size_t parts_ = 0;
    Stage stage_ = Stage::Preamble;
    MultipartState state_ = MultipartState::Reading;
    std::string detail_;
    MultipartPart part_;
};

// A boundary of random letters and digits, so that no instance holds its line.
std::string MakeBoundary();

// Appends one part: the boundary line, its Content-Type, a blank line, the bytes.
void AppendPart(std::vector<uint8_t>& body, std::string_view boundary, std::string_view contentType,
                std::span<const uint8_t> bytes);
// Appends the closing boundary line.
void CloseParts(std::vector<uint8_t>& body, std::string_view boundary);

}  // namespace dicomlib::web
