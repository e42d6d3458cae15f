// The storage provider against DCMTK's requestors: tessaly-cli scp runs in a temporary working
// directory on a free port, storescu and echoscu send to it. Every stored file is judged by
// DCMTK: once dcmdjpeg has turned both into explicit VR little endian, the stored data set
// must hold the same elements with the same values as the file that was sent. The tools run
// with TCP_NODELAY=1, as this system's own sockets do.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <ctime>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "data/Datadec.h"
#include "data/Tags.h"
#include "net/TcpSocket.h"
#include "support/DcmtkCompare.h"
#include "support/TestSupport.h"

namespace fs = std::filesystem;
using namespace dicomlib;
using testsupport::RunCommand;

namespace {

const std::vector<std::string> NO_DELAY = {"TCP_NODELAY=1"};
constexpr char JPEG_LOSSLESS[] = "1.2.840.10008.1.2.4.70";
constexpr char JPEG_BASELINE[] = "1.2.840.10008.1.2.4.50";
constexpr char IMPLICIT[] = "1.2.840.10008.1.2";

std::string Uid(const ElementList& list, Tag tag) {
    return data::GetTagString(list, tag);
}

// The provider as an operator runs it, in its own working directory.
class StoreScpInterop : public testing::Test {
  protected:
    void SetUp() override {
        for (const char* tool :
             {"storescu", "echoscu", "dcmdump", "dcmdjpeg", "dcmconv", "dcmcjpeg"}) {
            if (!testsupport::ToolAvailable(tool)) GTEST_SKIP() << tool << " (DCMTK) is missing";
        }
        if (testsupport::PydicomTestFiles().empty()) GTEST_SKIP() << "needs pydicom's files";
        scp_ = std::make_unique<testsupport::BackgroundProcess>(
            std::vector<std::string>{testsupport::CliPath(), "scp", Port(), "images"},
            work_.Path());
        ASSERT_TRUE(testsupport::WaitForListener(port_)) << scp_->Output();
    }

    std::string Port() const { return std::to_string(port_); }

    // Sends the files on one association; storescu's exit code, its output on failure.
    void Send(const std::vector<std::string>& options, const std::vector<fs::path>& files) {
        std::vector<std::string> argv = {"storescu", "-aec", "TESSALY"};
        argv.insert(argv.end(), options.begin(), options.end());
        argv.insert(argv.end(), {"127.0.0.1", Port()});
        for (const auto& f : files)
            argv.push_back(f.string());
        const auto result = RunCommand(argv, NO_DELAY);
        EXPECT_EQ(result.exitCode, 0) << result.output << result.errors;
    }

    // Where the provider files a sent file: images/study/series/instance.dcm.
    fs::path StoredOf(const fs::path& sent) {
        data::DecoderState state;
        ElementList meta, dataSet;
        EXPECT_TRUE(data::ReadPart10File(state, sent, meta, dataSet)) << sent;
        return work_ / "images" / Uid(dataSet, tag::StudyInstanceUID) /
               Uid(dataSet, tag::SeriesInstanceUID) / (Uid(dataSet, tag::SOPInstanceUID) + ".dcm");
    }

    std::string SyntaxOf(const fs::path& file) {
        data::DecoderState state;
        ElementList meta, dataSet;
        EXPECT_TRUE(data::ReadPart10File(state, file, meta, dataSet)) << file;
        return Uid(meta, tag::TransferSyntaxUID);
    }

    // The stored file of sent parses cleanly in dcmdump and holds the same elements.
    void ExpectStoredAsSent(const fs::path& sent, const std::string& expectedSyntax) {
        SCOPED_TRACE(sent.filename().string());
        const fs::path stored = StoredOf(sent);
        ASSERT_TRUE(fs::exists(stored)) << stored;
        EXPECT_EQ(SyntaxOf(stored), expectedSyntax);
        auto dump = RunCommand({"dcmdump", stored.string()});
        EXPECT_EQ(dump.exitCode, 0);
        EXPECT_EQ(dump.errors, "");  // no warnings
        testsupport::ExpectSameDataSet(sent, stored, inputs_);
    }

    // Generated CT-like images of size x size, explicit VR little endian, one new series.
    std::vector<fs::path> Generated(const std::string& name, int count, int size) {
        const fs::path folder = inputs_ / name;
        auto r = RunCommand({(testsupport::SourceDir() / "bench" / "make_images.py").string(),
                             folder.string(), "--count", std::to_string(count), "--size",
                             std::to_string(size)});
        EXPECT_EQ(r.exitCode, 0) << r.errors;
        std::vector<fs::path> files;
        for (const auto& entry : fs::directory_iterator(folder))
            files.push_back(entry.path());
        std::sort(files.begin(), files.end());
        return files;
    }

    fs::path LosslessOf(const fs::path& file) {
        const fs::path out = inputs_ / (file.stem().string() + ".jpeg-lossless.dcm");
        auto r = RunCommand({"dcmcjpeg", "+e1", file.string(), out.string()});
        EXPECT_EQ(r.exitCode, 0) << r.errors;
        return out;
    }

    std::vector<std::string> IndexLines(const fs::path& file) {
        std::vector<std::string> lines;
        std::error_code ec;
        if (!fs::exists(file, ec)) return lines;
        std::istringstream in(testsupport::ReadFileText(file));
        std::string line;
        while (std::getline(in, line))
            lines.push_back(line);
        return lines;
    }

    testsupport::TempDir work_;
    testsupport::TempDir inputsDir_;
    fs::path inputs_ = inputsDir_.Path();
    uint16_t port_ = testsupport::FreePort();
    std::unique_ptr<testsupport::BackgroundProcess> scp_;
};

}  // namespace

TEST_F(StoreScpInterop, StorescuWithEachUncompressedSyntaxProposed) {
    const fs::path p = testsupport::PydicomTestFiles();
    std::vector<fs::path> files = {p / "CT_small.dcm", p / "MR_small.dcm", p / "reportsi.dcm",
                                   p / "SC_rgb_small_odd.dcm"};
    for (const auto& f : Generated("ct", 3, 64))
        files.push_back(f);
    // Each round resends the same instances: the files are overwritten, the index is not added to.
    for (const char* option : {"-xi", "-xe", "-xb"}) {
        SCOPED_TRACE(option);
        Send({option}, files);
        for (const auto& f : files)
            ExpectStoredAsSent(f, IMPLICIT);
    }
    // Files in the other two syntaxes, proposed in their own.
    Send({"-xi"}, {p / "MR_small_implicit.dcm"});
    ExpectStoredAsSent(p / "MR_small_implicit.dcm", IMPLICIT);
    Send({"-xb"}, {p / "MR_small_bigendian.dcm"});
    ExpectStoredAsSent(p / "MR_small_bigendian.dcm", IMPLICIT);

    // One study line per study, one image line per instance.
    const fs::path index = work_ / "Database";
    EXPECT_EQ(IndexLines(index / "LXStudy.dir").size(), 4u + 1u);
    const auto ct = StoredOf(files[4]);
    EXPECT_EQ(IndexLines(index / ct.parent_path().parent_path().filename() /
                         ct.parent_path().filename() / "Image.dir")
                  .size(),
              3u);
    // The date of storage is written ddmmyyyy.
    char today[16];
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    std::strftime(today, sizeof today, "%d%m%Y", &local);
    for (const auto& line : IndexLines(index / "LXStudy.dir"))
        EXPECT_EQ(line.substr(line.size() - 10), std::string("\xA7") + today + "\r") << line;
}

TEST_F(StoreScpInterop, StorescuWithJpegFilesProposedAsTheyAre) {
    const fs::path p = testsupport::PydicomTestFiles();
    std::vector<fs::path> lossless = {p / "SC_rgb_jpeg_gdcm.dcm", LosslessOf(p / "MR_small.dcm")};
    for (const auto& f : Generated("ct", 2, 128))
        lossless.push_back(LosslessOf(f));
    Send({"-xs"}, lossless);
    for (const auto& f : lossless)
        ExpectStoredAsSent(f, JPEG_LOSSLESS);

    const fs::path baseline = p / "SC_rgb_jpeg_dcmtk.dcm";
    Send({"-xy"}, {baseline});
    ExpectStoredAsSent(baseline, JPEG_BASELINE);
}

TEST_F(StoreScpInterop, EchoscuIsAnswered) {
    auto result = RunCommand(
        {"echoscu", "-v", "--repeat", "2", "-aec", "TESSALY", "127.0.0.1", Port()}, NO_DELAY);
    const std::string output = result.output + result.errors;
    EXPECT_EQ(result.exitCode, 0) << output;
    std::size_t successes = 0;
    for (std::size_t at = 0;
         (at = output.find("Received Echo Response (Success)", at)) != std::string::npos; ++at)
        ++successes;
    EXPECT_EQ(successes, 2u) << output;
}

// The Study Root contexts are accepted, but their requests are not served: answered with
// 0x0122, and each requestor releases as after any failed query.
TEST_F(StoreScpInterop, FindscuAndMovescuAreToldTheSopClassIsNotSupported) {
    for (const char* tool : {"findscu", "movescu"}) {
        if (!testsupport::ToolAvailable(tool)) GTEST_SKIP() << tool << " (DCMTK) is missing";
        std::vector<std::string> argv = {tool,
                                         "-v",
                                         "-S",
                                         "-aec",
                                         "TESSALY",
                                         "-k",
                                         "QueryRetrieveLevel=STUDY",
                                         "-k",
                                         "StudyInstanceUID=1.2.3"};
        if (std::string(tool) == "movescu") argv.insert(argv.end(), {"-aem", "ELSEWHERE"});
        argv.insert(argv.end(), {"127.0.0.1", Port()});
        const auto result = RunCommand(argv, NO_DELAY);
        const std::string output = result.output + result.errors;
        EXPECT_NE(output.find("Refused: SOPClassNotSupported"), std::string::npos) << output;
        EXPECT_NE(output.find("Releasing Association"), std::string::npos) << output;
        EXPECT_EQ(output.find("Abort"), std::string::npos) << output;
    }
}

TEST_F(StoreScpInterop, FourSendersAtOnceAndOneRepeatingAnotherLoseNothing) {
    constexpr std::size_t COUNT = 50;
    std::vector<std::vector<fs::path>> series;
    for (int i = 0; i < 4; ++i)
        series.push_back(Generated("series" + std::to_string(i), COUNT, 64));
    // A fifth sender stores the first series again at the same time.
    std::vector<std::thread> senders;
    for (int i = 0; i < 5; ++i)
        senders.emplace_back([&, i] { Send({}, series[i % 4]); });
    for (auto& sender : senders)
        sender.join();
    const fs::path index = work_ / "Database";
    EXPECT_EQ(IndexLines(index / "LXStudy.dir").size(), 4u);
    for (const auto& files : series) {
        for (const auto& f : files)
            EXPECT_TRUE(fs::exists(StoredOf(f))) << f;
        const fs::path stored = StoredOf(files.front()).parent_path();
        EXPECT_EQ(
            IndexLines(index / stored.parent_path().filename() / stored.filename() / "Image.dir")
                .size(),
            COUNT);
        // Whole files only, no temporary left behind.
        EXPECT_EQ(std::distance(fs::directory_iterator(stored), fs::directory_iterator()), COUNT);
    }
    ExpectStoredAsSent(series[0].back(), IMPLICIT);
    EXPECT_EQ(scp_->Stop(SIGTERM), 0) << scp_->Output();  // a race found would end it with 66
}

TEST_F(StoreScpInterop, AnIdleConnectionNeitherBlocksNorStays) {
    using Clock = std::chrono::steady_clock;
    // The fixture's provider serves 8 at once, this one one at a time. On each, an idle
    // connection: when it was closed, when an echo sent meanwhile ended.
    const uint16_t onePort = testsupport::FreePort();
    testsupport::BackgroundProcess one({testsupport::CliPath(), "scp", std::to_string(onePort),
                                        "images", "--max-associations", "1"},
                                       work_.Path());
    ASSERT_TRUE(testsupport::WaitForListener(onePort)) << one.Output();
    const std::string ports[2] = {Port(), std::to_string(onePort)};
    Clock::duration closed[2], echoed[2];
    const auto start = Clock::now();
    std::vector<std::thread> threads;
    for (int i = 0; i < 2; ++i) {
        threads.emplace_back([&, i] {
            net::TcpSocket idle;
            ASSERT_TRUE(idle.Open("127.0.0.1", ports[i]));
            std::thread echo([&] {
                EXPECT_EQ(
                    RunCommand({testsupport::CliPath(), "echo", "127.0.0.1", ports[i]}).exitCode,
                    0);
                echoed[i] = Clock::now() - start;
            });
            idle.SetReceiveTimeout(std::chrono::seconds(90));
            uint8_t byte = 0;
            EXPECT_EQ(idle.Receive(&byte, 1), -1);
            closed[i] = Clock::now() - start;
            echo.join();
        });
    }
    for (auto& t : threads)
        t.join();
    for (const auto& c : closed) {
        EXPECT_GE(c, std::chrono::seconds(29));
        EXPECT_LT(c, std::chrono::seconds(60));
    }
    EXPECT_LT(echoed[0] + std::chrono::seconds(20), closed[0]);  // did not wait for it
    // waited for it (the idle socket may see its close a little after the echo ends)
    EXPECT_GE(echoed[1], std::chrono::seconds(29));
    EXPECT_EQ(one.Stop(SIGTERM), 0);
}

TEST_F(StoreScpInterop, CliSaysWhereItListensAndStopsOnSigterm) {
    // A second provider on the same port cannot listen, and says so.
    auto taken = RunCommand({testsupport::CliPath(), "scp", Port(), (work_ / "other").string()});
    EXPECT_EQ(taken.exitCode, 1);
    EXPECT_EQ(taken.output, "");
    EXPECT_EQ(taken.errors, "tessaly-cli: scp: cannot listen on port " + Port() + "\n");
    auto usage = RunCommand({testsupport::CliPath(), "scp", Port()});
    EXPECT_EQ(usage.exitCode, 2);
    EXPECT_EQ(usage.errors,
              "usage: tessaly-cli scp PORT DIR [--max-associations N] [--accept-all] "
              "[--acse-timeout S] [--idle-timeout S] [--max-pdu N] [--quiet] [--refuse UID] "
              "[--reject permanent|transient,SOURCE,REASON] [--status COMMAND=0xXXXX[/N]] "
              "[--delay MS] [--abort-after N] [--close-after N] [--query] [--worklist DIR] "
              "[--pending N] [--commit [--commit-new-association]] [--nodes FILE] [--mpps DIR]\n"
              "       [--tls --tls-cert FILE --tls-key FILE [--tls-key-password-file FILE] "
              "[--tls-ca FILE|DIR]... [--tls-peer-cert required|optional|ignore] "
              "[--tls-profile bcp195-nd|bcp195|bcp195-ex]] [--require-user FILE]\n");
    EXPECT_EQ(RunCommand({testsupport::CliPath(), "scp", Port(), "x", "--max-associations", "0"})
                  .exitCode,
              2);

    Send({}, {testsupport::PydicomTestFiles() / "CT_small.dcm"});
    EXPECT_EQ(scp_->Stop(SIGTERM), 0);
    const std::string workDir = fs::canonical(work_.Path()).string();
    // The listening lines, the association's three live lines, the last line.
    const std::string output = scp_->Output();
    const std::string listening = "SCP listening on port " + Port() +
                                  "\nstorage directory: " + workDir +
                                  "/images/\nindex directory: " + workDir + "/Database\n";
    EXPECT_TRUE(output.starts_with(listening)) << output;
    EXPECT_TRUE(output.ends_with("released\nSCP stopped\n")) << output;
    EXPECT_EQ(std::count(output.begin(), output.end(), '\n'), 7) << output;
    EXPECT_TRUE(fs::exists(StoredOf(testsupport::PydicomTestFiles() / "CT_small.dcm")));
}
