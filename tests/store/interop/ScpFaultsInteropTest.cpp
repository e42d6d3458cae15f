// tessaly-cli scp as a peer that misbehaves on purpose, with DCMTK's storescu and echoscu as
// the device under test, and the live lines an operator reads while they send.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "support/TestSupport.h"

namespace fs = std::filesystem;
using testsupport::RunCommand;

namespace {

const std::vector<std::string> NO_DELAY = {"TCP_NODELAY=1"};
constexpr char CT_IMAGE_STORAGE[] = "1.2.840.10008.5.1.4.1.1.2";

std::size_t FilesUnder(const fs::path& dir) {
    std::error_code ec;
    if (!fs::exists(dir, ec)) return 0;
    return static_cast<std::size_t>(
        std::count_if(fs::recursive_directory_iterator(dir), fs::recursive_directory_iterator(),
                      [](const fs::directory_entry& e) { return e.path().extension() == ".dcm"; }));
}

// The lines after the listening ones, with what varies from run to run masked: the time and
// the association's number ("T #N"), the peer's port ("P"), sizes and durations ("n").
std::vector<std::string> LiveLines(const std::string& output) {
    std::vector<std::string> lines;
    std::istringstream in(output);
    std::string line;
    while (std::getline(in, line)) {
        if (line.size() < 13 || line[2] != ':' || line[12] != ' ') continue;
        const std::string rest = line.substr(line.find(' ', 13));
        std::string masked = "T #N";
        for (std::size_t i = 0; i < rest.size();) {
            std::size_t end = i;
            while (end < rest.size() && rest[end] >= '0' && rest[end] <= '9')
                ++end;
            if (end == i) {
                masked += rest[i++];
                continue;
            }
            const std::string_view after = std::string_view(rest).substr(end);
            if (masked.ends_with("127.0.0.1:"))
                masked += "P";
            else if (after.starts_with(" bytes") || after.starts_with(" ms"))
                masked += "n";
            else
                masked += rest.substr(i, end - i);
            i = end;
        }
        lines.push_back(masked);
    }
    return lines;
}

class ScpFaults : public testing::Test {
  protected:
    void SetUp() override {
        for (const char* tool : {"storescu", "echoscu"})
            if (!testsupport::ToolAvailable(tool)) GTEST_SKIP() << tool << " (DCMTK) is missing";
        auto made = RunCommand({(testsupport::SourceDir() / "bench" / "make_images.py").string(),
                                (work_ / "in").string(), "--count", "2", "--size", "64"});
        ASSERT_EQ(made.exitCode, 0) << made.errors;
        for (const auto& entry : fs::directory_iterator(work_ / "in"))
            files_.push_back(entry.path().string());
        std::sort(files_.begin(), files_.end());
    }

    // tessaly-cli scp PORT DIR OPTIONS, listening.
    std::unique_ptr<testsupport::BackgroundProcess> Scp(const std::string& dir,
                                                        const std::vector<std::string>& options) {
        port_ = testsupport::FreePort();
        std::vector<std::string> argv = {testsupport::CliPath(), "scp", std::to_string(port_), dir};
        argv.insert(argv.end(), options.begin(), options.end());
        auto scp = std::make_unique<testsupport::BackgroundProcess>(argv, work_.Path());
        EXPECT_TRUE(testsupport::WaitForListener(port_)) << scp->Output();
        return scp;
    }

    testsupport::CommandResult Storescu() const {
        std::vector<std::string> argv = {"storescu", "-v",      "-aet",      "STORESCU",
                                         "-aec",     "TESSALY", "127.0.0.1", std::to_string(port_)};
        argv.insert(argv.end(), files_.begin(), files_.end());
        return RunCommand(argv, NO_DELAY);
    }

    testsupport::TempDir work_;
    std::vector<std::string> files_;
    uint16_t port_ = 0;
};

// Each fault as the sender meets it: what storescu reports, what was stored, the line's mark.
TEST_F(ScpFaults, StorescuMeetsEachFault) {
    struct Case {
        std::vector<std::string> options;
        std::string storescuSays;  // in its output
        std::size_t stored;
        std::string mark;  // in the provider's lines
    };
    const std::vector<Case> cases = {
        {{"--status", "C-STORE=0xA700"},
         "Received Store Response (Refused: OutOfResources)",
         0,
         "status 0xA700 (refused: out of resources), n ms [fault: status 0xA700 injected]"},
        {{"--status", "C-STORE=0xB000/2"},
         "Received Store Response (Warning: CoercionOfDataElements)",
         2,
         "[fault: status 0xB000 injected]"},
        {{"--reject", "permanent,1,7"},
         "Reason: Called AE Title Not Recognized",
         0,
         "rejected (permanent, service user, reason 7) [fault: rejection injected]"},
        {{"--refuse", CT_IMAGE_STORAGE},
         "No presentation context for: (CT)",
         0,
         "[fault: refused CT Image Storage]"},
        {{"--abort-after", "1"},
         "Peer aborted Association",
         1,
         "ended: 1 messages, n bytes, aborted by us [fault: A-ABORT injected]"},
        {{"--close-after", "1"},
         "Peer aborted Association",
         1,
         "ended: 1 messages, n bytes, connection closed by us [fault: close injected]"},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.options[0] + " " + c.options[1]);
        const std::string dir = "images" + std::to_string(i);
        auto scp = Scp(dir, c.options);
        const auto sent = Storescu();
        EXPECT_NE((sent.output + sent.errors).find(c.storescuSays), std::string::npos)
            << sent.output << sent.errors;
        EXPECT_EQ(scp->Stop(SIGTERM), 0);
        EXPECT_EQ(FilesUnder(work_ / dir), c.stored);
        const auto lines = LiveLines(scp->Output());
        EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [&](const std::string& l) {
            return l.ends_with(c.mark);
        })) << scp->Output();
    }
}

// A delay is a bound the sender's own wait meets: echoscu gives up after 1 s on a 3 s delay,
// and succeeds when it waits longer; both responses went out late.
TEST_F(ScpFaults, EchoscuGivesUpOnALongerDelay) {
    auto scp = Scp("images", {"--delay", "3000"});
    const std::string port = std::to_string(port_);
    EXPECT_NE(RunCommand({"echoscu", "-td", "1", "127.0.0.1", port}, NO_DELAY).exitCode, 0);
    const auto patient = RunCommand({"echoscu", "-td", "60", "127.0.0.1", port}, NO_DELAY);
    EXPECT_EQ(patient.exitCode, 0) << patient.output << patient.errors;
    EXPECT_EQ(scp->Stop(SIGTERM), 0);
    const auto lines = LiveLines(scp->Output());
    EXPECT_EQ(std::count(lines.begin(), lines.end(),
                         "T #N C-ECHO-RQ Verification, Implicit VR Little Endian, n bytes: status "
                         "0x0000 (success), n ms [fault: delayed n ms]"),
              2)
        << scp->Output();
}

// One sender's lines in order, then two senders at once: every line whole.
TEST_F(ScpFaults, LiveLinesOfOneSenderAndOfTwoAtOnce) {
    auto scp = Scp("images", {"--max-associations", "2"});
    const auto one = Storescu();
    ASSERT_EQ(one.exitCode, 0) << one.output << one.errors;
    std::thread other([&] { EXPECT_EQ(Storescu().exitCode, 0); });
    EXPECT_EQ(Storescu().exitCode, 0);
    other.join();
    EXPECT_EQ(scp->Stop(SIGTERM), 0);
    const std::string output = scp->Output();
    EXPECT_TRUE(output.starts_with("SCP listening on port ")) << output;

    // storescu proposes every class it knows; what matters here is the one it sends.
    auto opened = [](const std::string& l) {
        return l.starts_with(
                   "T #N association from 127.0.0.1:P: STORESCU -> TESSALY, accepted: ") &&
               l.find("CT Image Storage in Explicit VR Little Endian, ") != std::string::npos;
    };
    auto stored = [](const std::string& l) {
        return l ==
               "T #N C-STORE-RQ CT Image Storage, Explicit VR Little Endian, n bytes: "
               "status 0x0000 (success), n ms";
    };
    auto ended = [](const std::string& l) {
        return l == "T #N ended: 2 messages, n bytes, released";
    };
    const auto lines = LiveLines(output);
    ASSERT_EQ(lines.size(), 12u) << output;
    EXPECT_TRUE(opened(lines[0]) && stored(lines[1]) && stored(lines[2]) && ended(lines[3]))
        << output;
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(), opened), 3) << output;
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(), stored), 6) << output;
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(), ended), 3) << output;
}

}  // namespace
