// The provider that takes everything: tessaly-cli scp --accept-all receives every pydicom test
// file that tessaly-cli store can read, and every instance Orthanc holds (RT, SR, ECG and
// compressed images among them), each stored in the syntax it was sent in, with the data set
// it had.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "data/Datadec.h"
#include "data/Part10File.h"
#include "data/Tags.h"
#include "data/TransferSyntax.h"
#include "support/TestSupport.h"

namespace fs = std::filesystem;
using namespace dicomlib;
using testsupport::RunCommand;

namespace {

struct Instance {
    std::string syntax;
    std::string study, series, instance;
    std::string pixels;  // the pixel data element's bytes (fragments joined), or empty
};

std::optional<Instance> Describe(const fs::path& file) {
    data::DecoderState state;
    ElementList meta, body;
    if (!data::ReadPart10File(state, file, meta, body)) return std::nullopt;
    // The instance's own UIDs, not a referenced series' in a sequence before them.
    Instance i{data::GetTagString(meta, tag::TransferSyntaxUID),
               data::GetTopLevelString(body, tag::StudyInstanceUID),
               data::GetTopLevelString(body, tag::SeriesInstanceUID),
               data::GetTopLevelString(body, tag::SOPInstanceUID),
               {}};
    // The pixel data value, or its fragments up to the sequence delimiter.
    bool inPixels = false;
    for (DicomElement* e : body) {
        if (TagOf(*e) == tag::PixelData) inPixels = true;
        if (inPixels) data::LoadValue(*e);
        if (inPixels && data::HasValue(*e))
            i.pixels.append(reinterpret_cast<const char*>(e->value), e->length);
        if (inPixels && (e->length != UNDEFINED_LENGTH || e->element == 0xE0DD)) break;
    }
    if (data::GetTagString(body, tag::SOPClassUID).empty()) return std::nullopt;
    return i;
}

class AcceptAll : public testing::Test {
  protected:
    void SetUp() override {
        if (testsupport::PydicomTestFiles().empty()) GTEST_SKIP() << "needs pydicom's files";
        scp_ = std::make_unique<testsupport::BackgroundProcess>(
            std::vector<std::string>{testsupport::CliPath(), "scp", std::to_string(port_), "images",
                                     "--accept-all"},
            work_.Path());
        ASSERT_TRUE(testsupport::WaitForListener(port_)) << scp_->Output();
    }

    // The stored file of a source instance has its syntax and its pixel data bytes.
    void ExpectStoredAsSent(const Instance& sent) {
        const fs::path stored =
            work_ / "images" / sent.study / sent.series / (sent.instance + ".dcm");
        const auto got = Describe(stored);
        ASSERT_TRUE(got) << stored;
        EXPECT_EQ(got->syntax, sent.syntax);
        EXPECT_TRUE(got->pixels == sent.pixels);
    }

    testsupport::TempDir work_;
    uint16_t port_ = testsupport::FreePort();
    std::unique_ptr<testsupport::BackgroundProcess> scp_;
};

TEST_F(AcceptAll, EveryReadablePydicomFileIsStoredAsSent) {
    std::vector<std::string> argv = {testsupport::CliPath(), "store", "127.0.0.1",
                                     std::to_string(port_)};
    std::vector<std::pair<std::string, Instance>> readable;  // in the order sent
    for (const auto& entry : fs::directory_iterator(testsupport::PydicomTestFiles())) {
        if (entry.path().extension() != ".dcm") continue;
        argv.push_back(entry.path().string());
        if (auto i = Describe(entry.path())) readable.emplace_back(entry.path().string(), *i);
    }
    const auto result = RunCommand(argv);
    std::size_t stored = 0;
    for (const auto& [name, instance] : readable) {
        SCOPED_TRACE(name);
        EXPECT_NE(
            result.output.find("STORE OK: " + (testsupport::PydicomTestFiles() / name).string()),
            std::string::npos);
        ++stored;
    }
    // Files that share an instance UID overwrite each other: the last one sent stays.
    std::map<std::string, Instance> last;
    for (const auto& [name, instance] : readable)
        last[instance.instance] = instance;
    for (const auto& [uid, instance] : last) {
        SCOPED_TRACE(uid);
        ExpectStoredAsSent(instance);
    }
    EXPECT_GE(stored, 50u) << result.output << result.errors;

    // Bare data sets without a meta group go in the syntax their first element shows; one
    // whose first element reads as nonsense stays "not a DICOM file".
    const fs::path files = testsupport::PydicomTestFiles();
    for (const auto& [name, syntax] :
         std::vector<std::pair<std::string, std::string>>{{"rtstruct.dcm", "implicit"},
                                                          {"ExplVR_LitEndNoMeta.dcm", "explicit"},
                                                          {"ExplVR_BigEndNoMeta.dcm", "big"}}) {
        SCOPED_TRACE(name);
        EXPECT_NE(result.output.find("STORE OK: " + (files / name).string() + "\n"),
                  std::string::npos);
        ElementList bare;
        const std::string uid = data::FindTransferSyntaxNamed(syntax)->uid;
        ASSERT_TRUE(data::ReadRawDataSetFile(files / name, bare, uid));
        const fs::path file = work_ / "images" / data::GetTagString(bare, tag::StudyInstanceUID) /
                              data::GetTagString(bare, tag::SeriesInstanceUID) /
                              (data::GetTagString(bare, tag::SOPInstanceUID) + ".dcm");
        EXPECT_TRUE(fs::exists(file)) << file;
    }
    EXPECT_NE(result.output.find("STORE failed: " + (files / "no_meta.dcm").string() +
                                 ": not a DICOM file"),
              std::string::npos);
}

// The whole folder at once, as one series: every file goes in its own syntax, and the only ones
// left out are those that cannot be read to their end or lack their SOP class or transfer
// syntax, each told with its reason.
TEST_F(AcceptAll, ThePydicomFolderLeavesOutOnlyTheFilesThatCannotBeSent) {
    const fs::path files = testsupport::PydicomTestFiles();
    const auto result = RunCommand(
        {testsupport::CliPath(), "store", "127.0.0.1", std::to_string(port_), files.string()});
    std::map<std::string, std::string> leftOut;  // file name, reason
    std::size_t lines = 0;
    std::istringstream progress(result.errors);
    for (std::string line; std::getline(progress, line);) {
        ++lines;
        const std::size_t name = line.find(files.string() + "/");
        const std::size_t colon = line.find(": ", name);
        ASSERT_NE(name, std::string::npos) << line;
        ASSERT_NE(colon, std::string::npos) << line;
        const std::string reason = line.substr(colon + 2);
        const std::size_t from = name + files.string().size() + 1;
        if (reason != "stored") leftOut[line.substr(from, colon - from)] = reason;
    }
    // A progress line for every file with "DICM" at offset 128, and for no other.
    std::size_t part10 = 0;
    for (const auto& entry : fs::directory_iterator(files)) {
        const auto bytes = entry.is_regular_file() ? testsupport::ReadFileBytes(entry.path())
                                                   : std::vector<uint8_t>();
        if (bytes.size() >= 132 && std::string(bytes.begin() + 128, bytes.begin() + 132) == "DICM")
            ++part10;
    }
    EXPECT_EQ(lines, part10);
    for (const auto& [name, reason] : leftOut) {
        EXPECT_TRUE(reason == "damaged DICOM file (cannot be read to its end)" ||
                    reason == "no SOP Class UID" ||
                    reason == "no transfer syntax in its meta group")
            << name << ": " << reason;
        EXPECT_FALSE(Describe(files / name)) << name << " reads, but was left out: " << reason;
    }
    // What was sent is stored as it was sent; of instances sent twice (in other syntaxes) the
    // last one in name order stays.
    std::vector<fs::path> sent;
    for (const auto& entry : fs::directory_iterator(files))
        if (entry.is_regular_file() && !leftOut.count(entry.path().filename().string()))
            sent.push_back(entry.path());
    std::sort(sent.begin(), sent.end());
    std::map<std::string, Instance> last;
    for (const fs::path& file : sent)
        if (auto i = Describe(file)) last[i->instance] = *i;
    EXPECT_GE(last.size(), 25u);
    for (const auto& [uid, instance] : last) {
        SCOPED_TRACE(uid);
        ExpectStoredAsSent(instance);
    }
    EXPECT_EQ(result.output, "STORE failed: " + files.string() + ": " +
                                 std::to_string(part10 - leftOut.size()) + " of " +
                                 std::to_string(part10) + " files stored\n");
}

// Orthanc, run from a configuration of this test's own, sends what it holds to the provider.
TEST_F(AcceptAll, OrthancSendsEveryInstanceItHolds) {
    if (!testsupport::ToolAvailable("curl") || !fs::exists("/usr/sbin/Orthanc")) {
        GTEST_SKIP() << "needs Orthanc and curl";
    }
    const uint16_t dicomPort = testsupport::FreePort();
    const uint16_t httpPort = testsupport::FreePort();
    const fs::path config = work_ / "orthanc.json";
    std::ofstream(config) << "{\n"
                          << "  \"Name\": \"TESSALY-TEST\",\n"
                          << "  \"StorageDirectory\": \"" << (work_ / "orthanc-db").string()
                          << "\",\n  \"IndexDirectory\": \"" << (work_ / "orthanc-db").string()
                          << "\",\n  \"DicomAet\": \"ORTHANC\",\n"
                          << "  \"DicomPort\": " << dicomPort << ",\n"
                          << "  \"HttpPort\": " << httpPort << ",\n"
                          << "  \"RemoteAccessAllowed\": false,\n"
                          << "  \"AuthenticationEnabled\": false,\n"
                          << "  \"Plugins\": [],\n"
                          << "  \"DicomModalities\": {\"tessaly\": [\"TESSALY\", \"127.0.0.1\", "
                          << port_ << "]}\n}\n";
    testsupport::BackgroundProcess orthanc({"/usr/sbin/Orthanc", config.string()}, work_.Path());
    ASSERT_TRUE(testsupport::WaitForListener(httpPort, 30000)) << orthanc.Output();
    const std::string rest = "http://127.0.0.1:" + std::to_string(httpPort);

    const fs::path files = testsupport::PydicomTestFiles();
    std::vector<Instance> sent;
    std::string ids;
    for (const char* name :
         {"rtplan.dcm", "rtdose.dcm", "test-SR.dcm", "reportsi.dcm", "waveform_ecg.dcm",
          "MR_small_jpeg_ls_lossless.dcm", "SC_rgb_jpeg_gdcm.dcm", "JPEG2000.dcm", "image_dfl.dcm",
          "SC_rgb_gdcm_KY.dcm", "693_J2KI.dcm"}) {
        const auto upload = RunCommand({"curl", "-sS", "-X", "POST", rest + "/instances",
                                        "--data-binary", "@" + (files / name).string()});
        // Orthanc answers {"ID" : "...", ...}.
        const std::string key = "\"ID\" : \"";
        const std::size_t at = upload.output.find(key);
        ASSERT_NE(at, std::string::npos) << name << ": " << upload.output << upload.errors;
        const std::size_t from = at + key.size();
        const std::string id = upload.output.substr(from, upload.output.find('"', from) - from);
        ids += std::string(ids.empty() ? "" : ",") + "\"" + id + "\"";
        sent.push_back(*Describe(files / name));
        for (std::size_t k = 0; k + 1 < sent.size(); ++k)
            ASSERT_NE(sent[k].instance, sent.back().instance) << name << " is sent twice";
    }
    const auto store = RunCommand(
        {"curl", "-sS", "-X", "POST", rest + "/modalities/tessaly/store", "-d", "[" + ids + "]"});
    EXPECT_EQ(store.exitCode, 0) << store.errors;
    EXPECT_NE(store.output.find("\"FailedInstancesCount\" : 0"), std::string::npos)
        << store.output << orthanc.Output() << scp_->Output();
    for (const Instance& instance : sent) {
        SCOPED_TRACE(instance.instance);
        ExpectStoredAsSent(instance);
    }
    orthanc.Stop();
}

}  // namespace

// Files in the HTJ2K and JPEG XL syntaxes are stored as sent by the provider that takes
// everything; the one that does not take them gets them converted by store to implicit VR
// little endian, the pixels those of the native source.
TEST_F(AcceptAll, HighThroughputJpeg2000AndJpegXlFilesAreStored) {
    const uint16_t plainPort = testsupport::FreePort();
    testsupport::BackgroundProcess plain(
        {testsupport::CliPath(), "scp", std::to_string(plainPort), "plain"}, work_.Path());
    ASSERT_TRUE(testsupport::WaitForListener(plainPort)) << plain.Output();
    const fs::path files = testsupport::PydicomTestFiles();
    const auto native = Describe(files / "CT_small.dcm");
    ASSERT_TRUE(native);
    for (const char* ts : {"htj2k", "htj2k-rpcl", "htj2k-lossy", "jpeg-xl", "jpeg-xl-jpeg"}) {
        SCOPED_TRACE(ts);
        const bool fromJpeg = std::string(ts) == "jpeg-xl-jpeg";
        const fs::path source = files / (fromJpeg ? "SC_rgb_jpeg_dcmtk.dcm" : "CT_small.dcm");
        const fs::path file = work_ / (std::string(ts) + ".dcm");
        ASSERT_EQ(RunCommand({testsupport::CliPath(), "convert", source.string(), file.string(),
                              "--ts", ts})
                      .exitCode,
                  0);
        const auto sent = Describe(file);
        ASSERT_TRUE(sent);
        for (uint16_t port : {port_, plainPort}) {
            const auto r = RunCommand({testsupport::CliPath(), "store", "127.0.0.1",
                                       std::to_string(port), file.string()});
            EXPECT_EQ(r.output, "STORE OK: " + file.string() + "\n") << r.errors;
        }
        ExpectStoredAsSent(*sent);
        const auto converted =
            Describe(work_ / "plain" / sent->study / sent->series / (sent->instance + ".dcm"));
        ASSERT_TRUE(converted);
        EXPECT_EQ(converted->syntax, uid::ImplicitVRLittleEndian);
        if (!fromJpeg && std::string(ts) != "htj2k-lossy") {
            EXPECT_TRUE(converted->pixels == native->pixels);
        }
    }
}
