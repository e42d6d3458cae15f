// tessaly-cli scp as the archive's storage commitment and the RIS's performed procedure step
// provider, with our own requestor as the modality: tessaly-cli commit and mpps as an operator
// runs them, and the library's N-service exchange for the requests they never send (a
// transaction used twice, a step without its required attributes).
#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "data/Datadec.h"
#include "data/Tags.h"
#include "net/Association.h"
#include "net/CommandSet.h"
#include "net/NService.h"
#include "services/Commitment.h"
#include "services/Mpps.h"
#include "support/TestSupport.h"

namespace fs = std::filesystem;
using namespace dicomlib;

namespace {

constexpr char CT_UID[] = "1.3.6.1.4.1.5962.1.1.1.1.1.20040119072730.12322";
constexpr char MR_UID[] = "1.3.6.1.4.1.5962.1.1.4.1.1.20040826185059.5457";
constexpr char MR_CLASS[] = "1.2.840.10008.5.1.4.1.1.4";
constexpr char MPPS[] = "1.2.840.10008.3.1.2.3.3";

bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

class NServiceProvider : public ::testing::Test {
  protected:
    void SetUp() override {
        ct_ = (testsupport::PydicomTestFiles() / "CT_small.dcm").string();
        mr_ = (testsupport::PydicomTestFiles() / "MR_small.dcm").string();
        if (!fs::exists(mr_)) GTEST_SKIP() << "pydicom's test files are missing";
    }

    // tessaly-cli scp PORT store OPTIONS, listening.
    std::unique_ptr<testsupport::BackgroundProcess> Scp(const std::vector<std::string>& options) {
        port_ = std::to_string(testsupport::FreePort());
        std::vector<std::string> argv = {testsupport::CliPath(), "scp", port_, "store"};
        argv.insert(argv.end(), options.begin(), options.end());
        auto scp = std::make_unique<testsupport::BackgroundProcess>(argv, work_.Path());
        EXPECT_TRUE(testsupport::WaitForListener(static_cast<uint16_t>(std::stoi(port_))))
            << scp->Output();
        return scp;
    }

    // tessaly-cli COMMAND 127.0.0.1 PORT ARGS --aet MODALITY.
    testsupport::CommandResult Cli(const std::string& command, std::vector<std::string> args,
                                   const std::string& title = "MODALITY") const {
        std::vector<std::string> argv = {testsupport::CliPath(), command, "127.0.0.1", port_};
        argv.insert(argv.end(), args.begin(), args.end());
        argv.insert(argv.end(), {"--aet", title});
        return testsupport::RunCommand(argv);
    }

    // One N-service request on an association of its own, as no command sends it.
    net::NResponse Exchange(net::CommandSet command, ElementList dataSet,
                            const std::string& sopClass, uint16_t responseField) const {
        net::ConnectionSettings peer = net::SettingsFor("127.0.0.1", port_, "MODALITY", "ANY");
        net::AssociationPtr assoc = net::Open(peer, net::ProposalFor(sopClass));
        EXPECT_EQ(assoc->opened.outcome, net::OpenOutcome::Accepted);
        return net::NExchange(*assoc, command, sopClass, &dataSet, responseField);
    }

    testsupport::TempDir work_;
    std::string port_, ct_, mr_;
};

}  // namespace

TEST_F(NServiceProvider, CommitsWhatItStoredOnTheRequestorsAssociation) {
    auto scp = Scp({"--commit"});
    ASSERT_EQ(Cli("store", {ct_}).exitCode, 0);

    const auto both = Cli("commit", {ct_, mr_, "--wait", "30"});
    EXPECT_EQ(both.exitCode, 1) << both.output << both.errors;
    EXPECT_TRUE(Has(both.output, std::string("committed: ") + CT_UID)) << both.output;
    EXPECT_TRUE(Has(both.output, std::string("failed: ") + MR_UID + ": no such object instance"))
        << both.output;
    EXPECT_TRUE(Has(both.errors, "(the report came on our association)")) << both.errors;

    // The CT instance asked for as an MR: held under another class.
    services::CommitResult result;
    const int32_t outcome = services::Commit(
        net::SettingsFor("127.0.0.1", port_, "MODALITY", "ANY"), {{MR_CLASS, CT_UID}}, {}, result);
    EXPECT_EQ(outcome, services::COMMIT_NOT_COMMITTED);
    ASSERT_EQ(result.verdicts.size(), 1u);
    EXPECT_EQ(result.verdicts[0].reason, 0x0119);

    // A transaction used twice, and a request that names no instance.
    auto action = [&](const std::vector<services::CommitItem>& items) {
        return Exchange(net::NActionRequest(services::STORAGE_COMMITMENT_CLASS,
                                            services::STORAGE_COMMITMENT_INSTANCE,
                                            net::NextMessageID(), 1, true),
                        services::CommitmentRequestDataSet("1.2.826.0.1.99", items),
                        services::STORAGE_COMMITMENT_CLASS, net::N_ACTION_RSP);
    };
    EXPECT_EQ(action({{MR_CLASS, MR_UID}}).outcome, 0);
    EXPECT_EQ(action({{MR_CLASS, MR_UID}}).outcome, 0x0110);
    EXPECT_EQ(action({}).outcome, 0x0115);

    scp->Stop();
    EXPECT_TRUE(Has(scp->Output(), "N-ACTION-RQ Storage Commitment Push Model")) << scp->Output();
}

TEST_F(NServiceProvider, ReportsOnANewAssociationToTheNodeOfTheRequestor) {
    const uint16_t receive = testsupport::FreePort();
    std::ofstream(work_ / "nodes.txt")
        << "# where reports go\nMODALITY 127.0.0.1 " << receive << "\n";
    auto scp =
        Scp({"--commit", "--commit-new-association", "--nodes", (work_ / "nodes.txt").string()});
    ASSERT_EQ(Cli("store", {ct_}).exitCode, 0);

    const auto one = Cli("commit", {ct_, "--receive", std::to_string(receive), "--wait", "30"});
    EXPECT_EQ(one.exitCode, 0) << one.output << one.errors;
    EXPECT_TRUE(Has(one.output, "COMMIT OK: 1 of 1 committed in ")) << one.output;
    EXPECT_TRUE(Has(one.output, "the report came on the peer's association")) << one.output;

    // A title the nodes do not name cannot be reported to: the request is refused at once.
    const auto unknown = Cli("commit", {ct_, "--receive", std::to_string(receive)}, "STRANGER");
    EXPECT_EQ(unknown.exitCode, 1) << unknown.output << unknown.errors;
    EXPECT_TRUE(Has(unknown.errors, "0x0110")) << unknown.errors;
    EXPECT_TRUE(Has(unknown.errors, "the peer says: \"no node STRANGER for the report\""))
        << unknown.errors;

    const auto badNodes =
        testsupport::RunCommand({testsupport::CliPath(), "scp", "0", (work_ / "x").string(),
                                 "--commit", "--nodes", (work_ / "none.txt").string()});
    EXPECT_EQ(badNodes.exitCode, 1);
    EXPECT_TRUE(Has(badNodes.errors, "cannot read the nodes file")) << badNodes.errors;
}

TEST_F(NServiceProvider, KeepsProcedureStepsByTheirStateRules) {
    auto scp = Scp({"--mpps", (work_ / "steps").string()});
    const auto created = Cli("mpps", {"create", "--key", "Modality=CT"});
    ASSERT_EQ(created.exitCode, 0) << created.errors;
    const std::string uid = created.output.substr(0, created.output.find('\n'));
    const fs::path file = work_ / "steps" / (uid + ".dcm");
    ASSERT_TRUE(fs::exists(file)) << uid;

    const auto completed = Cli("mpps", {"set", uid, "--status", "COMPLETED", ct_});
    EXPECT_EQ(completed.exitCode, 0) << completed.errors;
    data::DecoderState state;
    ElementList meta, step;
    ASSERT_TRUE(data::ReadPart10File(state, file, meta, step));
    EXPECT_EQ(data::GetTopLevelString(step, {0x0040, 0x0252}), "COMPLETED");
    EXPECT_EQ(data::GetTopLevelString(step, {0x0008, 0x0060}), "CT");
    EXPECT_EQ(data::GetTagString(step, tag::ReferencedSOPInstanceUID), CT_UID);

    const auto again = Cli("mpps", {"set", uid, "--status", "DISCONTINUED"});
    EXPECT_EQ(again.exitCode, 1);
    EXPECT_TRUE(Has(again.errors, "status 0x0110")) << again.errors;
    EXPECT_TRUE(Has(again.errors, "the peer says: \"the step is COMPLETED: it cannot be changed\""))
        << again.errors;
    const auto unknown = Cli("mpps", {"set", "1.2.3.4", "--status", "COMPLETED"});
    EXPECT_EQ(unknown.exitCode, 1);
    EXPECT_TRUE(Has(unknown.errors, "status 0x0112")) << unknown.errors;

    // The same instance created twice, and a step without its station.
    services::MppsCreateAttributes attributes;
    attributes.stationAeTitle = "MODALITY";
    EXPECT_EQ(Exchange(net::NCreateRequest(MPPS, net::NextMessageID(), uid),
                       services::MppsCreateDataSet(attributes), MPPS, net::N_CREATE_RSP)
                  .outcome,
              0x0111);
    ElementList stationless;
    for (const DicomElement* e : services::MppsCreateDataSet(attributes))
        if (TagOf(*e) != Tag{0x0040, 0x0241}) stationless.Append(data::CopyElement(*e));
    const net::NResponse missing = Exchange(net::NCreateRequest(MPPS, net::NextMessageID()),
                                            std::move(stationless), MPPS, net::N_CREATE_RSP);
    EXPECT_EQ(missing.outcome, 0x0120);
    EXPECT_FALSE(missing.affectedInstance.empty());  // ours, as none was given

    scp->Stop();
    EXPECT_TRUE(Has(scp->Output(), "status 0x0120 (failure: missing attribute: (0040,0241))"))
        << scp->Output();
}

// An independent modality: dcmjs-dimse from npm, installed once into a cache folder of its own.
TEST_F(NServiceProvider, DcmjsDimseCommitsOnItsAssociationAndKeepsItsStep) {
    if (!testsupport::ToolAvailable("node") || !testsupport::ToolAvailable("npm"))
        GTEST_SKIP() << "node and npm are needed for dcmjs-dimse";
    const fs::path cache = fs::temp_directory_path() / "tessaly-dcmjs-dimse";
    if (!fs::exists(cache / "node_modules" / "dcmjs-dimse" / "package.json")) {
        const auto installed = testsupport::RunCommand({"npm", "install", "--no-audit", "--no-fund",
                                                        "--prefix", cache.string(), "dcmjs-dimse"});
        if (installed.exitCode != 0)
            GTEST_SKIP() << "npm cannot install dcmjs-dimse (is the registry reachable?): "
                         << installed.errors;
    }
    const std::vector<std::string> path = {"NODE_PATH=" + (cache / "node_modules").string()};
    const std::string script =
        (testsupport::SourceDir() / "tests/store/interop/dcmjs_nservices.js").string();
    auto scp = Scp({"--commit", "--mpps", (work_ / "steps").string()});
    ASSERT_EQ(Cli("store", {ct_}).exitCode, 0);

    const auto commit = testsupport::RunCommand(
        {"node", script, port_, "commit", "1.2.840.10008.5.1.4.1.1.2", CT_UID}, path);
    EXPECT_TRUE(Has(commit.output, "N-ACTION 0\n")) << commit.output << commit.errors;
    EXPECT_TRUE(Has(commit.output, std::string("REPORT 2 1.2.826.0.1.3680043.77 committed ") +
                                       CT_UID + " failed 1.2.826.0.1.3680043.78:274\n"))
        << commit.output;

    const auto step = testsupport::RunCommand({"node", script, port_, "mpps"}, path);
    EXPECT_TRUE(Has(step.output, "N-CREATE 0\nN-SET 0\nN-SET-AGAIN 272\n"))
        << step.output << step.errors;
    data::DecoderState state;
    ElementList meta, stored;
    ASSERT_TRUE(
        data::ReadPart10File(state, work_ / "steps" / "1.2.826.0.1.3680043.79.dcm", meta, stored));
    EXPECT_EQ(data::GetTopLevelString(stored, {0x0040, 0x0252}), "COMPLETED");
    EXPECT_EQ(data::GetTagString(stored, 0x0020, 0x000D), "1.2.826.0.1.3680043.80");
}
