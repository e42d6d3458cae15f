#include "services/Commitment.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "net/DimseFixtures.h"
#include "net/NService.h"
#include "support/TestSupport.h"
#include "zedavura.h"

using namespace dicomlib;
using namespace nettest;

namespace {

constexpr char COMMITMENT[] = "1.2.840.10008.1.20.1";
constexpr char COMMITMENT_INSTANCE[] = "1.2.840.10008.1.20.1.1";
constexpr char CT_CLASS[] = "1.2.840.10008.5.1.4.1.1.2";
constexpr char CT_UID[] = "1.3.6.1.4.1.5962.1.1.1.1.1.20040119072730.12322";
constexpr char MR_CLASS[] = "1.2.840.10008.5.1.4.1.1.4";
constexpr char MR_UID[] = "1.3.6.1.4.1.5962.1.1.4.1.1.20040826185059.5457";

Bytes Reference(const char* sopClass, const char* sopInstance) {
    return Cat({ImplicitElement(0x0008, 0x1150, Uid(sopClass)),
                ImplicitElement(0x0008, 0x1155, Uid(sopInstance))});
}

// What the archive does once it has answered the request.
enum class Then { Report, ReportOtherTransaction, Nothing };

// An archive on our association: answers the N-ACTION-RQ with success, then (unless Nothing)
// sends an N-EVENT-REPORT-RQ in defined-length sequences, CT committed and MR failed with
// 0x0112, and serves the release.
struct Archive {
    FakePeer peer;
    Bytes action, actionData, reportAnswer;

    explicit Archive(Then then) {
        peer.Start([this, then](dicomlib::net::PduStream& s) {
            AcceptAssociation(s);
            const MessagePart command = ReadMessagePart(s);
            action = command.data;
            actionData = ReadMessagePart(s).data;
            if (!command.ok) return;
            const uint8_t context = command.pdus[0][10];
            s.Write(PDataTF({{context, 0x03,
                              CommandBytes({{0x0002, Uid(COMMITMENT)},
                                            {0x0100, Le16(0x8130)},
                                            {0x0120, Le16(UsOf(action, tag::MessageID))},
                                            {0x0800, Le16(0x0101)},
                                            {0x0900, Le16(0)},
                                            {0x1000, Uid(COMMITMENT_INSTANCE)},
                                            {0x1008, Le16(1)}})}}));
            if (then != Then::Nothing) {
                const ElementList asked = ParseImplicit(actionData);
                const DicomElement* tx = data::FindTag(asked, {0x0008, 0x1195});
                const std::string transaction =
                    then == Then::Report && tx != nullptr ? net::UidText(*tx) : "1.2.3.4";
                const Bytes report =
                    Cat({ImplicitElement(0x0008, 0x1195, Uid(transaction)),
                         Sequence(0x0008, 0x1198,
                                  {Cat({Reference(MR_CLASS, MR_UID),
                                        ImplicitElement(0x0008, 0x1197, Le16(0x0112))})},
                                  true),
                         Sequence(0x0008, 0x1199, {Reference(CT_CLASS, CT_UID)}, true)});
                s.Write(PDataTF({{context, 0x03,
                                  CommandBytes({{0x0002, Uid(COMMITMENT)},
                                                {0x0100, Le16(0x0100)},
                                                {0x0110, Le16(7)},
                                                {0x0800, Le16(0x0102)},
                                                {0x1000, Uid(COMMITMENT_INSTANCE)},
                                                {0x1002, Le16(2)}})}}));
                s.Write(PDataTF({{context, 0x02, report}}));
                reportAnswer = ReadMessagePart(s).data;
            }
            if (!ReadMessagePart(s).ok) s.Write(RELEASE_RP);
        });
    }
};

struct Outcome {
    int32_t outcome = 0;
    CommitSummary summary{};
    std::vector<std::pair<std::string, int32_t>> verdicts;
};

Outcome Commit(const std::string& port, uint32_t waitMs) {
    const auto dir = testsupport::PydicomTestFiles();
    const std::string ct = (dir / "CT_small.dcm").string(), mr = (dir / "MR_small.dcm").string();
    const char* files[] = {ct.c_str(), mr.c_str()};
    ConnectionOptions archive{};
    archive.structSize = sizeof archive;
    archive.host = "127.0.0.1";
    archive.port = port.c_str();
    archive.callingAeTitle = "MODALITY";
    archive.calledAeTitle = "ARCHIVE";
    Outcome run;
    run.outcome = CommitSCU(
        &archive, files, 2, nullptr, waitMs, &run.summary,
        [](void* context, const CommitInstance* i) {
            static_cast<Outcome*>(context)->verdicts.emplace_back(i->sopInstanceUid,
                                                                  i->failureReason);
        },
        &run);
    return run;
}

}  // namespace

// On our own association: the N-ACTION-RQ and its data set byte for byte, the report read from
// defined-length sequences and answered byte for byte, each instance judged by the sequence
// that names it.
TEST(StorageCommitment, TheReportOnOurAssociationIsAnsweredAndJudged) {
    if (!std::filesystem::exists(testsupport::PydicomTestFiles() / "MR_small.dcm"))
        GTEST_SKIP() << "pydicom's test files are missing";
    Archive archive(Then::Report);
    const Outcome run = Commit(archive.peer.Port(), 20000);
    archive.peer.Join();
    EXPECT_EQ(run.outcome, COMMIT_NOT_COMMITTED);
    const std::string tx = run.summary.transactionUid;
    EXPECT_EQ(tx.rfind("2.25.", 0), 0u);
    EXPECT_EQ(archive.action, CommandBytes({{0x0003, Uid(COMMITMENT)},
                                            {0x0100, Le16(0x0130)},
                                            {0x0110, Le16(UsOf(archive.action, tag::MessageID))},
                                            {0x0800, Le16(0x0102)},
                                            {0x1001, Uid(COMMITMENT_INSTANCE)},
                                            {0x1008, Le16(1)}}));
    EXPECT_EQ(archive.actionData,
              Cat({ImplicitElement(0x0008, 0x1195, Uid(tx)),
                   Sequence(0x0008, 0x1199,
                            {Reference(CT_CLASS, CT_UID), Reference(MR_CLASS, MR_UID)})}));
    EXPECT_EQ(archive.reportAnswer, CommandBytes({{0x0002, Uid(COMMITMENT)},
                                                  {0x0100, Le16(0x8100)},
                                                  {0x0120, Le16(7)},
                                                  {0x0800, Le16(0x0101)},
                                                  {0x0900, Le16(0)},
                                                  {0x1000, Uid(COMMITMENT_INSTANCE)},
                                                  {0x1002, Le16(2)}}));
    const std::vector<std::pair<std::string, int32_t>> verdicts = {{CT_UID, 0}, {MR_UID, 0x0112}};
    EXPECT_EQ(run.verdicts, verdicts);
    EXPECT_EQ(run.summary.committed, 1u);
    EXPECT_EQ(run.summary.failed, 1u);
    EXPECT_EQ(run.summary.onOurAssociation, 1);
    char words[256];
    OutcomeText(OUTCOME_COMMIT_REASON, 0x0112, nullptr, words, sizeof words);
    EXPECT_NE(std::string(words).find("no such object instance"), std::string::npos) << words;
}

// A report for another transaction, and none at all, fail: nothing is taken as committed.
TEST(StorageCommitment, AnotherTransactionOrNoReportFails) {
    if (!std::filesystem::exists(testsupport::PydicomTestFiles() / "MR_small.dcm"))
        GTEST_SKIP() << "pydicom's test files are missing";
    Archive other(Then::ReportOtherTransaction);
    Outcome run = Commit(other.peer.Port(), 20000);
    other.peer.Join();
    EXPECT_EQ(run.outcome, COMMIT_OTHER_TRANSACTION);
    EXPECT_TRUE(run.verdicts.empty());
    EXPECT_FALSE(other.reportAnswer.empty());  // answered all the same
    char why[512];
    LastFailureText(why, sizeof why);
    EXPECT_NE(std::string(why).find("1.2.3.4"), std::string::npos) << why;

    Archive silent(Then::Nothing);
    run = Commit(silent.peer.Port(), 1000);
    silent.peer.Join();
    EXPECT_EQ(run.outcome, COMMIT_NO_REPORT);
    EXPECT_EQ(run.summary.committed, 0u);
    LastFailureText(why, sizeof why);
    EXPECT_NE(std::string(why).find("--receive"), std::string::npos) << why;
}
