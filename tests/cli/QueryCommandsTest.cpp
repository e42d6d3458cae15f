// tessaly-cli find and worklist against the scripted provider: what reaches standard output and
// standard error, the DICOM JSON model, the exit codes; and the command lines that are refused.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "services/QueryFixtures.h"
#include "support/TestSupport.h"

using namespace nettest;
using testsupport::RunCommand;

namespace {

testsupport::CommandResult Cli(std::vector<std::string> args) {
    args.insert(args.begin(), testsupport::CliPath());
    return RunCommand(args);
}

}  // namespace

TEST(QueryCli, RecordsAsBlocksOrAsDicomJson) {
    const Bytes study = Implicit([](testsupport::DataSetBuilder& b) {
        b.Text(0x0008, 0x0020, "DA", "20240131")
            .Text(0x0008, 0x1030, "LO", "say \"hi\"\\ ")
            .Text(0x0010, 0x0010, "PN", "M\xFCLLER^J=MUELLER ")
            .Text(0x0020, 0x000D, "UI", std::string_view("1.2.3\0", 6));
    });
    const Bytes image = Implicit([](testsupport::DataSetBuilder& b) {
        b.Text(0x0008, 0x0008, "CS", "ORIGINAL\\PRIMARY")
            .Text(0x0020, 0x0013, "IS", "+12 ")
            .Text(0x0020, 0x0032, "DS", "-12.5\\3.0\\1e2 ")
            .Text(0x0020, 0x1041, "DS", "n/a\\inf ");
    });
    {
        QueryPeer peer({Response(0xFF00, true), DataSetPdu(study), Response(0xA900, false)});
        const auto r = Cli({"find", "127.0.0.1", peer.Port(), "--key", "PatientName=M*"});
        peer.Join();
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(r.output,
                  "PatientName: M\xC3\xBCLLER^J=MUELLER \n"
                  "StudyDate: 20240131\n"
                  "StudyDescription: say \"hi\"\\ \n"
                  "StudyInstanceUID: 1.2.3\n"
                  "\n"
                  "1 result\n");  // the final failure's record is not a result
        EXPECT_EQ(r.errors,
                  "FIND failed: final status 0xA900 (failed: identifier does not match the SOP "
                  "class)\n  status 0xA900 (failed: identifier does not match the SOP class): "
                  "the peer finds the query keys do not fit its query model; check the level "
                  "and the keys\n");
    }
    {
        QueryPeer peer({Response(0xFF00, true), DataSetPdu(study), Response(0xFF01, true),
                        DataSetPdu(image), Response(0x0000, false)});
        const auto r = Cli({"find", "127.0.0.1", peer.Port(), "--level", "image", "--json"});
        peer.Join();
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_EQ(r.output,
                  "[\n"
                  "{\"0020000D\":{\"vr\":\"UI\",\"Value\":[\"1.2.3\"]}},"
                  "\n{\"00080008\":{\"vr\":\"CS\",\"Value\":[\"ORIGINAL\",\"PRIMARY\"]},"
                  "\"00200013\":{\"vr\":\"IS\",\"Value\":[12]},"
                  "\"00200032\":{\"vr\":\"DS\",\"Value\":[-12.5,3.0,1e2]},"
                  "\"00201041\":{\"vr\":\"DS\",\"Value\":[\"n/a\",\"inf\"]}}\n"
                  "]\n");
        EXPECT_EQ(r.errors,
                  "2 results\nFIND OK: final status 0x0000 (success: matching is "
                  "complete)\n");
    }
    {
        QueryPeer peer({Response(0xFF00, true), DataSetPdu(study), Response(0x0000, false)});
        const auto r = Cli({"find", "127.0.0.1", peer.Port(), "--json"});
        peer.Join();
        EXPECT_EQ(r.output,
                  "[\n{\"00080020\":{\"vr\":\"DA\",\"Value\":[\"20240131\"]},"
                  "\"00081030\":{\"vr\":\"LO\",\"Value\":[\"say \\\"hi\\\"\",null]},"
                  "\"00100010\":{\"vr\":\"PN\",\"Value\":[{\"Alphabetic\":\"M\xC3\xBCLLER^J\","
                  "\"Ideographic\":\"MUELLER\"}]},"
                  "\"0020000D\":{\"vr\":\"UI\",\"Value\":[\"1.2.3\"]}}\n]\n");
    }
}

TEST(QueryCli, KeysGoInTheirCharacterSetAndResultsComeInUtf8) {
    // The key in ISO 8859-5 with (0008,0005) before it; the answer in ISO 2022 with Cyrillic
    // in G1, its step item naming a set of its own for the step's fields.
    const Bytes entry = Implicit([](testsupport::DataSetBuilder& b) {
        b.Text(0x0008, 0x0005, "CS", "\\ISO 2022 IR 144")
            .Text(0x0010, 0x0010, "PN",
                  "\x1b-L\xbb\xee\xda"
                  "ce\xdc\xd1yp\xd3=Lux")
            .Undefined(0x0040, 0x0100, "SQ")
            .Item()
            .Text(0x0008, 0x0005, "CS", "ISO_IR 192")
            .Text(0x0040, 0x0006, "PN", "王^小東")
            .ItemEnd()
            .SequenceEnd();
    });
    QueryPeer peer({Response(0xFF00, true), DataSetPdu(entry), Response(0x0000, false)});
    const auto r = Cli({"worklist", "127.0.0.1", peer.Port(), "--charset", "ISO_IR 144", "--key",
                        "PatientName=Люк*", "--json"});
    peer.Join();
    EXPECT_EQ(r.exitCode, 0) << r.errors;
    const ElementList sent = ParseImplicit(peer.identifier.data);
    EXPECT_EQ(dicomlib::data::GetTagString(sent, 0x0008, 0x0005), "ISO_IR 144");
    EXPECT_EQ(dicomlib::data::GetTagString(sent, 0x0010, 0x0010), "\xbb\xee\xda*");
    EXPECT_EQ(r.output,
              "[\n{\"00100010\":{\"vr\":\"PN\",\"Value\":[{\"Alphabetic\":\"Люкceмбypг\","
              "\"Ideographic\":\"Lux\"}]},\"00400100\":{\"vr\":\"SQ\",\"Value\":[{"
              "\"00400006\":{\"vr\":\"PN\",\"Value\":[{\"Alphabetic\":\"王^小東\"}]}}]}}\n]\n");

    // A key beyond ASCII without a set, a set we cannot write in, a key the set cannot hold.
    const std::vector<std::pair<std::vector<std::string>, std::string>> refused = {
        {{"--key", "PatientName=王*"}, "\"王\" cannot be written in the default repertoire"},
        {{"--charset", "ISO_IR 999"}, "unknown term \"ISO_IR 999\""},
        {{"--charset", "ISO_IR 100", "--key", "PatientName=Zoë王"},
         "\"王\" cannot be written in ISO_IR 100"},
    };
    for (const auto& [options, why] : refused) {
        std::vector<std::string> line = {"find", "127.0.0.1", "104"};
        line.insert(line.end(), options.begin(), options.end());
        const auto no = Cli(line);
        EXPECT_EQ(no.exitCode, 2);
        EXPECT_NE(no.errors.find(why), std::string::npos) << no.errors;
    }
}

TEST(QueryCli, NoPeerNoResults) {
    const auto r = Cli({"find", "127.0.0.1", std::to_string(testsupport::FreePort())});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.output, "");
    EXPECT_EQ(r.errors.find("FIND failed: cannot connect"), 0u) << r.errors;
}

TEST(QueryCli, WrongCommandLinesExitWithTwo) {
    const std::vector<std::vector<std::string>> lines = {
        {"find", "127.0.0.1", "104", "--key", "PatientNom=X"},
        {"find", "127.0.0.1", "104", "--level", "patient"},
        {"find", "127.0.0.1", "104", "--level", "series", "--key", "PatientName=X"},
        {"find", "127.0.0.1", "104", "--key", "PatientName"},
        {"find", "127.0.0.1"},
        {"move", "127.0.0.1", "104", "--key", "StudyInstanceUID=1.2"},
        {"move", "127.0.0.1", "104", "--dest", "A-TITLE-OF-17-CHR"},
        {"move", "127.0.0.1", "104", "--dest", "X", "--json"},
        {"worklist", "127.0.0.1", "104", "--key", "ScheduledStationAET=CT1"},
        {"worklist", "127.0.0.1", "104", "--level", "study"},
    };
    for (const auto& line : lines) {
        const auto r = Cli(line);
        EXPECT_EQ(r.exitCode, 2) << line.back() << r.errors;
        EXPECT_EQ(r.output, "");
        EXPECT_EQ(r.errors.rfind("tessaly-cli: " + line[0], 0) == 0 ||
                      r.errors.rfind("usage: tessaly-cli " + line[0], 0) == 0,
                  true)
            << r.errors;
    }
    EXPECT_NE(Cli(lines[0]).errors.find("PatientName, PatientID"), std::string::npos);
    EXPECT_NE(Cli(lines[8]).errors.find("never sends the key 'ScheduledStationAET'"),
              std::string::npos);
}
