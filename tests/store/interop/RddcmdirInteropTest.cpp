// DICOMDIRs written by DCMTK's dcmmkdir (both item forms, with and without icon images) and
// pydicom's directory test files, read by us and compared with DCMTK's view of the same file:
// dcmdump's records, walked by their offsets here. The CLI's JSON is judged by pydicom.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "data/Datadec.h"
#include "store/Rddcmdir.h"
#include "support/DcmtkCompare.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;
using dicomlib::store::DicomDirStatus;
using testsupport::DumpLine;
using testsupport::RunCommand;

constexpr const char* PYTHON = "/usr/bin/python3";

struct DumpRecord {
    uint32_t next = 0, lower = 0;
    std::string type;
    std::vector<DumpLine> body;  // the lines after its type, nested ones included
};

// dcmdump's records by offset, and the root offset.
std::map<uint32_t, DumpRecord> DumpRecords(const fs::path& file, uint32_t& root) {
    std::map<uint32_t, DumpRecord> records;
    DumpRecord* current = nullptr;
    bool typed = false;
    std::istringstream in(RunCommand({"dcmdump", "+L", "-Un", "-q", file.string()}).output);
    for (std::string line; std::getline(in, line);) {
        if (const auto at = line.find("#  offset=$"); at != std::string::npos) {
            current = &records[static_cast<uint32_t>(std::stoul(line.substr(at + 11)))];
            typed = false;
            continue;
        }
        const std::size_t open = line.find('(');
        if (open == std::string::npos || line.size() < open + 15 || line[open + 10] != ')')
            continue;
        DumpLine l{line.substr(open, 11), line.substr(open + 12, 2), line.substr(open + 15)};
        l.value = l.value.substr(0, l.value.rfind('#'));
        l.value = l.value.substr(0, l.value.find_last_not_of(' ') + 1);
        if (l.value == "(no value available)") l.value.clear();
        if (l.tag == "(0004,1200)") root = static_cast<uint32_t>(std::stoul(l.value));
        if (current == nullptr) continue;
        if (open == 2) {
            current = nullptr;  // the record's delimiter
        } else if (open == 4 && !typed && l.tag == "(0004,1400)") {
            current->next = static_cast<uint32_t>(std::stoul(l.value));
        } else if (open == 4 && !typed && l.tag == "(0004,1420)") {
            current->lower = static_cast<uint32_t>(std::stoul(l.value));
        } else if (open == 4 && !typed && l.tag == "(0004,1430)") {
            current->type = testsupport::CanonicalValue(l);
            typed = true;
        } else if (typed) {
            current->body.push_back(l);
        }
    }
    return records;
}

// dcmdump's records in the hierarchy order their offsets give.
void Walk(const std::map<uint32_t, DumpRecord>& records, uint32_t offset, int level,
          std::set<uint32_t>& seen, std::vector<const DumpRecord*>& out) {
    static const char* const TYPES[] = {"PATIENT", "STUDY", "SERIES"};
    for (; offset != 0 && records.count(offset) != 0 && seen.insert(offset).second;
         offset = records.at(offset).next) {
        const DumpRecord& r = records.at(offset);
        if (level < 3 && r.type != TYPES[level]) continue;
        out.push_back(&r);
        if (level < 3) Walk(records, r.lower, level + 1, seen, out);
    }
}

// Our value as dcmdump shows it (US is the only binary number in these records).
std::string Shown(const DicomElement& e) {
    std::string text(e.value, e.value + (e.value != nullptr ? e.length : 0));
    if (e.vr[0] == 'U' && e.vr[1] == 'S') return std::to_string(e.value[0] | (e.value[1] << 8));
    if (e.vr[0] == 'O') return text;
    return text.substr(0, text.find_last_not_of(std::string(" \0", 2)) + 1);
}

// Our records, each with its defined-length sequences and items opened as dcmdump shows them.
std::vector<ElementList> OurRecords(const ElementList& list) {
    std::vector<ElementList> records;
    for (const DicomElement* e : list) {
        if (e->group == 0x0004 && e->element == 0x1430) records.emplace_back();
        const bool container =
            (e->group == 0xFFFE && e->element == 0xE000) || (e->vr[0] == 'S' && e->vr[1] == 'Q');
        if (container && dicomlib::data::HasValue(*e)) {
            dicomlib::data::ExpandSequence({1, 0, 0}, *e, records.back());
        } else {
            records.back().Append(
                dicomlib::data::NewElement(e->group, e->element, e->length, e->value, e->vr));
        }
    }
    return records;
}

void ExpectAsDcmdumpShows(const fs::path& file) {
    SCOPED_TRACE(file.string());
    uint32_t root = 0;
    const auto dumped = DumpRecords(file, root);
    std::set<uint32_t> seen;
    std::vector<const DumpRecord*> expected;
    Walk(dumped, root, 0, seen, expected);

    ElementList list;
    ASSERT_EQ(dicomlib::store::ReadDCMDIR(file, list), DicomDirStatus::Read);
    const std::vector<ElementList> ours = OurRecords(list);
    ASSERT_EQ(ours.size(), expected.size());
    for (std::size_t r = 0; r < ours.size(); ++r) {
        const std::string type = Shown(*ours[r][0]);
        EXPECT_EQ(type, expected[r]->type);
        ASSERT_EQ(ours[r].Size() - 1, expected[r]->body.size()) << type << " record " << r;
        for (std::size_t i = 0; i < expected[r]->body.size(); ++i) {
            const DicomElement& e = *ours[r][i + 1];
            const DumpLine& want = expected[r]->body[i];
            char tag[16];
            std::snprintf(tag, sizeof tag, "(%04x,%04x)", e.group, e.element);
            ASSERT_EQ(tag, want.tag) << type << " record " << r << " element " << i;
            if (e.group != 0xFFFE && want.vr != "SQ") {
                const bool number = want.vr == "US";
                EXPECT_EQ(Shown(e), number ? want.value : testsupport::CanonicalValue(want)) << tag;
                EXPECT_EQ(std::string(e.vr, 2), want.vr) << tag;
            }
        }
    }
}

// dcmmkdir's directories of pydicom's directory test images (in a fresh copy of them): both
// item forms, with and without icon images.
std::vector<fs::path> MakeDirectories(const fs::path& dir) {
    const fs::path images = testsupport::PydicomTestFiles() / "dicomdirtests";
    std::vector<fs::path> made;
    for (std::string options : {"", "-e", "+X", "+X -e", "cyrillic"}) {
        const fs::path root = dir / ("set" + std::to_string(made.size()));
        fs::create_directories(root);
        for (const char* patient : {"77654033", "98892001", "98892003"})
            fs::copy(images / patient, root / patient, fs::copy_options::recursive);
        if (options == "cyrillic") {
            // One patient named in ISO 8859-5, which its records then name as their set.
            options.clear();
            for (const auto& f : fs::recursive_directory_iterator(root / "77654033")) {
                if (!f.is_regular_file()) continue;
                EXPECT_EQ(RunCommand({"dcmodify", "-nb", "-i", "(0008,0005)=ISO_IR 144", "-i",
                                      "(0010,0010)=\xbb\xee\xda"
                                      "ce\xdc\xd1yp\xd3",
                                      f.path().string()})
                              .exitCode,
                          0);
            }
        }
        const std::string command = "dcmmkdir -q +r +I -Nxc -Nec -Nrc -Xs 16 " + options + " +id " +
                                    root.string() + " +D " + root.string() +
                                    "/DICOMDIR 77654033 98892001 98892003";
        EXPECT_EQ(RunCommand({"sh", "-c", command}).exitCode, 0) << command;
        made.push_back(root / "DICOMDIR");
    }
    return made;
}

}  // namespace

TEST(DicomdirInterop, DirectoriesReadAsDcmdumpShowsThemAndPrintAsPydicomReadsThem) {
    if (!testsupport::ToolAvailable("dcmmkdir") || testsupport::PydicomTestFiles().empty() ||
        RunCommand({PYTHON, "-c", "import pydicom"}).exitCode != 0) {
        GTEST_SKIP() << "dcmmkdir or pydicom is not installed";
    }
    testsupport::TempDir dir;
    const std::string script =
        (testsupport::SourceDir() / "tests/store/interop/dicomdir_json.py").string();
    const auto cli = [](std::vector<std::string> args) {
        args.insert(args.begin(), {testsupport::CliPath(), "dicomdir"});
        return RunCommand(args);
    };
    for (const fs::path& made : MakeDirectories(dir.Path())) {
        ExpectAsDcmdumpShows(made);
        const auto json = cli({"--json", made.string()});
        ASSERT_EQ(json.exitCode, 0) << json.errors;
        testsupport::WriteFileBytes(dir / "out.json", {json.output.begin(), json.output.end()});
        const auto judged =
            RunCommand({PYTHON, script, made.string(), (dir / "out.json").string()});
        EXPECT_EQ(judged.exitCode, 0) << made << ": " << judged.output << judged.errors;
    }
    const fs::path files = testsupport::PydicomTestFiles() / "dicomdirtests";
    for (const char* name : {"DICOMDIR", "DICOMDIR-empty.dcm", "DICOMDIR-nooffset",
                             "DICOMDIR-nopatient", "DICOMDIR-reordered", "TINY_ALPHA/DICOMDIR"})
        ExpectAsDcmdumpShows(files / name);

    const auto tree = cli({(dir / "set0").string()});
    EXPECT_EQ(tree.output.rfind("PATIENT  Doe^Archibald  ID 77654033\n  STUDY  20010101  ID 2  "
                                "accession 2  XR C Spine Comp Min 4 Views\n    SERIES  CR  "
                                "number 1\n      IMAGE  number 1  file " +
                                    (dir / "set0/77654033/CR1/6154").string() + "\n",
                                0),
              0u)
        << tree.output;
    const auto named = cli({(dir / "set4").string()});
    EXPECT_EQ(named.output.rfind("PATIENT  Люкceмбypг  ID 77654033\n", 0), 0u) << named.output;
    // Big endian and implicit VR directories are refused, not read as garbage.
    for (const auto& [name, reason] : std::vector<std::pair<std::string, std::string>>{
             {"DICOMDIR-bigEnd", "not explicit VR little endian"},
             {"DICOMDIR-implicit", "not explicit VR little endian"},
             {"77654033/CR1/6154", "no offset of the first directory record"},
             {"README.txt", "not a Part 10 file"}}) {
        const auto refused = cli({"--json", (files / name).string()});
        EXPECT_EQ(refused.exitCode, 1) << name;
        EXPECT_EQ(refused.output, "") << name;
        EXPECT_EQ(refused.errors.rfind((files / name).string() + ": ", 0), 0u);
        EXPECT_NE(refused.errors.find(reason), std::string::npos) << refused.errors;
        EXPECT_EQ(std::count(refused.errors.begin(), refused.errors.end(), '\n'), 1);
    }
}
