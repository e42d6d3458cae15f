// The query and worklist options of the provider for the command line, until they have their
// place in the exported provider options: they hold for every StartStoreSCPObserved from now on.
#include "Guarded.h"
#include "store/QueryProvider.h"
#include "zedavura.h"

using namespace dicomlib;

extern "C" ZEDAVURA_API void SetStoreSCPQueryOptions(uint8_t query, const char* worklistDirectory,
                                                     uint32_t pending) {
    GuardedVoid("SetStoreSCPQueryOptions", [&] {
        store::QueryProviderOptions options;
        options.query = query != 0;
        if (worklistDirectory != nullptr) options.worklistDirectory = worklistDirectory;
        options.pending = pending;
        store::SetProviderQueryOptions(std::move(options));
    });
}
