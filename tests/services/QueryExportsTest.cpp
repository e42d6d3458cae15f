// The exported query operations called as a careless C caller might: every mistake is refused
// with its documented result and nothing is freed twice (the ASan build checks the memory).
#include <gtest/gtest.h>

#include "services/QueryFixtures.h"
#include "zedavura.h"

using namespace nettest;

namespace {

constexpr char MOVE[] = "1.2.840.10008.5.1.4.1.2.2.2";
constexpr int32_t REFUSED = -15;

}  // namespace

TEST(QueryExports, CallerMistakesAreRefusedWithAResult) {
    RecordList* list = NewRecordList();
    RecordList* empty = NewRecordList();
    StudyRecord foreign{};  // not made by the library
    void* study = NewRecord("STUDY");
    void* series = NewRecord("SERIES");
    ASSERT_NE(study, nullptr);
    EXPECT_EQ(NewRecord("PATIENT"), nullptr);
    EXPECT_STREQ(RecordKind(study), "STUDY");
    EXPECT_STREQ(static_cast<StudyRecord*>(study)->StudyDate, "");
    EXPECT_EQ(SetRecordField(study, 14, "x"), 0);
    EXPECT_EQ(SetRecordField(study, 0, nullptr), 0);
    EXPECT_EQ(SetRecordField(&foreign, 0, "x"), 0);
    EXPECT_EQ(SetRecordField(study, 0, "DOE*"), 1);
    EXPECT_STREQ(static_cast<StudyRecord*>(study)->PatientName, "DOE*");
    EXPECT_STREQ(RecordText(study, 0), "DOE*");
    EXPECT_EQ(RecordText(study, 14), nullptr);
    EXPECT_EQ(AppendRecord(list, &foreign), 0);
    EXPECT_EQ(AppendRecord(list, study), 1);
    EXPECT_EQ(AppendRecord(list, study), 0);   // already listed
    EXPECT_EQ(FreeRecord(study), 0);           // the list frees it
    EXPECT_EQ(AppendRecord(list, series), 0);  // another kind than the list's
    EXPECT_EQ(FreeRecord(series), 1);
    EXPECT_EQ(FreeRecord(series), 0);
    EXPECT_EQ(RecordKind(series), nullptr);
    EXPECT_EQ(RecordAt(list, 1), nullptr);
    RecordField field;
    EXPECT_EQ(DescribeRecordField("STUDY", 14, &field), 0);
    EXPECT_EQ(DescribeRecordField("WORKLIST", 22, nullptr), 0);

    // Arguments that do not fit: nothing sent or received, the key record stays.
    Association* idle = NewPDU();
    int32_t remaining = 7;
    EXPECT_EQ(WriteFindRQ(idle, list, FIND, "PATIENT"), 0);
    EXPECT_EQ(WriteFindRQ(idle, list, FIND, "SERIES"), 0);
    EXPECT_EQ(WriteMoveRQ(idle, list, MOVE, "STUDY", nullptr), 0);
    EXPECT_EQ(WriteFindRQ(idle, empty, FIND, "STUDY"), 0);
    EXPECT_EQ(WriteWLFindRQ(idle, list, "1.2.840.10008.5.1.4.31"), 0);
    EXPECT_EQ(ReadFindRSP(idle, list, "PATIENT"), REFUSED);
    EXPECT_EQ(ReadFindRSP(idle, list, "IMAGE"), REFUSED);
    EXPECT_EQ(ReadFindRSP(nullptr, list, "STUDY"), REFUSED);
    EXPECT_EQ(ReadWLFindRSP(idle, list), REFUSED);
    EXPECT_EQ(ReadMoveRSP(idle, nullptr), REFUSED);
    EXPECT_EQ(ReadMoveRSP(idle, &remaining), -1);  // nothing to receive on
    EXPECT_EQ(remaining, -1);
    EXPECT_EQ(ReadFindRSP(idle, list, "STUDY"), -1);
    EXPECT_EQ(FindSCUStatus("127.0.0.1", "1", "", "", "STUDY", empty), REFUSED);
    EXPECT_EQ(FindSCU("127.0.0.1", "1", "", "", "PATIENT", list), 0);
    EXPECT_EQ(MoveSCUStatus("127.0.0.1", "1", "", "", "DEST", "SERIES", list, nullptr, nullptr),
              REFUSED);
    EXPECT_EQ(FindSCUStatus(nullptr, "1", "", "", "STUDY", list), REFUSED);
    EXPECT_EQ(ClearQuery(list, "SERIES"), 0);
    EXPECT_EQ(ClearWL(list), 0);
    EXPECT_EQ(ClearQuery(nullptr, "STUDY"), 0);
    EXPECT_EQ(RecordCount(list), 1u);
    EXPECT_EQ(ClearQuery(empty, "PATIENT"), 1);  // an empty list fits every level
    DeletePDU(idle);

    // The request cannot be sent after the association opened (no context for the C-MOVE
    // class on a C-FIND association): the key record has been freed and has left the list, so
    // ClearQuery frees only what is in it.
    QueryPeer peer({});
    Association* assoc = NewPDU();
    char calling[17] = "";
    ASSERT_EQ(OpenAssoc(assoc, "127.0.0.1", peer.Port().c_str(), calling, "PEER", FIND, nullptr),
              1);
    EXPECT_EQ(WriteFindRQ(assoc, list, MOVE, "STUDY"), 0);
    EXPECT_EQ(RecordCount(list), 0u);
    EXPECT_EQ(ClearQuery(list, "STUDY"), 1);
    DeletePDU(assoc);
    peer.Join();

    // The peer aborts right after accepting: whether the send or the receive fails, the list
    // holds only live records.
    FakePeer aborting;
    aborting.Start([](dicomlib::net::PduStream& s) {
        AcceptAssociation(s);
        s.Write(ABORT);
    });
    void* key = NewRecord("IMAGE");
    ASSERT_EQ(AppendRecord(empty, key), 1);
    EXPECT_LT(FindSCUStatus("127.0.0.1", aborting.Port().c_str(), "", "", "IMAGE", empty), 0);
    aborting.Join();
    EXPECT_EQ(RecordCount(empty), 0u);
    EXPECT_EQ(ClearQuery(empty, "IMAGE"), 1);
    DeleteRecordList(empty);
    DeleteRecordList(list);
}
