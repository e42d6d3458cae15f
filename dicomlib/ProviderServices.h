/* The storage provider with its N-service providers: storage commitment and performed
 * procedure steps. Plain C beside zedavura.h, whose types it uses. */
#ifndef ZEDAVURA_PROVIDER_SERVICES_H
#define ZEDAVURA_PROVIDER_SERVICES_H

#include "zedavura.h"

#ifdef __cplusplus
extern "C" {
#endif

/* What the provider serves besides C-ECHO and C-STORE; texts are paths, null or empty for none.
 * structSize is sizeof(NServiceProviderOptions). */
typedef struct NServiceProviderOptions {
    uint32_t structSize;
    uint8_t commit;               /* 1: take Storage Commitment Push Model */
    uint8_t commitNewAssociation; /* 1: reports always on a new association (needs commit) */
    const char* nodesFile;        /* "AE HOST PORT" lines: where new associations go */
    const char* mppsDirectory;    /* the folder of the performed procedure steps; null: none */
} NServiceProviderOptions;

/* StartStoreSCPObserved serving services as well (null: none); 1 when the listener was started
 * (StoreSCPListening tells whether it listens), 0 when the options cannot be used: a nodes file
 * that cannot be read or has a bad line, a struct too small (LastFailureText says why). */
ZEDAVURA_API uint8_t StartStoreSCPServing(const char* directory, const ConnectionOptions* listener,
                                          uint8_t acceptAll, const ProviderFaults* faults,
                                          ProviderEventSink sink, void* context,
                                          const NServiceProviderOptions* services);

#ifdef __cplusplus
}
#endif

#endif
