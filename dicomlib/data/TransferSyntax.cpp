#include "data/TransferSyntax.h"

#include <array>

#include "imaging/BaselineJpeg.h"
#include "imaging/HtJ2kCodec.h"
#include "imaging/Jpeg2000Codec.h"
#include "imaging/JpegLsCodec.h"
#include "imaging/JpegXlCodec.h"
#include "imaging/LosslessJpeg.h"
#include "imaging/RleCodec.h"

namespace dicomlib::data {
namespace {

// Syntaxes whose codec only reads (baseline, extended) have no command-line name; the lossless
// JPEG of any predictor is read by the lossless codec, which writes first-order prediction, a
// stream of that syntax too. JPEG XL's JPEG recompression is written from baseline JPEG only,
// by rewriting its streams.
// clang-format off
constexpr std::array<TransferSyntax, 19> TABLE = {{
    // uid                                name            explicit big    deflated encaps. codec
    {uid::ImplicitVRLittleEndian,         "implicit",      false,  false, false,   false,  nullptr},
    {uid::ExplicitVRLittleEndian,         "explicit",      true,   false, false,   false,  nullptr},
    {uid::ExplicitVRBigEndian,            "big",           true,   true,  false,   false,  nullptr},
    {uid::DeflatedExplicitVRLittleEndian, "deflate",       true,   false, true,    false,  nullptr},
    {uid::RLELossless,                    "rle",           true,   false, false,   true,   &imaging::RLE_CODEC},
    {uid::JPEGBaseline,                   "",              true,   false, false,   true,   &imaging::BASELINE_JPEG_CODEC},
    {uid::JPEGExtended,                   "",              true,   false, false,   true,   &imaging::EXTENDED_JPEG_CODEC},
    {uid::JPEGLosslessAnyPredictor,       "",              true,   false, false,   true,   &imaging::LOSSLESS_JPEG_CODEC},
    {uid::JPEGLossless,                   "jpeg-lossless", true,   false, false,   true,   &imaging::LOSSLESS_JPEG_CODEC},
    {uid::JPEGLSLossless,                 "jpeg-ls",       true,   false, false,   true,   &imaging::JPEG_LS_CODEC},
    {uid::JPEGLSNearLossless,             "jpeg-ls-near",  true,   false, false,   true,   &imaging::JPEG_LS_NEAR_CODEC},
    {uid::JPEG2000Lossless,               "j2k",           true,   false, false,   true,   &imaging::JPEG_2000_CODEC},
    {uid::JPEG2000,                       "j2k-lossy",     true,   false, false,   true,   &imaging::JPEG_2000_LOSSY_CODEC},
    {uid::JPEGXLLossless,                 "jpeg-xl",       true,   false, false,   true,   &imaging::JPEG_XL_CODEC},
    {uid::JPEGXLJPEGRecompression,        "jpeg-xl-jpeg",  true,   false, false,   true,   &imaging::JPEG_XL_JPEG_CODEC},
    {uid::JPEGXL,                         "jpeg-xl-lossy", true,   false, false,   true,   &imaging::JPEG_XL_LOSSY_CODEC},
    {uid::HTJ2KLossless,                  "htj2k",         true,   false, false,   true,   &imaging::HTJ2K_CODEC},
    {uid::HTJ2KLosslessRPCL,              "htj2k-rpcl",    true,   false, false,   true,   &imaging::HTJ2K_RPCL_CODEC},
    {uid::HTJ2K,                          "htj2k-lossy",   true,   false, false,   true,   &imaging::HTJ2K_LOSSY_CODEC},
}};
// clang-format on

}  // namespace

std::span<const TransferSyntax> TransferSyntaxes() {
    return TABLE;
}

const TransferSyntax* FindTransferSyntax(std::string_view uid) {
    for (const TransferSyntax& row : TABLE)
        if (uid == row.uid) return &row;
    return nullptr;
}

const TransferSyntax* FindTransferSyntaxNamed(std::string_view name) {
    if (name.empty()) return nullptr;
    for (const TransferSyntax& row : TABLE)
        if (name == row.name) return &row;
    return nullptr;
}

bool IsConvertible(const TransferSyntax& syntax) {
    return !syntax.encapsulated || syntax.codec != nullptr;
}

DataSetEncoding EncodingOf(std::string_view uid) {
    const TransferSyntax* row = FindTransferSyntax(uid);
    if (row == nullptr) return {true, false};
    return {row->explicitVr, row->bigEndian, row->deflated};
}

}  // namespace dicomlib::data
