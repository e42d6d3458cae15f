// The readers of the print path on arbitrary bytes: the first byte picks a Windows bitmap file,
// a Part 10 image rendered to gray and reduced to the image box's bytes, or a film box answer
// (an implicit VR data set) searched for its image box.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "data/Datadec.h"
#include "imaging/ImageFile.h"
#include "services/Print.h"

using namespace dicomlib;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const std::span<const uint8_t> bytes(data + 1, size - 1);
    std::string why;
    switch (data[0] % 3) {
        case 0: {
            imaging::Bitmap bitmap;
            if (imaging::DecodeBitmapFile(bytes, bitmap, why)) {
                std::vector<uint8_t> gray(std::size_t{bitmap.Width()} * bitmap.Height());
                services::BitmapToGray8(bitmap, gray);
            }
            break;
        }
        case 1: {
            services::PrintImage image;
            if (services::DicomBytesToPrintBitmap(bytes, image, why)) {
                ElementList item;
                services::BuildImagePixelItem(image, item);
            }
            break;
        }
        default: {
            const data::DecoderState implicit{0, 0, 0};
            ElementList list;
            data::ReadDataSetBytes(implicit, bytes, list);
            services::ImageBoxReference box;
            services::FindImageBox(list, implicit, box, why);
        }
    }
    return 0;
}
