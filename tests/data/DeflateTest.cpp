#include "data/Deflate.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

namespace {

using dicomlib::data::DeflateBytes;
using dicomlib::data::InflateBytes;
using Bytes = std::vector<uint8_t>;

TEST(Deflate, RoundTripsAndRefusesDamage) {
    std::mt19937 random(3);
    Bytes text(300000);
    for (auto& b : text)
        b = static_cast<uint8_t>("DICOM data set "[random() % 15]);
    for (const Bytes& plain : {Bytes{}, Bytes{0x08, 0x00}, text}) {
        const Bytes packed = DeflateBytes(plain);
        EXPECT_FALSE(packed.empty());
        Bytes padded = packed;
        padded.push_back(0x00);  // the pad of an odd-length stream is ignored
        const auto back = InflateBytes(padded);
        EXPECT_EQ(back.error, "");
        EXPECT_EQ(back.bytes, plain);
    }
    // Raw deflate, no zlib header: a stored block of "ab" inflates.
    EXPECT_EQ(InflateBytes(Bytes{0x01, 0x02, 0x00, 0xFD, 0xFF, 'a', 'b'}).bytes, (Bytes{'a', 'b'}));

    const Bytes packed = DeflateBytes(text);
    EXPECT_EQ(InflateBytes(Bytes(packed.begin(), packed.end() - 20)).error,
              "the deflated data ends before its last block");
    EXPECT_NE(InflateBytes(Bytes{0xFF, 0xFF, 0xFF}).error, "");
    EXPECT_EQ(InflateBytes(packed, 1000).error, "the inflated data set is larger than 1000 bytes");
}

TEST(DeflateSink, PiecesOfAnySizeGiveTheBytesOfOneDeflate) {
    std::mt19937 random(5);
    Bytes plain(3 << 20);
    for (auto& b : plain)
        b = static_cast<uint8_t>(random() % 7 == 0 ? random() : 'x');
    dicomlib::data::MemorySink out;
    dicomlib::data::DeflateSink sink(out);
    for (std::size_t at = 0, piece = 1; at < plain.size(); at += piece, piece = piece * 3 + 1)
        ASSERT_TRUE(sink.Put({plain.data() + at, std::min(piece, plain.size() - at)}));
    ASSERT_TRUE(sink.Finish());
    EXPECT_EQ(sink.Produced(), out.Bytes().size());
    EXPECT_EQ(out.Bytes(), DeflateBytes(plain));
}

}  // namespace
