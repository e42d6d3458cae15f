// UIDs the library itself names; the transfer syntaxes are in TransferSyntax.h.
#pragma once

#include <string_view>

namespace dicomlib::uid {

constexpr std::string_view Verification = "1.2.840.10008.1.1";

constexpr std::string_view ImplementationClass = "1.2.826.0.1.3680043.2.7251.999";

}  // namespace dicomlib::uid
