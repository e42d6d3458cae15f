// The storage provider over TLS with DCMTK's echoscu +tls and storescu +tls as requestors: with
// and without their certificates, several senders at once, and the refusals the provider makes.
#include <gtest/gtest.h>

#include <future>
#include <string>
#include <vector>

#include "net/TlsTransport.h"
#include "net/TraceLog.h"
#include "store/StoreScp.h"
#include "support/TestCertificates.h"
#include "support/TestSupport.h"

namespace fs = std::filesystem;
using namespace dicomlib;
using testsupport::RunCommand;
using testsupport::TestCertificates;

namespace {

const std::vector<std::string> NO_DELAY = {"TCP_NODELAY=1"};

std::string Path(const fs::path& path) {
    return path.string();
}

// The requestor's TLS options: its own certificate, or none (+tla), trusting our CA.
std::vector<std::string> DcmtkTls(const std::string& certificate) {
    const TestCertificates& c = TestCertificates::Get();
    std::vector<std::string> options;
    if (certificate.empty()) {
        options = {"+tla"};
    } else {
        options = {"+tls", Path(c.Key(certificate)), Path(c.Cert(certificate))};
    }
    options.insert(options.end(), {"+cf", Path(c.Cert("ca"))});
    return options;
}

testsupport::CommandResult Dcmtk(const std::string& tool, const std::vector<std::string>& options,
                                 const std::string& port,
                                 const std::vector<std::string>& files = {}) {
    std::vector<std::string> argv = {tool, "-aec", "TESSALY"};
    argv.insert(argv.end(), options.begin(), options.end());
    argv.insert(argv.end(), {"127.0.0.1", port});
    argv.insert(argv.end(), files.begin(), files.end());
    return RunCommand(argv, NO_DELAY);
}

std::size_t FilesUnder(const fs::path& dir) {
    std::size_t count = 0;
    if (!fs::exists(dir)) return 0;
    for (const auto& entry : fs::recursive_directory_iterator(dir))
        count += entry.path().extension() == ".dcm" ? 1 : 0;
    return count;
}

class TlsProvider : public testing::Test {
  protected:
    void SetUp() override {
        for (const char* tool : {"echoscu", "storescu", "openssl"})
            if (!testsupport::ToolAvailable(tool)) GTEST_SKIP() << tool << " is missing";
        ASSERT_TRUE(TestCertificates::Get().Ok()) << TestCertificates::Get().Errors();
        file_ = testsupport::PydicomTestFiles() / "CT_small.dcm";
        if (!fs::exists(file_)) GTEST_SKIP() << "needs pydicom's files";
    }

    // A provider with our server certificate, trusting the test CA under the given policy.
    std::unique_ptr<store::StoreProvider> Start(std::optional<net::PeerCertificatePolicy> policy,
                                                int associations = 1) {
        const TestCertificates& c = TestCertificates::Get();
        net::TlsSettings settings;
        settings.certificateFile = c.Cert("server");
        settings.keyFile = c.Key("server");
        settings.trusted = {c.Cert("ca")};
        settings.peerCertificate = policy;
        auto context = net::TlsContext::Create(settings);
        EXPECT_TRUE(context) << context.GetError().detail;
        port_ = std::to_string(testsupport::FreePort());
        net::ConnectionSettings connection;
        if (context) connection.transport.tls = *context;
        auto provider = std::make_unique<store::StoreProvider>(
            Path(dir_ / "images"), port_, dir_ / "Database", associations,
            store::AcceptPolicy::Standard, connection);
        EXPECT_TRUE(provider->Listening());
        return provider;
    }

    testsupport::TempDir dir_;
    fs::path file_;
    std::string port_;
};

}  // namespace

TEST_F(TlsProvider, EchoAndStoreFromDcmtkWithAndWithoutTheirCertificates) {
    {
        // A CA given: a certificate is required, and one the CA did not sign is refused.
        auto provider = Start(std::nullopt);
        auto echo = Dcmtk("echoscu", DcmtkTls("client"), port_);
        EXPECT_EQ(echo.exitCode, 0) << echo.output << echo.errors;
        auto store = Dcmtk("storescu", DcmtkTls("client"), port_, {Path(file_)});
        EXPECT_EQ(store.exitCode, 0) << store.output << store.errors;
        EXPECT_EQ(FilesUnder(dir_ / "images"), 1u);

        EXPECT_NE(Dcmtk("echoscu", DcmtkTls(""), port_).exitCode, 0);
        EXPECT_NE(Dcmtk("echoscu", DcmtkTls("otherclient"), port_).exitCode, 0);
        // A plain requestor on the TLS port gets nothing.
        EXPECT_NE(Dcmtk("echoscu", {}, port_).exitCode, 0);
        // Each profile the requestor may choose.
        for (const char* profile : {"+px", "+pz"}) {
            auto options = DcmtkTls("client");
            options.push_back(profile);
            auto result = Dcmtk("echoscu", options, port_);
            EXPECT_EQ(result.exitCode, 0) << profile << result.output << result.errors;
        }
    }
    {
        auto provider = Start(net::PeerCertificatePolicy::Ignore);
        auto echo = Dcmtk("echoscu", DcmtkTls(""), port_);
        EXPECT_EQ(echo.exitCode, 0) << echo.output << echo.errors;
        // A TLS 1.2 requestor is served too, with the server's RSA suite of the profile.
        const auto hello =
            RunCommand({"sh", "-c",
                        "openssl s_client -tls1_2 -connect 127.0.0.1:" + port_ + " -CAfile " +
                            Path(TestCertificates::Get().Cert("ca")) + " </dev/null"});
        EXPECT_NE(hello.output.find("TLSv1.2, Cipher is ECDHE-RSA-AES128-GCM-SHA256"),
                  std::string::npos)
            << hello.output;
    }
}

// What the provider's trace log says of the requestors it refuses, and that its hex dump shows
// the bytes before encryption.
TEST_F(TlsProvider, TraceLogsRefusalsAndThePlainBytes) {
    const fs::path log = dir_ / "trace.log";
    net::SetLog(Path(log), net::LOG_SOCKET);
    {
        auto provider = Start(std::nullopt);
        EXPECT_EQ(Dcmtk("echoscu", DcmtkTls("client"), port_).exitCode, 0);
        EXPECT_NE(Dcmtk("echoscu", DcmtkTls("otherclient"), port_).exitCode, 0);
        EXPECT_NE(Dcmtk("echoscu", DcmtkTls(""), port_).exitCode, 0);
        EXPECT_NE(Dcmtk("echoscu", {}, port_).exitCode, 0);
    }
    {
        const std::string port = std::to_string(testsupport::FreePort());
        store::StoreProvider plain(Path(dir_ / "plain"), port, dir_ / "Database");
        ASSERT_TRUE(plain.Listening());
        EXPECT_NE(Dcmtk("echoscu", DcmtkTls("client"), port).exitCode, 0);
    }
    net::SetLog("", 0);
    const std::string text = testsupport::ReadFileText(log);
    for (const char* words :
         {"TLS: TLSv1.3, TLS_AES_", "<< 01 00 00 00 00",
          "TLS failed: the requestor's certificate is not trusted (subject O=Tessaly "
          "Test,CN=otherclient, issued by CN=otherca,O=Tessaly Test",
          "TLS failed: the requestor gave no certificate, which this provider requires",
          "TLS failed: the requestor sent plain DICOM (an A-ASSOCIATE-RQ) to this TLS port",
          "The requestor speaks TLS on this plain port"}) {
        EXPECT_NE(text.find(words), std::string::npos) << words;
    }
}

TEST_F(TlsProvider, SeveralSendersAtOnce) {
    auto provider = Start(net::PeerCertificatePolicy::Optional, 4);
    std::vector<std::future<testsupport::CommandResult>> senders;
    for (const char* certificate : {"client", "", "client", ""}) {
        senders.push_back(std::async(std::launch::async, [&, certificate] {
            return Dcmtk("storescu", DcmtkTls(certificate), port_, {Path(file_)});
        }));
    }
    for (auto& sender : senders) {
        const auto result = sender.get();
        EXPECT_EQ(result.exitCode, 0) << result.output << result.errors;
    }
    EXPECT_EQ(FilesUnder(dir_ / "images"), 1u);  // the same instance four times
}
