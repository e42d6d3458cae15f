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
    // uid                                name            title                                      explicit big    deflated encaps. codec
    {uid::ImplicitVRLittleEndian,          "implicit",      "Implicit VR Little Endian",               false,  false, false,   false,  nullptr},
    {uid::ExplicitVRLittleEndian,          "explicit",      "Explicit VR Little Endian",               true,   false, false,   false,  nullptr},
    {uid::ExplicitVRBigEndian,             "big",           "Explicit VR Big Endian",                  true,   true,  false,   false,  nullptr},
    {uid::DeflatedExplicitVRLittleEndian,  "deflate",       "Deflated Explicit VR Little Endian",      true,   false, true,    false,  nullptr},
    {uid::RLELossless,                     "rle",           "RLE Lossless",                            true,   false, false,   true,   &imaging::RLE_CODEC},
    {uid::JPEGBaseline,                    "",              "JPEG Baseline",                           true,   false, false,   true,   &imaging::BASELINE_JPEG_CODEC},
    {uid::JPEGExtended,                    "",              "JPEG Extended",                           true,   false, false,   true,   &imaging::EXTENDED_JPEG_CODEC},
    {uid::JPEGLosslessAnyPredictor,        "",              "JPEG Lossless",                           true,   false, false,   true,   &imaging::LOSSLESS_JPEG_CODEC},
    {uid::JPEGLossless,                    "jpeg-lossless", "JPEG Lossless, first-order prediction",   true,   false, false,   true,   &imaging::LOSSLESS_JPEG_CODEC},
    {uid::JPEGLSLossless,                  "jpeg-ls",       "JPEG-LS Lossless",                        true,   false, false,   true,   &imaging::JPEG_LS_CODEC},
    {uid::JPEGLSNearLossless,              "jpeg-ls-near",  "JPEG-LS Near-Lossless",                   true,   false, false,   true,   &imaging::JPEG_LS_NEAR_CODEC},
    {uid::JPEG2000Lossless,                "j2k",           "JPEG 2000 Lossless",                      true,   false, false,   true,   &imaging::JPEG_2000_CODEC},
    {uid::JPEG2000,                        "j2k-lossy",     "JPEG 2000",                               true,   false, false,   true,   &imaging::JPEG_2000_LOSSY_CODEC},
    {uid::JPEGXLLossless,                  "jpeg-xl",       "JPEG XL Lossless",                        true,   false, false,   true,   &imaging::JPEG_XL_CODEC},
    {uid::JPEGXLJPEGRecompression,         "jpeg-xl-jpeg",  "JPEG XL JPEG Recompression",              true,   false, false,   true,   &imaging::JPEG_XL_JPEG_CODEC},
    {uid::JPEGXL,                          "jpeg-xl-lossy", "JPEG XL",                                 true,   false, false,   true,   &imaging::JPEG_XL_LOSSY_CODEC},
    {uid::HTJ2KLossless,                   "htj2k",         "High-Throughput JPEG 2000 Lossless",      true,   false, false,   true,   &imaging::HTJ2K_CODEC},
    {uid::HTJ2KLosslessRPCL,               "htj2k-rpcl",    "High-Throughput JPEG 2000 Lossless RPCL", true,   false, false,   true,   &imaging::HTJ2K_RPCL_CODEC},
    {uid::HTJ2K,                           "htj2k-lossy",   "High-Throughput JPEG 2000",               true,   false, false,   true,   &imaging::HTJ2K_LOSSY_CODEC},
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

std::string SyntaxTitle(std::string_view uid) {
    const TransferSyntax* row = FindTransferSyntax(uid);
    if (row != nullptr) return row->title;
    return uid.empty() ? std::string("no transfer syntax") : std::string(uid);
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
