// Every exported function is one call through Guarded: it catches everything a C caller must
// never see (std::bad_alloc included), notes it in the trace log and returns the documented
// failure value.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <exception>
#include <string_view>
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

// Copies text into a caller's buffer of capacity bytes, cut to fit and NUL-terminated (nothing
// without a buffer); returns the whole length, as snprintf does.
inline int32_t CopyText(std::string_view text, char* out, uint32_t capacity) noexcept {
    if (out != nullptr && capacity > 0) {
        const std::size_t n = std::min<std::size_t>(text.size(), capacity - 1);
        std::memcpy(out, text.data(), n);
        out[n] = '\0';
    }
    return static_cast<int32_t>(std::min<std::size_t>(text.size(), INT32_MAX));
}

// CopyText for UTF-8: a cut falls between characters, never inside one.
inline int32_t CopyUtf8(std::string_view text, char* out, uint32_t capacity) noexcept {
    if (out != nullptr && capacity > 0 && text.size() >= capacity) {
        std::size_t n = capacity - 1;
        while (n > 0 && (static_cast<uint8_t>(text[n]) & 0xC0) == 0x80)
            --n;
        CopyText(text.substr(0, n), out, capacity);
        return static_cast<int32_t>(std::min<std::size_t>(text.size(), INT32_MAX));
    }
    return CopyText(text, out, capacity);
}

}  // namespace dicomlib
