// tessaly-cli over TLS: echo and store into DCMTK's storescp +tls, DCMTK's echoscu +tls and
// storescu +tls into our scp --tls, and the TLS and identity options the command line refuses
// before it connects.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/Peers.h"
#include "support/TestCertificates.h"
#include "support/TestSupport.h"

namespace fs = std::filesystem;
using testsupport::NO_DELAY;
using testsupport::RunCommand;
using testsupport::TestCertificates;

namespace {

const TestCertificates& Certs() {
    return TestCertificates::Get();
}

std::string P(const fs::path& path) {
    return path.string();
}

testsupport::CommandResult Cli(std::vector<std::string> args) {
    args.insert(args.begin(), testsupport::CliPath());
    return RunCommand(args);
}

// Our requestor's TLS options with the client certificate, trusting our CA.
std::vector<std::string> ClientTls() {
    return {"--tls",
            "--tls-cert",
            P(Certs().Cert("client")),
            "--tls-key",
            P(Certs().Key("client")),
            "--tls-ca",
            P(Certs().Cert("ca"))};
}

std::size_t FilesUnder(const fs::path& dir) {
    std::size_t count = 0;
    if (!fs::exists(dir)) return 0;
    for (const auto& entry : fs::recursive_directory_iterator(dir))
        count += entry.is_regular_file() ? 1 : 0;
    return count;
}

fs::path CtFile() {
    return testsupport::PydicomTestFiles() / "CT_small.dcm";
}

#define REQUIRE_PEERS()                                                                     \
    for (const char* tool : {"storescp", "storescu", "echoscu", "openssl"})                 \
        if (!testsupport::ToolAvailable(tool)) GTEST_SKIP() << tool << " is not installed"; \
    ASSERT_TRUE(Certs().Ok()) << Certs().Errors()

}  // namespace

TEST(CliTls, EchoAndStoreIntoStorescpWithEveryProfile) {
    REQUIRE_PEERS();
    testsupport::TempDir dir;
    const uint16_t port = testsupport::FreePort();
    testsupport::BackgroundProcess storescp(
        {"storescp", "+tls", P(Certs().Key("server")), P(Certs().Cert("server")), "+cf",
         P(Certs().Cert("ca")), "-rc", "+px", "-od", P(dir.Path()), std::to_string(port)},
        dir.Path(), NO_DELAY);
    ASSERT_TRUE(testsupport::WaitForListener(port));
    const std::string portText = std::to_string(port);
    for (const char* profile : {"bcp195-nd", "bcp195", "bcp195-ex"}) {
        auto args = ClientTls();
        args.insert(args.begin(), {"echo", "127.0.0.1", portText, "--tls-profile", profile});
        const auto echo = Cli(args);
        EXPECT_EQ(echo.exitCode, 0) << profile << echo.output << echo.errors;
    }
    auto store = ClientTls();
    store.insert(store.begin(), {"store", "127.0.0.1", portText, P(CtFile())});
    const auto stored = Cli(store);
    EXPECT_EQ(stored.exitCode, 0) << stored.output << stored.errors;
    EXPECT_EQ(FilesUnder(dir.Path()), 1u);

    // Without our certificate storescp -rc refuses the handshake, and the words say so.
    const auto refused =
        Cli({"echo", "127.0.0.1", portText, "--tls", "--tls-ca", P(Certs().Cert("ca"))});
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_NE(refused.output.find("--tls-cert and --tls-key"), std::string::npos) << refused.output;
    // A peer certificate we were not told to trust: named, with what to do.
    const auto untrusted =
        Cli({"echo", "127.0.0.1", portText, "--tls", "--tls-cert", P(Certs().Cert("client")),
             "--tls-key", P(Certs().Key("client")), "--tls-ca", P(Certs().Cert("otherca"))});
    EXPECT_EQ(untrusted.exitCode, 1);
    EXPECT_NE(untrusted.output.find("--tls-ca"), std::string::npos) << untrusted.output;
    // --tls-no-verify takes it anyway, and warns.
    const auto unchecked =
        Cli({"echo", "127.0.0.1", portText, "--tls", "--tls-cert", P(Certs().Cert("client")),
             "--tls-key", P(Certs().Key("client")), "--tls-no-verify"});
    EXPECT_EQ(unchecked.exitCode, 0) << unchecked.output << unchecked.errors;
    EXPECT_NE(unchecked.errors.find("warning: --tls-no-verify"), std::string::npos);
    storescp.Stop();
}

TEST(CliTls, DcmtkSendsIntoOurProviderWithAndWithoutTheirCertificate) {
    REQUIRE_PEERS();
    testsupport::TempDir dir;
    const uint16_t port = testsupport::FreePort();
    const std::string portText = std::to_string(port);
    const auto dcmtk = [&](const std::string& tool, std::vector<std::string> tls) {
        std::vector<std::string> argv = {tool, "-aec", "TESSALY"};
        argv.insert(argv.end(), tls.begin(), tls.end());
        argv.insert(argv.end(), {"+cf", P(Certs().Cert("ca")), "127.0.0.1", portText});
        if (tool == "storescu") argv.push_back(P(CtFile()));
        return RunCommand(argv, NO_DELAY);
    };
    const std::vector<std::string> withCert = {"+tls", P(Certs().Key("client")),
                                               P(Certs().Cert("client"))};
    {
        // A CA given: the sender's certificate is required.
        testsupport::BackgroundProcess scp(
            {testsupport::CliPath(), "scp", portText, P(dir / "in"), "--tls", "--tls-cert",
             P(Certs().Cert("server")), "--tls-key", P(Certs().Key("server")), "--tls-ca",
             P(Certs().Cert("ca"))},
            dir.Path());
        ASSERT_TRUE(testsupport::WaitForListener(port));
        EXPECT_EQ(dcmtk("echoscu", withCert).exitCode, 0);
        const auto store = dcmtk("storescu", withCert);
        EXPECT_EQ(store.exitCode, 0) << store.output << store.errors;
        EXPECT_NE(dcmtk("echoscu", {"+tla"}).exitCode, 0);
        EXPECT_NE(RunCommand({"echoscu", "127.0.0.1", portText}, NO_DELAY).exitCode, 0);
        scp.Stop();
    }
    EXPECT_EQ(FilesUnder(dir / "in"), 1u);
    {
        testsupport::BackgroundProcess scp(
            {testsupport::CliPath(), "scp", portText, P(dir / "in"), "--tls", "--tls-cert",
             P(Certs().Cert("server")), "--tls-key", P(Certs().Key("server")), "--tls-ca",
             P(Certs().Cert("ca")), "--tls-peer-cert", "optional"},
            dir.Path());
        ASSERT_TRUE(testsupport::WaitForListener(port));
        EXPECT_EQ(dcmtk("echoscu", {"+tla"}).exitCode, 0);
        EXPECT_NE(dcmtk("echoscu",
                        {"+tls", P(Certs().Key("otherclient")), P(Certs().Cert("otherclient"))})
                      .exitCode,
                  0);
        scp.Stop();
    }
}

TEST(CliTls, OptionsThatCannotWorkAreRefusedBeforeConnecting) {
    ASSERT_TRUE(Certs().Ok()) << Certs().Errors();
    const std::string cert = P(Certs().Cert("client")), key = P(Certs().Key("client"));
    struct Case {
        std::vector<std::string> args;
        int exitCode;
        std::string words;
    };
    const std::vector<Case> cases = {
        {{"echo", "127.0.0.1", "1", "--tls-ca", cert}, 2, "--tls-ca goes with --tls"},
        {{"store", "127.0.0.1", "1", "x.dcm", "--tls-no-verify"}, 2, "goes with --tls"},
        {{"echo", "127.0.0.1", "1", "--tls", "--tls-profile", "tls13"}, 2, "not 'tls13'"},
        {{"echo", "127.0.0.1", "1", "--tls", "--tls-cert", cert}, 2, "go together"},
        {{"scp", "1", "d", "--tls"}, 2, "give --tls-cert and --tls-key"},
        {{"scp", "1", "d", "--tls", "--tls-cert", cert, "--tls-key", key, "--tls-peer-cert",
          "always"},
         2,
         "not 'always'"},
        {{"echo", "127.0.0.1", "1", "--tls", "--tls-ca", "/nonexistent/ca.pem"},
         1,
         "/nonexistent/ca.pem"},
        {{"echo", "127.0.0.1", "1", "--user-response"}, 2, "goes with an identity"},
        {{"echo", "127.0.0.1", "1", "--user", "U", "--user-jwt", cert}, 2, "give one identity"},
        {{"echo", "127.0.0.1", "1", "--user-jwt", "/nonexistent/token"}, 1, "/nonexistent/token"},
        {{"scp", "1", "d", "--require-user", cert}, 1, "is not NAME:PASSWORD"},
        // A key that is not the certificate's.
        {{"echo", "127.0.0.1", "1", "--tls", "--tls-cert", cert, "--tls-key",
          P(Certs().Key("server"))},
         1,
         "the TLS settings cannot be used\n"},
        // A locked key without its pass phrase.
        {{"echo", "127.0.0.1", "1", "--tls", "--tls-cert", P(Certs().Cert("locked")), "--tls-key",
          P(Certs().Dir() / "locked.enc.key")},
         1,
         "pass phrase"},
    };
    for (const Case& c : cases) {
        const auto r = Cli(c.args);
        EXPECT_EQ(r.exitCode, c.exitCode) << c.args[0] << " " << c.words << ": " << r.errors;
        EXPECT_NE(r.errors.find(c.words), std::string::npos) << r.errors;
        if (c.exitCode == 1) {  // the second line says why
            EXPECT_NE(r.errors.find('\n'), r.errors.rfind('\n')) << r.errors;
        }
    }
    // With its pass phrase file the locked key is taken (the echo then finds no peer).
    const auto unlocked =
        Cli({"echo", "127.0.0.1", std::to_string(testsupport::FreePort()), "--tls", "--tls-cert",
             P(Certs().Cert("locked")), "--tls-key", P(Certs().Dir() / "locked.enc.key"),
             "--tls-key-password-file", P(Certs().Dir() / "locked.pass")});
    EXPECT_EQ(unlocked.exitCode, 1);
    EXPECT_EQ(unlocked.errors.find("TLS settings"), std::string::npos) << unlocked.errors;
}
