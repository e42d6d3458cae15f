#include "data/TransferSyntax.h"

#include <array>

#include "imaging/BaselineJpeg.h"
#include "imaging/LosslessJpeg.h"

namespace dicomlib::data {
namespace {

// Baseline JPEG is read, never written, so the command line has no name for it.
// clang-format off
constexpr std::array<TransferSyntax, 5> TABLE = {{
    // uid                          name             explicit big    deflated encaps. codec
    {uid::ImplicitVRLittleEndian, "implicit",      false,   false, false,   false,  nullptr},
    {uid::ExplicitVRLittleEndian, "explicit",      true,    false, false,   false,  nullptr},
    {uid::ExplicitVRBigEndian,    "big",           true,    true,  false,   false,  nullptr},
    {uid::JPEGBaseline,           "",              true,    false, false,   true,   &imaging::BASELINE_JPEG_CODEC},
    {uid::JPEGLossless,           "jpeg-lossless", true,    false, false,   true,   &imaging::LOSSLESS_JPEG_CODEC},
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
    return !syntax.deflated && (!syntax.encapsulated || syntax.codec != nullptr);
}

DataSetEncoding EncodingOf(std::string_view uid) {
    const TransferSyntax* row = FindTransferSyntax(uid);
    if (row == nullptr) return {true, false};
    return {row->explicitVr, row->bigEndian};
}

}  // namespace dicomlib::data
