#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "data/ElementList.h"
#include "net/CommandSet.h"
#include "net/Dimse.h"
#include "services/QueryRetrieve.h"
#include "store/QueryProvider.h"
#include "store/StoreScp.h"
#include "support/TestSupport.h"

using namespace dicomlib;
using namespace dicomlib::store;

namespace {

struct Instance {
    std::string patientId, name, study, date, time, series, modality, sop, sex;
};

ElementList DataSet(const Instance& i) {
    ElementList d;
    const auto add = [&](uint16_t g, uint16_t e, const char* vr, std::string text) {
        if (text.size() % 2 != 0) text += vr[0] == 'U' && vr[1] == 'I' ? '\0' : ' ';
        d.Append(data::NewTextElement({g, e}, vr, text));
    };
    add(0x0008, 0x0016, "UI", "1.2.840.10008.5.1.4.1.1.7");
    add(0x0008, 0x0018, "UI", i.sop);
    add(0x0008, 0x0020, "DA", i.date);
    add(0x0008, 0x0030, "TM", i.time);
    add(0x0008, 0x0060, "CS", i.modality);
    add(0x0010, 0x0010, "PN", i.name);
    add(0x0010, 0x0020, "LO", i.patientId);
    add(0x0010, 0x0040, "CS", i.sex);
    add(0x0020, 0x000D, "UI", i.study);
    add(0x0020, 0x000E, "UI", i.series);
    return d;
}

// An identifier from (tag, value) pairs; "SQ" pairs are not needed here.
QueryDataSet Keys(std::initializer_list<std::pair<Tag, const char*>> keys) {
    QueryDataSet d;
    for (const auto& [tag, value] : keys)
        d.SetText(tag, value);
    return d;
}

std::vector<std::string> Values(const FindAnswer& answer, Tag tag) {
    std::vector<std::string> values;
    for (const auto& match : answer.matches) {
        const QueryAttribute* a = match.Find(tag);
        values.push_back(a != nullptr ? a->value : "<absent>");
    }
    return values;
}

constexpr Tag LEVEL{0x0008, 0x0052};
constexpr Tag STUDY_DATE{0x0008, 0x0020};
constexpr Tag STUDY_TIME{0x0008, 0x0030};
constexpr Tag MODALITY{0x0008, 0x0060};
constexpr Tag MODALITIES{0x0008, 0x0061};
constexpr Tag NAME{0x0010, 0x0010};
constexpr Tag PATIENT_ID{0x0010, 0x0020};
constexpr Tag SEX{0x0010, 0x0040};
constexpr Tag STUDY_UID{0x0020, 0x000D};
constexpr Tag SERIES_UID{0x0020, 0x000E};
constexpr Tag SOP_UID{0x0008, 0x0018};
constexpr Tag STUDY_INSTANCES{0x0020, 0x1208};
constexpr Tag PATIENT_STUDIES{0x0020, 0x1200};

}  // namespace

// Over a provider with two studies and two extra pending responses: a query is answered with
// all four, then success; a C-CANCEL-RQ already waiting when the answer begins (the provider
// waits 300 ms first) ends it with 0xFE00 before any.
TEST(QueryProvider, AnswersUntilCancelled) {
    testsupport::TempDir dir;
    const StorageTarget target{StorageDirectoryOf((dir / "images").string()), dir / "Database"};
    for (const char* study : {"1.1", "1.2"}) {
        const std::string uid(study);
        ElementList d = DataSet(
            {"P1", "DOE^JOHN", uid, "20240105", "101500", uid + ".1", "CT", uid + ".1.1", "M"});
        ASSERT_EQ(StoreInstance(target.storageDirectory, target.indexRoot, d, "1.2.840.10008.1.2"),
                  0);
    }
    ProviderProfile profile = StandardProfile(target);
    AddQueryRows(profile, target, {true, {}, 2});
    profile.faults.delayMs = 300;
    const uint16_t port = testsupport::FreePort();
    StoreProvider provider(std::move(profile), std::to_string(port));
    ASSERT_TRUE(provider.Listening());
    constexpr char STUDY_ROOT[] = "1.2.840.10008.5.1.4.1.2.2.1";
    for (const bool cancel : {false, true}) {
        SCOPED_TRACE(cancel ? "cancelled" : "answered");
        int32_t outcome = 0;
        net::ConnectionSettings peer;
        peer.host = "127.0.0.1";
        peer.port = std::to_string(port);
        peer.calledAeTitle = "TESSALY";
        auto assoc = services::OpenQuery(peer, STUDY_ROOT, outcome);
        ASSERT_EQ(outcome, 0);
        net::CommandSet request = services::FindRequest(STUDY_ROOT, 7);
        ElementList identifier = FlatDataSetOf(Keys({{LEVEL, "STUDY"}, {STUDY_UID, ""}}));
        ASSERT_TRUE(
            net::SendMessage(*assoc, request.List(), STUDY_ROOT, net::MessageKind::Command));
        ASSERT_TRUE(net::SendMessage(*assoc, identifier, STUDY_ROOT, net::MessageKind::DataSet));
        if (cancel) {
            assoc->queryMessageId = 7;
            assoc->querySopClass = STUDY_ROOT;
            EXPECT_EQ(services::CancelQuery(*assoc, net::C_FIND_RSP), 0xFE00);
            continue;
        }
        int pending = 0;
        int32_t status = 0;
        while (true) {
            ElementList command, answer;
            status = services::ReadResponse(*assoc, net::C_FIND_RSP, command, answer);
            if (!net::IsPending(status)) break;
            ++pending;
        }
        EXPECT_EQ(status, 0);
        EXPECT_EQ(pending, 4);
    }
}

// One small archive stored as the provider stores, asked at every level of both models: the
// index answers what it holds, the stored files the rest (sex, modality), and each kind of
// matching picks the right records with exactly the keys asked for.
TEST(QueryProvider, MatchesTheStoredArchiveAtEveryLevel) {
    testsupport::TempDir dir;
    const StorageTarget target{StorageDirectoryOf((dir / "images").string()), dir / "Database"};
    for (const Instance& i : std::vector<Instance>{
             {"P1", "DOE^JOHN", "1.1", "20240105", "101500", "1.1.1", "CT", "1.1.1.1", "M"},
             {"P1", "DOE^JOHN", "1.1", "20240105", "101500", "1.1.1", "CT", "1.1.1.2", "M"},
             {"P1", "DOE^JOHN", "1.2", "20240320", "080000", "1.2.1", "MR", "1.2.1.1", "M"},
             {"P2", "ROE^JANE", "1.3", "20231201", "153000", "1.3.1", "US", "1.3.1.1", "F"},
         }) {
        ElementList d = DataSet(i);
        ASSERT_EQ(StoreInstance(target.storageDirectory, target.indexRoot, d, "1.2.840.10008.1.2"),
                  0);
    }
    const auto study = [&](std::initializer_list<std::pair<Tag, const char*>> keys) {
        QueryDataSet identifier = Keys(keys);
        identifier.SetText(LEVEL, "STUDY");
        if (identifier.Find(STUDY_UID) == nullptr) identifier.SetText(STUDY_UID, "");
        return AnswerIndexQuery(QueryModel::StudyRoot, identifier, target, "US");
    };
    using V = std::vector<std::string>;
    EXPECT_EQ(Values(study({{NAME, "doe*"}}), STUDY_UID), (V{"1.1", "1.2"}));
    EXPECT_EQ(Values(study({{NAME, "?OE^JAN?"}}), STUDY_UID), (V{"1.3"}));
    EXPECT_EQ(Values(study({{STUDY_DATE, "20240101-"}}), STUDY_UID), (V{"1.1", "1.2"}));
    EXPECT_EQ(Values(study({{STUDY_DATE, "-20231231"}}), STUDY_UID), (V{"1.3"}));
    EXPECT_EQ(Values(study({{STUDY_DATE, "20240301-20240331"}}), STUDY_UID), (V{"1.2"}));
    EXPECT_EQ(Values(study({{STUDY_TIME, "1000-1100"}}), STUDY_UID), (V{"1.1"}));
    // A date and a time both given as ranges are one date-time range: each alone would take
    // none of these, or 1.1 alone.
    EXPECT_EQ(
        Values(study({{STUDY_DATE, "20240105-20240320"}, {STUDY_TIME, "0900-1200"}}), STUDY_UID),
        (V{"1.1", "1.2"}));
    EXPECT_EQ(Values(study({{STUDY_DATE, "20240105-20240320"}, {STUDY_TIME, "1100-"}}), STUDY_UID),
              (V{"1.2"}));
    EXPECT_EQ(Values(study({{STUDY_DATE, "-20240105"}, {STUDY_TIME, "-1000"}}), STUDY_UID),
              (V{"1.3"}));
    EXPECT_EQ(Values(study({{STUDY_UID, "1.3\\1.1"}}), STUDY_UID), (V{"1.1", "1.3"}));
    EXPECT_EQ(Values(study({{PATIENT_ID, "P2"}}), STUDY_UID), (V{"1.3"}));
    EXPECT_TRUE(study({{PATIENT_ID, "P3"}}).matches.empty());

    // Exactly the keys asked for, the level's value, and what only the files hold.
    const FindAnswer sexes = study({{SEX, "F"}, {STUDY_INSTANCES, ""}, {MODALITIES, ""}});
    ASSERT_EQ(sexes.matches.size(), 1u);
    std::vector<Tag> tags;
    for (const auto& a : sexes.matches[0].attributes)
        tags.push_back(a.tag);
    EXPECT_EQ(tags, (std::vector<Tag>{LEVEL, MODALITIES, SEX, STUDY_UID, STUDY_INSTANCES}));
    EXPECT_EQ(Values(sexes, MODALITIES), (V{"US"}));
    EXPECT_EQ(Values(study({{STUDY_INSTANCES, ""}}), STUDY_INSTANCES), (V{"2", "1", "1"}));
    EXPECT_EQ(Values(study({{PATIENT_ID, "P1"}, {SERIES_UID, ""}}), SERIES_UID), (V{"", ""}));

    // A private key is taken as universal, and said to be.
    const FindAnswer privateKey = study({{{0x0009, 0x0010}, "X"}});
    EXPECT_EQ(privateKey.matches.size(), 3u);
    EXPECT_TRUE(privateKey.keysNotSupported);
    EXPECT_FALSE(study({{NAME, "*"}}).keysNotSupported);

    // Patients, series and images.
    QueryDataSet patients = Keys({{LEVEL, "PATIENT"}, {PATIENT_ID, ""}, {PATIENT_STUDIES, ""}});
    const FindAnswer p = AnswerIndexQuery(QueryModel::PatientRoot, patients, target, "US");
    EXPECT_EQ(Values(p, PATIENT_ID), (V{"P1", "P2"}));
    EXPECT_EQ(Values(p, PATIENT_STUDIES), (V{"2", "1"}));
    QueryDataSet series = Keys({{LEVEL, "SERIES"}, {STUDY_UID, "1.1\\1.2"}, {MODALITY, "MR"}});
    EXPECT_EQ(Values(AnswerIndexQuery(QueryModel::StudyRoot, series, target, "US"), MODALITY),
              (V{"MR"}));
    QueryDataSet lateSeries = Keys({{LEVEL, "SERIES"},
                                    {STUDY_DATE, "20240105-20240320"},
                                    {STUDY_TIME, "1100-"},
                                    {SERIES_UID, ""}});
    EXPECT_EQ(Values(AnswerIndexQuery(QueryModel::StudyRoot, lateSeries, target, "US"), SERIES_UID),
              (V{"1.2.1"}));
    QueryDataSet images =
        Keys({{LEVEL, "IMAGE"}, {PATIENT_ID, "P1"}, {SERIES_UID, "1.1.1"}, {SOP_UID, ""}});
    EXPECT_EQ(Values(AnswerIndexQuery(QueryModel::PatientRoot, images, target, "US"), SOP_UID),
              (V{"1.1.1.1", "1.1.1.2"}));

    // A compressed instance: its attributes in front of the pixel data are read all the same.
    ElementList compressed =
        DataSet({"P3", "POE^ANN", "1.4", "20240401", "090000", "1.4.1", "OT", "1.4.1.1", "O"});
    compressed.Append(data::NewElement(0x7FE0, 0x0010, UNDEFINED_LENGTH, nullptr, "OB"));
    compressed.Append(data::NewElement(0xFFFE, 0xE000, 0, nullptr, nullptr));
    compressed.Append(data::NewElement(0xFFFE, 0xE000, 4, "\xFF\xD8\xFF\xD9", nullptr));
    compressed.Append(data::NewElement(0xFFFE, 0xE0DD, 0, nullptr, nullptr));
    ASSERT_EQ(StoreInstance(target.storageDirectory, target.indexRoot, compressed,
                            "1.2.840.10008.1.2.4.70"),
              0);
    EXPECT_EQ(Values(study({{SEX, "O"}, {MODALITIES, ""}}), MODALITIES), (V{"OT"}));

    // Levels a model does not have.
    for (const char* level : {"FOO", "PATIENT"}) {
        const FindAnswer bad =
            AnswerIndexQuery(QueryModel::StudyRoot, Keys({{LEVEL, level}}), target, "US");
        EXPECT_EQ(bad.status, 0xA900) << level;
        EXPECT_NE(bad.reason.find(level), std::string::npos) << bad.reason;
    }
}

// Worklist items as JSON, matched inside the step's sequence; the answer nests the step with
// the keys of its item alone. A file that is no item is named, and the rest still answered.
TEST(QueryProvider, MatchesWorklistItemsOnTheScheduledStep) {
    testsupport::TempDir dir;
    const auto item = [](const char* name, const char* modality, const char* date,
                         const char* time) {
        return std::string(R"({"00100010":{"vr":"PN","Value":[{"Alphabetic":")") + name +
               R"("}]},"00400100":{"vr":"SQ","Value":[{"00080060":{"vr":"CS","Value":[")" +
               modality + R"("]},"00400001":{"vr":"AE","Value":["STATION1"]},)" +
               R"("00400002":{"vr":"DA","Value":[")" + date + R"("]},)" +
               R"("00400003":{"vr":"TM","Value":[")" + time + R"("]}}]}})";
    };
    const std::string a = item("DOE^JOHN", "MR", "20240105", "2200"),
                      b = item("ROE^JANE", "CT", "20240106", "1400");
    testsupport::WriteFileBytes(dir / "a.json", {a.begin(), a.end()});
    testsupport::WriteFileBytes(dir / "b.json", {b.begin(), b.end()});
    testsupport::WriteFileBytes(dir / "c.txt", {'n', 'o'});

    QueryDataSet step = Keys({{MODALITY, "MR\\US"}, {{0x0040, 0x0002}, "20240101-20240131"}});
    QueryAttribute sequence;
    sequence.tag = {0x0040, 0x0100};
    sequence.vr = "SQ";
    sequence.items.push_back(step);
    QueryDataSet identifier = Keys({{NAME, ""}});
    identifier.Set(sequence);
    const FindAnswer answer = AnswerWorklistQuery(identifier, dir.Path());
    EXPECT_EQ(answer.unreadable, std::vector<std::string>{"c.txt"});
    ASSERT_EQ(Values(answer, NAME), std::vector<std::string>{"DOE^JOHN"});
    const QueryAttribute* nested = answer.matches[0].Find({0x0040, 0x0100});
    ASSERT_TRUE(nested != nullptr && nested->items.size() == 1);
    EXPECT_EQ(nested->items[0].attributes.size(), 2u);  // the station AE title was not asked for
    EXPECT_EQ(nested->items[0].Find(MODALITY)->value, "MR");
    // The night from 18:00 on the 5th to noon on the 6th: a start date and time range matched
    // as one.
    QueryDataSet night =
        Keys({{{0x0040, 0x0002}, "20240105-20240106"}, {{0x0040, 0x0003}, "1800-1200"}});
    sequence.items = {night};
    identifier.Set(sequence);
    EXPECT_EQ(Values(AnswerWorklistQuery(identifier, dir.Path()), NAME),
              std::vector<std::string>{"DOE^JOHN"});

    // The answer's flat form reads back as the same tree.
    const ElementList flat = FlatDataSetOf(answer.matches[0]);
    const auto back = QueryDataSetOf(flat, {0, 0, 0});
    ASSERT_TRUE(back.Ok());
    EXPECT_EQ(back->Find({0x0040, 0x0100})->items[0].Find(MODALITY)->value, "MR");
    // A sequence that never closes is no identifier.
    ElementList open;
    open.Append(data::NewElement(0x0040, 0x0100, UNDEFINED_LENGTH, nullptr, "SQ"));
    EXPECT_FALSE(QueryDataSetOf(open, {0, 0, 0}).Ok());
}
