// Helpers shared by the test suites: temporary folders, files, child processes, free ports,
// and the locations of real test files and peers.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace testsupport {

namespace fs = std::filesystem;

// A fresh folder under the system's temporary folder, removed with everything in it.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const fs::path& Path() const { return path_; }
    fs::path operator/(const std::string& name) const { return path_ / name; }

  private:
    fs::path path_;
};

std::vector<uint8_t> ReadFileBytes(const fs::path& path);
void WriteFileBytes(const fs::path& path, const std::vector<uint8_t>& bytes);
std::string ReadFileText(const fs::path& path);

struct CommandResult {
    int exitCode = -1;
    std::string output;              // standard output
    std::string errors;              // standard error
    uint64_t peakResidentBytes = 0;  // the most memory the process held, as the kernel counts it
};

// Runs argv[0] (looked up on PATH) with the given arguments and waits for it; in workDir when
// one is given.
CommandResult RunCommand(const std::vector<std::string>& argv,
                         const std::vector<std::string>& environment = {},
                         const fs::path& workDir = {});

// A child process left running until Stop (or destruction) sends it SIGTERM.
class BackgroundProcess {
  public:
    BackgroundProcess(const std::vector<std::string>& argv, const fs::path& workDir = {},
                      const std::vector<std::string>& environment = {});
    ~BackgroundProcess();
    BackgroundProcess(const BackgroundProcess&) = delete;
    BackgroundProcess& operator=(const BackgroundProcess&) = delete;
    // Sends SIGTERM (or the given signal) and returns the exit status (-1 when not running).
    int Stop(int signal = 15);
    bool Running() const { return pid_ > 0; }
    // After Stop: the most memory the process held, as the kernel counts it.
    uint64_t PeakResidentBytes() const { return peakResidentBytes_; }
    // What the process wrote to standard output and standard error so far (both go to a file).
    std::string Output() const;

  private:
    int pid_ = -1;
    uint64_t peakResidentBytes_ = 0;
    fs::path logFile_;
};

// True when the program is on PATH.
bool ToolAvailable(const std::string& name);

// A TCP port on 127.0.0.1 that nothing listens on right now.
uint16_t FreePort();
// Waits until something accepts connections on 127.0.0.1:port; false after the timeout.
bool WaitForListener(uint16_t port, int timeoutMs = 10000);

// The folder of python3-pydicom's test files, or empty when it is not installed.
fs::path PydicomTestFiles();
// The tessaly-cli built with these tests.
std::string CliPath();
// The source tree.
fs::path SourceDir();

}  // namespace testsupport
