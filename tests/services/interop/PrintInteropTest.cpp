// Printing on DCMTK's dcmprscp, a Basic Grayscale Print Management SCP that keeps each image box
// it receives as a Hardcopy Grayscale file (HG_*.dcm) and each printed film as a Stored Print
// file (SP_*.dcm) in its database folder. The configuration is written here: the film sizes,
// magnifications and destinations the window offers, densities 20 to 320.
#include <gtest/gtest.h>

#include <fstream>
#include <set>

#include "data/Datadec.h"
#include "data/Tags.h"
#include "services/Print.h"
#include "support/TestSupport.h"

using namespace dicomlib;
namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

namespace {

#define REQUIRE_TOOL(name) \
    if (!testsupport::ToolAvailable(name)) GTEST_SKIP() << name << " is not installed"

struct Dcmprscp {
    testsupport::TempDir dir;
    uint16_t port = testsupport::FreePort();
    std::unique_ptr<testsupport::BackgroundProcess> process;

    Dcmprscp() {
        fs::create_directories(dir / "database");
        fs::create_directories(dir / "spool");
        std::ofstream(dir / "printer.cfg")
            << "[[GENERAL]]\n[PRINT]\nDirectory = spool\n[DATABASE]\nDirectory = database\n"
            << "[[COMMUNICATION]]\n[PRINTER]\nAetitle = PRINTER\nHostname = localhost\n"
            << "Port = " << port << "\nType = LOCALPRINTER\nDisplayFormat = 1,1\n"
            << "FilmDestination = MAGAZINE\\PROCESSOR\\BIN_1\\BIN_2\\BIN_3\n"
            << "FilmSizeID = 14INX17IN\\14INX14IN\\10INX12IN\\8INX10IN\n"
            << "MagnificationType = REPLICATE\\BILINEAR\\CUBIC\\NONE\n"
            << "MediumType = PAPER\\CLEAR FILM\\BLUE FILM\n"
            << "MinDensity = 20\nMaxDensity = 320\nMaxPDU = 16384\nSupports12Bit = true\n";
        process = std::make_unique<testsupport::BackgroundProcess>(
            std::vector<std::string>{"dcmprscp", "-c", "printer.cfg"}, dir.Path(),
            std::vector<std::string>{"TCP_NODELAY=1"});
    }
    ~Dcmprscp() { process->Stop(9); }  // its files are written before it answers
    std::string Port() const { return std::to_string(port); }

    // The files of the database that are new since the last call.
    std::vector<fs::path> NewFiles(const std::string& prefix) {
        std::vector<fs::path> found;
        for (const auto& entry : fs::directory_iterator(dir / "database")) {
            const std::string name = entry.path().filename().string();
            if (name.rfind(prefix, 0) == 0 && seen_.insert(name).second)
                found.push_back(entry.path());
        }
        return found;
    }

  private:
    std::set<std::string> seen_;
};

// The gray bytes we send for a file.
Bytes Prepared(const fs::path& file) {
    services::PrintImage image;
    services::LoadPrintImage(file, image);
    Bytes gray(std::size_t{image.Width()} * image.Height());
    services::BitmapToGray8(image, gray);
    return gray;
}

// The pixel bytes a stored image box holds.
Bytes StoredPixels(const fs::path& file) {
    data::DecoderState state;
    ElementList meta, dataSet;
    EXPECT_TRUE(data::ReadPart10File(state, file, meta, dataSet)) << file;
    const DicomElement* pixels = data::FindTag(dataSet, tag::PixelData);
    if (pixels == nullptr || pixels->value == nullptr) return {};
    const std::size_t count =
        std::size_t{data::GetTagUS(dataSet, tag::Rows)} * data::GetTagUS(dataSet, tag::Columns);
    return Bytes(pixels->value, pixels->value + std::min<std::size_t>(count, pixels->length));
}

}  // namespace

TEST(PrintInterop, CtMrBitmapAndJpegOnEveryFilmSizeAndOrientation) {
    REQUIRE_TOOL("dcmprscp");
    REQUIRE_TOOL("dcmdump");
    REQUIRE_TOOL("convert");
    const fs::path samples = testsupport::PydicomTestFiles();
    if (samples.empty()) GTEST_SKIP() << "python3-pydicom's test files are not installed";
    Dcmprscp printer;
    ASSERT_TRUE(testsupport::WaitForListener(printer.port)) << printer.process->Output();
    // ImageMagick writes the bitmap (24 bits, odd width) and the JPEG.
    const fs::path bitmap = printer.dir / "gradient.bmp", jpeg = printer.dir / "plasma.jpg";
    ASSERT_EQ(testsupport::RunCommand({"convert", "-size", "67x45", "gradient:navy-orange", "-type",
                                       "TrueColor", "BMP3:" + bitmap.string()})
                  .exitCode,
              0);
    ASSERT_EQ(
        testsupport::RunCommand({"convert", "-size", "40x30", "gradient:red-white", jpeg.string()})
            .exitCode,
        0);
    const std::vector<fs::path> images = {samples / "CT_small.dcm", samples / "MR_small.dcm",
                                          bitmap, jpeg};
    const char* sizes[] = {"14INX17IN", "14INX14IN", "10INX12IN", "8INX10IN"};
    const char* orientations[] = {"PORTRAIT", "LANDSCAPE", "none"};
    int n = 0;
    for (const char* size : sizes) {
        for (const char* orientation : orientations) {
            const fs::path& image = images[n++ % images.size()];
            SCOPED_TRACE(std::string(size) + " " + orientation + " " + image.string());
            const auto run = testsupport::RunCommand(
                {testsupport::CliPath(), "print", "127.0.0.1", printer.Port(), image.string(),
                 "--aec", "PRINTER", "--film-size", size, "--orientation", orientation,
                 "--destination", "BIN_3", "--min-density", "40"});
            EXPECT_EQ(run.exitCode, 0) << run.output << run.errors;
            EXPECT_NE(run.output.find("FilmBox Delete: OK!\nPRINT OK\n"), std::string::npos)
                << run.output;
            const auto stored = printer.NewFiles("HG_");
            ASSERT_EQ(stored.size(), 1u);
            EXPECT_EQ(StoredPixels(stored[0]), Prepared(image));
            const auto films = printer.NewFiles("SP_");
            ASSERT_EQ(films.size(), 1u);
            const std::string film = testsupport::RunCommand({"dcmdump", films[0].string()}).output;
            EXPECT_NE(film.find("(2010,0050) CS [" + std::string(size) + "]"), std::string::npos);
            EXPECT_NE(film.find("(2010,0120) US 40 "), std::string::npos) << film;
            EXPECT_EQ(
                film.find("(2010,0040) CS [" + std::string(orientation) + "]") != std::string::npos,
                std::string(orientation) != "none")
                << film;
        }
    }
}

TEST(PrintInterop, OutOfListValuesAndTheBigEndianFile) {
    REQUIRE_TOOL("dcmprscp");
    const fs::path samples = testsupport::PydicomTestFiles();
    if (samples.empty()) GTEST_SKIP() << "python3-pydicom's test files are not installed";
    // The same image in either byte order prepares to the same film.
    EXPECT_EQ(Prepared(samples / "MR_small_bigendian.dcm"), Prepared(samples / "MR_small.dcm"));

    Dcmprscp printer;
    ASSERT_TRUE(testsupport::WaitForListener(printer.port)) << printer.process->Output();
    const FilmSessionSettings session = {"1", "MED", "BLUE FILM", "MAGAZINE"};
    const FilmBoxSettings box = {
        "STANDARD\\1,1", "PORTRAIT", "24CMX24CM", "REPLICATE", "", "", "", ""};
    std::vector<std::string> lines;
    EXPECT_FALSE(services::PrintSCU(samples / "MR_small_bigendian.dcm", "127.0.0.1", printer.Port(),
                                    "", "PRINTER", session, box,
                                    [&](const std::string& line) { lines.push_back(line); }));
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "Create Film Session: OK!", "Create Film Box: Failed!",
                         "Film box: status 0x0106 (failure: invalid attribute value)"}));
}
