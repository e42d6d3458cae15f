// The exported ConnectionOptions as the library's ConnectionSettings, for the Exports files.
#pragma once

#include <optional>

#include "net/ConnectionSettings.h"
#include "zedavura.h"

namespace dicomlib {

// None for null options, or options whose structSize does not hold the fields of the first
// version. Zero waits keep the defaults; the maximum PDU length is taken into the range we
// announce.
std::optional<net::ConnectionSettings> SettingsOf(const ConnectionOptions* options);

}  // namespace dicomlib
