// The multipart reader over bodies cut at every byte, as the network may cut them: what the
// writer lays out and what other servers send (a preamble, padding after a boundary, a part
// without headers, an epilogue) reads back part for part; bodies that break off, name another
// boundary or carry broken headers end as such, never as complete.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "web/Multipart.h"

using namespace dicomlib::web;

namespace {

struct Read {
    MultipartState state = MultipartState::Reading;
    std::vector<std::pair<std::string, std::string>> parts;  // content type, body
    std::string detail;
};

std::span<const uint8_t> Bytes(const std::string& text, std::size_t from, std::size_t to) {
    return {reinterpret_cast<const uint8_t*>(text.data()) + from, to - from};
}

// The body fed in pieces cut at the given places.
Read ReadCut(const std::string& boundary, const std::string& body, std::vector<std::size_t> cuts) {
    MultipartReader reader(boundary);
    Read read;
    cuts.push_back(body.size());
    std::size_t from = 0;
    for (std::size_t cut : cuts) {
        reader.Feed(Bytes(body, from, cut), [&](MultipartPart& part) {
            read.parts.emplace_back(part.contentType,
                                    std::string(part.body.begin(), part.body.end()));
            return true;
        });
        from = cut;
    }
    read.state = reader.Finish();
    read.detail = reader.Detail();
    return read;
}

// The same parts however the body is cut: whole, at every single place, and a byte at a time.
Read ReadEveryWay(const std::string& boundary, const std::string& body) {
    const Read whole = ReadCut(boundary, body, {});
    for (std::size_t cut = 0; cut <= body.size(); ++cut) {
        const Read split = ReadCut(boundary, body, {cut});
        EXPECT_EQ(split.state, whole.state) << "cut at " << cut;
        EXPECT_EQ(split.parts, whole.parts) << "cut at " << cut;
    }
    std::vector<std::size_t> everyByte;
    for (std::size_t i = 1; i < body.size(); ++i)
        everyByte.push_back(i);
    EXPECT_EQ(ReadCut(boundary, body, everyByte).parts, whole.parts);
    return whole;
}

std::vector<uint8_t> Of(const std::string& text) {
    return {text.begin(), text.end()};
}

}  // namespace

TEST(MultipartReader, ReadsPartsHoweverTheBodyIsCut) {
    std::vector<uint8_t> written;
    static const char BYTES[] = "DICM\r\n--b0x\0\xFF\r\n--b\r\n-";  // almost boundary lines
    const std::string instance(BYTES, sizeof BYTES - 1);
    AppendPart(written, "b0", "application/dicom", Of(instance));
    AppendPart(written, "b0", "application/dicom", {});
    CloseParts(written, "b0");
    const Read ours = ReadEveryWay("b0", std::string(written.begin(), written.end()));
    EXPECT_EQ(ours.state, MultipartState::Complete);
    EXPECT_EQ(ours.parts, (std::vector<std::pair<std::string, std::string>>{
                              {"application/dicom", instance}, {"application/dicom", ""}}));

    const std::string theirs =
        "a preamble\r\n"
        "--b0 \t\r\n"  // padding after a boundary
        "Content-Length: 3\r\ncontent-type :  application/dicom \r\n\r\n"
        "abc\r\n--b0x is no boundary line"  // a longer boundary is body
        "\r\n--b0\r\n\r\nno headers\r\n--b0--\r\nan epilogue\r\n--b0\r\n";
    const Read read = ReadEveryWay("b0", theirs);
    EXPECT_EQ(read.state, MultipartState::Complete);
    EXPECT_EQ(read.parts,
              (std::vector<std::pair<std::string, std::string>>{
                  {"application/dicom", "abc\r\n--b0x is no boundary line"}, {"", "no headers"}}));
}

TEST(MultipartReader, BodiesThatCannotBeReadEndAsWhatWentWrong) {
    const std::string body =
        "--b0\r\nContent-Type: a/b\r\n\r\nfirst\r\n--b0\r\n\r\nsecond\r\n--b0--";
    // Every body that stops short of the closing line is truncated, with what came whole.
    for (std::size_t end = 1; end < body.size() - 1; ++end) {
        const Read read = ReadCut("b0", body.substr(0, end), {});
        EXPECT_EQ(read.state, MultipartState::Truncated) << end;
        EXPECT_LE(read.parts.size(), 1u);
    }
    EXPECT_EQ(ReadCut("b0", body.substr(0, 44), {}).detail,
              "the body ends inside part 2 after 2 bytes, before its boundary line");
    EXPECT_EQ(ReadCut("b0", "", {}).state, MultipartState::Truncated);

    const Read other = ReadCut("b1", body, {});
    EXPECT_EQ(other.state, MultipartState::WrongBoundary);
    EXPECT_EQ(other.detail, "no line of the body is the boundary; the body begins \"--b0\"");
    EXPECT_EQ(ReadCut("b0", std::string(70000, '-'), {}).state, MultipartState::WrongBoundary);

    EXPECT_EQ(ReadCut("b0", "--b0\r\nno colon here\r\n\r\nx\r\n--b0--", {}).state,
              MultipartState::Malformed);
    EXPECT_EQ(ReadCut("b0", "--b0\r\nX: " + std::string(20000, 'y'), {}).state,
              MultipartState::Malformed);

    MultipartReader stopped("b0");
    EXPECT_EQ(stopped.Feed(Bytes(body, 0, body.size()), [](MultipartPart&) { return false; }),
              MultipartState::Stopped);
    EXPECT_EQ(stopped.PartsRead(), 1u);
}

TEST(MediaType, ParametersQuotedOrNotInAnyCase) {
    const MediaType m = ParseMediaType(
        " Multipart/Related ; TYPE=\"application/dicom\";boundary=\"a;b\\\"c\" ; "
        "transfer-syntax=*");
    EXPECT_EQ(m.type, "multipart/related");
    EXPECT_EQ(m.Parameter("type"), "application/dicom");
    EXPECT_EQ(m.Parameter("boundary"), "a;b\"c");
    EXPECT_EQ(m.Parameter("transfer-syntax"), "*");
    EXPECT_EQ(m.Parameter("charset"), "");
    EXPECT_EQ(ParseMediaType("application/dicom+json").type, "application/dicom+json");
}
