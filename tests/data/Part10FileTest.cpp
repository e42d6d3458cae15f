#include <gtest/gtest.h>

#include <string>

#include "data/Datadec.h"
#include "data/Part10File.h"
#include "data/Tags.h"
#include "support/DataSetBuilder.h"
#include "support/TestSupport.h"

using namespace dicomlib::data;
namespace tag = dicomlib::tag;
using testsupport::DataSetBuilder;
using testsupport::ReadFileBytes;
using testsupport::TempDir;
using testsupport::WriteFileBytes;
using Bytes = std::vector<uint8_t>;

namespace {

constexpr const char* IMPLICIT = "1.2.840.10008.1.2";
constexpr const char* EXPLICIT = "1.2.840.10008.1.2.1";

Bytes BareImplicit() {
    return DataSetBuilder(false, false)
        .Element(0x0008, 0x0016, "", testsupport::PaddedText("1.2.840.10008.5.1.4.1.1.7", 0))
        .Text(0x0008, 0x0018, "", "1.2.3.45")
        .Text(0x0010, 0x0010, "", "DOE^JOHN")
        .Bytes();
}

}  // namespace

TEST(BuildMetaHeader, GroupLengthAndPaddingAreExact) {
    ElementList meta;
    BuildMetaHeader(meta, "1.2.840.10008.5.1.4.1.1.2", "1.2.3.456", IMPLICIT);
    ASSERT_EQ(meta.Size(), 7u);
    // UIDs padded to 26, 10 and 18: 96 + 54.
    EXPECT_EQ(GetTagUS(meta, 0x0002, 0x0000), 150);
    const DicomElement* instance = FindTag(meta, tag::MediaStorageSOPInstanceUID);
    EXPECT_EQ(instance->length, 10u);
    EXPECT_EQ(instance->value[9], 0);
    EXPECT_EQ(FindTag(meta, tag::TransferSyntaxUID)->length, 18u);
    EXPECT_EQ(GetTagString(meta, tag::ImplementationClassUID), "1.2.826.0.1.3680043.2.7251.999");
    const DicomElement* version = FindTag(meta, tag::ImplementationVersionName);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(version->value), version->length),
              std::string("OstrovaLabs "));
}

TEST(AppendMetaHeader, TurnsABareDataSetIntoAPart10FileAndRefusesWhatItWouldSpoil) {
    TempDir dir;
    const auto file = dir / "bare.dcm";
    const Bytes bare = BareImplicit();
    WriteFileBytes(file, bare);
    ASSERT_TRUE(AppendMetaHeader(file, IMPLICIT));
    const Bytes written = ReadFileBytes(file);
    ElementList meta;
    BuildMetaHeader(meta, "1.2.840.10008.5.1.4.1.1.7", "1.2.3.45", IMPLICIT);
    const std::size_t metaSize = 12 + GetTagUS(meta, 0x0002, 0x0000);
    ASSERT_EQ(written.size(), 132 + metaSize + bare.size());
    EXPECT_EQ(Bytes(written.end() - static_cast<long>(bare.size()), written.end()), bare);
    DecoderState state;
    ElementList readMeta, data;
    ASSERT_TRUE(ReadPart10File(state, file, readMeta, data));
    EXPECT_EQ(GetTagString(readMeta, tag::MediaStorageSOPInstanceUID), "1.2.3.45");
    EXPECT_EQ(state.explicitVr, 0);

    // A second time it is a Part 10 file already, and stays as it is.
    EXPECT_FALSE(AppendMetaHeader(file, IMPLICIT));
    EXPECT_EQ(ReadFileBytes(file), written);
    // A data set cut short is not rewritten either.
    Bytes cut = bare;
    cut.resize(cut.size() - 3);
    WriteFileBytes(file, cut);
    EXPECT_FALSE(AppendMetaHeader(file, IMPLICIT));
    EXPECT_EQ(ReadFileBytes(file), cut);
    EXPECT_FALSE(AppendMetaHeader(dir / "missing.dcm", IMPLICIT));
}

TEST(ConvertFile, CopiesItsOwnSyntaxAndRewritesOthers) {
    TempDir dir;
    const auto source = dir / "in.dcm";
    const Bytes body = DataSetBuilder(true, false)
                           .Text(0x0008, 0x0016, "UI", "1.2.840.10008.5.1.4.1.1.7")
                           .Text(0x0008, 0x0018, "UI", "1.2.3.4")
                           .Text(0x0010, 0x0010, "PN", "DOE^JOHN")
                           .Bytes();
    const Bytes file = testsupport::Part10File(EXPLICIT, body);
    WriteFileBytes(source, file);

    EXPECT_EQ(ConvertFile(dir / "copy.dcm", source, EXPLICIT), FileConvertStatus::Converted);
    EXPECT_EQ(ReadFileBytes(dir / "copy.dcm"), file);

    ASSERT_EQ(ConvertFile(dir / "implicit.dcm", source, IMPLICIT), FileConvertStatus::Converted);
    DecoderState state;
    ElementList meta, data;
    ASSERT_TRUE(ReadPart10File(state, dir / "implicit.dcm", meta, data));
    EXPECT_EQ(state.explicitVr, 0);
    const DicomElement* ts = FindTag(meta, tag::TransferSyntaxUID);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(ts->value), ts->length),
              std::string("1.2.840.10008.1.2\0", 18));
    EXPECT_EQ(GetTagString(data, tag::PatientName), "DOE^JOHN");
    EXPECT_EQ(data[0]->vr[0], 0);

    EXPECT_EQ(ConvertFile(dir / "x.dcm", dir / "none.dcm", IMPLICIT),
              FileConvertStatus::NotPart10File);
    EXPECT_EQ(ConvertFile(dir / "no-such-dir" / "x.dcm", source, IMPLICIT),
              FileConvertStatus::CannotWrite);
    EXPECT_EQ(ConvertFile(dir / "x.dcm", source, "1.2.3"), FileConvertStatus::UnknownTargetSyntax);
    // Nothing half-written is left behind.
    std::size_t files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir.Path())) {
        (void)entry;
        ++files;
    }
    EXPECT_EQ(files, 3u);
}
