// A scripted HTTP server on a free loopback port, for what real DICOMweb servers rarely do:
// it answers the requests, one connection each, with the given answers in order (raw bytes,
// so an answer may break off or lie about its body) and closes each connection after its
// answer. Each request is kept for the test to look at after Join.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

class HttpPeer {
  public:
    explicit HttpPeer(std::vector<std::string> answers);
    ~HttpPeer();
    HttpPeer(const HttpPeer&) = delete;
    HttpPeer& operator=(const HttpPeer&) = delete;

    // http://127.0.0.1:PORT followed by path.
    std::string Url(const std::string& path = "/dicom-web") const;
    // Waits for the answers given so far; a request that never came leaves its answer unused.
    void Join();

    struct Request {
        std::string head;  // request line and headers, up to the blank line
        std::string body;
    };
    // The requests that came, in order; read after Join.
    std::vector<Request> requests;

  private:
    int listener_ = -1;
    uint16_t port_ = 0;
    std::thread thread_;
};

// An answer with a Content-Length and "Connection: close"; extraHeaders end in CR LF each.
std::string HttpAnswer(int status, const std::string& contentType, const std::string& body,
                       const std::string& extraHeaders = "");

}  // namespace testsupport
