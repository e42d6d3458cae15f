#include "Guarded.h"

#include <string>

#include "net/TraceLog.h"

namespace dicomlib {

void NoteExportFailure(const char* operation, const char* detail) noexcept {
    try {
        std::string line = std::string(operation) + " failed: " + detail;
        net::AppendLogLine(net::LogFileName(), line);
    } catch (...) {
        // Nothing more can be done without memory.
    }
}

}  // namespace dicomlib
