#include "support/HttpPeer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>

namespace testsupport {
namespace {

constexpr int WAIT_MS = 20000;

bool WaitReadable(int handle) {
    pollfd p{handle, POLLIN, 0};
    return ::poll(&p, 1, WAIT_MS) == 1;
}

// Reads one request: the head up to the blank line, then a body of its Content-Length.
HttpPeer::Request ReadRequest(int handle) {
    std::string bytes;
    std::size_t headEnd = std::string::npos, bodyLength = 0;
    char buffer[65536];
    while (headEnd == std::string::npos || bytes.size() < headEnd + 4 + bodyLength) {
        if (!WaitReadable(handle)) break;
        const ssize_t n = ::recv(handle, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        bytes.append(buffer, static_cast<std::size_t>(n));
        if (headEnd == std::string::npos &&
            (headEnd = bytes.find("\r\n\r\n")) != std::string::npos) {
            std::string lower = bytes.substr(0, headEnd);
            for (char& c : lower)
                c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            const std::size_t at = lower.find("\r\ncontent-length:");
            if (at != std::string::npos)
                bodyLength = std::strtoull(lower.c_str() + at + 17, nullptr, 10);
        }
    }
    if (headEnd == std::string::npos) return {bytes, {}};
    return {bytes.substr(0, headEnd), bytes.substr(headEnd + 4)};
}

}  // namespace

HttpPeer::HttpPeer(std::vector<std::string> answers) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(listener_, 8) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        throw std::runtime_error("the scripted HTTP server cannot listen");
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this, answers = std::move(answers)] {
        for (const std::string& answer : answers) {
            const int handle = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (handle < 0) return;
            requests.push_back(ReadRequest(handle));
            for (std::size_t sent = 0; sent < answer.size();) {
                const ssize_t n =
                    ::send(handle, answer.data() + sent, answer.size() - sent, MSG_NOSIGNAL);
                if (n <= 0) break;
                sent += static_cast<std::size_t>(n);
            }
            // An orderly close, so that everything sent is read before the end is seen.
            ::shutdown(handle, SHUT_WR);
            char drain[4096];
            while (WaitReadable(handle) && ::recv(handle, drain, sizeof drain, 0) > 0) {
            }
            ::close(handle);
        }
    });
}

HttpPeer::~HttpPeer() {
    Join();
    if (listener_ >= 0) ::close(listener_);
}

std::string HttpPeer::Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

void HttpPeer::Join() {
    if (!thread_.joinable()) return;
    ::shutdown(listener_, SHUT_RDWR);  // ends a wait for a request that will not come
    thread_.join();
}

std::string HttpAnswer(int status, const std::string& contentType, const std::string& body,
                       const std::string& extraHeaders) {
    std::string answer = "HTTP/1.1 " + std::to_string(status) + " Scripted\r\n";
    if (!contentType.empty()) answer += "Content-Type: " + contentType + "\r\n";
    answer += "Content-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n";
    return answer + extraHeaders + "\r\n" + body;
}

}  // namespace testsupport
