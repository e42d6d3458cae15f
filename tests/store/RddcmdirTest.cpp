// The DICOMDIR reader on directories laid out byte by byte here, records out of file order in
// both item forms, and hostile variants that point anywhere. Directories written by others are
// the interop test's.
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
        offsets_.clear();
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

// Out of hierarchy order in the file: a patient, a private record with a study below it, the
// last patient, then their studies, series and image-level records.
struct Fixture {
    Directory dir;
    int patient, lastPatient, lastImage, lastSeries;

    Fixture() {
        patient = dir.Add(-1, "PATIENT", Name("First"));
        dir.Add(dir.Add(-1, "PRIVATE"), "STUDY");
        lastPatient = dir.Add(-1, "PATIENT", Name("Last"));
        const int series = dir.Add(dir.Add(patient, "STUDY"), "SERIES");
        dir.Add(series, "PRESENTATION");
        lastImage =
            dir.Add(series, "IMAGE",
                    DataSetBuilder(true, false).Text(0x0004, 0x1500, "CS", "A\\B ").Bytes());
        lastSeries = dir.Add(dir.Add(lastPatient, "STUDY"), "SERIES");
        dir.Add(lastSeries, "IMAGE");
    }
};

}  // namespace

TEST(Dicomdir, WalksWhatTheOffsetsReachInsideTheFileOnly) {
    // Other record types are skipped with what lies below them, image-level records keep their
    // own type, and the last patient keeps its children. An undefined-length sequence in front
    // of the root offset is stepped into; the offset inside it is not the directory's.
    const std::vector<std::string> all = {"PATIENT ", "STUDY ", "SERIES", "PRESENTATION", "IMAGE ",
                                          "PATIENT ", "STUDY ", "SERIES", "IMAGE "};
    const Bytes prelude = DataSetBuilder(true, false)
                              .Undefined(0x0003, 0x0010, "SQ")
                              .Item()
                              .Element(0x0004, 0x1200, "UL", {1, 0, 0, 0})
                              .ItemEnd()
                              .SequenceEnd()
                              .Bytes();
    for (bool undefinedItems : {false, true})
        EXPECT_EQ(Types(Fixture().dir.File(undefinedItems, prelude)), all) << undefinedItems;

    Fixture f;
    const Bytes good = f.dir.File(false);
    const auto patched = [&](int record, std::size_t field, uint32_t value) {
        Bytes file = good;
        Directory::Put(file, f.dir.Offset(record) + field, value);
        return Types(file);
    };
    constexpr std::size_t NEXT = 16, LOWER = 38;
    // A cycle, offsets beyond the file, into the meta group, or not at an item end that chain.
    EXPECT_EQ(patched(f.lastPatient, NEXT, f.dir.Offset(f.patient)), all);
    EXPECT_EQ(patched(f.lastSeries, LOWER, f.dir.Offset(f.patient)),
              std::vector<std::string>(all.begin(), all.end() - 1));
    for (uint32_t bad : {uint32_t(good.size()), uint32_t(good.size() - 4), 0xFFFFFFF8u, 140u,
                         f.dir.Offset(f.lastPatient) + 2}) {
        EXPECT_EQ(patched(f.patient, NEXT, bad).size(), 5u) << bad;
    }
    // A record whose next offset is missing ends its chain: the next record's is not taken.
    Bytes missing = good;
    missing[f.dir.Offset(f.patient) + 10] = 0x01;  // (0004,1400) becomes (0004,1401)
    EXPECT_EQ(Types(missing).size(), 5u);
    // A length beyond the file ends the record there; the walk goes on.
    Bytes huge = good;
    huge[f.dir.Offset(f.lastImage) + 62] = huge[f.dir.Offset(f.lastImage) + 63] = 0xFF;
    ElementList full, cut;
    ReadDCMDIR(good, full);
    EXPECT_EQ(Types(huge), all);
    ReadDCMDIR(huge, cut);
    EXPECT_EQ(cut.Size(), full.Size() - 1);
    // Root offset 0: an empty directory.
    Bytes empty = good;
    Directory::Put(empty, testsupport::Part10File(EXPLICIT_LE, {}).size() + 8, 0);
    EXPECT_TRUE(Types(empty).empty());
    // An empty record type is no record.
    Directory blank;
    blank.Add(blank.Add(-1, ""), "STUDY");
    blank.Add(-1, "PATIENT");
    EXPECT_EQ(Types(blank.File(true)), std::vector<std::string>{"PATIENT "});
    // Every truncation of the file reads safely.
    for (std::size_t size = 0; size < good.size(); ++size) {
        ElementList part;
        const DicomDirStatus status = ReadDCMDIR(Bytes(good.begin(), good.begin() + size), part);
        ASSERT_NE(status, DicomDirStatus::NotExplicitLittleEndian) << size;
    }
}
