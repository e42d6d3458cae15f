// The exported UID maker: a thin wrapper over the one the services use.
#include "Guarded.h"
#include "services/Mpps.h"
#include "zedavura.h"

extern "C" ZEDAVURA_API int32_t NewUID(char* text, uint32_t capacity) {
    return dicomlib::Guarded("NewUID", int32_t{0}, [&] {
        return dicomlib::CopyText(dicomlib::services::NewUid(), text, capacity);
    });
}
