// The provider's service options as tessaly-cli sets them: read once, kept for the providers
// started afterwards.
#include "ExportsProvider.h"

#include <mutex>

#include "Guarded.h"
#include "store/RetrieveProvider.h"

using namespace dicomlib;

namespace {

std::mutex gMutex;
store::ProviderOptions gOptions;

}  // namespace

ZEDAVURA_API bool SetStoreSCPServices(bool query, uint32_t pending, const char* nodesFile,
                                      std::string& why) {
    return Guarded("SetStoreSCPServices", false, [&] {
        store::ProviderOptions options;
        options.query = query;
        options.pending = pending;
        if (nodesFile != nullptr && *nodesFile != '\0') {
            auto nodes = store::ReadNodesFile(nodesFile, why);
            if (!nodes) return false;
            options.nodes = std::move(*nodes);
        }
        std::lock_guard lock(gMutex);
        gOptions = std::move(options);
        return true;
    });
}

namespace dicomlib::store {

ProviderOptions StoreSCPServices() {
    std::lock_guard lock(gMutex);
    return gOptions;
}

}  // namespace dicomlib::store
