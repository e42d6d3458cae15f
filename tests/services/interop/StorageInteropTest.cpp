// Storage against DCMTK's storescp: `tessaly-cli store` of single files and of series
// directories, in each of the four transfer syntax choices, with storescp preferring the
// matching syntax so that the data set is converted on the way. Every received file is judged
// by DCMTK alone: once dcmdjpeg has brought both to explicit VR little endian, dcmdump must
// show the same elements with the same values as in the file sent. The tools run with
// TCP_NODELAY=1, as this system's own sockets do.
#include <gtest/gtest.h>

#include <cctype>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "support/DcmtkCompare.h"
#include "support/TestSupport.h"

namespace fs = std::filesystem;
using testsupport::RunCommand;

namespace {

const std::vector<std::string> NO_DELAY = {"TCP_NODELAY=1"};

struct Choice {
    const char* name;        // the --ts argument
    const char* preference;  // storescp's option that makes it take that syntax
    const char* syntax;      // what the received file is then in
};
const Choice kChoices[] = {
    {"implicit", "+xi", "1.2.840.10008.1.2"},
    {"explicit", "+xe", "1.2.840.10008.1.2.1"},
    {"big", "+xb", "1.2.840.10008.1.2.2"},
    {"jpeg-lossless", "+xs", "1.2.840.10008.1.2.4.70"},
};

std::string MetaSyntax(const fs::path& file) {
    auto dump = RunCommand({"dcmdump", "-q", "-Un", "+P", "0002,0010", file.string()});
    const std::size_t open = dump.output.find('[');
    const std::size_t close = dump.output.find(']');
    if (open == std::string::npos || close < open) return {};
    return dump.output.substr(open + 1, close - open - 1);
}

// storescp on a free port with its own output folder and the given preference, writing each
// data set exactly as it came over the network.
class Storescp {
  public:
    // An empty preference: storescp's own choice, the uncompressed syntaxes only.
    explicit Storescp(const std::string& preference, const std::vector<std::string>& extra = {})
        : process_(Arguments(preference, extra), dir_.Path(), NO_DELAY) {}
    std::string Port() const { return std::to_string(port_); }
    bool Ready() { return testsupport::WaitForListener(port_); }
    std::string Output() const { return process_.Output(); }
    void Stop() { process_.Stop(); }

    // The files received so far, emptied from the folder.
    std::vector<fs::path> Received(const fs::path& keepIn) {
        std::vector<fs::path> files;
        for (const auto& entry : fs::directory_iterator(dir_.Path())) {
            if (entry.path().extension() != ".dcm") continue;
            const fs::path kept = keepIn / entry.path().filename();
            fs::rename(entry.path(), kept);
            files.push_back(kept);
        }
        return files;
    }

  private:
    std::vector<std::string> Arguments(const std::string& preference,
                                       const std::vector<std::string>& extra) const {
        std::vector<std::string> argv = {"storescp", "-v", "--aetitle", "STORESCP"};
        if (!preference.empty()) argv.push_back(preference);
        argv.insert(argv.end(), extra.begin(), extra.end());
        argv.insert(argv.end(),
                    {"+B", "-od", dir_.Path().string(), "-fe", ".dcm", std::to_string(port_)});
        return argv;
    }

    testsupport::TempDir dir_;
    uint16_t port_ = testsupport::FreePort();
    testsupport::BackgroundProcess process_;
};

class StoreInterop : public testing::Test {
  protected:
    void SetUp() override {
        for (const char* tool : {"storescp", "dcmdump", "dcmdjpeg"}) {
            if (!testsupport::ToolAvailable(tool)) GTEST_SKIP() << "needs " << tool << " (DCMTK)";
        }
        if (testsupport::PydicomTestFiles().empty()) GTEST_SKIP() << "needs pydicom's files";
    }

    // The received file holds what was sent, element by element.
    void ExpectSame(const fs::path& sent, const fs::path& received, const std::string& syntax) {
        SCOPED_TRACE(sent.filename().string() + " as " + syntax);
        EXPECT_EQ(MetaSyntax(received), syntax);
        testsupport::ExpectSameDataSet(sent, received, dir_.Path());
    }

    fs::path Generated(const fs::path& path, const std::string& instanceUid, int seed) {
        return testsupport::WriteGeneratedImage(path, 16, 64, 48, instanceUid, seed);
    }

    testsupport::CommandResult Store(const Storescp& scp, const std::vector<std::string>& paths,
                                     const std::vector<std::string>& options) {
        std::vector<std::string> argv = {testsupport::CliPath(), "store", "127.0.0.1", scp.Port()};
        argv.insert(argv.end(), paths.begin(), paths.end());
        argv.insert(argv.end(), {"--aet", "TESSALY", "--aec", "STORESCP"});
        argv.insert(argv.end(), options.begin(), options.end());
        return RunCommand(argv);
    }

    testsupport::TempDir dir_;
};

}  // namespace

TEST_F(StoreInterop, SingleFilesInEachSyntaxChoice) {
    const fs::path pydicom = testsupport::PydicomTestFiles();
    const std::vector<fs::path> files = {
        pydicom / "CT_small.dcm", pydicom / "MR_small.dcm",
        Generated(dir_ / "gen.dcm", "1.2.826.0.1.3680043.2.7251.22", 1)};
    for (const Choice& choice : kChoices) {
        Storescp scp(choice.preference);
        ASSERT_TRUE(scp.Ready()) << scp.Output();
        for (const fs::path& file : files) {
            auto result = Store(scp, {file.string()}, {"--ts", choice.name});
            EXPECT_EQ(result.exitCode, 0) << choice.name << " " << result.output << result.errors;
            EXPECT_EQ(result.output, "STORE OK: " + file.string() + "\n");
            const fs::path keep = dir_ / choice.name;
            fs::create_directories(keep);
            const auto received = scp.Received(keep);
            ASSERT_EQ(received.size(), 1u) << choice.name << " " << file << scp.Output();
            ExpectSame(file, received[0], choice.syntax);
        }
        scp.Stop();
        const std::string log = scp.Output();
        if (std::string(choice.name) == "implicit") {
            // The empty transfer syntax sub-item of this choice is no obstacle to storescp.
            EXPECT_EQ(log.find("Association Rejected"), std::string::npos) << log;
            EXPECT_EQ(log.find("Abort"), std::string::npos) << log;
        }
    }
}

TEST_F(StoreInterop, TheSmallestAndLargestMaximumPduEitherWay) {
    const fs::path image = testsupport::WriteGeneratedImage(dir_ / "large.dcm", 16, 256, 256,
                                                            "1.2.826.0.1.3680043.2.7251.41", 4);
    for (const auto& [ours, theirs] :
         {std::pair<std::string, std::string>{"4096", "131072"}, {"131072", "4096"}}) {
        SCOPED_TRACE(ours + " ours, " + theirs + " storescp's");
        Storescp scp("", {"--max-pdu", theirs});
        ASSERT_TRUE(scp.Ready()) << scp.Output();
        auto result = Store(scp, {image.string()}, {"--max-pdu", ours});
        EXPECT_EQ(result.exitCode, 0) << result.output << result.errors << scp.Output();
        const fs::path keep = dir_ / ("pdu-" + ours);
        fs::create_directories(keep);
        const auto received = scp.Received(keep);
        ASSERT_EQ(received.size(), 1u) << scp.Output();
        ExpectSame(image, received[0], "1.2.840.10008.1.2.1");
    }
}

TEST_F(StoreInterop, SeriesDirectoryInEachSyntaxChoice) {
    const fs::path series = dir_ / "series";
    fs::create_directories(series);
    std::map<std::string, fs::path> sent;  // by instance UID
    for (int i = 0; i < 4; ++i) {
        const std::string uid = "1.2.826.0.1.3680043.2.7251.3" + std::to_string(i);
        sent[uid] = Generated(series / ("img" + std::to_string(i) + ".dcm"), uid, i);
    }
    testsupport::WriteFileBytes(series / "notes.txt", {'n', 'o', 't', 'e', 's'});
    for (const Choice& choice : kChoices) {
        Storescp scp(choice.preference);
        ASSERT_TRUE(scp.Ready()) << scp.Output();
        auto result = Store(scp, {series.string()}, {"--ts", choice.name});
        EXPECT_EQ(result.exitCode, 0) << result.output << result.errors;
        EXPECT_EQ(result.output, "STORE OK: " + series.string() + ": 4 of 4 files stored\n");
        // One progress line per file on standard error.
        EXPECT_NE(result.errors.find("[1/4] "), std::string::npos) << result.errors;
        EXPECT_NE(result.errors.find("[4/4] "), std::string::npos) << result.errors;
        const fs::path keep = dir_ / (std::string("series-") + choice.name);
        fs::create_directories(keep);
        const auto received = scp.Received(keep);
        ASSERT_EQ(received.size(), sent.size()) << scp.Output();
        // The choice is proposed too, but where storescp takes the files' own syntax nothing
        // is converted; with +xi it takes implicit VR little endian only.
        const bool implicitOnly = std::string(choice.preference) == "+xi";
        for (const fs::path& file : received) {
            const std::string name = file.filename().string();
            bool matched = false;
            for (const auto& [uid, original] : sent) {
                if (name.size() > uid.size() + 4 &&
                    name.compare(name.size() - uid.size() - 4, uid.size(), uid) == 0) {
                    ExpectSame(original, file,
                               implicitOnly ? choice.syntax : "1.2.840.10008.1.2.1");
                    matched = true;
                }
            }
            EXPECT_TRUE(matched) << name;
        }
        scp.Stop();
        // One association for the whole series.
        const std::string log = scp.Output();
        std::size_t associations = 0;
        for (std::size_t at = 0;
             (at = log.find("Association Acknowledged", at)) != std::string::npos; ++at)
            ++associations;
        EXPECT_EQ(associations, 1u) << log;
    }
}

TEST_F(StoreInterop, FolderOfSeveralSopClassesGoesOnOneAssociation) {
    const fs::path folder = dir_ / "mixed";
    fs::create_directories(folder);
    int n = 0;  // in name order: CT, RT Plan, MR
    for (const char* name : {"CT_small.dcm", "rtplan.dcm", "MR_small.dcm"})
        fs::copy_file(testsupport::PydicomTestFiles() / name,
                      folder / (std::to_string(++n) + ".dcm"));
    Storescp scp("+xe");
    ASSERT_TRUE(scp.Ready()) << scp.Output();
    const std::string log = (dir_ / "mixed.log").string();
    auto result = RunCommand({testsupport::CliPath(), "--log", log, "--log-level", "2", "store",
                              "127.0.0.1", scp.Port(), folder.string(), "--aec", "STORESCP"});
    EXPECT_EQ(result.output, "STORE OK: " + folder.string() + ": 3 of 3 files stored\n");
    EXPECT_EQ(scp.Received(dir_.Path()).size(), 3u) << scp.Output();
    // One association of five contexts (each class in its files' syntax and in implicit VR
    // little endian, once where that is the files' syntax), Message IDs after them.
    const std::string trace = testsupport::ReadFileText(log);
    std::size_t associations = 0;
    for (std::size_t at = 0; (at = trace.find("Connected to: ", at)) != std::string::npos; ++at)
        ++associations;
    EXPECT_EQ(associations, 1u) << trace;
    const std::string id = "(0000,0110),  2,\tUS, \"";
    EXPECT_LT(trace.find(id + "11\""), trace.find(id + "13\""));
    EXPECT_LT(trace.find(id + "13\""), trace.find(id + "15\""));
    EXPECT_NE(trace.find(id + "15\""), std::string::npos);
}

// Folders of one SOP class in four syntaxes and of several classes in several syntaxes, into
// storescp taking every syntax it knows (+xa) and taking its uncompressed ones only: each file
// is stored in its own syntax wherever storescp takes it, and in implicit VR little endian
// (converted) where it does not.
TEST_F(StoreInterop, FoldersOfMixedSyntaxesGoEachFileInItsOwnSyntaxWhereAccepted) {
    if (!testsupport::ToolAvailable("dcmodify")) GTEST_SKIP() << "needs dcmodify (DCMTK)";
    const fs::path p = testsupport::PydicomTestFiles();
    // Copies under names that keep this order, each with an instance UID of its own.
    auto folder = [&](const std::string& name, const std::vector<std::string>& files) {
        const fs::path dir = dir_ / name;
        fs::create_directories(dir);
        for (std::size_t i = 0; i < files.size(); ++i) {
            const fs::path copy = dir / (std::to_string(i + 1) + ".dcm");
            fs::copy_file(p / files[i], copy);
            const std::string uid = "1.2.826.0.1.3680043.2.7251.20." + std::to_string(i + 1);
            EXPECT_EQ(
                RunCommand({"dcmodify", "-nb", "-m", "(0008,0018)=" + uid, copy.string()}).exitCode,
                0);
        }
        return dir;
    };
    const fs::path oneClass = folder(
        "one-class",
        {"MR_small.dcm", "MR_small_RLE.dcm", "MR_small_implicit.dcm", "MR_small_bigendian.dcm"});
    const fs::path mixed = folder("mixed", {"MR_small_RLE.dcm", "CT_small.dcm", "SC_rgb_rle.dcm",
                                            "MR_small_jpeg_ls_lossless.dcm", "JPEG2000.dcm",
                                            "rtplan.dcm", "SC_rgb_jpeg_gdcm.dcm"});
    const std::set<std::string> uncompressed = {"1.2.840.10008.1.2", "1.2.840.10008.1.2.1",
                                                "1.2.840.10008.1.2.2"};
    for (const char* preference : {"+xa", ""}) {
        for (const fs::path& dir : {oneClass, mixed}) {
            SCOPED_TRACE(dir.filename().string() + " " + preference);
            Storescp scp(preference);
            ASSERT_TRUE(scp.Ready()) << scp.Output();
            auto result = Store(scp, {dir.string()}, {});
            EXPECT_EQ(result.exitCode, 0) << result.output << result.errors;
            const fs::path keep = dir_ / ("got-" + dir.filename().string() + preference);
            fs::create_directories(keep);
            std::map<std::string, fs::path> received;  // by instance UID
            for (const fs::path& file : scp.Received(keep)) {
                auto uid = RunCommand({"dcmdump", "-q", "+P", "0008,0018", file.string()});
                const auto open = uid.output.find('['), close = uid.output.find(']');
                received[uid.output.substr(open + 1, close - open - 1)] = file;
            }
            std::size_t n = 0;
            for (const auto& entry : fs::directory_iterator(dir)) {
                ++n;
                const std::string uid =
                    "1.2.826.0.1.3680043.2.7251.20." + entry.path().stem().string();
                ASSERT_TRUE(received.count(uid)) << entry.path() << scp.Output();
                const std::string own = MetaSyntax(entry.path());
                const bool taken = *preference != '\0' || uncompressed.count(own) != 0;
                EXPECT_EQ(MetaSyntax(received[uid]), taken ? own : "1.2.840.10008.1.2")
                    << entry.path();
            }
            EXPECT_EQ(received.size(), n);
            scp.Stop();
            // One association for the folder.
            const std::string log = scp.Output();
            EXPECT_EQ(log.find("Association Acknowledged"), log.rfind("Association Acknowledged"))
                << log;
        }
    }
}

TEST_F(StoreInterop, OddLengthInstanceUidIsStored) {
    // 31 characters, stored without the pad byte: the command carries it padded.
    const std::string uid = "1.2.826.0.1.3680043.2.7251.4001";
    ASSERT_EQ(uid.size() % 2, 1u);
    const fs::path file = Generated(dir_ / "odd.dcm", uid, 7);
    Storescp scp("+xe");
    ASSERT_TRUE(scp.Ready()) << scp.Output();
    auto result = Store(scp, {file.string()}, {});
    EXPECT_EQ(result.exitCode, 0) << result.output << result.errors;
    const auto received = scp.Received(dir_.Path());
    ASSERT_EQ(received.size(), 1u) << scp.Output();
    auto dump = RunCommand({"dcmdump", "-q", "+P", "0008,0018", received[0].string()});
    EXPECT_NE(dump.output.find(uid), std::string::npos) << dump.output;
    scp.Stop();
    EXPECT_EQ(scp.Output().find("Abort"), std::string::npos) << scp.Output();
}

TEST_F(StoreInterop, OutcomeLinesAndTheLog) {
    Storescp scp("+xe");
    ASSERT_TRUE(scp.Ready()) << scp.Output();
    const fs::path good = Generated(dir_ / "good.dcm", "1.2.826.0.1.3680043.2.7251.50", 3);
    const fs::path text = dir_ / "text.txt";
    testsupport::WriteFileBytes(text, std::vector<uint8_t>(300, 'x'));
    const std::string log = (dir_ / "store.log").string();
    std::vector<std::string> argv = {testsupport::CliPath(),
                                     "--log",
                                     log,
                                     "store",
                                     "127.0.0.1",
                                     scp.Port(),
                                     good.string(),
                                     text.string(),
                                     (dir_ / "missing.dcm").string(),
                                     "--aec",
                                     "STORESCP",
                                     "--no-convert"};
    auto result = RunCommand(argv);
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.output,
              "STORE OK: " + good.string() + "\n" + "STORE failed: " + text.string() +
                  ": not a DICOM file (no \"DICM\" at offset 128)\n" + "STORE failed: " +
                  (dir_ / "missing.dcm").string() + ": no such file or directory\n");
    const std::string lines = testsupport::ReadFileText(log);
    const std::size_t starting = lines.find(": Starting STORE Service\r\n");
    const std::size_t connected = lines.find("Connected to: 127.0.0.1:" + scp.Port() + "\r\n");
    const std::size_t ok = lines.find(": STORE OK: " + good.string() + "\r\n");
    ASSERT_NE(starting, std::string::npos) << lines;
    ASSERT_NE(connected, std::string::npos) << lines;
    ASSERT_NE(ok, std::string::npos) << lines;
    EXPECT_LT(starting, connected);
    EXPECT_LT(connected, ok);
    EXPECT_NE(lines.find(": STORE failed: " + text.string()), std::string::npos);
    scp.Stop();

    // Nothing listens any more.
    result = Store(scp, {good.string()}, {});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.output, "STORE failed: " + good.string() +
                                 ": cannot connect to STORESCP (127.0.0.1:" + scp.Port() +
                                 ")\n  nothing listens on 127.0.0.1:" + scp.Port() +
                                 " (connection refused): check the port and that the peer's "
                                 "DICOM service runs\n");
}

// A peer that takes uncompressed data only gets every compressed file decoded: the same
// elements and pixels as the file's uncompressed original (or, where DCMTK decodes the file
// itself, as DCMTK's decoding).
TEST_F(StoreInterop, CompressedFilesAreDecodedForAPeerThatTakesNoneOfTheirSyntaxes) {
    const fs::path p = testsupport::PydicomTestFiles();
    const std::vector<std::pair<fs::path, fs::path>> sentAndExpected = {
        {p / "MR_small_RLE.dcm", p / "MR_small.dcm"},
        {p / "MR_small_jpeg_ls_lossless.dcm", p / "MR_small.dcm"},
        {p / "MR_small_jp2klossless.dcm", p / "MR_small.dcm"},
        {p / "SC_rgb_jpeg_gdcm.dcm", p / "SC_rgb_jpeg_gdcm.dcm"},
        {p / "image_dfl.dcm", p / "image_dfl.dcm"},
    };
    Storescp scp("+xi");
    ASSERT_TRUE(scp.Ready()) << scp.Output();
    for (const auto& [sent, expected] : sentAndExpected) {
        auto result = Store(scp, {sent.string()}, {});
        EXPECT_EQ(result.output, "STORE OK: " + sent.string() + "\n") << result.errors;
        const auto received = scp.Received(dir_.Path());
        ASSERT_EQ(received.size(), 1u) << sent << scp.Output();
        SCOPED_TRACE(sent.filename().string());
        EXPECT_EQ(MetaSyntax(received[0]), "1.2.840.10008.1.2");
        testsupport::ExpectSameDataSet(expected, received[0], dir_.Path());
    }
}
