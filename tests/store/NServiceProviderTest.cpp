// The commitment and procedure step providers' decisions, without a socket: requests read in
// both sequence forms, verdicts read back by our own requestor, the state rules of a step.
#include <gtest/gtest.h>

#include "data/Encoder.h"
#include "net/CommandSet.h"
#include "net/DimseFixtures.h"
#include "net/NService.h"
#include "services/Commitment.h"
#include "services/Mpps.h"
#include "store/CommitProvider.h"
#include "store/MppsProvider.h"
#include "store/Nodes.h"

using namespace dicomlib;
using namespace nettest;

namespace {

// Data sets travel here in implicit VR little endian.
const data::DecoderState IMPLICIT{0, 0, 0};
constexpr char CT[] = "1.2.840.10008.5.1.4.1.1.2", MR[] = "1.2.840.10008.5.1.4.1.1.4";

Bytes Text(uint16_t group, uint16_t element, std::string text, char pad = ' ') {
    if (text.size() % 2 != 0) text += pad;
    return ImplicitElement(group, element, Bytes(text.begin(), text.end()));
}

Bytes Item(std::initializer_list<Bytes> elements) {
    return Cat(elements);
}

// The list without the elements of these tags, at any depth.
ElementList Without(const ElementList& list, std::initializer_list<Tag> tags) {
    ElementList kept;
    for (const DicomElement* e : list)
        if (std::find(tags.begin(), tags.end(), TagOf(*e)) == tags.end())
            kept.Append(data::CopyElement(*e));
    return kept;
}

ElementList Step() {
    services::MppsCreateAttributes a;
    a.stationAeTitle = "MODALITY";
    a.studyInstanceUid = "1.2.3.4";
    return services::MppsCreateDataSet(a);
}

}  // namespace

TEST(CommitProvider, ReadsRequestsInEitherSequenceFormAndRefusesIncompleteOnes) {
    for (bool defined : {false, true}) {
        const Bytes request = Cat(
            {Text(0x0008, 0x1195, "1.2.9", '\0'),
             Sequence(0x0008, 0x1199,
                      {Item({Text(0x0008, 0x1150, CT, '\0'), Text(0x0008, 0x1155, "1.5", '\0')}),
                       Item({Text(0x0008, 0x1150, MR, '\0'), Text(0x0008, 0x1155, "1.6", '\0')})},
                      defined)});
        store::CommitRequest read;
        std::string why;
        ASSERT_TRUE(store::ReadCommitRequest(ParseImplicit(request), IMPLICIT, read, why)) << why;
        EXPECT_EQ(read.transactionUid, "1.2.9");
        EXPECT_EQ(read.items, (std::vector<services::CommitItem>{{CT, "1.5"}, {MR, "1.6"}}));
    }
    const Bytes noClass =
        Cat({Text(0x0008, 0x1195, "1.2.9", '\0'),
             Sequence(0x0008, 0x1199, {Item({Text(0x0008, 0x1155, "1.5", '\0')})})});
    const Bytes noTransaction =
        Sequence(0x0008, 0x1199,
                 {Item({Text(0x0008, 0x1150, CT, '\0'), Text(0x0008, 0x1155, "1.5", '\0')})});
    const Bytes noItems = Cat({Text(0x0008, 0x1195, "1.2.9", '\0'), Sequence(0x0008, 0x1199, {})});
    for (const Bytes& bad : {noClass, noTransaction, noItems}) {
        store::CommitRequest read;
        std::string why;
        EXPECT_FALSE(store::ReadCommitRequest(ParseImplicit(bad), IMPLICIT, read, why));
        EXPECT_FALSE(why.empty());
    }
}

TEST(CommitProvider, JudgesWhatItHoldsAndReportsItAsTheRequestorReadsIt) {
    const store::CommitRequest request{"1.2.9", {{CT, "1.5"}, {CT, "1.6"}, {CT, "1.7"}}};
    const auto held = [](const std::string& uid) -> std::optional<std::string> {
        if (uid == "1.5") return CT;
        if (uid == "1.6") return MR;
        return std::nullopt;
    };
    const services::CommitmentReport report = store::JudgeStored(request, held);
    EXPECT_EQ(report.eventTypeId, 2);
    // Through the wire's bytes and back, read by the requestor's own reader.
    const ElementList sent =
        ParseImplicit(data::EncodeList(store::CommitReportDataSet(report), false));
    services::CommitmentReport read;
    std::string why;
    ASSERT_TRUE(services::ReadCommitmentReport(sent, IMPLICIT, read, why)) << why;
    EXPECT_EQ(read.transactionUid, "1.2.9");
    const auto verdicts = services::JudgeCommitment(request.items, read);
    ASSERT_EQ(verdicts.size(), 3u);
    EXPECT_EQ(verdicts[0].reason, 0);
    EXPECT_EQ(verdicts[1].reason, 0x0119);
    EXPECT_EQ(verdicts[2].reason, 0x0112);

    const auto all = store::JudgeStored({"1.2.10", {{CT, "1.5"}}}, held);
    EXPECT_EQ(all.eventTypeId, 1);
    const ElementList allSent = store::CommitReportDataSet(all);
    EXPECT_EQ(data::FindTag(allSent, tag::FailedSOPSequence), nullptr);
}

TEST(NServiceFailure, CarriesTheCommentAndTheAttributesAtFaultByteExact) {
    net::CommandSet response =
        net::NServiceFailure(net::N_CREATE_RSP, store::MPPS_CLASS, "1.2.3", 7, 0x0120,
                             "missing (0040,0241)", {{0x0040, 0x0241}, {0x0020, 0x000D}});
    // clang-format off
    const Bytes expected = CommandBytes({
        {0x0002, Uid(store::MPPS_CLASS)},             // Affected SOP Class UID
        {0x0100, Le16(0x8140)},                       // N-CREATE-RSP
        {0x0120, Le16(7)},                            // Message ID Being Responded To
        {0x0800, Le16(0x0101)},                       // no data set
        {0x0900, Le16(0x0120)},                       // missing attribute
        {0x0902, T("missing (0040,0241) ")},          // Error Comment, space to even
        {0x1000, Uid("1.2.3")},                       // Affected SOP Instance UID
        {0x1005, Cat({Le16(0x0040), Le16(0x0241),     // Attribute Identifier List
                      Le16(0x0020), Le16(0x000D)})},
    });
    // clang-format on
    EXPECT_EQ(data::EncodeList(response.List(), false), expected);
}

TEST(MppsProvider, CreatesAStepInProgressWithEveryRequiredAttribute) {
    const ElementList step = Step();
    EXPECT_EQ(store::DecideCreate(step, false).status, 0);
    EXPECT_EQ(store::DecideCreate(step, true).status, 0x0111);

    const auto missing =
        store::DecideCreate(Without(step, {{0x0040, 0x0241}, {0x0020, 0x000D}}), false);
    EXPECT_EQ(missing.status, 0x0120);
    EXPECT_EQ(missing.attributes, (std::vector<Tag>{{0x0020, 0x000D}, {0x0040, 0x0241}}));

    services::MppsCreateAttributes noModality;
    noModality.stationAeTitle = "MODALITY";
    noModality.modality = "";
    const auto empty = store::DecideCreate(services::MppsCreateDataSet(noModality), false);
    EXPECT_EQ(empty.status, 0x0121);
    EXPECT_EQ(empty.attributes, (std::vector<Tag>{{0x0008, 0x0060}}));

    const ElementList completed =
        store::MergeSet(step, services::MppsFinalDataSet("COMPLETED", "20260101", "1200", {}));
    EXPECT_EQ(store::DecideCreate(completed, false).status, 0x0106);

    // A defined-length scheduled step whose item lacks the study is opened and found wanting.
    const Bytes defined = Cat({Text(0x0008, 0x0060, "CT"), Text(0x0040, 0x0241, "MOD"),
                               Text(0x0040, 0x0244, "20260101"), Text(0x0040, 0x0245, "1200"),
                               Text(0x0040, 0x0252, "IN PROGRESS"), Text(0x0040, 0x0253, "7"),
                               Sequence(0x0040, 0x0270, {Text(0x0008, 0x0050, "A1")}, true)});
    const auto nested =
        store::DecideCreate(store::FlatDataSet(ParseImplicit(defined), IMPLICIT), false);
    EXPECT_EQ(nested.status, 0x0120);
    EXPECT_EQ(nested.attributes, (std::vector<Tag>{{0x0020, 0x000D}}));
}

TEST(MppsProvider, SetsOnlyAStepInProgressAndKeepsWhatTheChangeDoesNotName) {
    services::PerformedSeries series;
    series.seriesInstanceUid = "1.2.3.5";
    series.images.emplace_back(CT, "1.2.3.6");
    const ElementList final = services::MppsFinalDataSet("COMPLETED", "20260101", "1200", {series});
    EXPECT_EQ(store::DecideSet("IN PROGRESS", final).status, 0);
    for (const char* ended : {"COMPLETED", "DISCONTINUED"}) {
        const auto refused = store::DecideSet(ended, final);
        EXPECT_EQ(refused.status, 0x0110);
        EXPECT_NE(refused.comment.find(ended), std::string::npos);
    }
    const ElementList unknown = services::MppsFinalDataSet("DONE", "", "", {});
    EXPECT_EQ(store::DecideSet("IN PROGRESS", unknown).status, 0x0106);

    const ElementList merged = store::MergeSet(Step(), final);
    EXPECT_EQ(data::GetTopLevelString(merged, {0x0040, 0x0252}), "COMPLETED");
    EXPECT_EQ(data::GetTopLevelString(merged, {0x0040, 0x0250}), "20260101");
    EXPECT_EQ(data::GetTagString(merged, 0x0020, 0x000D), "1.2.3.4");  // the scheduled study
    EXPECT_EQ(data::GetTagString(merged, 0x0020, 0x000E), "1.2.3.5");
    // One Performed Series Sequence, and the top level in ascending order.
    int performed = 0;
    Tag last{0, 0};
    std::size_t depth = 0;
    for (const DicomElement* e : merged) {
        if (depth == 0) {
            EXPECT_TRUE(e->group > last.group ||
                        (e->group == last.group && e->element > last.element))
                << std::hex << e->group << "," << e->element;
            last = TagOf(*e);
            performed += TagOf(*e) == Tag{0x0040, 0x0340};
        }
        if (e->length == UNDEFINED_LENGTH) ++depth;
        if (e->group == 0xFFFE && e->element != 0xE000) --depth;
    }
    EXPECT_EQ(performed, 1);
}
