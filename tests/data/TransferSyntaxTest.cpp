#include "data/TransferSyntax.h"

#include <gtest/gtest.h>

#include <string>

#include "zedavura.h"

using namespace dicomlib::data;

TEST(TransferSyntaxTable, EverySyntaxTheLibraryNamesWithItsLayoutAndCodec) {
    struct Row {
        const char* uid;
        const char* name;
        bool explicitVr, bigEndian, encapsulated, written;
        bool deflated = false;
    };
    const Row expected[] = {
        {"1.2.840.10008.1.2", "implicit", false, false, false, true},
        {"1.2.840.10008.1.2.1", "explicit", true, false, false, true},
        {"1.2.840.10008.1.2.2", "big", true, true, false, true},
        {"1.2.840.10008.1.2.1.99", "deflate", true, false, false, true, true},
        {"1.2.840.10008.1.2.5", "rle", true, false, true, true},
        {"1.2.840.10008.1.2.4.50", "", true, false, true, false},
        {"1.2.840.10008.1.2.4.51", "", true, false, true, false},
        {"1.2.840.10008.1.2.4.57", "", true, false, true, true},
        {"1.2.840.10008.1.2.4.70", "jpeg-lossless", true, false, true, true},
        {"1.2.840.10008.1.2.4.80", "jpeg-ls", true, false, true, true},
        {"1.2.840.10008.1.2.4.81", "jpeg-ls-near", true, false, true, true},
        {"1.2.840.10008.1.2.4.90", "j2k", true, false, true, true},
        {"1.2.840.10008.1.2.4.91", "j2k-lossy", true, false, true, true},
        {"1.2.840.10008.1.2.4.110", "jpeg-xl", true, false, true, true},
        {"1.2.840.10008.1.2.4.111", "jpeg-xl-jpeg", true, false, true, false},
        {"1.2.840.10008.1.2.4.112", "jpeg-xl-lossy", true, false, true, true},
        {"1.2.840.10008.1.2.4.201", "htj2k", true, false, true, true},
        {"1.2.840.10008.1.2.4.202", "htj2k-rpcl", true, false, true, true},
        {"1.2.840.10008.1.2.4.203", "htj2k-lossy", true, false, true, true},
    };
    ASSERT_EQ(TransferSyntaxes().size(), std::size(expected));
    EXPECT_EQ(std::string(TransferSyntaxes()[0].uid), "1.2.840.10008.1.2");
    for (const Row& e : expected) {
        SCOPED_TRACE(e.uid);
        const TransferSyntax* row = FindTransferSyntax(e.uid);
        ASSERT_NE(row, nullptr);
        EXPECT_EQ(std::string(row->name), e.name);
        EXPECT_EQ(row->explicitVr, e.explicitVr);
        EXPECT_EQ(row->bigEndian, e.bigEndian);
        EXPECT_EQ(row->deflated, e.deflated);
        EXPECT_EQ(row->encapsulated, e.encapsulated);
        EXPECT_EQ(row->codec != nullptr, e.encapsulated);
        EXPECT_EQ(row->codec == nullptr || row->codec->Encodes(), e.written);
        EXPECT_TRUE(IsConvertible(*row));
        EXPECT_EQ(FindTransferSyntaxNamed(e.name), *e.name != '\0' ? row : nullptr);
        const DataSetEncoding encoding = EncodingOf(e.uid);
        EXPECT_EQ(encoding.explicitVr, e.explicitVr);
        EXPECT_EQ(encoding.bigEndian, e.bigEndian);
        EXPECT_EQ(encoding.deflated, e.deflated);
        // The same row through the C interface.
        const TransferSyntaxInfo* info = TransferSyntaxByUID(e.uid);
        ASSERT_NE(info, nullptr);
        EXPECT_EQ(std::string(info->uid), e.uid);
        EXPECT_EQ(std::string(info->name), e.name);
        EXPECT_EQ(info->explicitVr, e.explicitVr);
        EXPECT_EQ(info->bigEndian, e.bigEndian);
        EXPECT_EQ(info->deflated, e.deflated);
        EXPECT_EQ(info->encapsulated, e.encapsulated);
        EXPECT_EQ(TransferSyntaxByName(e.name), *e.name != '\0' ? info : nullptr);
    }
    EXPECT_EQ(TransferSyntaxByUID("big"), nullptr);
    EXPECT_EQ(TransferSyntaxByName("1.2.840.10008.1.2.2"), nullptr);
    EXPECT_EQ(TransferSyntaxByUID(nullptr), nullptr);
    // UIDs compare whole; a syntax the table does not know is read as explicit VR little endian.
    for (const char* unknown :
         {"1.2.840.10008.1.2.4", "1.2.840.10008.1.2 ", "1.2.840.10008.1.2.4.100", ""}) {
        EXPECT_EQ(FindTransferSyntax(unknown), nullptr) << unknown;
        EXPECT_TRUE(EncodingOf(unknown).explicitVr && !EncodingOf(unknown).bigEndian) << unknown;
    }
    EXPECT_EQ(FindTransferSyntax(std::string("1.2.840.10008.1.2\0", 18)), nullptr);
    EXPECT_EQ(FindTransferSyntaxNamed("jpeg-baseline"), nullptr);
    EXPECT_EQ(FindTransferSyntaxNamed("Implicit"), nullptr);
}
