// The CA signs with "openssl ca", which alone lets a test choose validity dates in the past or
// the future.
#include "support/TestCertificates.h"

#include <fstream>

namespace testsupport {

const TestCertificates& TestCertificates::Get() {
    static const TestCertificates certificates;
    return certificates;
}

void TestCertificates::Run(const std::vector<std::string>& argv) {
    if (!errors_.empty()) return;
    const CommandResult result = RunCommand(argv, {}, dir_.Path());
    if (result.exitCode != 0) errors_ = argv[1] + ": " + result.output + result.errors;
}

void TestCertificates::Leaf(const std::string& name, const std::string& ca,
                            const std::string& start, const std::string& end) {
    // EC keys are made at once; the server's is RSA, as most providers' are.
    std::vector<std::string> key = {"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256"};
    if (name == "server") key = {"-newkey", "rsa:2048"};
    std::vector<std::string> argv = {"openssl", "req"};
    argv.insert(argv.end(), key.begin(), key.end());
    argv.insert(argv.end(), {"-nodes", "-keyout", name + ".key", "-out", name + ".csr", "-subj",
                             "/O=Tessaly Test/CN=" + name});
    Run(argv);
    Run({"openssl", "ca", "-batch", "-notext", "-config", "ca.cnf", "-cert", ca + ".pem",
         "-keyfile", ca + ".key", "-in", name + ".csr", "-out", name + ".pem", "-startdate", start,
         "-enddate", end});
}

TestCertificates::TestCertificates() {
    std::ofstream(dir_ / "ca.cnf") << "[ca]\ndefault_ca = test\n[test]\ndir = .\n"
                                      "database = index.txt\nnew_certs_dir = .\nserial = serial\n"
                                      "default_md = sha256\npolicy = any\nunique_subject = no\n"
                                      "[any]\ncommonName = supplied\norganizationName = optional\n";
    std::ofstream(dir_ / "index.txt");
    std::ofstream(dir_ / "serial") << "01\n";
    std::ofstream(dir_ / "locked.pass") << "correct horse\n";
    for (const std::string ca : {"ca", "otherca"}) {
        Run({"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256",
             "-nodes", "-keyout", ca + ".key", "-out", ca + ".pem", "-days", "30", "-subj",
             "/O=Tessaly Test/CN=" + ca});
    }
    const std::string past = "20200101000000Z", longAgo = "20190101000000Z";
    const std::string soon = "20990101000000Z", later = "20991231000000Z";
    const std::string now = "20240101000000Z";
    Leaf("server", "ca", now, later);
    Leaf("client", "ca", now, later);
    Leaf("locked", "ca", now, later);
    Leaf("expired", "ca", longAgo, past);
    Leaf("future", "ca", soon, later);
    Leaf("otherserver", "otherca", now, later);
    Leaf("otherclient", "otherca", now, later);
    Run({"openssl", "pkey", "-in", "locked.key", "-out", "locked.enc.key", "-aes256", "-passout",
         "file:locked.pass"});
}

}  // namespace testsupport
