// Exported ECG drawing: the caller's bitmap record is copied into a bitmap of the imaging
// layer, drawn on by imaging/EcgDrawing and copied back only when the drawing was made.
#include <algorithm>

#include "Guarded.h"
#include "imaging/EcgDrawing.h"
#include "zedavura.h"

using namespace dicomlib;

namespace {

constexpr uint32_t LARGEST_SIDE = 32767;  // what the drawing surface takes

bool Usable(const BitmapBuffer& b) {
    if (b.pixels == nullptr || b.width == 0 || b.height == 0) return false;
    if (b.width > LARGEST_SIDE || b.height > LARGEST_SIDE) return false;
    if (b.bitsPerPixel != 24 && b.bitsPerPixel != 32) return false;
    return b.rowBytes >= uint64_t{b.width} * (b.bitsPerPixel / 8);
}

int32_t DrawOnBuffer(BitmapBuffer& buffer, const ElementList& elements) {
    imaging::Bitmap bitmap;
    const auto format =
        buffer.bitsPerPixel == 24 ? imaging::PixelFormat::Bgr24 : imaging::PixelFormat::Bgrx32;
    if (!bitmap.Reset(buffer.width, buffer.height, format)) return ECG_UNUSABLE_BITMAP;
    const auto rowAt = [&](uint32_t y) { return buffer.pixels + std::size_t{y} * buffer.rowBytes; };
    for (uint32_t y = 0; y < buffer.height; ++y)
        std::copy_n(rowAt(y), bitmap.RowBytes(), bitmap.Row(y).begin());
    const imaging::EcgOutcome outcome = imaging::DrawEcg(bitmap, elements);
    if (outcome != imaging::EcgOutcome::Drawn) return static_cast<int32_t>(outcome);
    for (uint32_t y = 0; y < buffer.height; ++y)
        std::copy_n(bitmap.Row(y).begin(), bitmap.RowBytes(), rowAt(y));
    return ECG_DRAWN;
}

}  // namespace

extern "C" ZEDAVURA_API int32_t ECG2BitmapStatus(BitmapBuffer* bitmap,
                                                 const ElementList* elements) {
    if (bitmap == nullptr || elements == nullptr || !Usable(*bitmap)) return ECG_UNUSABLE_BITMAP;
    return Guarded("ECG2Bitmap", int32_t{ECG_INTERNAL_ERROR},
                   [&] { return DrawOnBuffer(*bitmap, *elements); });
}

extern "C" ZEDAVURA_API uint8_t ECG2Bitmap(BitmapBuffer* bitmap, const ElementList* elements) {
    return static_cast<uint8_t>(ECG2BitmapStatus(bitmap, elements) == ECG_DRAWN ? 1 : 0);
}
