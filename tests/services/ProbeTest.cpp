#include "services/Probe.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <thread>

#include "net/AssociationWords.h"
#include "net/CommandSet.h"
#include "net/TcpSocket.h"
#include "services/QueryFixtures.h"
#include "support/TestSupport.h"

using namespace dicomlib;
using namespace dicomlib::services;
using namespace nettest;
using testsupport::DataSetBuilder;

namespace {

constexpr char VERIFICATION[] = "1.2.840.10008.1.1";
constexpr char MOVE[] = "1.2.840.10008.5.1.4.1.2.2.2";

// An archive on loopback, one association after another: it takes Verification and the Study
// Root models and refuses everything else as not supported, answers echoes, and answers each
// C-FIND with the PDUs given for its level.
class ScriptedArchive {
  public:
    explicit ScriptedArchive(std::map<std::string, std::vector<Bytes>> answers)
        : answers_(std::move(answers)) {
        listener_.ListenOn(0);
        port_ = std::to_string(listener_.LocalPort());
        listener_.WatchCancel(&stop_);
        thread_ = std::thread([this] {
            while (listener_.Accept()) {
                net::PduStream s;
                s.Adopt(listener_.ReleaseConnection());
                s.Socket().SetReceiveTimeout(PEER_TIMEOUT);
                Serve(s);
            }
        });
    }
    ~ScriptedArchive() {
        stop_.Raise();
        thread_.join();
    }
    const std::string& Port() const { return port_; }

  private:
    void Serve(net::PduStream& s) {
        auto rq = net::DecodeAssociateRQ(ReadPduBytes(s));
        if (!rq) return;
        net::AssociateAC ac;
        ac.applicationContext = net::APPLICATION_CONTEXT_NAME;
        ac.calledAeTitle = rq->calledAeTitle;
        ac.callingAeTitle = rq->callingAeTitle;
        for (const auto& pc : rq->contexts) {
            const bool taken = pc.abstractSyntax == VERIFICATION || pc.abstractSyntax == FIND ||
                               pc.abstractSyntax == MOVE;
            ac.contexts.push_back(
                {pc.id, taken ? net::RESULT_ACCEPTANCE : net::RESULT_ABSTRACT_SYNTAX_NOT_SUPPORTED,
                 taken ? pc.transferSyntaxes.at(0) : "", ""});
        }
        ac.userInformation = {16384, "1.2.3.4", "ARCHIVE", 0, {}, {}, {}, {}};
        s.Write(net::EncodeAssociateAC(ac));
        for (;;) {
            const MessagePart command = ReadMessagePart(s);
            if (!command.ok) {
                if (command.pdus.size() == 1 && command.pdus[0] == RELEASE_RQ) s.Write(RELEASE_RP);
                return;
            }
            const uint16_t id = UsOf(command.data, tag::MessageID);
            if (UsOf(command.data, tag::CommandField) == net::C_ECHO_RQ) {
                s.Write(PDataTF({{command.pdus[0][10], 0x03, EchoResponseBytes(id, 0)}}));
                continue;
            }
            const MessagePart identifier = ReadMessagePart(s);
            const std::string level =
                data::GetTagString(ParseImplicit(identifier.data), 0x0008, 0x0052);
            for (const Bytes& pdu : answers_[level])
                s.Write(pdu);
        }
    }

    std::map<std::string, std::vector<Bytes>> answers_;
    net::TcpSocket listener_;
    net::CancelSignal stop_;
    std::string port_;
    std::thread thread_;
};

Bytes Match(uint16_t status, const std::function<void(DataSetBuilder&)>& keys) {
    return Cat({Response(status, true), DataSetPdu(Implicit(keys))});
}

const std::vector<Bytes> ONE_STUDY = {
    Match(0xFF00, [](DataSetBuilder& b) { b.Text(0x0020, 0x000D, "UI", "1.2.3"); }),
    Response(0x0000, false)};
const std::vector<Bytes> ONE_SERIES = {Match(0xFF00,
                                             [](DataSetBuilder& b) {
                                                 b.Text(0x0020, 0x000D, "UI", "1.2.3");
                                                 b.Text(0x0020, 0x000E, "UI", "1.2.3.4");
                                             }),
                                       Response(0x0000, false)};
// A strict archive's refusal, with the identifier some send along with it.
const std::vector<Bytes> UNABLE = {
    Match(0xC000, [](DataSetBuilder& b) { b.Text(0x0020, 0x000D, "UI", "1.2.3"); })};

const probe::Row* RowOf(const probe::Section& section, const std::string& item) {
    for (const probe::Row& row : section.rows)
        if (row.item == item) return &row;
    return nullptr;
}

}  // namespace

// A level C-FIND that ends in a failure is a failed row in words, never "works" with the
// failure's record counted; the query section is not said to work; the retrieve path says
// which query found no instance instead of moving one or blaming an empty archive.
TEST(Probe, ALevelQueryEndingInFailureFailsItsRowSectionAndRetrievePath) {
    const std::string advice =
        "the peer could not process it; its log says why, another transfer syntax may help";
    const struct {
        std::map<std::string, std::vector<Bytes>> answers;
        std::vector<std::string> levelRows;  // the level rows, in order
        const char* failed;
    } cases[] = {
        {{{"STUDY", UNABLE}}, {"STUDY level"}, "STUDY level"},
        {{{"STUDY", ONE_STUDY}, {"SERIES", ONE_SERIES}, {"IMAGE", UNABLE}},
         {"STUDY level", "SERIES level", "IMAGE level"},
         "IMAGE level"},
    };
    for (const auto& c : cases) {
        ScriptedArchive archive(c.answers);
        probe::Options options;
        options.host = "127.0.0.1";
        options.port = archive.Port();
        options.callingAeTitle = "PROBE";
        options.calledAeTitle = "ARCHIVE";
        options.moveDestination = "PROBE";
        options.receivePort = std::to_string(testsupport::FreePort());
        std::vector<std::string> told;
        const probe::Report report = probe::Run(
            options, [&](const probe::Section& section) { told.push_back(section.name); });
        ASSERT_EQ(report.sections.size(), 9u);
        EXPECT_EQ(told, (std::vector<std::string>{"Connection", "Verification", "Storage",
                                                  "Query/retrieve", "Worklist", "Retrieve path",
                                                  "Print", "Security", "Workflow"}));
        EXPECT_EQ(report.sections[0].verdict, probe::Verdict::Works);
        EXPECT_EQ(report.sections[1].verdict, probe::Verdict::Works) << report.sections[1].reason;
        EXPECT_EQ(report.sections[2].verdict, probe::Verdict::NotOffered);

        const probe::Section& query = report.sections[3];
        EXPECT_EQ(query.verdict, probe::Verdict::Failed);
        EXPECT_EQ(query.reason, std::string(c.failed) + " failed");
        ASSERT_EQ(query.rows.size(), 6 + c.levelRows.size());  // FIND, MOVE, GET of each root
        for (const std::string& item : c.levelRows) {
            const probe::Row* row = RowOf(query, item);
            ASSERT_NE(row, nullptr) << item;
            if (item != c.failed) {
                EXPECT_EQ(row->verdict, probe::Verdict::Works);
                EXPECT_EQ(row->reason.rfind("1 record; filled: ", 0), 0u) << row->reason;
                continue;
            }
            EXPECT_EQ(row->verdict, probe::Verdict::Failed);
            EXPECT_EQ(row->reason, "status 0xC000 (failed: unable to process)");
            EXPECT_EQ(row->advice, advice);
        }
        const probe::Section& retrieve = report.sections[5];
        EXPECT_EQ(retrieve.verdict, probe::Verdict::Failed);
        EXPECT_EQ(retrieve.reason, "no instance to move: the " + std::string(c.failed) +
                                       " query failed (see Query/retrieve)");
        EXPECT_EQ(report.sections[4].verdict, probe::Verdict::NotOffered);
        EXPECT_EQ(report.sections[6].verdict, probe::Verdict::NotOffered);
    }
}
