// UIDs the library itself names; the transfer syntaxes are in TransferSyntax.h.
#pragma once

#include <string_view>

namespace dicomlib::uid {

constexpr std::string_view Verification = "1.2.840.10008.1.1";

constexpr std::string_view BasicGrayscalePrintManagementMeta = "1.2.840.10008.5.1.1.9";
constexpr std::string_view Printer = "1.2.840.10008.5.1.1.16";
constexpr std::string_view PrinterInstance = "1.2.840.10008.5.1.1.17";
constexpr std::string_view BasicFilmSession = "1.2.840.10008.5.1.1.1";
constexpr std::string_view BasicFilmBox = "1.2.840.10008.5.1.1.2";
constexpr std::string_view BasicGrayscaleImageBox = "1.2.840.10008.5.1.1.4";

constexpr std::string_view ImplementationClass = "1.2.826.0.1.3680043.2.7251.999";

}  // namespace dicomlib::uid
