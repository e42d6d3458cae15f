// The DICOMDIR reader on directories laid out byte by byte here: records out of file order, both
// item forms, and hostile files that point anywhere.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "store/Rddcmdir.h"
#include "support/DataSetBuilder.h"

using dicomlib::store::DicomDirStatus;
using dicomlib::store::ReadDCMDIR;
using testsupport::DataSetBuilder;
using testsupport::PaddedText;
using Bytes = std::vector<uint8_t>;

namespace {

constexpr const char* EXPLICIT_LE = "1.2.840.10008.1.2.1";

// Records in the directory record sequence in the order added; next and lower offsets point at
// the next record added with the same parent and at the first child.
class Directory {
  public:
    int Add(int parent, const std::string& type, const Bytes& elements = {}) {
        records_.push_back({parent, type, elements});
        return static_cast<int>(records_.size()) - 1;
    }

    Bytes File(bool undefinedItems, const Bytes& prelude = {}, const char* ts = EXPLICIT_LE) {
        DataSetBuilder body(true, false);
        body.Raw(prelude)
            .Element(0x0004, 0x1200, "UL", {0, 0, 0, 0})
            .Undefined(0x0004, 0x1220, "SQ");
        const std::size_t prefix = testsupport::Part10File(ts, {}).size();
        for (const Record& r : records_) {
            offsets_.push_back(prefix + body.Bytes().size());
            const Bytes content = DataSetBuilder(true, false)
                                      .Element(0x0004, 0x1400, "UL", {0, 0, 0, 0})
                                      .US(0x0004, 0x1410, 0xFFFF)
                                      .Element(0x0004, 0x1420, "UL", {0, 0, 0, 0})
                                      .Element(0x0004, 0x1430, "CS", PaddedText(r.type, ' '))
                                      .Raw(r.elements)
                                      .Bytes();
            if (undefinedItems) {
                body.Item().Raw(content).ItemEnd();
            } else {
                body.ItemWithValue(content);
            }
        }
        Bytes file = testsupport::Part10File(ts, body.SequenceEnd().Bytes());
        for (std::size_t i = 0; i < records_.size(); ++i) {
            Put(file, offsets_[i] + 16, Following(i, records_[i].parent));
            Put(file, offsets_[i] + 38, Following(static_cast<std::size_t>(-1), int(i)));
        }
        Put(file, prefix + prelude.size() + 8, Following(static_cast<std::size_t>(-1), -1));
        return file;
    }

    uint32_t Offset(int record) const { return static_cast<uint32_t>(offsets_[record]); }

    static void Put(Bytes& file, std::size_t at, uint32_t v) {
        for (int b = 0; b < 4; ++b)
            file[at + b] = static_cast<uint8_t>(v >> (8 * b));
    }

  private:
    struct Record {
        int parent;
        std::string type;
        Bytes elements;
    };

    // The offset of the first record after index with this parent, or 0.
    uint32_t Following(std::size_t index, int parent) const {
        for (std::size_t i = index + 1; i < records_.size(); ++i) {
            if (records_[i].parent == parent) return static_cast<uint32_t>(offsets_[i]);
        }
        return 0;
    }

    std::vector<Record> records_;
    std::vector<std::size_t> offsets_;
};

Bytes Name(const std::string& text) {
    return DataSetBuilder(true, false).Element(0x0010, 0x0010, "PN", PaddedText(text, ' ')).Bytes();
}

// Every element as "gggg,eeee VR text".
std::vector<std::string> Lines(const ElementList& list) {
    std::vector<std::string> lines;
    for (const DicomElement* e : list) {
        char head[32];
        std::snprintf(head, sizeof head, "%04X,%04X %.2s", e->group, e->element,
                      e->vr[0] != 0 ? e->vr : "--");
        std::string line = head;
        if (e->value != nullptr) line += " " + std::string(e->value, e->value + e->length);
        lines.push_back(line);
    }
    return lines;
}

// The record types in list order.
std::vector<std::string> Types(const Bytes& file) {
    ElementList list;
    EXPECT_EQ(ReadDCMDIR(file, list), DicomDirStatus::Read);
    std::vector<std::string> types;
    for (const DicomElement* e : list) {
        if (e->group == 0x0004 && e->element == 0x1430)
            types.emplace_back(e->value, e->value + e->length);
    }
    return types;
}

struct Fixture {
    Directory dir;
    int patient, hidden, lastPatient, study, series, image, presentation, lastImage, lastSeries;

    Fixture() {
        patient = dir.Add(-1, "PATIENT", Name("First"));
        hidden = dir.Add(-1, "PRIVATE");
        dir.Add(hidden, "STUDY");
        lastPatient = dir.Add(-1, "PATIENT", Name("Last"));
        // A sequence of undefined length with two items inside the study record.
        study = dir.Add(patient, "STUDY",
                        DataSetBuilder(true, false)
                            .Undefined(0x0008, 0x1110, "SQ")
                            .Item()
                            .Text(0x0008, 0x1150, "UI", "1.2")
                            .ItemEnd()
                            .Item()
                            .Text(0x0008, 0x1150, "UI", "3.4")
                            .ItemEnd()
                            .SequenceEnd()
                            .Bytes());
        image = dir.Add(-2, "IMAGE");  // reparented below, so that it lies before its series
        series = dir.Add(study, "SERIES");
        presentation = dir.Add(series, "PRESENTATION");
        lastImage =
            dir.Add(series, "IMAGE",
                    DataSetBuilder(true, false).Text(0x0004, 0x1500, "CS", "A\\B ").Bytes());
        lastSeries = dir.Add(dir.Add(lastPatient, "STUDY"), "SERIES");
        dir.Add(lastSeries, "IMAGE");
    }
};

}  // namespace

TEST(Dicomdir, FollowsTheOffsetsInHierarchyOrderInBothItemForms) {
    for (bool undefinedItems : {false, true}) {
        SCOPED_TRACE(undefinedItems ? "undefined-length items" : "defined-length items");
        Fixture f;
        // An undefined-length sequence in front of the root offset is stepped into; the offset
        // inside it is not the directory's.
        const Bytes prelude = DataSetBuilder(true, false)
                                  .Undefined(0x0003, 0x0010, "SQ")
                                  .Item()
                                  .Element(0x0004, 0x1200, "UL", {1, 0, 0, 0})
                                  .ItemEnd()
                                  .SequenceEnd()
                                  .Bytes();
        Bytes file = f.dir.File(undefinedItems, prelude);
        // The image that lies first in the file is the series' first child.
        Directory::Put(file, f.dir.Offset(f.series) + 38, f.dir.Offset(f.image));
        Directory::Put(file, f.dir.Offset(f.image) + 16, f.dir.Offset(f.presentation));
        ElementList list;
        ASSERT_EQ(ReadDCMDIR(file, list), DicomDirStatus::Read);
        const std::vector<std::string> expected = {
            "0004,1430 CS PATIENT ", "0010,0010 PN First ", "0004,1430 CS STUDY ", "0008,1110 SQ",
            "FFFE,E000 --", "0008,1150 UI 1.2", "FFFE,E00D --", "FFFE,E000 --", "0008,1150 UI 3.4",
            "FFFE,E00D --", "FFFE,E0DD --", "0004,1430 CS SERIES", "0004,1430 CS IMAGE ",
            "0004,1430 CS PRESENTATION", "0004,1430 CS IMAGE ", "0004,1500 CS A\\B ",
            // The last patient keeps its children.
            "0004,1430 CS PATIENT ", "0010,0010 PN Last", "0004,1430 CS STUDY ",
            "0004,1430 CS SERIES", "0004,1430 CS IMAGE "};
        EXPECT_EQ(Lines(list), expected);
    }
}

TEST(Dicomdir, HostileFilesEndTheWalkWithoutReadingOutsideTheFile) {
    Fixture f;
    const Bytes good = f.dir.File(false);
    const std::vector<std::string> all = Types(good);
    const auto patched = [&](int record, std::size_t field, uint32_t value) {
        Bytes file = good;
        Directory::Put(file, f.dir.Offset(record) + field, value);
        return Types(file);
    };
    constexpr std::size_t NEXT = 16, LOWER = 38;
    const std::vector<std::string> withoutLast(all.begin(), all.end() - 1);
    // A cycle, offsets beyond the file, into the meta group, or not at an item end that chain.
    EXPECT_EQ(patched(f.lastPatient, NEXT, f.dir.Offset(f.patient)), all);
    EXPECT_EQ(patched(f.lastSeries, LOWER, f.dir.Offset(f.patient)), withoutLast);
    for (uint32_t bad : {uint32_t(good.size()), uint32_t(good.size() - 4), 0xFFFFFFF8u, 140u,
                         f.dir.Offset(f.lastPatient) + 2}) {
        EXPECT_EQ(patched(f.patient, NEXT, bad).size(), 5u) << bad;
    }
    // A record whose next offset is missing ends its chain: the next record's is not taken.
    Bytes missing = good;
    missing[f.dir.Offset(f.patient) + 10] = 0x01;  // (0004,1400) becomes (0004,1401)
    EXPECT_EQ(Types(missing).size(), 5u);
    // A length beyond the file ends the record: what precedes it stays, its chain goes on.
    Bytes huge = good;
    huge[f.dir.Offset(f.lastImage) + 62] = huge[f.dir.Offset(f.lastImage) + 63] = 0xFF;
    EXPECT_EQ(Types(huge), all);
    ElementList cut;
    ReadDCMDIR(huge, cut);
    EXPECT_EQ(Lines(cut).at(13), "0004,1430 CS IMAGE ");
    EXPECT_EQ(Lines(cut).at(14), "0004,1430 CS PATIENT ");
    // Root offset 0: an empty directory.
    Bytes empty = good;
    Directory::Put(empty, testsupport::Part10File(EXPLICIT_LE, {}).size() + 8, 0);
    EXPECT_TRUE(Types(empty).empty());
    // An empty record type is no record.
    Directory blank;
    blank.Add(blank.Add(-1, ""), "STUDY");
    blank.Add(-1, "PATIENT");
    EXPECT_EQ(Types(blank.File(true)), std::vector<std::string>{"PATIENT "});

    ElementList list;
    EXPECT_EQ(ReadDCMDIR(Bytes(good.begin() + 132, good.end()), list), DicomDirStatus::NotPart10);
    for (const char* ts : {"1.2.840.10008.1.2", "1.2.840.10008.1.2.2"})
        EXPECT_EQ(ReadDCMDIR(Fixture().dir.File(false, {}, ts), list),
                  DicomDirStatus::NotExplicitLittleEndian);
    EXPECT_EQ(ReadDCMDIR(testsupport::Part10File(EXPLICIT_LE, Name("x")), list),
              DicomDirStatus::NoRootOffset);
    EXPECT_TRUE(list.Empty());
    // Every truncation of both forms reads safely.
    for (bool undefinedItems : {false, true}) {
        const Bytes whole = Fixture().dir.File(undefinedItems);
        for (std::size_t size = 0; size < whole.size(); ++size) {
            ElementList part;
            const DicomDirStatus status =
                ReadDCMDIR(Bytes(whole.begin(), whole.begin() + size), part);
            ASSERT_TRUE(status == DicomDirStatus::Read || status == DicomDirStatus::NotPart10 ||
                        status == DicomDirStatus::NoRootOffset)
                << size;
        }
    }
}
