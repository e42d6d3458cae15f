// Trace log state and writers. The level and the file name are shared by every thread of
// the process: the level is an atomic, the name sits behind a mutex, and the time-stamped
// writer holds a mutex of its own while it writes.
#include "net/TraceLog.h"

#include "data/TextFile.h"

#include <atomic>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <span>
#include <vector>

#include "net/Pdu.h"
#include "net/UserIdentity.h"

namespace dicomlib::net {
namespace {

std::atomic<int32_t> gLogLevel{0};
std::mutex gLogNameMutex;
std::string gLogFileName;
std::mutex gLogLineMutex;

}  // namespace

void SetLog(std::string_view path, int32_t level) {
    gLogLevel.store(level);
    if (!path.empty()) {
        std::lock_guard lock(gLogNameMutex);
        gLogFileName.assign(path);
    }
}

int32_t LogLevel() {
    return gLogLevel.load();
}

std::string LogFileName() {
    std::lock_guard lock(gLogNameMutex);
    return gLogFileName;
}

bool AppendLogLine(const std::string& path, std::string_view text) {
    std::string line(text);
    line += "\r\n";
    return data::AppendToFile(path, line);
}

std::string LocalTimeOfDay() {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char text[16];
    std::strftime(text, sizeof text, "%H:%M:%S", &local);
    return text;
}

void WriteLogLine(std::string_view text) {
    std::lock_guard lock(gLogLineMutex);
    std::string line = LocalTimeOfDay();
    line += ": ";
    line += text;
    line += "\r\n";
    data::AppendToFile(LogFileName(), line);
}

std::string FormatSocketTraffic(const uint8_t* bytes, std::size_t count, bool sent) {
    static const char hex[] = "0123456789ABCDEF";
    char header[32];
    std::snprintf(header, sizeof header, sent ? "%6d >> " : "%6d << ", static_cast<int>(count));
    std::string record(header, 10);
    const std::size_t shown = count < 256 ? count : 256;
    record.reserve(10 + shown * 4 + 40);
    for (std::size_t i = 0; i < shown; ++i) {
        record += hex[bytes[i] >> 4];
        record += hex[bytes[i] & 0x0F];
        record += ' ';
    }
    if (shown == 256) record += " [MORE DATA...]";
    record += "\r\n";
    for (std::size_t i = 0; i < shown; ++i) {
        const uint8_t b = bytes[i];
        record += (b >= 0x20 && b <= 0x7A) ? static_cast<char>(b) : '.';
    }
    if (shown == 256) record += " [MORE DATA...]";
    record += "\r\n\r\n";
    return record;
}

void DumpSocketTraffic(const uint8_t* bytes, std::size_t count, bool sent) {
    // Passcodes and tokens of a user identity never reach the log: an association request or
    // answer is dumped with their values masked.
    if (count > 0 && (bytes[0] == PDU_ASSOCIATE_RQ || bytes[0] == PDU_ASSOCIATE_AC)) {
        const std::vector<uint8_t> masked = MaskUserIdentity(std::span(bytes, count));
        data::AppendToFile(LogFileName(), FormatSocketTraffic(masked.data(), masked.size(), sent));
        return;
    }
    data::AppendToFile(LogFileName(), FormatSocketTraffic(bytes, count, sent));
}

}  // namespace dicomlib::net
