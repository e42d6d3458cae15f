#include "services/Print.h"

#include <gtest/gtest.h>

#include <map>

#include "net/DimseFixtures.h"
#include "net/TraceLog.h"
#include "support/BitmapFiles.h"
#include "support/TestSupport.h"
#include "zedavura.h"

using namespace dicomlib;
using namespace dicomlib::net;
using namespace nettest;

namespace {

constexpr char SESSION_UID[] = "1.2.3.100";
constexpr char FILM_BOX_UID[] = "1.2.3.200";
constexpr char IMAGE_BOX_CLASS[] = "1.2.840.10008.5.1.1.4";
constexpr char IMAGE_BOX_UID[] = "1.2.3.200.1";

// The window's settings: one copy, medium priority, blue film to the magazine; one image on a
// 14 x 17 inch portrait film, replicated.
const FilmSessionSettings WINDOW_SESSION = {"1", "MED", "BLUE FILM", "MAGAZINE"};
const FilmBoxSettings WINDOW_BOX = {
    "STANDARD\\1,1", "PORTRAIT", "14INX17IN", "REPLICATE", "", "", "", ""};

Bytes Undefined(uint16_t group, uint16_t element) {
    return Cat({Le16(group), Le16(element), Le32(0xFFFFFFFF)});
}
Bytes Delimiter(uint16_t element) {
    return Cat({Le16(0xFFFE), Le16(element), Le32(0)});
}
Bytes Item(const Bytes& contents) {
    return ImplicitElement(0xFFFE, 0xE000, contents);
}
Bytes ImageBoxUids(std::string_view sopClass, std::string_view instance) {
    return Cat({ImplicitElement(0x0008, 0x1150, Uid(sopClass)),
                ImplicitElement(0x0008, 0x1155, Uid(instance))});
}
// A Referenced Image Box Sequence with defined lengths.
Bytes DefinedSequence(const Bytes& items) {
    return ImplicitElement(0x2010, 0x0510, items);
}

// An N-service response: Affected SOP Class and, when given, Instance UID.
Bytes NResponseBytes(uint16_t field, uint16_t messageId, uint16_t status,
                     std::optional<std::string> instance = std::nullopt, bool dataSet = false) {
    Command c = {{0x0002, Uid("1.2.840.10008.5.1.1.1")},
                 {0x0100, Le16(field)},
                 {0x0120, Le16(messageId)},
                 {0x0800, Le16(dataSet ? 0x0102 : 0x0101)},
                 {0x0900, Le16(status)}};
    if (instance) c.push_back({0x1000, Uid(*instance)});
    return CommandBytes(c);
}

struct Answer {
    Bytes command;
    Bytes dataSet;  // empty: none follows
};

// How a printer answers each request (by Command Field); a missing answer aborts.
using Answers = std::map<uint16_t, std::function<Answer(uint16_t messageId)>>;

Answers GoodPrinter(Bytes filmBoxDataSet = DefinedSequence(Item(ImageBoxUids(IMAGE_BOX_CLASS,
                                                                             IMAGE_BOX_UID)))) {
    return {
        {0x0110,
         [](uint16_t id) {
             return Answer{NResponseBytes(0x8110, id, 0, std::nullopt, true),
                           ImplicitElement(0x2110, 0x0010, T("NORMAL"))};
         }},
        {0x0140,
         [filmBoxDataSet](uint16_t id) {
             // The first N-CREATE makes the film session, the second the film box.
             return id == 5
                        ? Answer{NResponseBytes(0x8140, id, 0, SESSION_UID), {}}
                        : Answer{NResponseBytes(0x8140, id, 0, FILM_BOX_UID, true), filmBoxDataSet};
         }},
        {0x0120,
         [](uint16_t id) {
             return Answer{NResponseBytes(0x8120, id, 0), {}};
         }},
        {0x0130,
         [](uint16_t id) {
             return Answer{NResponseBytes(0x8130, id, 0), {}};
         }},
        {0x0150,
         [](uint16_t id) {
             return Answer{NResponseBytes(0x8150, id, 0), {}};
         }},
    };
}

// A print server on a free port: accepts the association (or refuses every context), answers
// each request from its table, serves the release. Read what came after Join.
class ScriptedPrinter {
  public:
    explicit ScriptedPrinter(Answers answers, uint8_t contextResult = RESULT_ACCEPTANCE) {
        peer_.Start([this, answers = std::move(answers), contextResult](PduStream& s) {
            s.Write(AcceptEvery(ReadPduBytes(s), "", contextResult));
            if (contextResult != RESULT_ACCEPTANCE) return;
            for (;;) {
                MessagePart command = ReadMessagePart(s);
                if (!command.ok) {
                    released = command.pdus.size() == 1 && command.pdus[0] == RELEASE_RQ &&
                               s.Write(RELEASE_RP);
                    return;
                }
                commands.push_back(command.data);
                const bool withData = UsOf(command.data, tag::CommandDataSetType) != 0x0101;
                dataSets.push_back(withData ? ReadMessagePart(s).data : Bytes());
                const auto answer = answers.find(UsOf(command.data, tag::CommandField));
                if (answer == answers.end()) {
                    s.Write(ABORT);
                    return;
                }
                const Answer a = answer->second(UsOf(command.data, tag::MessageID));
                const uint8_t context = command.pdus[0][10];
                s.Write(PDataTF({{context, 0x03, a.command}}));
                if (!a.dataSet.empty()) s.Write(PDataTF({{context, 0x02, a.dataSet}}));
            }
        });
    }
    const std::string& Port() const { return peer_.Port(); }
    void Join() { peer_.Join(); }

    std::vector<Bytes> commands;
    std::vector<Bytes> dataSets;
    bool released = false;

  private:
    FakePeer peer_;
};

// A 3 x 3 bitmap whose gray values are 0, 128 and 255 in every row.
std::filesystem::path SmallBitmap(const testsupport::TempDir& dir) {
    const auto path = dir / "film.bmp";
    testsupport::WriteFileBytes(
        path, testsupport::BitmapFileBytes({.bits = 8,
                                            .width = 3,
                                            .height = 3,
                                            .palette = {0x000000, 0x808080, 0xFFFFFF},
                                            .rows = Bytes{0, 1, 2, 0, 0, 1, 2, 0, 0, 1, 2, 0}}));
    return path;
}

struct Printed {
    bool result = false;
    std::vector<std::string> lines;
};

Printed Print(const std::string& port, const std::filesystem::path& file,
              const FilmBoxSettings& box = WINDOW_BOX) {
    Printed p;
    p.result = services::PrintSCU(file, "127.0.0.1", port, "TESSALY", "PRINTER", WINDOW_SESSION,
                                  box, [&](const std::string& line) { p.lines.push_back(line); });
    return p;
}

const std::vector<std::string> ALL_OK = {"Create Film Session: OK!", "Create Film Box: OK!",
                                         "Width: 3, Height: 3",      "Set Image Box: OK!",
                                         "FilmBox Action: OK!",      "FilmBox Delete: OK!"};

}  // namespace

TEST(PrintSCU, SendsTheFiveCommandSetsAndThreeAttributeSetsByteExact) {
    testsupport::TempDir dir;
    ScriptedPrinter printer(GoodPrinter());
    const Printed p = Print(printer.Port(), SmallBitmap(dir));
    printer.Join();
    EXPECT_TRUE(p.result);
    EXPECT_EQ(p.lines, ALL_OK);
    EXPECT_TRUE(printer.released);
    // clang-format off
    const std::vector<Bytes> commands = {
        Cat({ImplicitElement(0x0000, 0x0000, Le32(90)),         // 22 + 22 + 46
             ImplicitElement(0x0000, 0x0003, T("1.2.840.10008.5.1.1.16")),   // Printer
             ImplicitElement(0x0000, 0x0100, Le16(0x0110)),     // N-GET-RQ
             ImplicitElement(0x0000, 0x0110, Le16(3)),          // Message ID
             ImplicitElement(0x0000, 0x0800, Le16(0x0101)),     // no data set
             ImplicitElement(0x0000, 0x1001, T("1.2.840.10008.5.1.1.17"))}), // the printer
        Cat({ImplicitElement(0x0000, 0x0000, Le32(60)),         // 22 + 38: no instance UID
             ImplicitElement(0x0000, 0x0002, Uid("1.2.840.10008.5.1.1.1")),  // film session
             ImplicitElement(0x0000, 0x0100, Le16(0x0140)),     // N-CREATE-RQ
             ImplicitElement(0x0000, 0x0110, Le16(5)),
             ImplicitElement(0x0000, 0x0800, Le16(0x0102))}),   // a data set follows
        Cat({ImplicitElement(0x0000, 0x0000, Le32(60)),
             ImplicitElement(0x0000, 0x0002, Uid("1.2.840.10008.5.1.1.2")),  // film box
             ImplicitElement(0x0000, 0x0100, Le16(0x0140)),
             ImplicitElement(0x0000, 0x0110, Le16(7)),
             ImplicitElement(0x0000, 0x0800, Le16(0x0102))}),
        Cat({ImplicitElement(0x0000, 0x0000, Le32(80)),         // 22 + 12 + 46
             ImplicitElement(0x0000, 0x0003, Uid(IMAGE_BOX_CLASS)),
             ImplicitElement(0x0000, 0x0100, Le16(0x0120)),     // N-SET-RQ
             ImplicitElement(0x0000, 0x0110, Le16(9)),
             ImplicitElement(0x0000, 0x0800, Le16(0x0102)),
             ImplicitElement(0x0000, 0x1001, Uid(IMAGE_BOX_UID))}),
        Cat({ImplicitElement(0x0000, 0x0000, Le32(88)),         // 22 + 10 + 46 + 10
             ImplicitElement(0x0000, 0x0003, Uid("1.2.840.10008.5.1.1.2")),
             ImplicitElement(0x0000, 0x0100, Le16(0x0130)),     // N-ACTION-RQ
             ImplicitElement(0x0000, 0x0110, Le16(11)),
             ImplicitElement(0x0000, 0x0800, Le16(0x0101)),
             ImplicitElement(0x0000, 0x1001, Uid(FILM_BOX_UID)),
             ImplicitElement(0x0000, 0x1008, Le16(1))}),        // print
        Cat({ImplicitElement(0x0000, 0x0000, Le32(78)),
             ImplicitElement(0x0000, 0x0003, Uid("1.2.840.10008.5.1.1.2")),
             ImplicitElement(0x0000, 0x0100, Le16(0x0150)),     // N-DELETE-RQ
             ImplicitElement(0x0000, 0x0110, Le16(13)),
             ImplicitElement(0x0000, 0x0800, Le16(0x0101)),
             ImplicitElement(0x0000, 0x1001, Uid(FILM_BOX_UID))}),
    };
    const std::vector<Bytes> dataSets = {
        {},
        Cat({ImplicitElement(0x2000, 0x0010, T("1 ")),          // copies, padded with a space
             ImplicitElement(0x2000, 0x0020, T("MED ")),
             ImplicitElement(0x2000, 0x0030, T("BLUE FILM ")),
             ImplicitElement(0x2000, 0x0040, T("MAGAZINE"))}),
        Cat({ImplicitElement(0x2010, 0x0010, T("STANDARD\\1,1")),
             ImplicitElement(0x2010, 0x0040, T("PORTRAIT")),
             ImplicitElement(0x2010, 0x0050, T("14INX17IN ")),
             ImplicitElement(0x2010, 0x0060, T("REPLICATE ")),   // no densities: none given
             ImplicitElement(0x2010, 0x0150, {}),               // Configuration Information
             Undefined(0x2010, 0x0500),                         // Referenced Film Session
             Undefined(0xFFFE, 0xE000),
             ImplicitElement(0x0008, 0x1150, Uid("1.2.840.10008.5.1.1.1")),
             ImplicitElement(0x0008, 0x1155, Uid(SESSION_UID)),
             Delimiter(0xE00D), Delimiter(0xE0DD)}),
        Cat({ImplicitElement(0x2020, 0x0010, Le16(1)),          // Image Box Position
             ImplicitElement(0x2020, 0x0020, T("NORMAL")),      // Polarity
             Undefined(0x2020, 0x0110),                         // Basic Grayscale Image
             Undefined(0xFFFE, 0xE000),
             ImplicitElement(0x0028, 0x0002, Le16(1)),          // Samples per Pixel
             ImplicitElement(0x0028, 0x0004, T("MONOCHROME2 ")),
             ImplicitElement(0x0028, 0x0010, Le16(3)),          // Rows
             ImplicitElement(0x0028, 0x0011, Le16(3)),          // Columns
             ImplicitElement(0x0028, 0x0100, Le16(8)),
             ImplicitElement(0x0028, 0x0101, Le16(8)),
             ImplicitElement(0x0028, 0x0102, Le16(7)),
             ImplicitElement(0x0028, 0x0103, Le16(0)),
             ImplicitElement(0x7FE0, 0x0010,                    // 9 bytes and a 0x00 pad
                             {0, 128, 255, 0, 128, 255, 0, 128, 255, 0}),
             Delimiter(0xE00D), Delimiter(0xE0DD)}),
        {},
        {},
    };
    // clang-format on
    EXPECT_EQ(printer.commands, commands);
    EXPECT_EQ(printer.dataSets, dataSets);
}

TEST(PrintSCU, EachAnswerOfThePrinterGivesItsLinesAndOutcome) {
    testsupport::TempDir dir;
    const auto bitmap = SmallBitmap(dir);
    const auto withStatus = [](uint16_t field, uint16_t status) {
        return [=](uint16_t id) { return Answer{NResponseBytes(field, id, status), {}}; };
    };
    const std::string uid65 = "1.2." + std::string(61, '7');
    struct Case {
        const char* name;
        Answers answers;
        std::vector<std::string> lines;
        bool printed;
        std::size_t requests;
    };
    std::vector<Case> cases;
    const auto add = [&](const char* name, std::function<void(Answers&)> change,
                         std::vector<std::string> lines, bool printed, std::size_t requests,
                         Bytes filmBox =
                             DefinedSequence(Item(ImageBoxUids(IMAGE_BOX_CLASS, IMAGE_BOX_UID)))) {
        Answers answers = GoodPrinter(std::move(filmBox));
        if (change) change(answers);
        cases.push_back({name, std::move(answers), std::move(lines), printed, requests});
    };
    add("a printed film", nullptr, ALL_OK, true, 6);
    std::vector<std::string> statusFailed = {"Unable to Get Status",
                                             "Printer status: status 0x0110 (failure: "
                                             "processing failure)"};
    statusFailed.insert(statusFailed.end(), ALL_OK.begin(), ALL_OK.end());
    add(
        "the printer status fails: printing goes on",
        [&](Answers& a) { a[0x0110] = withStatus(0x8110, 0x0110); }, statusFailed, true, 6);
    add(
        "a warning on the print counts as failure",
        [&](Answers& a) { a[0x0130] = withStatus(0x8130, 0xB603); },
        {"Create Film Session: OK!", "Create Film Box: OK!", "Width: 3, Height: 3",
         "Set Image Box: OK!", "Film Box Action: Failed!",
         "Print: status 0xB603 (warning: the film box holds no image box (empty page))"},
        false, 5);
    add(
        "a warning on the image box", [&](Answers& a) { a[0x0120] = withStatus(0x8120, 0xB609); },
        {"Create Film Session: OK!", "Create Film Box: OK!", "Width: 3, Height: 3",
         "Set Image Box: Failed!",
         "Image box: status 0xB609 (warning: the image is larger than the image box and was "
         "cropped to fit)"},
        false, 4);
    add(
        "a film session without its instance UID",
        [&](Answers& a) { a[0x0140] = withStatus(0x8140, 0x0000); },
        {"Create Film Session: Failed!", "Film session: no film session instance UID"}, false, 2);
    add(
        "an answer that is not the response",
        [&](Answers& a) { a[0x0120] = withStatus(0x8110, 0x0000); },
        {"Create Film Session: OK!", "Create Film Box: OK!", "Width: 3, Height: 3",
         "Set Image Box: Failed!",
         "Image box: the printer answered with Command Field 0x8110 instead of an N-SET-RSP"},
        false, 4);
    add(
        "the printer aborts at the film session", [&](Answers& a) { a.erase(0x0140); },
        {"Create Film Session: Failed!",
         "Film session: no response from the printer (the connection failed or was closed)"},
        false, 2);
    add(
        "a data set announced with the deletion is read, not taken for another message",
        [&](Answers& a) {
            a[0x0150] = [](uint16_t id) {
                return Answer{NResponseBytes(0x8150, id, 0, std::nullopt, true),
                              ImplicitElement(0x2010, 0x0010, T("X "))};
            };
        },
        ALL_OK, true, 6);
    add("undefined lengths in the film box answer", nullptr, ALL_OK, true, 6,
        Cat({Undefined(0x2010, 0x0510), Undefined(0xFFFE, 0xE000),
             ImageBoxUids(IMAGE_BOX_CLASS, IMAGE_BOX_UID), Delimiter(0xE00D),
             Undefined(0xFFFE, 0xE000), ImageBoxUids("9.9", "9.9.9"), Delimiter(0xE00D),
             Delimiter(0xE0DD)}));
    add("a group length first in the item, a second item ignored", nullptr, ALL_OK, true, 6,
        DefinedSequence(Cat({Item(Cat({ImplicitElement(0x0008, 0x0000, Le32(0)),
                                       ImageBoxUids(IMAGE_BOX_CLASS, IMAGE_BOX_UID)})),
                             Item(ImageBoxUids("9.9", "9.9.9"))})));
    const std::vector<std::string> boxFailed = {"Create Film Session: OK!",
                                                "Create Film Box: Failed!"};
    add("a 65-character image box UID", nullptr,
        {boxFailed[0], boxFailed[1],
         "Film box: image box SOP instance UID of 65 characters (at most 64)"},
        false, 3, DefinedSequence(Item(ImageBoxUids(IMAGE_BOX_CLASS, uid65))));
    Bytes overrun = DefinedSequence(Item(ImageBoxUids(IMAGE_BOX_CLASS, IMAGE_BOX_UID)));
    overrun[8 + 4] += 2;  // the item claims two bytes more than the sequence holds
    add("an item longer than its sequence", nullptr,
        {boxFailed[0], boxFailed[1], "Film box: a malformed Referenced Image Box Sequence"}, false,
        3, overrun);

    for (Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedPrinter printer(std::move(c.answers));
        const Printed p = Print(printer.Port(), bitmap);
        printer.Join();
        EXPECT_EQ(p.lines, c.lines);
        EXPECT_EQ(p.result, c.printed);
        EXPECT_EQ(printer.commands.size(), c.requests);
        if (c.requests >= 4) {
            EXPECT_EQ(data::GetTagString(ParseImplicit(printer.commands[3]),
                                         tag::RequestedSOPInstanceUID),
                      IMAGE_BOX_UID);
        }
    }
}

TEST(PrintSCU, RefusedContextsFilesAndSettingsSendNothing) {
    testsupport::TempDir dir;
    const auto bitmap = SmallBitmap(dir);
    ScriptedPrinter refusing(GoodPrinter(), 3 /* abstract syntax not supported */);
    Printed p = Print(refusing.Port(), bitmap);
    refusing.Join();
    EXPECT_FALSE(p.result);
    EXPECT_EQ(p.lines, (std::vector<std::string>{
                           "Connection Failed!",
                           "Association: the printer at 127.0.0.1:" + refusing.Port() +
                               " refused the Basic Grayscale Print Management Meta SOP Class"}));

    // A file that cannot be read opens no association.
    p = Print(std::to_string(testsupport::FreePort()), dir / "missing.dcm");
    EXPECT_EQ(p.lines, (std::vector<std::string>{"ERROR: opening DICOM File",
                                                 (dir / "missing.dcm").string() +
                                                     ": not a readable DICOM Part 10 file"}));

    FilmBoxSettings badDensity = WINDOW_BOX;
    badDensity.maxDensity = "3.2";
    ScriptedPrinter printer(GoodPrinter());
    p = Print(printer.Port(), bitmap, badDensity);
    printer.Join();
    EXPECT_EQ(p.lines, (std::vector<std::string>{
                           "Create Film Session: OK!", "Create Film Box: Failed!",
                           "Film box: Max Density \"3.2\" is not a whole number from 0 to 65535"}));
    EXPECT_EQ(printer.commands.size(), 2u);
}

TEST(PrintSCU, DensitiesTravelAsBinaryNumbers) {
    FilmBoxSettings box = WINDOW_BOX;
    box.minDensity = "20";
    box.maxDensity = " 320 ";
    ElementList list;
    std::string why;
    ASSERT_TRUE(services::FilmBoxAttributes(box, SESSION_UID, list, why));
    const DicomElement* min = data::FindTag(list, tag::MinDensity);
    const DicomElement* max = data::FindTag(list, tag::MaxDensity);
    ASSERT_NE(min, nullptr);
    ASSERT_NE(max, nullptr);
    EXPECT_EQ(Bytes(min->value, min->value + min->length), Le16(20));
    EXPECT_EQ(Bytes(max->value, max->value + max->length), Le16(320));
}

TEST(PrintSCU, TheTraceLogGetsTheSuccessLinesFromLevelOneAndFailuresAlways) {
    testsupport::TempDir dir;
    const auto bitmap = SmallBitmap(dir);
    const std::string log = (dir / "print.log").string();
    for (int level : {0, 1}) {
        SCOPED_TRACE(level);
        std::filesystem::remove(log);
        SetLog(log, level);
        Answers answers = GoodPrinter();
        answers[0x0150] = [](uint16_t id) {
            return Answer{NResponseBytes(0x8150, id, 0x0112), {}};
        };
        ScriptedPrinter printer(std::move(answers));
        uint8_t printed = 1;
        printed = PrintSCU(bitmap.c_str(), "127.0.0.1", printer.Port().c_str(), nullptr, "PRINTER",
                           &WINDOW_SESSION, &WINDOW_BOX);
        printer.Join();
        EXPECT_EQ(printed, 0);
        // The time-stamped lines; the association events carry no time.
        std::vector<std::string> lines;
        const std::string text = testsupport::ReadFileText(log);
        for (std::size_t from = 0, to; (to = text.find("\r\n", from)) != std::string::npos;
             from = to + 2) {
            const std::string line = text.substr(from, to - from);
            if (line.size() > 10 && line[2] == ':' && line.substr(8, 2) == ": ")
                lines.push_back(line.substr(10));
        }
        std::vector<std::string> expected;
        if (level == 1) expected.assign(ALL_OK.begin(), ALL_OK.end() - 1);
        expected.push_back("FilmBox Delete: Failed!");
        expected.push_back("Film box deletion: status 0x0112 (failure: no such SOP instance)");
        EXPECT_EQ(lines, expected);
    }
    SetLog("", 0);
}

TEST(PrintCli, PreviewsWithoutPrintingAndRefusesWrongCommandLines) {
    testsupport::TempDir dir;
    const auto bitmap = SmallBitmap(dir);
    const std::string cli = testsupport::CliPath();
    const std::string closed = std::to_string(testsupport::FreePort());
    auto run = testsupport::RunCommand({cli, "print", "127.0.0.1", closed, bitmap.string(),
                                        "--preview", (dir / "p.bmp").string()});
    EXPECT_EQ(run.exitCode, 0) << run.errors;
    EXPECT_EQ(run.output, "PREVIEW written: " + (dir / "p.bmp").string() + "\n");
    EXPECT_EQ(testsupport::ReadFileBytes(dir / "p.bmp").size(), 14u + 40 + 1024 + 3 * 4);

    run = testsupport::RunCommand({cli, "print", "127.0.0.1", closed, bitmap.string()});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.output, "Connection Failed!\nAssociation: no association with 127.0.0.1:" +
                              closed + " (no connection, or no answer)\n");
    EXPECT_NE(run.errors.find("print failed: Association: no association"), std::string::npos);

    for (const std::vector<std::string>& wrong :
         {std::vector<std::string>{"127.0.0.1", closed},
          {"127.0.0.1", closed, "f.dcm", "--film-size", "A4"},
          {"127.0.0.1", closed, "f.dcm", "--max-density", "-1"},
          {"127.0.0.1", closed, "f.dcm", "--aec", "SEVENTEEN-LETTERS"}}) {
        std::vector<std::string> argv = {cli, "print"};
        argv.insert(argv.end(), wrong.begin(), wrong.end());
        EXPECT_EQ(testsupport::RunCommand(argv).exitCode, 2) << wrong.back();
    }
}
