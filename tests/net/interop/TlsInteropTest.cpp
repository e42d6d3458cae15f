// Our TLS requestor against DCMTK's storescp +tls and openssl s_server, and against scripted
// peers for what real ones rarely do; every certificate is made by the test (TestCertificates).
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "../NetFixtures.h"
#include "data/Datadec.h"
#include "data/Tags.h"
#include "net/Association.h"
#include "net/TlsTransport.h"
#include "services/Storage.h"
#include "services/Verification.h"
#include "support/TestCertificates.h"
#include "support/TestSupport.h"

namespace fs = std::filesystem;
using namespace dicomlib;
using testsupport::TestCertificates;

namespace {

constexpr char VERIFICATION[] = "1.2.840.10008.1.1";
const std::vector<std::string> NO_DELAY = {"TCP_NODELAY=1"};

const TestCertificates& Certificates() {
    return TestCertificates::Get();
}

net::TlsSettings Settings(const std::string& ours, const std::string& trusted = "ca") {
    net::TlsSettings settings;
    if (!ours.empty()) {
        settings.certificateFile = Certificates().Cert(ours);
        settings.keyFile = Certificates().Key(ours);
    }
    if (!trusted.empty()) settings.trusted.push_back(Certificates().Cert(trusted));
    return settings;
}

struct Outcome {
    bool opened = false;
    bool echoed = false;
    std::string failure;
    net::TlsFacts facts;
};

// Opens a Verification association over TLS (plain with tls false), echoes and releases.
Outcome Echo(const std::string& port, const net::TlsSettings& settings, bool tls = true,
             std::chrono::milliseconds timeout = net::TcpSocket::DEFAULT_RECEIVE_TIMEOUT) {
    Outcome out;
    Association assoc;
    net::TlsTransport* transport = nullptr;
    if (tls) {
        auto context = net::TlsContext::Create(settings);
        if (!context) {
            out.failure = context.GetError().detail;
            return out;
        }
        auto owned = std::make_unique<net::TlsTransport>(*context);
        transport = owned.get();
        assoc.stream.UseTransport(std::move(owned));
    }
    // The waits of the handshake are those of the connection.
    net::ConnectionSettings connection = net::SettingsFor("127.0.0.1", port, "TESSALY", "ANY-SCP");
    connection.dimseTimeout = timeout;
    out.opened = net::OpenWith(assoc, connection, net::ProposalFor(VERIFICATION, std::nullopt));
    if (transport != nullptr) out.facts = transport->Facts();
    if (out.opened) {
        out.echoed = services::WriteEchoRQ(assoc, VERIFICATION) && services::ReadEchoRSP(assoc);
        net::CloseAssoc(assoc);
    }
    out.failure = net::LastFailure();
    return out;
}

// storescp +tls with the named certificate, trusting ca, with the peer-certificate option.
std::unique_ptr<testsupport::BackgroundProcess> Storescp(const testsupport::TempDir& dir,
                                                         uint16_t port, const std::string& cert,
                                                         const std::string& peerOption = "-rc") {
    std::vector<std::string> argv = {"storescp"};
    if (!cert.empty()) {
        argv.insert(argv.end(),
                    {"+tls", Certificates().Key(cert).string(), Certificates().Cert(cert).string(),
                     "+cf", Certificates().Cert("ca").string(), peerOption});
    }
    argv.insert(argv.end(), {"-od", dir.Path().string(), std::to_string(port)});
    return std::make_unique<testsupport::BackgroundProcess>(argv, dir.Path(), NO_DELAY);
}

#define REQUIRE_PEERS()                                                                    \
    if (!testsupport::ToolAvailable("storescp") || !testsupport::ToolAvailable("openssl")) \
        GTEST_SKIP() << "needs DCMTK's storescp and openssl";                              \
    ASSERT_TRUE(Certificates().Ok()) << Certificates().Errors()

}  // namespace

TEST(TlsStorescp, EchoAndStoreWithAndWithoutOurCertificate) {
    REQUIRE_PEERS();
    {
        testsupport::TempDir dir;
        const uint16_t port = testsupport::FreePort();
        auto scp = Storescp(dir, port, "server");
        ASSERT_TRUE(testsupport::WaitForListener(port)) << scp->Output();
        const std::string portText = std::to_string(port);

        for (auto profile : {net::TlsProfile::Bcp195NonDowngrading, net::TlsProfile::Bcp195,
                             net::TlsProfile::Bcp195Extended}) {
            auto settings = Settings("client");
            settings.profile = profile;
            const Outcome echo = Echo(portText, settings);
            ASSERT_TRUE(echo.echoed)
                << net::TlsProfileName(profile) << ": " << echo.failure << scp->Output();
            EXPECT_EQ(echo.facts.protocol, "TLSv1.3");
            EXPECT_EQ(echo.facts.cipherSuite.rfind("TLS_", 0), 0u) << echo.facts.cipherSuite;
            ASSERT_TRUE(echo.facts.peerCertificate);
            EXPECT_EQ(echo.facts.peerCertificate->subject, "O=Tessaly Test,CN=server");
            EXPECT_EQ(echo.facts.peerCertificate->issuer, "CN=ca,O=Tessaly Test");
            EXPECT_EQ(echo.facts.peerCertificate->keyType, "RSA");
            EXPECT_EQ(echo.facts.peerCertificate->keyBits, 2048);
            EXPECT_EQ(net::UtcText(echo.facts.peerCertificate->notAfter),
                      "2099-12-31 00:00:00 UTC");
            EXPECT_TRUE(echo.facts.certificateRequested);
            EXPECT_TRUE(echo.facts.verifyProblem.empty()) << echo.facts.verifyProblem;
        }

        // A store goes over the same kind of association, its file arriving whole.
        const auto file = testsupport::PydicomTestFiles() / "CT_small.dcm";
        if (fs::exists(file)) {
            data::DecoderState state;
            ElementList meta, dataSet;
            ASSERT_TRUE(data::ReadPart10File(state, file, meta, dataSet));
            auto context = net::TlsContext::Create(Settings("client"));
            ASSERT_TRUE(context) << context.GetError().detail;
            Association assoc;
            assoc.stream.UseTransport(net::MakeTransport(*context));
            std::string calling = "TESSALY";
            const std::string sopClass = data::GetTagString(dataSet, tag::SOPClassUID);
            const std::string syntax = data::GetTagString(meta, tag::TransferSyntaxUID);
            ASSERT_TRUE(net::OpenStorageAssoc(assoc, "127.0.0.1", portText, calling, "ANY-SCP",
                                              sopClass, syntax, std::nullopt))
                << net::LastFailure();
            ASSERT_EQ(services::StoreDataSet(assoc, dataSet, sopClass, syntax, true), 0)
                << net::LastFailure();
            EXPECT_EQ(services::ReadStoreRSP(assoc), 0) << net::LastFailure();
            net::CloseAssoc(assoc);
            scp.reset();
            std::size_t stored = 0;
            for (const auto& entry : fs::directory_iterator(dir.Path()))
                stored += entry.path().filename().string().rfind("CT.", 0) == 0 ? 1 : 0;
            EXPECT_EQ(stored, 1u);
        }
    }
    {
        // A peer that asks for no certificate: none needed, and none asked for.
        testsupport::TempDir dir;
        const uint16_t port = testsupport::FreePort();
        auto scp = Storescp(dir, port, "server", "-ic");
        ASSERT_TRUE(testsupport::WaitForListener(port)) << scp->Output();
        // The CA given as a folder of certificates, not hashed.
        testsupport::TempDir trusted;
        fs::copy_file(Certificates().Cert("ca"), trusted / "hospital-ca.pem");
        auto settings = Settings("", "");
        settings.trusted = {trusted.Path()};
        const Outcome echo = Echo(std::to_string(port), settings);
        EXPECT_TRUE(echo.echoed) << echo.failure << scp->Output();
        EXPECT_FALSE(echo.facts.certificateRequested);
    }
}

// Each way a secured association fails, against a real peer, in the words the operator reads.
TEST(TlsFailures, AgainstRealPeersInWords) {
    REQUIRE_PEERS();
    struct Case {
        const char* what;
        std::string peerCertificate;  // storescp's; empty: a plain storescp
        std::string peerOption;
        net::TlsSettings ours;
        std::vector<std::string> words;
    };
    const std::vector<Case> cases = {
        {"untrusted",
         "otherserver",
         "-rc",
         Settings("client"),
         {"the peer's certificate is not trusted (subject O=Tessaly Test,CN=otherserver, issued "
          "by CN=otherca,O=Tessaly Test",
          "give its CA with --tls-ca"}},
        {"expired",
         "expired",
         "-rc",
         Settings("client"),
         {"the peer's certificate O=Tessaly Test,CN=expired expired on 2020-01-01 00:00:00 UTC"}},
        {"not yet valid",
         "future",
         "-rc",
         Settings("client"),
         {"is not valid before 2099-01-01 00:00:00 UTC"}},
        {"requires ours",
         "server",
         "-rc",
         Settings(""),
         {"the peer requires our certificate", "give --tls-cert and --tls-key"}},
        {"refuses ours",
         "server",
         "-rc",
         Settings("otherclient"),
         {"the peer refused our certificate O=Tessaly Test,CN=otherclient"}},
        {"plain peer",
         "",
         "",
         Settings("client"),
         {"it does not speak TLS on this port: leave out --tls"}},
    };
    for (const Case& c : cases) {
        testsupport::TempDir dir;
        const uint16_t port = testsupport::FreePort();
        auto scp = Storescp(dir, port, c.peerCertificate, c.peerOption);
        ASSERT_TRUE(testsupport::WaitForListener(port)) << scp->Output();
        const Outcome echo = Echo(std::to_string(port), c.ours);
        EXPECT_FALSE(echo.opened) << c.what;
        for (const auto& words : c.words)
            EXPECT_NE(echo.failure.find(words), std::string::npos)
                << c.what << ": " << echo.failure;
    }

    // What DCMTK never offers: an old protocol version, or only cipher suites we refuse.
    const std::vector<std::pair<std::vector<std::string>, std::vector<std::string>>> servers = {
        {{"-tls1_1", "-cipher", "DEFAULT@SECLEVEL=0"},
         {"no TLS protocol version in common: we take TLS 1.2 and TLS 1.3"}},
        {{"-tls1_2", "-cipher", "AES128-SHA"},
         {"no cipher suite in common: we offer ", "TLS_ECDHE_RSA_WITH_AES_128_GCM_SHA256",
          "(profile bcp195-nd)"}},
    };
    for (const auto& [options, words] : servers) {
        const uint16_t port = testsupport::FreePort();
        std::vector<std::string> argv = {"openssl",
                                         "s_server",
                                         "-quiet",
                                         "-accept",
                                         std::to_string(port),
                                         "-cert",
                                         Certificates().Cert("server").string(),
                                         "-key",
                                         Certificates().Key("server").string()};
        argv.insert(argv.end(), options.begin(), options.end());
        testsupport::BackgroundProcess server(argv);
        ASSERT_TRUE(testsupport::WaitForListener(port)) << server.Output();
        const Outcome echo = Echo(std::to_string(port), Settings("client"));
        for (const auto& w : words)
            EXPECT_NE(echo.failure.find(w), std::string::npos) << echo.failure;
    }
}

TEST(TlsOpenssl, Tls12WithTheFirstSuiteOfTheProfile) {
    REQUIRE_PEERS();
    const uint16_t port = testsupport::FreePort();
    testsupport::BackgroundProcess server(
        {"openssl", "s_server", "-quiet", "-tls1_2", "-accept", std::to_string(port), "-cert",
         Certificates().Cert("server").string(), "-key", Certificates().Key("server").string()});
    ASSERT_TRUE(testsupport::WaitForListener(port)) << server.Output();
    // The handshake is all that s_server speaks: the association itself then times out.
    const Outcome echo =
        Echo(std::to_string(port), Settings("client"), true, std::chrono::milliseconds(300));
    EXPECT_EQ(echo.facts.protocol, "TLSv1.2") << echo.failure;
    EXPECT_EQ(echo.facts.cipherSuite, "TLS_ECDHE_RSA_WITH_AES_128_GCM_SHA256");
    EXPECT_FALSE(echo.facts.certificateRequested);
}

TEST(TlsFailures, ScriptedPeers) {
    // A plain requestor answered with a TLS alert record, as some TLS providers answer.
    {
        nettest::FakePeer peer;
        peer.Start([](net::PduStream& stream) {
            stream.ReadExact(6);
            stream.Write(nettest::Bytes{0x15, 0x03, 0x03, 0x00, 0x02, 0x02, 0x46});
        });
        const Outcome echo = Echo(peer.Port(), {}, false);
        EXPECT_EQ(echo.failure,
                  "the peer answered with a TLS record: it speaks TLS on this port: add --tls "
                  "(and --tls-ca with its CA)");
    }
    // A peer that takes the connection and never answers the hello.
    {
        nettest::FakePeer peer;
        peer.Start([](net::PduStream& stream) { stream.ReadExact(1 << 20); });
        const Outcome echo = Echo(peer.Port(), Settings(""), true, std::chrono::milliseconds(300));
        EXPECT_EQ(echo.failure.rfind("the TLS handshake timed out: the peer did not finish it "
                                     "within 300 ms",
                                     0),
                  0u)
            << echo.failure;
    }
}

TEST(TlsContext, SaysWhyItsFilesCannotBeUsed) {
    if (!testsupport::ToolAvailable("openssl")) GTEST_SKIP() << "needs openssl";
    ASSERT_TRUE(Certificates().Ok()) << Certificates().Errors();
    const auto failure = [](const net::TlsSettings& settings) {
        auto context = net::TlsContext::Create(settings);
        return context ? std::string() : context.GetError().detail;
    };
    auto settings = Settings("client");
    settings.keyFile = Certificates().Key("server");
    EXPECT_NE(failure(settings).find("does not belong to the certificate"), std::string::npos)
        << failure(settings);

    settings = Settings("locked");
    settings.keyFile = Certificates().Dir() / "locked.enc.key";
    EXPECT_NE(failure(settings).find("its pass phrase is wrong or missing"), std::string::npos);
    testsupport::TempDir dir;
    settings.keyPasswordFile = dir / "wrong.pass";
    testsupport::WriteFileBytes(settings.keyPasswordFile, {'w', 'r', 'o', 'n', 'g', 'x', '\n'});
    const std::string wrong = failure(settings);
    EXPECT_NE(wrong.find("its pass phrase is wrong"), std::string::npos);
    EXPECT_EQ(wrong.find("wrongx"), std::string::npos) << wrong;
    settings.keyPasswordFile = Certificates().Dir() / "locked.pass";
    EXPECT_EQ(failure(settings), "");

    settings = Settings("client", "");
    settings.trusted = {Certificates().Dir() / "none.pem"};
    EXPECT_NE(failure(settings).find("do not exist: give a PEM file or a folder with --tls-ca"),
              std::string::npos);
    settings = Settings("client");
    settings.keyFile.clear();
    EXPECT_NE(failure(settings).find("give both --tls-cert and --tls-key"), std::string::npos);
}
