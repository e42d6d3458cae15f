// The process's trace log: one text file chosen by SetLOG, and the level that decides what
// the library writes into it. Every write opens the file, appends and closes it again, so
// threads never share a file handle; a mutex keeps time-stamped lines whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace dicomlib::net {

// Trace levels: association events, full message dumps, hex dump of all socket traffic.
constexpr int32_t LOG_ASSOCIATION = 1;
constexpr int32_t LOG_MESSAGES = 2;
constexpr int32_t LOG_SOCKET = 3;

// Sets the level; a non-empty path replaces the log file, an empty one keeps it.
void SetLog(std::string_view path, int32_t level);
int32_t LogLevel();
// The current log file path, empty while none is set.
std::string LogFileName();

// Local time of day, ": ", the text, CR LF; serialised between threads.
void WriteLogLine(std::string_view text);
// The text and CR LF appended to path; false when path is empty or cannot be opened.
bool AppendLogLine(const std::string& path, std::string_view text);
// One hex-dump record of a send (sent = true) or a receive.
void DumpSocketTraffic(const uint8_t* bytes, std::size_t count, bool sent);
// The record DumpSocketTraffic writes, as text.
std::string FormatSocketTraffic(const uint8_t* bytes, std::size_t count, bool sent);
// The time of day as WriteLogLine prints it ("HH:MM:SS").
std::string LocalTimeOfDay();

}  // namespace dicomlib::net
