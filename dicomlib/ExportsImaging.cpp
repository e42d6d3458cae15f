// Exported imaging operations: thin wrappers over imaging/.
#include "Guarded.h"
#include "imaging/Thumbnail.h"
#include "zedavura.h"

using namespace dicomlib;

extern "C" ZEDAVURA_API int32_t CreateThumbnailStatus(const char* outputPath, const char* dicomPath,
                                                      int32_t width) {
    if (outputPath == nullptr || dicomPath == nullptr)
        return static_cast<int32_t>(imaging::ThumbnailStatus::CannotRead);
    return Guarded(
        "CreateThumbnail", static_cast<int32_t>(imaging::ThumbnailStatus::CannotWrite), [&] {
            return static_cast<int32_t>(imaging::CreateThumbnail(outputPath, dicomPath, width));
        });
}

extern "C" ZEDAVURA_API uint8_t CreateThumbnail(const char* outputPath, const char* dicomPath,
                                                int32_t width) {
    return CreateThumbnailStatus(outputPath, dicomPath, width) == THUMBNAIL_WRITTEN ? 1 : 0;
}
