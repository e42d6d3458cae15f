// tessaly-cli over TLS: echo and store into DCMTK's storescp +tls, DCMTK's echoscu +tls and
// storescu +tls into our scp --tls, and the TLS and identity options the command line refuses
// before it connects.
#include <gtest/gtest.h>

#include <fstream>
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
        {{"commit", "127.0.0.1", "1", P(CtFile()), "--tls", "--receive", "2"},
         2,
         "--receive under --tls needs our certificate"},
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

// A commitment report on the archive's own association is secured as the request was: our
// provider reports over TLS with its certificate to the listener of commit --receive, which
// takes it with ours and verifies the provider's against our CA.
TEST(CliTls, CommitmentReportOnASecuredAssociationOfTheArchives) {
    ASSERT_TRUE(Certs().Ok()) << Certs().Errors();
    if (testsupport::PydicomTestFiles().empty()) GTEST_SKIP() << "needs pydicom's files";
    testsupport::TempDir dir;
    const uint16_t port = testsupport::FreePort(), receive = testsupport::FreePort();
    std::ofstream(dir / "nodes.txt") << "MODALITY 127.0.0.1 " << receive << "\n";
    testsupport::BackgroundProcess scp(
        {testsupport::CliPath(), "scp", std::to_string(port), P(dir / "in"), "--tls", "--tls-cert",
         P(Certs().Cert("server")), "--tls-key", P(Certs().Key("server")), "--tls-ca",
         P(Certs().Cert("ca")), "--commit", "--commit-new-association", "--nodes",
         P(dir / "nodes.txt")},
        dir.Path());
    ASSERT_TRUE(testsupport::WaitForListener(port)) << scp.Output();
    auto run = [&](std::vector<std::string> args) {
        args.insert(args.begin() + 1, {"127.0.0.1", std::to_string(port), P(CtFile()), "--aet",
                                       "MODALITY", "--aec", "TESSALY"});
        const std::vector<std::string> tls = ClientTls();
        args.insert(args.end(), tls.begin(), tls.end());
        return Cli(args);
    };
    const auto stored = run({"store"});
    ASSERT_EQ(stored.exitCode, 0) << stored.errors;
    const auto committed = run({"commit", "--receive", std::to_string(receive), "--wait", "30"});
    EXPECT_EQ(committed.exitCode, 0) << committed.output << committed.errors << scp.Output();
    EXPECT_NE(committed.output.find("COMMIT OK: 1 of 1 committed in "), std::string::npos);
    EXPECT_NE(committed.output.find("(the report came on the peer's association)"),
              std::string::npos)
        << committed.output;
}

// A secured archive retrieves as it is reached: its C-MOVE sub-operations go out over TLS with
// its certificate, into DCMTK's storescp +tls, and the probe's retrieve path listens with TLS
// for the peer it probes.
TEST(CliTls, RetrieveSubOperationsAndTheProbesListenerAreSecured) {
    REQUIRE_PEERS();
    if (testsupport::PydicomTestFiles().empty()) GTEST_SKIP() << "needs pydicom's files";
    testsupport::TempDir dir;
    const uint16_t port = testsupport::FreePort(), dest = testsupport::FreePort(),
                   receive = testsupport::FreePort();
    std::ofstream(dir / "nodes.txt")
        << "DEST 127.0.0.1 " << dest << "\nPROBE 127.0.0.1 " << receive << "\n";
    testsupport::BackgroundProcess scp(
        {testsupport::CliPath(), "scp", std::to_string(port), P(dir / "in"), "--tls", "--tls-cert",
         P(Certs().Cert("server")), "--tls-key", P(Certs().Key("server")), "--tls-ca",
         P(Certs().Cert("ca")), "--tls-peer-cert", "optional", "--query", "--nodes",
         P(dir / "nodes.txt")},
        dir.Path());
    fs::create_directories(dir / "dest");
    testsupport::BackgroundProcess storescp(
        {"storescp", "+tls", P(Certs().Key("client")), P(Certs().Cert("client")), "+cf",
         P(Certs().Cert("ca")), "-od", P(dir / "dest"), std::to_string(dest)},
        dir.Path(), NO_DELAY);
    ASSERT_TRUE(testsupport::WaitForListener(port)) << scp.Output();
    ASSERT_TRUE(testsupport::WaitForListener(dest));
    auto secured = [](std::vector<std::string> args) {
        const std::vector<std::string> tls = ClientTls();
        args.insert(args.end(), tls.begin(), tls.end());
        return Cli(args);
    };
    const auto stored = secured({"store", "127.0.0.1", std::to_string(port), P(CtFile())});
    ASSERT_EQ(stored.exitCode, 0) << stored.errors;

    const auto moved =
        secured({"move", "127.0.0.1", std::to_string(port), "--dest", "DEST", "--key",
                 "StudyInstanceUID=1.3.6.1.4.1.5962.1.2.1.20040119072730.12322"});
    EXPECT_EQ(moved.exitCode, 0) << moved.output << moved.errors << scp.Output();
    EXPECT_EQ(FilesUnder(dir / "dest"), 1u) << storescp.Output();

    const auto probed = secured({"probe", "127.0.0.1", std::to_string(port), "--move-dest", "PROBE",
                                 "--receive", std::to_string(receive)});
    EXPECT_NE(probed.output.find("Retrieve path   works        one instance moved to PROBE "
                                 "arrived in "),
              std::string::npos)
        << probed.output << scp.Output();

    // Without our certificate the probe cannot take the peer's secured association: it says so
    // instead of listening in the clear.
    const auto bare =
        Cli({"probe", "127.0.0.1", std::to_string(port), "--tls", "--tls-ca", P(Certs().Cert("ca")),
             "--move-dest", "PROBE", "--receive", std::to_string(receive)});
    EXPECT_NE(bare.output.find("is secured with our certificate, and none was given"),
              std::string::npos)
        << bare.output;
    scp.Stop();
}

// The probe's Security section: what a TLS port and a plain one speak, each tried with the
// other transport too, the peer's certificate, the versions it takes and its user identity.
TEST(CliTls, ProbeTellsWhatEachPortSpeaks) {
    REQUIRE_PEERS();
    testsupport::TempDir dir;
    const auto security = [](const std::string& report) {
        const std::size_t at = report.find("\nSecurity ");
        return at == std::string::npos ? "<no Security section>" : report.substr(at + 1);
    };
    const uint16_t tlsPort = testsupport::FreePort(), plainPort = testsupport::FreePort();
    testsupport::BackgroundProcess storescp(
        {"storescp", "+tls", P(Certs().Key("server")), P(Certs().Cert("server")), "+cf",
         P(Certs().Cert("ca")), "-od", P(dir.Path()), std::to_string(tlsPort)},
        dir.Path(), NO_DELAY);
    testsupport::BackgroundProcess plain(
        {"storescp", "-od", P(dir.Path()), std::to_string(plainPort)}, dir.Path(), NO_DELAY);
    ASSERT_TRUE(testsupport::WaitForListener(tlsPort));
    ASSERT_TRUE(testsupport::WaitForListener(plainPort));

    auto probe = ClientTls();
    probe.insert(probe.begin(), {"probe", "127.0.0.1", std::to_string(tlsPort)});
    const auto asked = Cli(probe);
    EXPECT_EQ(asked.exitCode, 0) << asked.output << asked.errors;
    std::string s = security(asked.output);
    for (const char* line :
         {"Security        works        TLSv1.3, TLS_", "; plain TCP refused\n",
          "  asked for                  TLS\n", "  TLS                        answers\n",
          "  plain TCP                  refused: the peer closed the connection",
          "  TLS protocol               TLSv1.3\n",
          "  peer certificate           O=Tessaly Test,CN=server\n",
          "  issued by                  CN=ca,O=Tessaly Test\n",
          "  certificate key            RSA 2048 bits\n", "  certificate trusted        yes\n",
          "  asks for our certificate   yes\n",
          "  user identity              none offered; the peer takes associations without one\n",
          "  TLS 1.2    ", "works        accepted: TLS_ECDHE_RSA_WITH_AES_", "  TLS 1.3    "})
        EXPECT_NE(s.find(line), std::string::npos) << line << "\n" << s;
    EXPECT_NE(s.find("  days left                  "), std::string::npos) << s;

    // Plain asked of the TLS port: the connection fails, and the section says why.
    s = security(Cli({"probe", "127.0.0.1", std::to_string(tlsPort)}).output);
    EXPECT_NE(s.find("Security        works        the port speaks TLS (TLSv1.3, TLS_"),
              std::string::npos)
        << s;
    EXPECT_NE(s.find("; plain TCP refused: add --tls (and --tls-ca with its CA)\n"),
              std::string::npos)
        << s;
    EXPECT_NE(s.find("  certificate trusted        no: "), std::string::npos) << s;

    // A plain port: plain it is, and TLS was refused.
    const auto json = Cli({"probe", "127.0.0.1", std::to_string(plainPort), "--json"});
    EXPECT_EQ(json.exitCode, 0);
    EXPECT_NE(json.output.find("{\"name\": \"Security\", \"verdict\": \"not offered\", "
                               "\"detail\": \"plain TCP only; TLS was refused: the peer "),
              std::string::npos)
        << json.output;
    plain.Stop();
    storescp.Stop();

    // Our provider, requiring a certificate and a user: both asked for, both answered.
    std::ofstream(dir / "users.txt") << "ALICE:wonder-land\n";
    std::ofstream(dir / "alice.pass") << "wonder-land\n";
    testsupport::BackgroundProcess scp(
        {testsupport::CliPath(), "scp", std::to_string(tlsPort), P(dir / "in"), "--tls",
         "--tls-cert", P(Certs().Cert("server")), "--tls-key", P(Certs().Key("server")), "--tls-ca",
         P(Certs().Cert("ca")), "--require-user", P(dir / "users.txt")},
        dir.Path());
    ASSERT_TRUE(testsupport::WaitForListener(tlsPort));
    auto args = ClientTls();
    args.insert(args.begin(), {"probe", "127.0.0.1", std::to_string(tlsPort), "--user", "ALICE",
                               "--password-file", P(dir / "alice.pass"), "--user-response"});
    const auto ours = Cli(args);
    EXPECT_EQ(ours.exitCode, 0) << ours.output << ours.errors;
    s = security(ours.output);
    for (const char* line :
         {"  asks for our certificate   yes\n",
          "  user identity              offered (user name and passcode, user ALICE, positive "
          "response asked): taken, positive response answered\n",
          "  without identity           rejected: the peer asks for a user identity\n"})
        EXPECT_NE(s.find(line), std::string::npos) << line << "\n" << s;
    scp.Stop();
}

// Orthanc over TLS both ways, from a configuration of this test's own: our echo and store into
// it, and it sends what it holds into our scp --tls, each end showing its certificate and
// checking the other's.
TEST(CliTls, OrthancBothWays) {
    REQUIRE_PEERS();
    if (!testsupport::ToolAvailable("curl") || !fs::exists("/usr/sbin/Orthanc"))
        GTEST_SKIP() << "needs Orthanc and curl";
    testsupport::TempDir dir;
    const uint16_t dicom = testsupport::FreePort(), http = testsupport::FreePort(),
                   ours = testsupport::FreePort();
    std::ofstream(dir / "orthanc.json")
        << "{\"Name\": \"TLS-TEST\", \"DicomAet\": \"ORTHANC\", \"DicomPort\": " << dicom
        << ", \"HttpPort\": " << http << ", \"StorageDirectory\": \"" << P(dir / "db")
        << "\", \"IndexDirectory\": \"" << P(dir / "db")
        << "\", \"RemoteAccessAllowed\": false, \"AuthenticationEnabled\": false, \"Plugins\": [],"
        << "\n \"DicomTlsEnabled\": true, \"DicomTlsCertificate\": \"" << P(Certs().Cert("server"))
        << "\", \"DicomTlsPrivateKey\": \"" << P(Certs().Key("server"))
        << "\", \"DicomTlsTrustedCertificates\": \"" << P(Certs().Cert("ca"))
        << "\", \"DicomTlsRemoteCertificateRequired\": true,"
        << "\n \"DicomModalities\": {\"tessaly\": {\"AET\": \"TESSALY\", \"Host\": "
           "\"127.0.0.1\", \"Port\": "
        << ours << ", \"UseDicomTls\": true}}}\n";
    testsupport::BackgroundProcess orthanc({"/usr/sbin/Orthanc", P(dir / "orthanc.json")},
                                           dir.Path());
    ASSERT_TRUE(testsupport::WaitForListener(http, 30000)) << orthanc.Output();
    const std::string port = std::to_string(dicom);
    for (std::vector<std::string> args :
         {std::vector<std::string>{"echo", "127.0.0.1", port, "--aec", "ORTHANC"},
          {"store", "127.0.0.1", port, P(CtFile()), "--aec", "ORTHANC"}}) {
        const auto tls = ClientTls();
        args.insert(args.end(), tls.begin(), tls.end());
        const auto run = Cli(args);
        EXPECT_EQ(run.exitCode, 0) << args[0] << run.output << run.errors << orthanc.Output();
    }
    EXPECT_EQ(Cli({"echo", "127.0.0.1", port, "--aec", "ORTHANC"}).exitCode, 1);

    testsupport::BackgroundProcess scp(
        {testsupport::CliPath(), "scp", std::to_string(ours), P(dir / "in"), "--tls", "--tls-cert",
         P(Certs().Cert("server")), "--tls-key", P(Certs().Key("server")), "--tls-ca",
         P(Certs().Cert("ca"))},
        dir.Path());
    ASSERT_TRUE(testsupport::WaitForListener(ours));
    const std::string rest = "http://127.0.0.1:" + std::to_string(http);
    const auto ids = RunCommand({"curl", "-sS", rest + "/instances"});
    const auto sent = RunCommand(
        {"curl", "-sS", "-X", "POST", rest + "/modalities/tessaly/store", "-d", ids.output});
    EXPECT_NE(sent.output.find("\"FailedInstancesCount\" : 0"), std::string::npos)
        << ids.output << sent.output << orthanc.Output() << scp.Output();
    scp.Stop();
    EXPECT_EQ(FilesUnder(dir / "in"), 1u);
    orthanc.Stop();
}
