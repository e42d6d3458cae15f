// Printing on DCMTK's dcmprscp, a Basic Grayscale Print Management SCP that keeps each image box
// it receives and each printed film in its database folder.
#include <gtest/gtest.h>

#include "data/Datadec.h"
#include "data/Tags.h"
#include "services/Print.h"
#include "support/Peers.h"
#include "support/TestSupport.h"

using namespace dicomlib;
namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

namespace {

#define REQUIRE_TOOL(name) \
    if (!testsupport::ToolAvailable(name)) GTEST_SKIP() << name << " is not installed"

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
    DicomElement* pixels = data::FindTag(dataSet, tag::PixelData);
    if (pixels == nullptr || !data::LoadValue(*pixels) || pixels->value == nullptr) return {};
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
    testsupport::Dcmprscp printer;
    ASSERT_TRUE(printer.Ready()) << printer.Output();
    // ImageMagick writes the bitmap (24 bits, odd width) and the JPEG.
    const fs::path bitmap = printer.Dir() / "gradient.bmp", jpeg = printer.Dir() / "plasma.jpg";
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
                {testsupport::CliPath(), "print", "127.0.0.1", std::to_string(printer.Port()),
                 image.string(), "--aec", "PRINTER", "--film-size", size, "--orientation",
                 orientation, "--destination", "BIN_3", "--min-density", "40"});
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

    testsupport::Dcmprscp printer;
    ASSERT_TRUE(printer.Ready()) << printer.Output();
    const FilmSessionSettings session = {"1", "MED", "BLUE FILM", "MAGAZINE"};
    const FilmBoxSettings box = {
        "STANDARD\\1,1", "PORTRAIT", "24CMX24CM", "REPLICATE", "", "", "", ""};
    std::vector<std::string> lines;
    EXPECT_FALSE(services::PrintSCU(samples / "MR_small_bigendian.dcm", "127.0.0.1",
                                    std::to_string(printer.Port()), "", "PRINTER", session, box,
                                    [&](const std::string& line) { lines.push_back(line); }));
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "Create Film Session: OK!", "Create Film Box: Failed!",
                         "Film box: status 0x0106 (failure: invalid attribute value)"}));
}
