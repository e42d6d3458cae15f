// tessaly-cli's DICOMweb against Orthanc with its DICOMweb plugin, started here with a
// configuration of its own that asks for HTTP basic credentials: pydicom's sample files stored
// in several requests, searched at each level with keys, every study retrieved and judged by
// pydicom against what was stored. TLS against openssl's s_server, which asks for a client
// certificate, with certificates made here by openssl (Orthanc's own HTTPS crashes on this
// platform as soon as a request comes).
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "support/TestSupport.h"

namespace fs = std::filesystem;
using testsupport::RunCommand;

namespace {

const fs::path PLUGIN = "/usr/share/orthanc/plugins/libOrthancDicomWeb.so";
constexpr char PYTHON[] = "/usr/bin/python3";

// Orthanc serving DICOMweb under /dicom-web on a free port; extra is more of its configuration.
class OrthancWeb {
  public:
    OrthancWeb() {
        std::ofstream(dir_ / "orthanc.json")
            << "{\"Name\": \"WEB-TEST\", \"DicomAet\": \"ORTHANC\", \"DicomPort\": " << dicom_
            << ", \"HttpPort\": " << http_ << ",\n \"StorageDirectory\": \""
            << (dir_ / "storage").string() << "\", \"IndexDirectory\": \""
            << (dir_ / "storage").string()
            << "\",\n \"RemoteAccessAllowed\": false, \"AuthenticationEnabled\": true,\n"
               " \"RegisteredUsers\": {\"alice\": \"secret\"},\n \"Plugins\": [\""
            << PLUGIN.string()
            << "\"],\n \"DicomWeb\": {\"Enable\": true, \"Root\": \"/dicom-web/\"}}\n";
        process_ = std::make_unique<testsupport::BackgroundProcess>(
            std::vector<std::string>{"/usr/sbin/Orthanc", (dir_ / "orthanc.json").string()},
            dir_.Path());
    }
    bool Ready() const { return testsupport::WaitForListener(http_, 30000); }
    std::string Url() const { return "http://127.0.0.1:" + std::to_string(http_) + "/dicom-web"; }
    std::string Output() const { return process_->Output(); }

  private:
    testsupport::TempDir dir_;
    uint16_t http_ = testsupport::FreePort();
    uint16_t dicom_ = testsupport::FreePort();
    std::unique_ptr<testsupport::BackgroundProcess> process_;
};

testsupport::CommandResult Cli(std::vector<std::string> args, const fs::path& workDir = {}) {
    args.insert(args.begin(), testsupport::CliPath());
    return RunCommand(args, {}, workDir);
}

bool Skip() {
    return !fs::exists("/usr/sbin/Orthanc") || !fs::exists(PLUGIN) ||
           testsupport::PydicomTestFiles().empty();
}

// The values of "Field: value" lines of find's output for a field.
std::vector<std::string> Values(const std::string& output, const std::string& field) {
    std::vector<std::string> values;
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind(field + ": ", 0) != 0) continue;
        std::string value = line.substr(field.size() + 2);
        while (!value.empty() && value.back() == ' ')
            value.pop_back();
        values.push_back(value);
    }
    return values;
}

// Files with instances of their own, in the syntaxes and classes the samples hold.
const std::vector<std::string> SAMPLES = {
    "CT_small.dcm",     "MR_small.dcm",   "ExplVR_BigEnd.dcm",    "JPEG2000.dcm",
    "JPEG-lossy.dcm",   "SC_rgb_rle.dcm", "rtplan.dcm",           "test-SR.dcm",
    "waveform_ecg.dcm", "image_dfl.dcm",  "SC_rgb_small_odd.dcm", "693_J2KI.dcm",
    "liver_1frame.dcm", "reportsi.dcm"};

}  // namespace

TEST(DicomWebInterop, StowQidoAndWadoAgainstOrthanc) {
    if (Skip()) GTEST_SKIP() << "Orthanc, its DICOMweb plugin or pydicom is missing";
    OrthancWeb orthanc;
    ASSERT_TRUE(orthanc.Ready()) << orthanc.Output();
    testsupport::TempDir work;
    const fs::path samples = testsupport::PydicomTestFiles();
    testsupport::WriteFileBytes(work / "password", {'s', 'e', 'c', 'r', 'e', 't', '\n'});
    const auto web = [&](std::vector<std::string> args, const fs::path& workDir = {}) {
        args.insert(args.end(),
                    {"--user", "alice", "--password-file", (work / "password").string()});
        return Cli(args, workDir);
    };
    const auto stranger = Cli({"qido", orthanc.Url()});
    EXPECT_EQ(stranger.exitCode, 1);
    EXPECT_EQ(stranger.errors.rfind("QIDO failed: HTTP 401 (unauthorized): ", 0), 0u);
    EXPECT_NE(stranger.errors.find("\n  the server asks for credentials (Basic realm="),
              std::string::npos)
        << stranger.errors;

    std::vector<std::string> stow = {"stow", orthanc.Url(), "--batch", "4"};
    for (const auto& name : SAMPLES)
        stow.push_back((samples / name).string());
    stow.push_back((samples / "MR_truncated.dcm").string());
    const auto stored = web(stow);
    EXPECT_EQ(stored.exitCode, 1) << stored.output << stored.errors;
    for (const auto& name : SAMPLES)
        EXPECT_NE(stored.output.find("stored: " + (samples / name).string() + " ("),
                  std::string::npos)
            << stored.output;
    EXPECT_NE(stored.output.find("not stored: " + (samples / "MR_truncated.dcm").string() +
                                 ": not a DICOM file that can be read to its end"),
              std::string::npos)
        << stored.output;
    EXPECT_NE(stored.errors.find("14 of 15 instances stored; 1 not sent"), std::string::npos)
        << stored.errors;

    // pydicom says what each sample holds: study, series, instance, patient ID, modality.
    std::string script = "import pydicom\n";
    for (const auto& name : SAMPLES) {
        script += "d = pydicom.dcmread('" + (samples / name).string() +
                  "')\nprint(d.StudyInstanceUID, d.SeriesInstanceUID, d.SOPInstanceUID, "
                  "d.get('PatientID', '-') or '-', d.Modality)\n";
    }
    testsupport::WriteFileBytes(work / "uids.py", {script.begin(), script.end()});
    const auto uids = RunCommand({PYTHON, (work / "uids.py").string()});
    ASSERT_EQ(uids.exitCode, 0) << uids.errors;
    struct Sample {
        std::string study, series, sop, patient, modality;
    };
    std::vector<Sample> held;
    std::set<std::string> studies;
    std::istringstream lines(uids.output);
    for (Sample s; lines >> s.study >> s.series >> s.sop >> s.patient >> s.modality;) {
        held.push_back(s);
        studies.insert(s.study);
    }
    ASSERT_EQ(held.size(), SAMPLES.size());
    const Sample& ct = held[0];
    const Sample& mr = held[1];

    {  // every study, then by patient, by modality in a study, one instance, and paged
        const auto all = web({"qido", orthanc.Url()});
        EXPECT_EQ(all.exitCode, 0) << all.errors;
        const auto found = Values(all.output, "StudyInstanceUID");
        EXPECT_EQ(std::set<std::string>(found.begin(), found.end()), studies);

        const auto byPatient = web({"qido", orthanc.Url(), "--key", "PatientID=" + ct.patient});
        EXPECT_EQ(Values(byPatient.output, "StudyInstanceUID"), std::vector{ct.study})
            << byPatient.output;
        EXPECT_EQ(Values(byPatient.output, "Modalities"), std::vector{std::string("CT")});

        const auto series = web({"qido", orthanc.Url(), "--level", "series", "--key",
                                 "StudyInstanceUID=" + mr.study, "--key", "Modality=MR"});
        EXPECT_EQ(Values(series.output, "SeriesInstanceUID"), std::vector{mr.series})
            << series.output;
        const auto none = web({"qido", orthanc.Url(), "--level", "series", "--key",
                               "StudyInstanceUID=" + mr.study, "--key", "Modality=CT"});
        EXPECT_NE(none.output.find("0 results\n"), std::string::npos) << none.output;

        const auto instance = web({"qido", orthanc.Url(), "--level", "instance", "--key",
                                   "SOPInstanceUID=" + ct.sop, "--json"});
        EXPECT_EQ(instance.exitCode, 0) << instance.errors;
        EXPECT_NE(instance.output.find(
                      "\"00080016\":{\"vr\":\"UI\",\"Value\":[\"1.2.840.10008.5.1.4.1.1.2\"]}"),
                  std::string::npos)
            << instance.output;
        EXPECT_NE(instance.output.find("\"0020000D\":{\"vr\":\"UI\",\"Value\":[\"" + ct.study),
                  std::string::npos);

        const auto paged = web({"qido", orthanc.Url(), "--limit", "2", "--offset", "1"});
        EXPECT_EQ(Values(paged.output, "StudyInstanceUID").size(), 2u) << paged.output;
    }

    // Every study retrieved and every instance filed as the provider files it.
    const fs::path out = work / "out";
    for (const std::string& study : studies) {
        const auto r = web({"wado", orthanc.Url(), out.string(), "--study", study}, work.Path());
        EXPECT_EQ(r.exitCode, 0) << r.output << r.errors;
    }
    // The same attributes with the same values; the file writer may take encapsulated pixel
    // data as OB where a sender wrote OW.
    std::string compare =
        "import pydicom, sys\nbad = 0\n"
        "def same(a, b):\n"
        "    return a.keys() == b.keys() and all(a[t].value == b[t].value for t in a.keys())\n";
    for (std::size_t i = 0; i < held.size(); ++i) {
        const Sample& s = held[i];
        compare += "a = pydicom.dcmread('" + (samples / SAMPLES[i]).string() +
                   "')\nb = pydicom.dcmread('" +
                   (out / s.study / s.series / (s.sop + ".dcm")).string() +
                   "')\nif not same(a, b) or a.file_meta.TransferSyntaxUID != "
                   "b.file_meta.TransferSyntaxUID:\n"
                   "    print('differs:', '" +
                   SAMPLES[i] + "'); bad += 1\n";
    }
    compare += "sys.exit(bad)\n";
    testsupport::WriteFileBytes(work / "compare.py", {compare.begin(), compare.end()});
    const auto judged = RunCommand({PYTHON, (work / "compare.py").string()});
    EXPECT_EQ(judged.exitCode, 0) << judged.output << judged.errors;
    EXPECT_TRUE(fs::exists(work / "Database" / "LXStudy.dir"));

    const auto one = web({"wado", orthanc.Url(), (work / "one").string(), "--study", mr.study,
                          "--series", mr.series, "--instance", mr.sop});
    EXPECT_EQ(one.exitCode, 0) << one.errors;
    EXPECT_EQ(one.output.rfind("instance 1: " + mr.sop + " (", 0), 0u) << one.output;
    const auto metadata = web({"wado", orthanc.Url(), "--metadata", "--study", ct.study});
    EXPECT_EQ(metadata.exitCode, 0) << metadata.errors;
    testsupport::WriteFileBytes(work / "metadata.json",
                                {metadata.output.begin(), metadata.output.end()});
    const auto parsed = RunCommand({PYTHON, "-c",
                                    "import json, sys; a = json.load(open(sys.argv[1])); "
                                    "print(len(a), a[0]['00080018']['Value'][0])",
                                    (work / "metadata.json").string()});
    EXPECT_EQ(parsed.output, "1 " + ct.sop + "\n") << parsed.errors;

    // The probe: refused without credentials, and with them every level searched and one
    // instance retrieved (nothing stored: no --store-test).
    const auto refused = Cli({"probe", "--web", orthanc.Url()});
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_NE(refused.output.find("\nEndpoint        refused      HTTP 401 (unauthorized): the "
                                  "server asks for credentials (Basic realm="),
              std::string::npos)
        << refused.output;
    EXPECT_NE(refused.output.find("\nQIDO-RS         failed       the endpoint refuses us (see "
                                  "Endpoint)\n"),
              std::string::npos)
        << refused.output;
    const auto probed = web({"probe", "--web", orthanc.Url(), "--json"});
    EXPECT_EQ(probed.exitCode, 0) << probed.errors;
    testsupport::WriteFileBytes(work / "probe.json", {probed.output.begin(), probed.output.end()});
    const auto verdicts = RunCommand(
        {PYTHON, "-c",
         "import json, sys; r = json.load(open(sys.argv[1]))\n"
         "for s in r['sections']: print(s['name'], s['verdict'], *[w['verdict'] for w in "
         "s['rows']])\n"
         "print('instance' in r['sections'][4]['facts'], '0020000D' in "
         "r['sections'][3]['facts']['studies attributes'], r['requests'])",
         (work / "probe.json").string()});
    EXPECT_EQ(verdicts.output,
              "Endpoint works\nCapabilities not offered\nSTOW-RS not tested\n"
              "QIDO-RS works works works works\nWADO-RS works works works\nTrue True 7\n")
        << probed.output << verdicts.errors;
}

TEST(DicomWebInterop, TlsWithTheServersAuthorityAndAClientCertificate) {
    if (!testsupport::ToolAvailable("openssl")) GTEST_SKIP() << "openssl is missing";
    testsupport::TempDir certs;
    const auto at = [&](const std::string& name) { return (certs / name).string(); };
    std::ofstream(certs / "ip.ext") << "subjectAltName=IP:127.0.0.1\n";
    const std::vector<std::vector<std::string>> steps = {
        {"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", at("ca.key"),
         "-out", at("ca.pem"), "-days", "2", "-subj", "/CN=Tessaly Test CA"},
        {"openssl", "req", "-newkey", "rsa:2048", "-nodes", "-keyout", at("server.key"), "-out",
         at("server.csr"), "-subj", "/CN=127.0.0.1"},
        {"openssl", "x509", "-req", "-in", at("server.csr"), "-CA", at("ca.pem"), "-CAkey",
         at("ca.key"), "-CAcreateserial", "-out", at("server.pem"), "-days", "2", "-extfile",
         at("ip.ext")},
        {"openssl", "req", "-newkey", "rsa:2048", "-nodes", "-keyout", at("client.key"), "-out",
         at("client.csr"), "-subj", "/CN=tessaly"},
        {"openssl", "x509", "-req", "-in", at("client.csr"), "-CA", at("ca.pem"), "-CAkey",
         at("ca.key"), "-CAcreateserial", "-out", at("client.pem"), "-days", "2"},
    };
    for (const auto& step : steps) {
        const auto made = RunCommand(step);
        ASSERT_EQ(made.exitCode, 0) << made.errors;
    }
    // s_server asks for a client certificate and answers every request with a status page.
    const uint16_t port = testsupport::FreePort();
    testsupport::BackgroundProcess server(
        {"openssl", "s_server", "-accept", std::to_string(port), "-cert", at("server.pem"), "-key",
         at("server.key"), "-CAfile", at("ca.pem"), "-Verify", "1", "-verify_return_error", "-www",
         "-quiet"},
        certs.Path());
    ASSERT_TRUE(testsupport::WaitForListener(port)) << server.Output();
    const std::string url = "https://127.0.0.1:" + std::to_string(port) + "/dicom-web";
    const std::vector<std::string> client = {"--tls-cert", at("client.pem"), "--tls-key",
                                             at("client.key")};
    const auto qido = [&](std::vector<std::string> options) {
        options.insert(options.begin(), {"qido", url});
        return Cli(options);
    };

    const auto untrusted = qido(client);
    EXPECT_EQ(untrusted.errors.rfind(
                  "QIDO failed: TLS failed: " + url + "\n  SSL certificate problem", 0),
              0u)
        << untrusted.errors;
    const auto noClientCertificate = qido({"--tls-ca", at("ca.pem")});
    EXPECT_EQ(noClientCertificate.errors.rfind("QIDO failed: TLS failed: ", 0), 0u)
        << noClientCertificate.errors;
    EXPECT_NE(noClientCertificate.errors.find("certificate required"), std::string::npos);
    // Through TLS, the answer is s_server's page, which is no DICOMweb answer.
    std::vector<std::string> trusted = client;
    trusted.insert(trusted.end(), {"--tls-ca", at("ca.pem")});
    const auto through = qido(trusted);
    EXPECT_EQ(through.errors.rfind("QIDO failed: an answer of the wrong content type: ", 0), 0u)
        << through.errors;
    EXPECT_NE(through.errors.find("the answer is text/html"), std::string::npos);
    std::vector<std::string> unchecked = client;
    unchecked.push_back("--tls-no-verify");
    const auto blind = qido(unchecked);
    EXPECT_EQ(blind.errors.rfind("tessaly-cli: warning: --tls-no-verify: the server's certificate "
                                 "and name are not checked",
                                 0),
              0u)
        << blind.errors;
    EXPECT_NE(blind.errors.find("QIDO failed: an answer of the wrong content type"),
              std::string::npos);

    // The probe tells the handshake and the certificate even of a server that is no DICOMweb
    // service.
    std::vector<std::string> probe = {"probe", "--web", url};
    probe.insert(probe.end(), trusted.begin(), trusted.end());
    const auto probed = Cli(probe);
    EXPECT_EQ(probed.exitCode, 1);
    for (const char* line :
         {"\nEndpoint        failed       an answer of type text/html, not application/dicom+json",
          "\n  TLS protocol               TLSv1.3\n",
          "\n  certificate subject        CN = 127.0.0.1\n",
          "\n  certificate issuer         CN = Tessaly Test CA\n",
          "\n  public key                 rsaEncryption, 2048 bits\n"})
        EXPECT_NE(probed.output.find(line), std::string::npos) << line << probed.output;
    // Two days from when the certificate was made, less the seconds since.
    EXPECT_TRUE(probed.output.find("\n  days left                  1\n") != std::string::npos ||
                probed.output.find("\n  days left                  2\n") != std::string::npos)
        << probed.output;
}
