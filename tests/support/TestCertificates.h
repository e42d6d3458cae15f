// Certificates for TLS tests, made with the openssl command in a folder of their own: a CA,
// a server and a client certificate it signed, a server certificate that expired and one not
// yet valid, another CA with a server and a client certificate of its own, and a client key
// kept under a pass phrase. The server's key is RSA 2048, every other one EC P-256; all PEM,
// made afresh by each test program.
#pragma once

#include <filesystem>
#include <string>

#include "support/TestSupport.h"

namespace testsupport {

class TestCertificates {
  public:
    // One per test program, made on first use; Ok() false (with Errors()) when openssl failed.
    static const TestCertificates& Get();

    bool Ok() const { return errors_.empty(); }
    const std::string& Errors() const { return errors_; }

    // name.pem and name.key for ca, server, client, expired, future, otherca, otherserver,
    // otherclient, locked (its key also as locked.enc.key under the pass phrase in
    // locked.pass).
    fs::path Cert(const std::string& name) const { return dir_ / (name + ".pem"); }
    fs::path Key(const std::string& name) const { return dir_ / (name + ".key"); }
    fs::path Dir() const { return dir_.Path(); }

  private:
    TestCertificates();
    void Run(const std::vector<std::string>& argv);
    void Leaf(const std::string& name, const std::string& ca, const std::string& start,
              const std::string& end);

    TempDir dir_;
    std::string errors_;
};

}  // namespace testsupport
