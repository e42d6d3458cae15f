// ECG2Bitmap's refusals through the C interface; the drawings are judged against pydicom in
// interop/EcgInteropTest.cpp.
#include <gtest/gtest.h>

#include <tuple>
#include <vector>

#include "data/ElementList.h"
#include "zedavura.h"

TEST(ECG2Bitmap, RefusesWithoutTouchingThePixels) {
    ElementList* mr = NewElementList();
    ElementList* ecg = NewElementList();
    AppendTag(mr, GenerateTag(0x0008, 0x0060, 2, "MR", "CS"));
    AppendTag(ecg, GenerateTag(0x0008, 0x0060, 4, "ECG ", "CS"));
    std::vector<uint8_t> pixels(64 * 48 * 4, 0x5A);
    const std::vector<uint8_t> before = pixels;
    const BitmapBuffer good = {64, 48, 32, 64 * 4, pixels.data()};
    const std::tuple<BitmapBuffer, ElementList*, int32_t> cases[] = {
        {good, mr, -1},
        {good, ecg, -2},  // no Waveform Sequence
        {good, nullptr, -3},
        {{64, 48, 32, 64 * 4, nullptr}, ecg, -3},
        {{64, 48, 8, 64, pixels.data()}, ecg, -3},
        {{64, 48, 24, 64 * 3 - 1, pixels.data()}, ecg, -3},
        {{40000, 1, 32, 160000, pixels.data()}, ecg, -3},
    };
    for (auto [bitmap, list, status] : cases) {
        EXPECT_EQ(ECG2BitmapStatus(&bitmap, list), status) << bitmap.width;
        EXPECT_EQ(ECG2Bitmap(&bitmap, list), 0);
    }
    EXPECT_EQ(pixels, before);
    DeleteElementList(mr);
    DeleteElementList(ecg);
}
