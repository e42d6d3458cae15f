#include "support/TestSupport.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace testsupport {

TempDir::TempDir() {
    static std::atomic<int> counter{0};
    std::random_device rd;
    path_ = fs::temp_directory_path() /
            ("tessaly-test-" + std::to_string(::getpid()) + "-" + std::to_string(counter++) + "-" +
             std::to_string(rd() % 100000));
    fs::create_directories(path_);
}

TempDir::~TempDir() {
    std::error_code ec;
    fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(path_, ec);
}

std::vector<uint8_t> ReadFileBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path.string());
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), {});
}

void WriteFileBytes(const fs::path& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

std::string ReadFileText(const fs::path& path) {
    auto bytes = ReadFileBytes(path);
    return std::string(bytes.begin(), bytes.end());
}

namespace {

std::vector<char*> ToArgv(std::vector<std::string>& args) {
    std::vector<char*> out;
    for (auto& a : args)
        out.push_back(a.data());
    out.push_back(nullptr);
    return out;
}

void ApplyEnvironment(const std::vector<std::string>& environment) {
    for (const auto& entry : environment) {
        auto eq = entry.find('=');
        if (eq != std::string::npos) {
            ::setenv(entry.substr(0, eq).c_str(), entry.substr(eq + 1).c_str(), 1);
        }
    }
}

}  // namespace

CommandResult RunCommand(const std::vector<std::string>& argv,
                         const std::vector<std::string>& environment, const fs::path& workDir) {
    TempDir dir;
    const fs::path outPath = dir / "stdout";
    const fs::path errPath = dir / "stderr";
    std::vector<std::string> args = argv;
    pid_t pid = ::fork();
    if (pid == 0) {
        int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(out, 1);
        ::dup2(err, 2);
        if (!workDir.empty() && ::chdir(workDir.c_str()) != 0) ::_exit(126);
        ApplyEnvironment(environment);
        auto cargs = ToArgv(args);
        ::execvp(cargs[0], cargs.data());
        ::_exit(127);
    }
    CommandResult result;
    int status = 0;
    struct rusage usage {};
    ::wait4(pid, &status, 0, &usage);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.peakResidentBytes = static_cast<uint64_t>(usage.ru_maxrss) * 1024;
    result.output = ReadFileText(outPath);
    result.errors = ReadFileText(errPath);
    return result;
}

BackgroundProcess::BackgroundProcess(const std::vector<std::string>& argv, const fs::path& workDir,
                                     const std::vector<std::string>& environment) {
    static std::atomic<int> counter{0};
    logFile_ = fs::temp_directory_path() / ("tessaly-bg-" + std::to_string(::getpid()) + "-" +
                                            std::to_string(counter++) + ".log");
    std::vector<std::string> args = argv;
    pid_ = ::fork();
    if (pid_ == 0) {
        int out = ::open(logFile_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(out, 1);
        ::dup2(out, 2);
        if (!workDir.empty() && ::chdir(workDir.c_str()) != 0) ::_exit(126);
        ApplyEnvironment(environment);
        auto cargs = ToArgv(args);
        ::execvp(cargs[0], cargs.data());
        ::_exit(127);
    }
}

BackgroundProcess::~BackgroundProcess() {
    Stop();
    std::error_code ec;
    fs::remove(logFile_, ec);
}

int BackgroundProcess::Stop(int signal) {
    if (pid_ <= 0) return -1;
    ::kill(pid_, signal);
    int status = 0;
    struct rusage usage {};
    ::wait4(pid_, &status, 0, &usage);
    peakResidentBytes_ = static_cast<uint64_t>(usage.ru_maxrss) * 1024;
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string BackgroundProcess::Output() const {
    std::error_code ec;
    if (!fs::exists(logFile_, ec)) return {};
    return ReadFileText(logFile_);
}

bool ToolAvailable(const std::string& name) {
    const char* path = std::getenv("PATH");
    if (path == nullptr) return false;
    std::stringstream dirs(path);
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        if (!dir.empty() && ::access((fs::path(dir) / name).c_str(), X_OK) == 0) return true;
    }
    return false;
}

uint16_t FreePort() {
    // Ports are taken below the kernel's ephemeral range (32768 and up), where no outgoing
    // connection is ever given one, and each test process walks its own sequence from a start
    // drawn from its process ID, so that suites running side by side rarely try the same port.
    constexpr unsigned FIRST = 20000, COUNT = 12000;
    static std::atomic<unsigned> next{static_cast<unsigned>(::getpid()) * 7919u};
    for (unsigned attempt = 0; attempt < COUNT; ++attempt) {
        const auto port = static_cast<uint16_t>(FIRST + next.fetch_add(1) % COUNT);
        int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(port);
        const bool free = ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
        ::close(fd);
        if (free) return port;
    }
    throw std::runtime_error("no free port between 20000 and 31999");
}

bool WaitForListener(uint16_t port, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(port);
        int rc = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        ::close(fd);
        if (rc == 0) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

fs::path PydicomTestFiles() {
    for (const char* candidate : {"/usr/lib/python3/dist-packages/pydicom/data/test_files"}) {
        if (fs::is_directory(candidate)) return candidate;
    }
    return {};
}

std::string CliPath() {
    return TESSALY_CLI;
}

fs::path SourceDir() {
    return TESSALY_SOURCE_DIR;
}

}  // namespace testsupport
