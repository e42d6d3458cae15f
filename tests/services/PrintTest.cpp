#include "services/Print.h"

#include <gtest/gtest.h>

#include <memory>
#include <sstream>

#include "net/DimseFixtures.h"
#include "net/TraceLog.h"
#include "support/ImageFiles.h"
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
    Bytes command;  // empty: the printer aborts
    Bytes dataSet;  // empty: none follows
};

const Bytes IMAGE_BOX_SEQUENCE =
    DefinedSequence(Item(ImageBoxUids(IMAGE_BOX_CLASS, IMAGE_BOX_UID)));

// A printer that prints: the first N-CREATE makes the film session, the second the film box,
// whose answer holds filmBox.
Answer GoodAnswer(uint16_t field, uint16_t id, const Bytes& filmBox) {
    if (field == 0x0110)
        return {NResponseBytes(0x8110, id, 0, {}, true),
                ImplicitElement(0x2110, 0x0010, T("NORMAL"))};
    if (field == 0x0140 && id == 5) return {NResponseBytes(0x8140, id, 0, SESSION_UID), {}};
    if (field == 0x0140) return {NResponseBytes(0x8140, id, 0, FILM_BOX_UID, true), filmBox};
    return {NResponseBytes(static_cast<uint16_t>(field | 0x8000), id, 0), {}};
}

// What a case answers instead, by Command Field and Message ID.
using Change = std::function<std::optional<Answer>(uint16_t field, uint16_t id)>;

std::unique_ptr<ScriptedScp> Printer(Change change = {}, Bytes filmBox = IMAGE_BOX_SEQUENCE) {
    auto last = std::make_shared<Answer>();
    return std::make_unique<ScriptedScp>(
        [=](std::size_t, const Bytes& command) {
            const uint16_t field = UsOf(command, tag::CommandField);
            const uint16_t id = UsOf(command, tag::MessageID);
            const std::optional<Answer> changed = change ? change(field, id) : std::nullopt;
            *last = changed ? *changed : GoodAnswer(field, id, filmBox);
            return last->command;
        },
        "", [last](std::size_t, const Bytes&) { return last->dataSet; });
}

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
    auto printer = Printer();
    const Printed p = Print(printer->Port(), SmallBitmap(dir));
    printer->Join();
    EXPECT_TRUE(p.result);
    EXPECT_EQ(p.lines, ALL_OK);
    EXPECT_TRUE(printer->released);
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
    };
    // clang-format on
    ASSERT_EQ(printer->commands.size(), commands.size());
    for (std::size_t i = 0; i < commands.size(); ++i)
        EXPECT_EQ(printer->commands[i].data, commands[i]) << i;
    ASSERT_EQ(printer->dataSets.size(), dataSets.size());
    for (std::size_t i = 0; i < dataSets.size(); ++i)
        EXPECT_EQ(printer->dataSets[i].data, dataSets[i]) << i;
}

TEST(PrintSCU, EachAnswerOfThePrinterGivesItsLinesAndOutcome) {
    testsupport::TempDir dir;
    const auto bitmap = SmallBitmap(dir);
    // The answer to one request: another status, or another Command Field.
    const auto answer = [](uint16_t request, uint16_t field, uint16_t status) -> Change {
        return [=](uint16_t f, uint16_t id) -> std::optional<Answer> {
            if (f != request) return std::nullopt;
            return Answer{NResponseBytes(field, id, status), {}};
        };
    };
    std::vector<std::string> statusFailed = {
        "Unable to Get Status", "Printer status: status 0x0110 (failure: processing failure)"};
    statusFailed.insert(statusFailed.end(), ALL_OK.begin(), ALL_OK.end());
    const std::vector<std::string> upToImageBox(ALL_OK.begin(), ALL_OK.begin() + 3);
    const auto then = [&](std::vector<std::string> first, std::vector<std::string> more) {
        first.insert(first.end(), more.begin(), more.end());
        return first;
    };
    const std::string boxFailed = "Create Film Box: Failed!";
    Bytes overrun = IMAGE_BOX_SEQUENCE;
    overrun[8 + 4] += 2;  // the item claims two bytes more than the sequence holds
    struct Case {
        const char* name;
        Change change;
        Bytes filmBox;
        std::vector<std::string> lines;
        std::size_t requests;
    };
    const Case cases[] = {
        {"the printer status fails: printing goes on", answer(0x0110, 0x8110, 0x0110),
         IMAGE_BOX_SEQUENCE, statusFailed, 6},
        {"a warning on the print counts as failure", answer(0x0130, 0x8130, 0xB603),
         IMAGE_BOX_SEQUENCE,
         then(upToImageBox,
              {"Set Image Box: OK!", "Film Box Action: Failed!",
               "Print: status 0xB603 (warning: the film box holds no image box (empty page))"}),
         5},
        {"a film session without its instance UID",
         answer(0x0140, 0x8140, 0),
         IMAGE_BOX_SEQUENCE,
         {"Create Film Session: Failed!", "Film session: no film session instance UID"},
         2},
        {"an answer that is not the response", answer(0x0120, 0x8110, 0), IMAGE_BOX_SEQUENCE,
         then(upToImageBox, {"Set Image Box: Failed!",
                             "Image box: the printer answered with Command Field "
                             "0x8110 instead of an N-SET-RSP"}),
         4},
        {"the printer aborts at the film session",
         [](uint16_t f, uint16_t) {
             return f == 0x0140 ? std::optional<Answer>(Answer{}) : std::nullopt;
         },
         IMAGE_BOX_SEQUENCE,
         {"Create Film Session: Failed!",
          "Film session: no response from the printer (the connection failed or was closed)"},
         2},
        {"a data set announced with the deletion is read, not taken for another message",
         [](uint16_t f, uint16_t id) -> std::optional<Answer> {
             if (f != 0x0150) return std::nullopt;
             return Answer{NResponseBytes(0x8150, id, 0, {}, true),
                           ImplicitElement(0x2010, 0x0010, T("X "))};
         },
         IMAGE_BOX_SEQUENCE, ALL_OK, 6},
        {"undefined lengths in the film box answer",
         {},
         Cat({Undefined(0x2010, 0x0510), Undefined(0xFFFE, 0xE000),
              ImageBoxUids(IMAGE_BOX_CLASS, IMAGE_BOX_UID), Delimiter(0xE00D),
              Undefined(0xFFFE, 0xE000), ImageBoxUids("9.9", "9.9.9"), Delimiter(0xE00D),
              Delimiter(0xE0DD)}),
         ALL_OK,
         6},
        {"a group length first in the item, a second item ignored",
         {},
         DefinedSequence(Cat({Item(Cat({ImplicitElement(0x0008, 0x0000, Le32(0)),
                                        ImageBoxUids(IMAGE_BOX_CLASS, IMAGE_BOX_UID)})),
                              Item(ImageBoxUids("9.9", "9.9.9"))})),
         ALL_OK,
         6},
        {"a 65-character image box UID",
         {},
         DefinedSequence(Item(ImageBoxUids(IMAGE_BOX_CLASS, "1.2." + std::string(61, '7')))),
         {ALL_OK[0], boxFailed,
          "Film box: image box SOP instance UID of 65 characters (at most 64)"},
         3},
        // A meta class is never an instance's: the grayscale image box class is set.
        {"a printer that names the meta class for its image box",
         {},
         DefinedSequence(Item(ImageBoxUids("1.2.840.10008.5.1.1.9", IMAGE_BOX_UID))),
         ALL_OK,
         6},
        {"an item longer than its sequence",
         {},
         overrun,
         {ALL_OK[0], boxFailed, "Film box: a malformed Referenced Image Box Sequence"},
         3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto printer = Printer(c.change, c.filmBox);
        const Printed p = Print(printer->Port(), bitmap);
        printer->Join();
        EXPECT_EQ(p.lines, c.lines);
        EXPECT_EQ(p.result, c.lines.back() == ALL_OK.back());
        ASSERT_EQ(printer->commands.size(), c.requests);
        if (c.requests >= 4) {
            const ElementList set = ParseImplicit(printer->commands[3].data);
            EXPECT_EQ(data::GetTagString(set, tag::RequestedSOPInstanceUID), IMAGE_BOX_UID);
            EXPECT_EQ(data::GetTagString(set, tag::RequestedSOPClassUID), IMAGE_BOX_CLASS);
        }
    }
}

TEST(PrintSCU, RefusedContextsAndSettingsSendNothing) {
    testsupport::TempDir dir;
    const auto bitmap = SmallBitmap(dir);
    FakePeer refusing;
    refusing.Start([](PduStream& s) { s.Write(AcceptEvery(ReadPduBytes(s), "", 3)); });
    Printed p = Print(refusing.Port(), bitmap);
    refusing.Join();
    EXPECT_FALSE(p.result);
    EXPECT_EQ(p.lines, (std::vector<std::string>{
                           "Connection Failed!",
                           "Association: the printer at 127.0.0.1:" + refusing.Port() +
                               ": the peer refused every presentation context: abstract syntax "
                               "not supported (1.2.840.10008.5.1.1.9): the peer does not offer "
                               "this SOP class"}));

    FilmBoxSettings badDensity = WINDOW_BOX;
    badDensity.maxDensity = "3.2";
    auto printer = Printer();
    p = Print(printer->Port(), bitmap, badDensity);
    printer->Join();
    EXPECT_EQ(p.lines, (std::vector<std::string>{
                           "Create Film Session: OK!", "Create Film Box: Failed!",
                           "Film box: Max Density \"3.2\" is not a whole number from 0 to 65535"}));
    EXPECT_EQ(printer->commands.size(), 2u);

    // A bitmap wider than Columns can say fails the image box step; nothing is cut off.
    testsupport::WriteFileBytes(
        dir / "wide.bmp", testsupport::BitmapFileBytes({.width = 65536, .rows = Bytes(65536)}));
    auto wide = Printer();
    p = Print(wide->Port(), dir / "wide.bmp");
    wide->Join();
    EXPECT_EQ(p.lines,
              (std::vector<std::string>{
                  ALL_OK[0], ALL_OK[1], "Width: 65536, Height: 1", "Set Image Box: Failed!",
                  "Image box: the image is 65536 x 1 pixels; an image box takes at most "
                  "65535 x 65535"}));
    EXPECT_EQ(wide->commands.size(), 3u);
}

TEST(PrintSCU, TheTraceLogGetsTheSuccessLinesFromLevelOneAndFailuresAlways) {
    testsupport::TempDir dir;
    const auto bitmap = SmallBitmap(dir);
    const std::string log = (dir / "print.log").string();
    for (int level : {0, 1}) {
        SCOPED_TRACE(level);
        std::filesystem::remove(log);
        SetLog(log, level);
        // A printer that names the meta class for its image box, which the trace tells.
        auto printer = Printer(
            [](uint16_t f, uint16_t id) -> std::optional<Answer> {
                if (f != 0x0150) return std::nullopt;
                return Answer{NResponseBytes(0x8150, id, 0x0112), {}};
            },
            DefinedSequence(Item(ImageBoxUids("1.2.840.10008.5.1.1.9", IMAGE_BOX_UID))));
        const uint8_t printed = PrintSCU(bitmap.c_str(), "127.0.0.1", printer->Port().c_str(),
                                         nullptr, "PRINTER", &WINDOW_SESSION, &WINDOW_BOX);
        printer->Join();
        EXPECT_EQ(printed, 0);
        // The time-stamped lines ("hh:mm:ss: "); the association events carry no time.
        std::vector<std::string> lines;
        std::istringstream text(testsupport::ReadFileText(log));
        for (std::string line; std::getline(text, line);)
            if (line.size() > 11 && line[2] == ':' && line[8] == ':')
                lines.push_back(line.substr(10, line.size() - 11));
        std::vector<std::string> expected;
        if (level == 1) {
            expected.assign(ALL_OK.begin(), ALL_OK.begin() + 3);
            expected.push_back(
                "The film box names the image box class 1.2.840.10008.5.1.1.9; it is set as "
                "Basic Grayscale Image Box 1.2.840.10008.5.1.1.4");
            expected.insert(expected.end(), ALL_OK.begin() + 3, ALL_OK.end() - 1);
        }
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
    // An 8-bit bitmap with a gray palette that another reader sees as the gray bytes sent.
    const Bytes preview = testsupport::ReadFileBytes(dir / "p.bmp");
    ASSERT_EQ(preview.size(), 14u + 40 + 1024 + 3 * 4);
    EXPECT_EQ(preview[28], 8);  // bits per pixel
    EXPECT_EQ(Bytes(preview.begin() + 54 + 4 * 200, preview.begin() + 54 + 4 * 201),
              (Bytes{200, 200, 200, 0}));
    if (testsupport::ToolAvailable("convert")) {
        const auto gray = dir / "p.gray";
        testsupport::RunCommand(
            {"convert", (dir / "p.bmp").string(), "-depth", "8", "gray:" + gray.string()});
        EXPECT_EQ(testsupport::ReadFileBytes(gray), (Bytes{0, 128, 255, 0, 128, 255, 0, 128, 255}));
    }

    run = testsupport::RunCommand({cli, "print", "127.0.0.1", closed, bitmap.string()});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.output, "Connection Failed!\nAssociation: the printer at 127.0.0.1:" + closed +
                              ": nothing listens on 127.0.0.1:" + closed +
                              " (connection refused): check the port and that the peer's DICOM "
                              "service runs\n");
    EXPECT_NE(run.errors.find("print failed: Association: the printer at"), std::string::npos);

    for (const char* wrong : {"--film-size", "--max-density"})
        EXPECT_EQ(testsupport::RunCommand({cli, "print", "h", "1", "f", wrong, "-1"}).exitCode, 2);
}
