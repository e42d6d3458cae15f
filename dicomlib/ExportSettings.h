// The exported ConnectionOptions as the library's ConnectionSettings, for the Exports files.
#pragma once

#include <memory>
#include <optional>

#include "net/ConnectionSettings.h"
#include "net/Result.h"
#include "net/TlsTransport.h"
#include "zedavura.h"

namespace dicomlib {

// None for null options, options whose structSize does not hold the fields of the first
// version, or TLS options whose context cannot be made (the words are then the thread's last
// failure). Zero waits keep the defaults; the maximum PDU length is taken into the range we
// announce.
std::optional<net::ConnectionSettings> SettingsOf(const ConnectionOptions* options);

// The TLS context of the options, made once and kept while the same options come again (a
// command opens many associations with one set).
net::Result<std::shared_ptr<const net::TlsContext>> TlsContextOf(const TlsOptions& options);

}  // namespace dicomlib
