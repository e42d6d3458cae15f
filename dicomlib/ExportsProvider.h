// The provider's service options (query/retrieve, pending responses, the nodes file) for
// tessaly-cli, until the C interface carries them: C++ entries of the shared library, kept for
// every provider that StartStoreSCPObserved starts from then on.
#pragma once

#include <cstdint>
#include <string>

#include "zedavura.h"

namespace dicomlib::store {
struct ProviderOptions;
}

// Query/retrieve served (query), extra pending responses before each final C-MOVE/C-GET
// response, and the nodes file (null or empty: none). False when the nodes file cannot be read
// or a line of it is not "AE HOST PORT": why then says which, and nothing is kept.
ZEDAVURA_API bool SetStoreSCPServices(bool query, uint32_t pending, const char* nodesFile,
                                      std::string& why);

namespace dicomlib::store {
// The options kept by SetStoreSCPServices (none set: the defaults).
ProviderOptions StoreSCPServices();
}  // namespace dicomlib::store
