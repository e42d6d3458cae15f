// pydicom judges our character sets: every file of its character set samples dumped by
// tessaly-cli shows each text value as pydicom decodes it (person name groups, multi-valued
// elements and sequence items with and without a set of their own included), and what we
// write for keys in every set decodes back in pydicom to the text we were given.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "data/CharacterSet.h"
#include "support/TestSupport.h"

using namespace dicomlib::data;
namespace fs = std::filesystem;
using testsupport::RunCommand;

namespace {

const fs::path SAMPLES = "/usr/lib/python3/dist-packages/pydicom/data/charset_files";

std::string Script() {
    return (testsupport::SourceDir() / "tests/data/interop/charset_values.py").string();
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

std::string Stripped(std::string text) {
    text.erase(text.find_last_not_of(' ') + 1);
    return text.erase(0, text.find_first_not_of(' '));
}

// "GGGG,EEEE<TAB>value" for every text value a dump line shows, in dump order.
std::vector<std::string> DumpedTexts(const std::string& dump) {
    std::vector<std::string> texts;
    for (const std::string& line : Lines(dump)) {
        const std::size_t open = line.find('(');
        const std::size_t quote = line.find("  \"");
        const std::size_t end = line.rfind("\" - ");
        if (open == std::string::npos || quote == std::string::npos || end <= quote) continue;
        const std::string vr = line.substr(quote - 2, 2);
        if (vr != "SH" && vr != "LO" && vr != "ST" && vr != "LT" && vr != "UT" && vr != "PN" &&
            vr != "UC")
            continue;
        std::string value = Stripped(line.substr(quote + 3, end - quote - 3));
        if (vr == "PN") value.erase(value.find_last_not_of('=') + 1);  // empty groups at the end
        const std::string group = line.substr(open + 1, 4);
        if (value.empty() || group == "0002") continue;
        texts.push_back(group + "," + line.substr(open + 7, 4) + "\t" + value);
    }
    return texts;
}

class CharsetVersusPydicom : public testing::Test {
  protected:
    void SetUp() override {
        if (!fs::is_directory(SAMPLES) ||
            RunCommand({"/usr/bin/python3", "-c", "import pydicom"}).exitCode != 0)
            GTEST_SKIP() << "needs python3-pydicom and its character set samples";
    }
};

}  // namespace

TEST_F(CharsetVersusPydicom, DumpShowsEveryNameOfEverySampleAsPydicomDecodesIt) {
    std::vector<std::string> files;
    for (const auto& entry : fs::directory_iterator(SAMPLES))
        if (entry.path().extension() == ".dcm") files.push_back(entry.path().string());
    ASSERT_GE(files.size(), 15u);
    std::vector<std::string> judge = {"/usr/bin/python3", Script()};
    judge.insert(judge.end(), files.begin(), files.end());
    const auto theirs = RunCommand(judge);
    ASSERT_EQ(theirs.exitCode, 0) << theirs.errors;
    std::map<std::string, std::vector<std::string>> expected;
    std::vector<std::string>* current = nullptr;
    for (const std::string& line : Lines(theirs.output)) {
        if (line.rfind("# ", 0) == 0) {
            current = &expected[line.substr(2)];
            continue;
        }
        const std::size_t tab = line.find('\t');
        current->push_back(line.substr(0, tab + 1) + Stripped(line.substr(tab + 1)));
    }
    for (const std::string& file : files) {
        const auto ours = RunCommand({testsupport::CliPath(), "dump", file});
        ASSERT_EQ(ours.exitCode, 0) << file << ours.errors;
        EXPECT_EQ(DumpedTexts(ours.output), expected[file]) << file << "\n" << ours.output;
        EXPECT_EQ(ours.output.find("Warning:"), std::string::npos) << file;
    }
}

TEST_F(CharsetVersusPydicom, KeysWeWriteInEverySetDecodeBackInPydicom) {
    struct Case {
        const char* set;
        const char* vr;
        std::string text;
    };
    const std::vector<Case> cases = {
        {"ISO_IR 100", "PN", "Buc^Jérôme"},
        {"ISO_IR 101", "LO", "Łódź"},
        {"ISO_IR 144", "PN", "Люкceмбypг"},
        {"ISO_IR 126", "PN", "Διονυσιος"},
        {"ISO_IR 127", "PN", "قباني^لنزار"},
        {"ISO_IR 138", "PN", "שרון^דבורה"},
        {"ISO_IR 148", "LO", "İstanbul Ğ"},
        {"ISO_IR 166", "LO", "ภาษาไทย"},
        {"ISO_IR 192", "PN", "Wang^XiaoDong=王^小東"},
        {"GB18030", "PN", "Wang^XiaoDong=王^小东"},
        {"GBK", "LO", "王小东"},
        {"\\ISO 2022 IR 87", "PN", "Yamada^Tarou=山田^太郎=やまだ^たろう"},
        {"ISO 2022 IR 13\\ISO 2022 IR 87", "PN", "ﾔﾏﾀﾞ^ﾀﾛｳ=山田^太郎=やまだ^たろう"},
        {"\\ISO 2022 IR 149", "PN", "Hong^Gildong=洪^吉洞=홍^길동"},
        // (pydicom leaves the escape sequence of ISO 2022 IR 58 undecoded: no judge for it)
        {"ISO 2022 IR 100\\ISO 2022 IR 144\\ISO 2022 IR 126", "LO", "Zoë Лю Δι\\é"},
    };
    testsupport::TempDir dir;
    std::string list;
    for (const Case& c : cases) {
        const auto bytes = CharacterSet(c.set).Encode(c.text, *TextKindOf(c.vr));
        ASSERT_TRUE(bytes) << c.set << " " << c.text;
        std::string hex;
        for (const char b : *bytes) {
            char two[3];
            std::snprintf(two, sizeof two, "%02x", static_cast<uint8_t>(b));
            hex += two;
        }
        list += std::string(c.set) + "\t" + c.vr + "\t" + hex + "\n";
    }
    testsupport::WriteFileBytes(dir / "list.txt", {list.begin(), list.end()});
    const auto decoded =
        RunCommand({"/usr/bin/python3", Script(), "--decode", (dir / "list.txt").string()});
    ASSERT_EQ(decoded.exitCode, 0) << decoded.errors;
    const std::vector<std::string> lines = Lines(decoded.output);
    ASSERT_EQ(lines.size(), cases.size()) << decoded.output;
    for (std::size_t i = 0; i < cases.size(); ++i)
        EXPECT_EQ(lines[i], cases[i].text) << cases[i].set;
}
