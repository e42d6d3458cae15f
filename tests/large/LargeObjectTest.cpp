// A multi-frame image of more than 2 GB, written here as a sparse file (zeros but for a stamp at
// the start of each frame), goes through the command line: sent into DCMTK's storescp, received
// by our provider from storescu, dumped, converted to JPEG-LS and back. Each run is a process of
// its own whose peak resident memory the kernel reports when it ends; it must stay under a bound
// that has nothing to do with the image's size. pydicom judges that what arrived and what came back
// are the image sent.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "support/DataSetBuilder.h"
#include "support/Peers.h"
#include "support/TestSupport.h"

namespace fs = std::filesystem;
using testsupport::RunCommand;

namespace {

constexpr uint32_t ROWS = 512;
constexpr uint32_t COLUMNS = 512;
constexpr uint32_t FRAMES = 4200;
constexpr uint64_t FRAME_BYTES = uint64_t{ROWS} * COLUMNS * 2;
constexpr uint64_t PIXEL_BYTES = FRAME_BYTES * FRAMES;  // 2.2 GB
constexpr uint64_t MEMORY_BOUND = uint64_t{256} << 20;
// The source is sparse; storescp's copy and the converted one back are not.
constexpr uint64_t DISK_NEEDED = 3 * PIXEL_BYTES;

// Writes the image: the header, then each frame's number in its first samples, the rest holes.
bool WriteLargeImage(const fs::path& path) {
    using testsupport::PaddedText;
    const std::vector<uint8_t> body =
        testsupport::DataSetBuilder(true, false)
            .Element(0x0008, 0x0016, "UI", PaddedText("1.2.840.10008.5.1.4.1.1.7.3", 0))
            .Element(0x0008, 0x0018, "UI", PaddedText("1.2.826.0.1.3680043.2.7251.23.1", 0))
            .Text(0x0008, 0x0060, "CS", "OT")
            .Text(0x0010, 0x0010, "PN", "LARGE^OBJECT")
            .Text(0x0010, 0x0020, "LO", "LARGE1")
            .Element(0x0020, 0x000D, "UI", PaddedText("1.2.826.0.1.3680043.2.7251.23.2", 0))
            .Element(0x0020, 0x000E, "UI", PaddedText("1.2.826.0.1.3680043.2.7251.23.3", 0))
            .US(0x0028, 0x0002, 1)
            .Text(0x0028, 0x0004, "CS", "MONOCHROME2 ")
            .Text(0x0028, 0x0008, "IS", std::to_string(FRAMES))
            .US(0x0028, 0x0010, ROWS)
            .US(0x0028, 0x0011, COLUMNS)
            .US(0x0028, 0x0100, 16)
            .US(0x0028, 0x0101, 16)
            .US(0x0028, 0x0102, 15)
            .US(0x0028, 0x0103, 0)
            .Header(0x7FE0, 0x0010, "OW", static_cast<uint32_t>(PIXEL_BYTES))
            .Bytes();
    const std::vector<uint8_t> header = testsupport::Part10File("1.2.840.10008.1.2.1", body);
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return false;
    bool ok = std::fwrite(header.data(), 1, header.size(), file) == header.size();
    for (uint32_t f = 0; ok && f < FRAMES; ++f) {
        const uint8_t stamp[4] = {uint8_t(f), uint8_t(f >> 8), uint8_t(f * 7), uint8_t(f >> 4)};
        ok = std::fseek(file, static_cast<long>(header.size() + f * FRAME_BYTES), SEEK_SET) == 0 &&
             std::fwrite(stamp, 1, sizeof stamp, file) == sizeof stamp;
    }
    ok = std::fclose(file) == 0 && ok;
    std::error_code ec;
    fs::resize_file(path, header.size() + PIXEL_BYTES, ec);
    return ok && !ec;
}

std::string Digest(const fs::path& file) {
    const auto r =
        RunCommand({"/usr/bin/python3",
                    (testsupport::SourceDir() / "tests/large/digest.py").string(), file.string()});
    EXPECT_EQ(r.exitCode, 0) << r.errors;
    return r.output;
}

// Runs tessaly-cli and checks it did its job within the memory bound.
testsupport::CommandResult Cli(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {testsupport::CliPath()};
    argv.insert(argv.end(), args.begin(), args.end());
    auto r = RunCommand(argv);
    EXPECT_EQ(r.exitCode, 0) << args[0] << ": " << r.errors;
    EXPECT_LT(r.peakResidentBytes, MEMORY_BOUND) << args[0];
    std::printf("tessaly-cli %s: peak resident %.1f MB\n", args[0].c_str(),
                static_cast<double>(r.peakResidentBytes) / 1e6);
    return r;
}

}  // namespace

TEST(LargeObject, SentDumpedAndConvertedBothWaysInBoundedMemory) {
    for (const char* tool : {"storescp", "storescu", "/usr/bin/python3"}) {
        if (!testsupport::ToolAvailable(tool)) GTEST_SKIP() << tool << " is not installed";
    }
    testsupport::TempDir dir;
    const fs::space_info space = fs::space(dir.Path());
    if (space.available < DISK_NEEDED) {
        GTEST_SKIP() << "needs " << DISK_NEEDED / 1000000 << " MB free under " << dir.Path();
    }
    const fs::path image = dir / "large.dcm";
    ASSERT_TRUE(WriteLargeImage(image));
    const std::string digest = Digest(image);
    ASSERT_NE(digest.find("pixels " + std::to_string(PIXEL_BYTES)), std::string::npos) << digest;

    {
        // storescp writes what it receives as it comes.
        const fs::path received = dir / "received";
        fs::create_directories(received);
        const uint16_t port = testsupport::FreePort();
        testsupport::BackgroundProcess storescp(
            {"storescp", "--aetitle", "STORESCP", "-od", received.string(), "-fe", ".dcm", "+B",
             std::to_string(port)},
            {}, testsupport::NO_DELAY);
        ASSERT_TRUE(testsupport::WaitForListener(port)) << storescp.Output();
        Cli({"store", "127.0.0.1", std::to_string(port), image.string(), "--aec", "STORESCP"});
        std::vector<fs::path> files(fs::directory_iterator(received), {});
        ASSERT_EQ(files.size(), 1u) << storescp.Output();
        EXPECT_EQ(Digest(files[0]), digest);
        fs::remove_all(received);
    }

    {
        // Our provider, a process of its own, writes what it receives as it comes too (this
        // class is taken when it accepts everything, and stored as sent).
        const fs::path received = dir / "provider";
        const uint16_t port = testsupport::FreePort();
        testsupport::BackgroundProcess scp({testsupport::CliPath(), "scp", std::to_string(port),
                                            received.string(), "--accept-all"},
                                           dir.Path());
        ASSERT_TRUE(testsupport::WaitForListener(port)) << scp.Output();
        const auto sent =
            RunCommand({"storescu", "127.0.0.1", std::to_string(port), image.string()});
        EXPECT_EQ(sent.exitCode, 0) << sent.errors;
        EXPECT_EQ(scp.Stop(), 0) << scp.Output();
        EXPECT_LT(scp.PeakResidentBytes(), MEMORY_BOUND);
        std::printf("tessaly-cli scp: peak resident %.1f MB\n",
                    static_cast<double>(scp.PeakResidentBytes()) / 1e6);
        EXPECT_EQ(Digest(received / "1.2.826.0.1.3680043.2.7251.23.2" /
                         "1.2.826.0.1.3680043.2.7251.23.3" / "1.2.826.0.1.3680043.2.7251.23.1.dcm"),
                  digest);
        fs::remove_all(received);
    }

    const auto dump = Cli({"dump", image.string()});
    EXPECT_EQ(dump.output.rfind("Dump OK!\n", 0), 0u);
    EXPECT_NE(dump.output.find("(7FE0, 0010), " + std::to_string(PIXEL_BYTES) + ", OW - "),
              std::string::npos);

    const fs::path compressed = dir / "jpeg-ls.dcm";
    const fs::path back = dir / "back.dcm";
    Cli({"convert", image.string(), compressed.string(), "--ts", "jpeg-ls"});
    EXPECT_NE(Digest(compressed).find("pixels encapsulated"), std::string::npos);
    fs::remove(image);
    Cli({"convert", compressed.string(), back.string(), "--ts", "explicit"});
    EXPECT_EQ(Digest(back), digest);
}
