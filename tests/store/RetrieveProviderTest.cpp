#include "store/RetrieveProvider.h"

#include <gtest/gtest.h>

#include <array>
#include <fstream>
#include <string>
#include <vector>

#include "data/Encoder.h"
#include "data/Tags.h"
#include "net/CommandSet.h"
#include "store/DatabaseIndex.h"
#include "support/TestSupport.h"

using namespace dicomlib;
using namespace dicomlib::store;
namespace fs = std::filesystem;

namespace {

void Add(ElementList& list, Tag tag, const char* vr, std::string text) {
    if (text.size() % 2 != 0) text += vr[0] == 'U' ? '\0' : ' ';
    list.Append(data::NewTextElement(tag, vr, text));
}

ElementList Instance(const std::string& patient, const std::string& study,
                     const std::string& series, const std::string& sop) {
    ElementList d;
    Add(d, tag::SOPClassUID, "UI", "1.2.840.10008.5.1.4.1.1.2");
    Add(d, tag::SOPInstanceUID, "UI", sop);
    Add(d, tag::PatientID, "LO", patient);
    Add(d, tag::StudyInstanceUID, "UI", study);
    Add(d, tag::SeriesInstanceUID, "UI", series);
    return d;
}

ElementList Identifier(const std::string& level,
                       const std::vector<std::pair<Tag, std::string>>& keys) {
    ElementList d;
    Add(d, tag::QueryRetrieveLevel, "CS", level);
    for (const auto& [t, value] : keys)
        Add(d, t, t == tag::PatientID ? "LO" : "UI", value);
    return d;
}

}  // namespace

TEST(Nodes, ParsesTitlesHostsAndPortsAndNamesTheBadLine) {
    std::string why;
    const auto nodes = ParseNodes(
        "# destinations\n\nSTORESCP 127.0.0.1 11112\r\n"
        "  VIEWER\tviewer.local  104  \n",
        why);
    ASSERT_TRUE(nodes) << why;
    EXPECT_EQ(*nodes, (std::vector<Node>{{"STORESCP", "127.0.0.1", "11112"},
                                         {"VIEWER", "viewer.local", "104"}}));
    EXPECT_EQ(FindNode(*nodes, "VIEWER  ")->host, "viewer.local");
    EXPECT_EQ(FindNode(*nodes, "viewer"), nullptr);

    for (const auto& [text, words] : std::vector<std::pair<std::string, std::string>>{
             {"A 127.0.0.1\n", "line 1 (\"A 127.0.0.1\") is not \"AE HOST PORT\""},
             {"# x\nA h 1 extra", "line 2 (\"A h 1 extra\") is not \"AE HOST PORT\""},
             {"A h 70000", "the port is not a number from 1 to 65535"},
             {"A h 0", "the port is not a number from 1 to 65535"},
             {"ABCDEFGHIJKLMNOPQ h 104", "the AE title is longer than 16 characters"}}) {
        EXPECT_FALSE(ParseNodes(text, why)) << text;
        EXPECT_NE(why.find(words), std::string::npos) << why;
    }
    testsupport::TempDir dir;
    EXPECT_FALSE(ReadNodesFile(dir.Path() / "missing.txt", why));
    EXPECT_NE(why.find("cannot read the nodes file"), std::string::npos) << why;
    EXPECT_FALSE(ReadNodesFile(dir.Path(), why));
}

// Two patients, three studies' worth of keys: each level and model selects by its unique keys.
TEST(RetrieveSelection, SelectsByTheUniqueKeysOfEachLevel) {
    testsupport::TempDir dir;
    const fs::path index = dir.Path() / "Database";
    for (const auto& [patient, study, series, sop] :
         std::vector<std::array<std::string, 4>>{{"P1", "1.2.3", "1.2.3.1", "1.2.3.1.1"},
                                                 {"P1", "1.2.3", "1.2.3.1", "1.2.3.1.2"},
                                                 {"P1", "1.2.3", "1.2.3.2", "1.2.3.2.1"},
                                                 {"P2", "1.2.4", "1.2.4.1", "1.2.4.1.1"},
                                                 {"P1", "1.2.5", "1.2.5.1", "1.2.5.1.1"}})
        AddIndexLines(index, Instance(patient, study, series, sop));
    // Two first instances of one study filed at once may both write its study line.
    const std::string studies = testsupport::ReadFileText(index / "LXStudy.dir");
    std::ofstream(index / "LXStudy.dir", std::ios::app)
        << studies.substr(0, studies.find('\n') + 1);
    const std::string storage = (dir.Path() / "images").string() + "/";

    struct Case {
        bool patientRoot;
        ElementList identifier;
        std::vector<std::string> sops;
        uint16_t status = 0;
    };
    std::vector<Case> cases;
    cases.push_back({true,
                     Identifier("PATIENT", {{tag::PatientID, "P1"}}),
                     {"1.2.3.1.1", "1.2.3.1.2", "1.2.3.2.1", "1.2.5.1.1"}});
    cases.push_back(
        {true,
         Identifier("STUDY", {{tag::PatientID, "P2"}, {tag::StudyInstanceUID, "1.2.3\\1.2.4"}}),
         {"1.2.4.1.1"}});
    cases.push_back({false,
                     Identifier("STUDY", {{tag::StudyInstanceUID, "1.2.5\\1.2.3"}}),
                     {"1.2.3.1.1", "1.2.3.1.2", "1.2.3.2.1", "1.2.5.1.1"}});
    cases.push_back({false,
                     Identifier("SERIES", {{tag::StudyInstanceUID, "1.2.3"},
                                           {tag::SeriesInstanceUID, "1.2.3.2\\1.2.4.1"}}),
                     {"1.2.3.2.1"}});
    cases.push_back({false,
                     Identifier("IMAGE", {{tag::SOPInstanceUID, "1.2.3.1.2\\1.2.4.1.1\\9.9"}}),
                     {"1.2.3.1.2", "1.2.4.1.1"}});
    cases.push_back({false, Identifier("STUDY", {{tag::StudyInstanceUID, "9.9"}}), {}});
    // What the model has not, or a level without its own key, is refused.
    cases.push_back({false, Identifier("PATIENT", {{tag::PatientID, "P1"}}), {}, 0xA900});
    cases.push_back({false, Identifier("SERIES", {{tag::StudyInstanceUID, "1.2.3"}}), {}, 0xA900});
    cases.push_back({true, Identifier("FRAME", {{tag::SOPInstanceUID, "1.2.3.1.1"}}), {}, 0xA900});
    for (const Case& c : cases) {
        const Selection s = SelectInstances(storage, index, c.patientRoot, c.identifier);
        SCOPED_TRACE(data::GetTagString(c.identifier, tag::QueryRetrieveLevel));
        EXPECT_EQ(s.status, c.status) << s.why;
        EXPECT_EQ(s.status == 0, s.why.empty()) << s.why;
        std::vector<std::string> sops;
        for (const StoredInstance& i : s.instances)
            sops.push_back(i.sopInstanceUid);
        EXPECT_EQ(sops, c.sops);
    }
    const Selection one = SelectInstances(
        storage, index, false, Identifier("IMAGE", {{tag::SOPInstanceUID, "1.2.4.1.1"}}));
    ASSERT_EQ(one.instances.size(), 1u);
    EXPECT_EQ(one.instances[0].file, fs::path(storage + "1.2.4/1.2.4.1/1.2.4.1.1.dcm"));
}

// A pending C-MOVE-RSP after one of three sub-operations, to Message ID 7, as it goes out.
TEST(RetrieveResponse, PendingAndFinalCommandSetsByteExact) {
    ElementList request;
    Add(request, tag::AffectedSOPClassUID, "UI", STUDY_ROOT_MOVE_CLASS);
    request.Append(data::NewUsElement(tag::MessageID, 7));
    const ElementList pending =
        RetrieveResponse(request, net::C_MOVE_RSP, net::STATUS_PENDING, {2, 1, 0, 0}, true, false);
    // clang-format off
    const std::vector<uint8_t> expected = {
        0x00, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0x74, 0x00, 0x00, 0x00,  // length 116
        0x00, 0x00, 0x02, 0x00, 0x1C, 0x00, 0x00, 0x00,                          // (0000,0002)
        '1', '.', '2', '.', '8', '4', '0', '.', '1', '0', '0', '0', '8', '.', '5', '.',
        '1', '.', '4', '.', '1', '.', '2', '.', '2', '.', '2', 0x00,             //   padded
        0x00, 0x00, 0x00, 0x01, 0x02, 0x00, 0x00, 0x00, 0x21, 0x80,              // C-MOVE-RSP
        0x00, 0x00, 0x20, 0x01, 0x02, 0x00, 0x00, 0x00, 0x07, 0x00,              // to 7
        0x00, 0x00, 0x00, 0x08, 0x02, 0x00, 0x00, 0x00, 0x01, 0x01,              // no data set
        0x00, 0x00, 0x00, 0x09, 0x02, 0x00, 0x00, 0x00, 0x00, 0xFF,              // pending
        0x00, 0x00, 0x20, 0x10, 0x02, 0x00, 0x00, 0x00, 0x02, 0x00,              // 2 remaining
        0x00, 0x00, 0x21, 0x10, 0x02, 0x00, 0x00, 0x00, 0x01, 0x00,              // 1 completed
        0x00, 0x00, 0x22, 0x10, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00,              // 0 failed
        0x00, 0x00, 0x23, 0x10, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00,              // 0 warning
    };
    // clang-format on
    EXPECT_EQ(data::EncodeList(pending, false), expected);

    // The final one has no remaining count; with failures it announces their list.
    const SubOperations done{0, 2, 1, 0};
    EXPECT_EQ(FinalRetrieveStatus(done), 0xB000);
    EXPECT_EQ(FinalRetrieveStatus({0, 3, 0, 0}), 0x0000);
    const ElementList final =
        RetrieveResponse(request, net::C_MOVE_RSP, FinalRetrieveStatus(done), done, true, true);
    EXPECT_EQ(data::FindTag(final, tag::NumberOfRemainingSuboperations), nullptr);
    EXPECT_EQ(data::GetTagUS(final, tag::NumberOfFailedSuboperations), 1);
    EXPECT_NE(data::GetTagUS(final, tag::CommandDataSetType), net::NO_DATA_SET);
    const ElementList failed = FailedInstancesIdentifier({"1.2.3", "1.2.45"});
    EXPECT_EQ(data::GetTagString(failed, {0x0008, 0x0058}), "1.2.3\\1.2.45");
    EXPECT_EQ(data::FindTag(failed, {0x0008, 0x0058})->length, 12u);
}
