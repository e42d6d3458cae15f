// tessaly-cli scp --query as the archive a device under test retrieves from: DCMTK's movescu
// into a storescp named in the nodes file, getscu on its own association, our own move and
// get, and a C-CANCEL in the middle of a move.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "data/ElementList.h"
#include "data/Part10File.h"
#include "data/Tags.h"
#include "net/Association.h"
#include "net/CommandSet.h"
#include "net/ConnectionSettings.h"
#include "net/Dimse.h"
#include "services/QueryRetrieve.h"
#include "support/TestSupport.h"

namespace fs = std::filesystem;
using namespace dicomlib;
using testsupport::RunCommand;

namespace {

const std::vector<std::string> NO_DELAY = {"TCP_NODELAY=1"};

// The SOP Instance UIDs of the DICOM files under dir.
std::multiset<std::string> InstancesUnder(const fs::path& dir) {
    std::multiset<std::string> uids;
    std::error_code ec;
    if (!fs::exists(dir, ec)) return uids;
    for (const auto& entry : fs::recursive_directory_iterator(dir)) {
        ElementList dataSet;
        std::string syntax;
        if (entry.is_regular_file() && data::LoadDataSetFile(entry.path(), dataSet, syntax))
            uids.insert(data::GetTagString(dataSet, tag::SOPInstanceUID));
    }
    return uids;
}

class Retrieve : public testing::Test {
  protected:
    void SetUp() override {
        for (const char* tool : {"storescu", "storescp", "movescu", "getscu"})
            if (!testsupport::ToolAvailable(tool)) GTEST_SKIP() << tool << " (DCMTK) is missing";
        auto made = RunCommand({(testsupport::SourceDir() / "bench" / "make_images.py").string(),
                                (work_ / "in").string(), "--count", "3", "--size", "64"});
        ASSERT_EQ(made.exitCode, 0) << made.errors;
        std::vector<std::string> files;
        for (const auto& entry : fs::directory_iterator(work_ / "in"))
            files.push_back(entry.path().string());
        sent_ = InstancesUnder(work_ / "in");
        ElementList first;
        std::string syntax;
        ASSERT_TRUE(data::LoadDataSetFile(files[0], first, syntax));
        study_ = data::GetTagString(first, tag::StudyInstanceUID);

        destPort_ = testsupport::FreePort();
        fs::create_directories(work_ / "dest");
        dest_ = std::make_unique<testsupport::BackgroundProcess>(
            std::vector<std::string>{"storescp", "-d", "-aet", "DEST", "-od",
                                     (work_ / "dest").string(), std::to_string(destPort_)},
            work_.Path(), NO_DELAY);
        ASSERT_TRUE(testsupport::WaitForListener(destPort_)) << dest_->Output();
        std::ofstream(work_ / "nodes.txt")
            << "# where C-MOVE may send\nDEST 127.0.0.1 " << destPort_ << "\n";

        port_ = std::to_string(testsupport::FreePort());
        scp_ = std::make_unique<testsupport::BackgroundProcess>(
            std::vector<std::string>{testsupport::CliPath(), "scp", port_, "images", "--query",
                                     "--nodes", "nodes.txt", "--pending", "1"},
            work_.Path());
        ASSERT_TRUE(testsupport::WaitForListener(static_cast<uint16_t>(std::stoi(port_))))
            << scp_->Output();
        std::vector<std::string> store = {"storescu", "-aec", "TESSALY", "127.0.0.1", port_};
        store.insert(store.end(), files.begin(), files.end());
        const auto stored = RunCommand(store, NO_DELAY);
        ASSERT_EQ(stored.exitCode, 0) << stored.output << stored.errors;
    }

    testsupport::CommandResult Movescu(const std::string& destination) const {
        return RunCommand(
            {"movescu", "-d", "-S", "-aet", "MOVER", "-aec", "TESSALY", "-aem", destination, "-k",
             "QueryRetrieveLevel=STUDY", "-k", "StudyInstanceUID=" + study_, "127.0.0.1", port_},
            NO_DELAY);
    }

    testsupport::TempDir work_;
    std::multiset<std::string> sent_;
    std::string study_;
    uint16_t destPort_ = 0;
    std::string port_;
    std::unique_ptr<testsupport::BackgroundProcess> dest_;
    std::unique_ptr<testsupport::BackgroundProcess> scp_;
};

// The study arrives whole at the node the nodes file names; an unknown one is refused.
TEST_F(Retrieve, MovescuIntoStorescpAndToAnUnknownDestination) {
    const auto moved = Movescu("DEST");
    EXPECT_EQ(moved.exitCode, 0) << moved.output << moved.errors;
    const std::string said = moved.output + moved.errors;
    EXPECT_NE(said.find("DIMSE Status                  : 0x0000: Success"), std::string::npos)
        << said;
    // The final response's counts, as movescu prints them.
    EXPECT_NE(said.find("Remaining Suboperations       : none\n"
                        "D: Completed Suboperations       : 3\n"
                        "D: Failed Suboperations          : 0\n"
                        "D: Warning Suboperations         : 0"),
              std::string::npos)
        << said;
    // A pending response after each of the first two, and the one asked for before the final.
    std::size_t pending = 0;
    for (auto at = said.find("DIMSE Status                  : 0xff00"); at != std::string::npos;
         at = said.find("DIMSE Status                  : 0xff00", at + 1))
        ++pending;
    EXPECT_EQ(pending, 3u) << said;
    EXPECT_EQ(InstancesUnder(work_ / "dest"), sent_);
    // Every sub-operation names movescu and its C-MOVE-RQ (its first message) to storescp.
    const std::string received = dest_->Output();
    const std::string named =
        "Move Originator AE Title      : MOVER\n"
        "D: Move Originator ID            : 1\n";
    std::size_t times = 0;
    for (auto at = received.find(named); at != std::string::npos; at = received.find(named, at + 1))
        ++times;
    EXPECT_EQ(times, 3u) << received;

    const auto unknown = Movescu("NOWHERE");
    const std::string refused = unknown.output + unknown.errors;
    EXPECT_NE(refused.find("Refused: MoveDestinationUnknown"), std::string::npos) << refused;
    EXPECT_EQ(scp_->Stop(SIGTERM), 0);
    // The refusal's reason is in the provider's line for the request.
    EXPECT_NE(scp_->Output().find("status 0xA801 (refused: move destination unknown)"),
              std::string::npos)
        << scp_->Output();
}

TEST_F(Retrieve, GetscuReceivesTheStudyOnItsOwnAssociation) {
    fs::create_directories(work_ / "got");
    const auto got = RunCommand(
        {"getscu", "-d", "-S", "-aet", "GETTER", "-aec", "TESSALY", "-od", (work_ / "got").string(),
         "-k", "QueryRetrieveLevel=STUDY", "-k", "StudyInstanceUID=" + study_, "127.0.0.1", port_},
        NO_DELAY);
    EXPECT_EQ(got.exitCode, 0) << got.output << got.errors;
    EXPECT_EQ(InstancesUnder(work_ / "got"), sent_) << got.output << got.errors;
    // No C-MOVE asked for these: their C-STORE-RQs name no originator.
    const std::string said = got.output + got.errors;
    EXPECT_NE(said.find("Affected SOP Instance UID"), std::string::npos) << said;
    EXPECT_EQ(said.find("Move Originator"), std::string::npos) << said;
}

// A nodes file that cannot be read stops the provider before it listens.
TEST_F(Retrieve, AnUnreadableNodesFileIsAnErrorAtTheStart) {
    const auto scp =
        RunCommand({testsupport::CliPath(), "scp", std::to_string(destPort_ + 1),
                    (work_ / "x").string(), "--query", "--nodes", (work_ / "none.txt").string()});
    EXPECT_EQ(scp.exitCode, 1);
    EXPECT_NE(scp.errors.find("cannot read the nodes file"), std::string::npos) << scp.errors;
}

// Our own requestors against it: the move into storescp, the get filed as the provider files.
// One more instance of the study has 24 KB of Image Type in front of its SOP Class UID.
TEST_F(Retrieve, OurOwnMoveAndGet) {
    fs::create_directories(work_ / "longer");
    const std::string longer = (work_ / "longer" / "ct.dcm").string();
    const auto made =
        RunCommand({"/usr/bin/python3", "-c",
                    "import sys, pydicom; from pydicom.uid import generate_uid\n"
                    "ds = pydicom.dcmread(sys.argv[1]); ds.ImageType = ['ORIGINAL'] * 2700\n"
                    "ds.SOPInstanceUID = ds.file_meta.MediaStorageSOPInstanceUID = generate_uid()\n"
                    "ds.save_as(sys.argv[2])",
                    (work_ / "in" / "ct0000.dcm").string(), longer});
    ASSERT_EQ(made.exitCode, 0) << made.errors;
    const auto stored = RunCommand({"storescu", "-aec", "TESSALY", "127.0.0.1", port_, longer});
    ASSERT_EQ(stored.exitCode, 0) << stored.output << stored.errors;
    sent_.merge(InstancesUnder(work_ / "longer"));
    ASSERT_EQ(sent_.size(), 4u);
    const auto moved =
        RunCommand({testsupport::CliPath(), "move", "127.0.0.1", port_, "--aec", "TESSALY",
                    "--dest", "DEST", "--key", "StudyInstanceUID=" + study_});
    EXPECT_EQ(moved.exitCode, 0) << moved.output << moved.errors;
    EXPECT_EQ(InstancesUnder(work_ / "dest"), sent_);
    const auto got =
        RunCommand({testsupport::CliPath(), "get", "127.0.0.1", port_, (work_ / "got").string(),
                    "--aec", "TESSALY", "--key", "StudyInstanceUID=" + study_});
    EXPECT_EQ(got.exitCode, 0) << got.output << got.errors;
    EXPECT_EQ(InstancesUnder(work_ / "got"), sent_);
}

// A C-CANCEL-RQ sent right behind the C-MOVE-RQ is found after the first sub-operation: the
// move stops there with 0xFE00, and the rest of the study is not sent.
TEST_F(Retrieve, CancelStopsAMoveAfterTheCurrentSubOperation) {
    auto assoc = net::Open(net::SettingsFor("127.0.0.1", port_, "MOVER", "TESSALY"),
                           net::ProposalFor(services::STUDY_ROOT_MOVE));
    ASSERT_EQ(assoc->opened.outcome, net::OpenOutcome::Accepted);
    const uint16_t id = net::NextMessageID();
    net::CommandSet request = services::MoveRequest(services::STUDY_ROOT_MOVE, id, "DEST");
    ElementList identifier;
    services::AddQueryKey(identifier, tag::QueryRetrieveLevel, "CS", "STUDY");
    services::AddQueryKey(identifier, tag::StudyInstanceUID, "UI", study_);
    ASSERT_TRUE(net::SendMessage(*assoc, request.List(), services::STUDY_ROOT_MOVE,
                                 net::MessageKind::Command));
    ASSERT_TRUE(
        net::SendMessage(*assoc, identifier, services::STUDY_ROOT_MOVE, net::MessageKind::DataSet));
    assoc->queryMessageId = id;
    assoc->querySopClass = services::STUDY_ROOT_MOVE;
    EXPECT_EQ(services::CancelQuery(*assoc, net::C_MOVE_RSP), net::STATUS_CANCEL);
    assoc.reset();
    EXPECT_EQ(InstancesUnder(work_ / "dest").size(), 1u);
}

}  // namespace
