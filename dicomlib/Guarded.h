// Every exported function is one call through Guarded: it catches everything a C caller must
// never see (std::bad_alloc included), notes it in the trace log and returns the documented
// failure value.
#pragma once

#include <exception>
#include <utility>

namespace dicomlib {

void NoteExportFailure(const char* operation, const char* detail) noexcept;

template <class T, class Body>
T Guarded(const char* operation, T failure, Body&& body) noexcept {
    try {
        return static_cast<T>(std::forward<Body>(body)());
    } catch (const std::exception& e) {
        NoteExportFailure(operation, e.what());
    } catch (...) {
        NoteExportFailure(operation, "unknown exception");
    }
    return failure;
}

template <class Body>
void GuardedVoid(const char* operation, Body&& body) noexcept {
    try {
        std::forward<Body>(body)();
    } catch (const std::exception& e) {
        NoteExportFailure(operation, e.what());
    } catch (...) {
        NoteExportFailure(operation, "unknown exception");
    }
}

}  // namespace dicomlib
