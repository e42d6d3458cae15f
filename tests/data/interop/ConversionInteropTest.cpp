// Every conversion tessaly-cli writes is judged by DCMTK and dicom3tools, never by our own
// reader: the file must parse in dcmdump without a warning, dciodvfy must find no error the
// input did not have, and once DCMTK has decompressed both to explicit VR little endian, the
// converted data set must hold the same elements and the same pixels as the original.
#include <gtest/gtest.h>

#include <cctype>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "support/DataSetBuilder.h"
#include "support/TestSupport.h"

namespace fs = std::filesystem;
using testsupport::DataSetBuilder;
using testsupport::RunCommand;

namespace {

const char* const kTargets[] = {"implicit", "explicit", "big", "jpeg-lossless"};

struct Line {
    std::string tag;  // "(gggg,eeee)" at its depth
    std::string vr;
    std::string value;
    std::string length;
};

bool IsHexList(const std::string& s) {
    if (s.empty()) return false;
    for (char c : s) {
        if (!std::isxdigit(static_cast<unsigned char>(c)) && c != '\\') return false;
    }
    return true;
}

// A value as bytes where dcmdump shows bytes or words, so that OB, OW and UN compare equal.
std::string Canonical(const Line& l) {
    auto trimmed = [](std::string v) {
        while (!v.empty() && (v.back() == ' ' || v.back() == '\0'))
            v.pop_back();
        return v;
    };
    if (l.value.size() >= 2 && l.value.front() == '[' && l.value.back() == ']') {
        return trimmed(l.value.substr(1, l.value.size() - 2));
    }
    if (!IsHexList(l.value)) return l.value;
    std::string bytes;
    std::stringstream in(l.value);
    std::string piece;
    while (std::getline(in, piece, '\\')) {
        const unsigned long v = std::stoul(piece, nullptr, 16);
        if (piece.size() == 4) {
            bytes += static_cast<char>(v & 0xFF);
            bytes += static_cast<char>(v >> 8);
        } else {
            bytes += static_cast<char>(v);
        }
    }
    return l.vr == "OB" || l.vr == "OW" ? bytes : trimmed(bytes);
}

// The data set lines of dcmdump +L, keyed by their order; the meta group and group lengths
// (which DCMTK writes as it likes) are left out.
std::vector<Line> DumpLines(const fs::path& file) {
    auto dump = RunCommand({"dcmdump", "+L", "-Un", "-q", file.string()});
    std::vector<Line> lines;
    std::istringstream in(dump.output);
    std::string raw;
    while (std::getline(in, raw)) {
        const std::size_t open = raw.find('(');
        if (open == std::string::npos || raw.size() < open + 15 || raw[open + 10] != ')') continue;
        Line l;
        l.tag = raw.substr(0, open + 11);
        if (raw.compare(open + 1, 4, "0002") == 0 || raw.compare(open + 6, 4, "0000") == 0) {
            continue;
        }
        l.vr = raw.substr(open + 12, 2);
        const std::size_t hash = raw.rfind('#');
        std::string value = raw.substr(open + 15, hash - open - 15);
        while (!value.empty() && value.back() == ' ')
            value.pop_back();
        l.value = value;
        l.length = raw.substr(hash + 1, raw.find(',', hash) - hash - 1);
        lines.push_back(l);
    }
    return lines;
}

std::set<std::string> DciodvfyErrors(const fs::path& file) {
    auto result = RunCommand({"dciodvfy", file.string()});
    std::set<std::string> errors;
    std::istringstream in(result.output + result.errors);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("Error", 0) == 0) errors.insert(line);
    }
    return errors;
}

class ConversionInterop : public testing::Test {
  protected:
    void SetUp() override {
        for (const char* tool : {"dcmdump", "dcmdjpeg", "dcmcjpeg", "dcmconv", "dciodvfy"}) {
            if (!testsupport::ToolAvailable(tool)) GTEST_SKIP() << "needs " << tool;
        }
        if (testsupport::PydicomTestFiles().empty()) GTEST_SKIP() << "needs pydicom's files";
    }

    // DCMTK's own decompression to explicit VR little endian.
    fs::path Normalised(const fs::path& file) {
        const fs::path out = dir_ / (file.filename().string() + ".norm");
        auto r = RunCommand({"dcmdjpeg", file.string(), out.string()});
        EXPECT_EQ(r.exitCode, 0) << r.errors;
        return out;
    }

    // Converts source to target with tessaly-cli and judges the result.
    void Check(const fs::path& source, const std::string& target, bool expectRefusal = false) {
        SCOPED_TRACE(source.filename().string() + " -> " + target);
        const fs::path out = dir_ / (source.stem().string() + "." + target + ".dcm");
        auto convert = RunCommand(
            {testsupport::CliPath(), "convert", source.string(), out.string(), "--ts", target});
        if (expectRefusal) {
            EXPECT_EQ(convert.exitCode, 1);
            EXPECT_FALSE(convert.errors.empty());
            EXPECT_FALSE(fs::exists(out));
            return;
        }
        ASSERT_EQ(convert.exitCode, 0) << convert.errors;
        auto dump = RunCommand({"dcmdump", out.string()});
        EXPECT_EQ(dump.exitCode, 0);
        EXPECT_EQ(dump.errors, "");  // no warnings

        const std::set<std::string> before = DciodvfyErrors(source);
        for (const auto& error : DciodvfyErrors(out)) {
            EXPECT_TRUE(before.count(error)) << "new dciodvfy error: " << error;
        }

        const auto expected = DumpLines(Normalised(source));
        const auto actual = DumpLines(Normalised(out));
        ASSERT_EQ(actual.size(), expected.size());
        for (std::size_t i = 0; i < actual.size(); ++i) {
            const Line& a = actual[i];
            const Line& e = expected[i];
            ASSERT_EQ(a.tag, e.tag);
            const bool isPrivate =
                (std::stoul(e.tag.substr(e.tag.find('(') + 1, 4), nullptr, 16) & 1) != 0;
            if (isPrivate) continue;  // without a VR of their own, implicit files lose theirs
            const bool pixels = e.tag.find("(7fe0,0010)") != std::string::npos;
            if (pixels && target == "jpeg-lossless") {
                // Bytes beyond the frames (odd padding of some files) are not compressed.
                const std::string want = Canonical(e), got = Canonical(a);
                EXPECT_EQ(got, want.substr(0, got.size()));
                EXPECT_GE(got.size() + 256, want.size());
                continue;
            }
            EXPECT_EQ(Canonical(a), Canonical(e)) << e.tag << " " << e.vr;
            // Tags younger than our dictionary leave an implicit file as UN.
            if (!pixels && a.vr != "UN") {
                EXPECT_EQ(a.vr, e.vr) << e.tag;
            }
        }
    }

    // The file in another syntax, written by DCMTK.
    fs::path Dcmtk(const fs::path& source, const std::string& syntax) {
        const fs::path out = dir_ / (source.stem().string() + ".dcmtk-" + syntax + ".dcm");
        std::vector<std::string> argv;
        if (syntax == "jpeg-lossless") {
            argv = {"dcmcjpeg", "+e1", source.string(), out.string()};
        } else if (syntax == "baseline") {
            argv = {"dcmcjpeg", "+eb", source.string(), out.string()};
        } else {
            const std::map<std::string, std::string> option = {
                {"implicit", "+ti"}, {"explicit", "+te"}, {"big", "+tb"}};
            argv = {"dcmconv", option.at(syntax), source.string(), out.string()};
        }
        auto r = RunCommand(argv);
        EXPECT_EQ(r.exitCode, 0) << r.errors;
        return out;
    }

    // A CT-like grayscale image as a secondary capture, explicit VR little endian.
    fs::path Generated(uint16_t bits, uint16_t rows, uint16_t columns, const std::string& name) {
        std::vector<uint8_t> pixels(std::size_t{rows} * columns * (bits / 8));
        for (uint16_t y = 0; y < rows; ++y) {
            for (uint16_t x = 0; x < columns; ++x) {
                const int dx = x - columns / 2, dy = y - rows / 2;
                const int body = dx * dx + dy * dy < rows * columns / 5 ? 1 : 0;
                const int value = body * (bits == 8 ? 120 : 1100) + ((x * 7 + y * 13) % 31) +
                                  (x / 9) * (bits == 8 ? 1 : 9);
                const std::size_t i = std::size_t{y} * columns + x;
                if (bits == 8) {
                    pixels[i] = static_cast<uint8_t>(value);
                } else {
                    pixels[2 * i] = static_cast<uint8_t>(value);
                    pixels[2 * i + 1] = static_cast<uint8_t>(value >> 8);
                }
            }
        }
        DataSetBuilder b(true, false);
        b.Text(0x0008, 0x0016, "UI", std::string("1.2.840.10008.5.1.4.1.1.7") + '\0')
            .Text(0x0008, 0x0018, "UI", "1.2.826.0.1.3680043.2.7251.1." + std::to_string(bits))
            .Text(0x0008, 0x0020, "DA", "20261208")
            .Text(0x0008, 0x0060, "CS", "OT")
            .Text(0x0008, 0x0064, "CS", "WSD ")
            .Text(0x0010, 0x0010, "PN", "TEST^IMAGE")
            .Text(0x0010, 0x0020, "LO", "ID" + std::to_string(bits))
            .Text(0x0020, 0x000D, "UI", "1.2.826.0.1.3680043.2.7251.2")
            .Text(0x0020, 0x000E, "UI", "1.2.826.0.1.3680043.2.7251.3")
            .US(0x0028, 0x0002, 1)
            .Text(0x0028, 0x0004, "CS", "MONOCHROME2 ")
            .US(0x0028, 0x0010, rows)
            .US(0x0028, 0x0011, columns)
            .US(0x0028, 0x0100, bits)
            .US(0x0028, 0x0101, bits == 8 ? 8 : 12)
            .US(0x0028, 0x0102, bits == 8 ? 7 : 11)
            .US(0x0028, 0x0103, 0)
            .Element(0x7FE0, 0x0010, bits == 8 ? "OB" : "OW", pixels);
        const fs::path out = dir_ / name;
        testsupport::WriteFileBytes(out, testsupport::Part10File("1.2.840.10008.1.2.1", b.Bytes()));
        return out;
    }

    testsupport::TempDir dir_;
};

}  // namespace

TEST_F(ConversionInterop, EveryPairOfWrittenSyntaxesOnRealAndGeneratedImages) {
    const fs::path pydicom = testsupport::PydicomTestFiles();
    std::vector<fs::path> images = {pydicom / "CT_small.dcm", Generated(16, 96, 80, "gen16.dcm"),
                                    Generated(8, 64, 70, "gen8.dcm")};
    for (const fs::path& image : images) {
        for (const char* from : kTargets) {
            const fs::path source = Dcmtk(image, from);
            for (const char* to : kTargets)
                Check(source, to);
        }
    }
}

TEST_F(ConversionInterop, RealFilesOfEveryKind) {
    const fs::path p = testsupport::PydicomTestFiles();
    for (const char* name :
         {"MR_small.dcm", "MR_small_implicit.dcm", "MR_small_bigendian.dcm", "MR_small_padded.dcm",
          "rtplan.dcm", "test-SR.dcm", "waveform_ecg.dcm"}) {
        for (const char* to : kTargets)
            Check(p / name, to);
    }
    // Images the lossless codec is not for: 32-bit doses and 1-bit masks.
    for (const char* name : {"rtdose.dcm", "liver_1frame.dcm"}) {
        for (const char* to : {"implicit", "explicit", "big"})
            Check(p / name, to);
        Check(p / name, "jpeg-lossless", true);
    }
}

TEST_F(ConversionInterop, BaselineJpegSourcesDecodeAsDcmtkDecodesThem) {
    const fs::path p = testsupport::PydicomTestFiles();
    // Colour: YCbCr as the data set says, RGB without a transform, and chroma subsampled.
    for (const char* name : {"SC_rgb_jpeg_dcmtk.dcm", "SC_jpeg_no_color_transform.dcm",
                             "SC_rgb_dcmtk_+eb+cy+np.dcm", "SC_rgb_dcmtk_+eb+cr.dcm"}) {
        for (const char* to : {"implicit", "explicit", "big"})
            Check(p / name, to);
        Check(p / name, "jpeg-lossless", true);
    }
    // Grayscale baseline goes to every syntax, lossless JPEG included.
    const fs::path gray = Dcmtk(Generated(8, 64, 70, "gray8.dcm"), "baseline");
    for (const char* to : kTargets)
        Check(gray, to);
}

TEST_F(ConversionInterop, ConvertingToTheFilesOwnSyntaxCopiesItByteForByte) {
    const fs::path source = testsupport::PydicomTestFiles() / "MR_small_bigendian.dcm";
    const fs::path out = dir_ / "copy.dcm";
    auto r = RunCommand({testsupport::CliPath(), "convert", source.string(), out.string(), "--ts",
                         "1.2.840.10008.1.2.2"});
    ASSERT_EQ(r.exitCode, 0);
    EXPECT_EQ(testsupport::ReadFileBytes(out), testsupport::ReadFileBytes(source));
}
