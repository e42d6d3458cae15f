// tessaly-cli qido, wado and stow against a scripted HTTP server: the requests as they go out,
// the records and lines that come of the answers, and every failure explained on the second
// line of standard error.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/DataSetBuilder.h"
#include "support/HttpPeer.h"
#include "support/TestSupport.h"

using testsupport::HttpAnswer;
using testsupport::HttpPeer;
namespace fs = std::filesystem;

namespace {

testsupport::CommandResult Cli(std::vector<std::string> args, const fs::path& workDir = {}) {
    args.insert(args.begin(), testsupport::CliPath());
    return testsupport::RunCommand(args, {}, workDir);
}

// The line of standard error after the outcome line.
std::string SecondLine(const std::string& errors) {
    const std::size_t first = errors.find('\n');
    if (first == std::string::npos) return {};
    return errors.substr(first + 1, errors.find('\n', first + 1) - first - 1);
}

// A small CT instance of the given UIDs, explicit VR little endian.
std::string Instance(const std::string& study, const std::string& series, const std::string& sop) {
    testsupport::DataSetBuilder b(true, false);
    b.Text(0x0008, 0x0016, "UI", std::string("1.2.840.10008.5.1.4.1.1.2\0", 26))
        .Text(0x0008, 0x0018, "UI", sop)
        .Text(0x0010, 0x0010, "PN", "WEB^TEST")
        .Text(0x0020, 0x000D, "UI", study)
        .Text(0x0020, 0x000E, "UI", series);
    const auto file = testsupport::Part10File("1.2.840.10008.1.2.1", b.Bytes());
    return std::string(file.begin(), file.end());
}

constexpr char JSON[] = "application/dicom+json";

}  // namespace

TEST(QidoCli, AsksForEveryFieldAndPrintsRecordsAsFindDoes) {
    HttpPeer peer(
        {HttpAnswer(200, JSON,
                    "[{\"00080060\":{\"vr\":\"CS\",\"Value\":[\"MR\"]},"
                    "\"0008103E\":{\"vr\":\"LO\",\"Value\":[\"T1 \xCE\xA9 M\xC3\xBCller\"]},"
                    "\"00200011\":{\"vr\":\"IS\",\"Value\":[7]}},"
                    "{\"0020000E\":{\"vr\":\"UI\",\"Value\":[\"1.2.3.4\"]}}]")});
    const auto r = Cli({"qido", peer.Url(), "--level", "series", "--key", "StudyInstanceUID=1.2.3",
                        "--key", "Modality=MR", "--key", "SeriesDescription=T1 M\xC3\xBC*",
                        "--limit", "5", "--offset", "10"});
    peer.Join();
    ASSERT_EQ(peer.requests.size(), 1u);
    const std::string& head = peer.requests[0].head;
    EXPECT_EQ(
        head.substr(0, head.find("\r\n")),
        "GET /dicom-web/studies/1.2.3/series?includefield=00080021,00080031,0008103E,"
        "00180015,0020000E,00200011,00080060,0020000D,00181030,00185100&0008103E=T1%20M%C3%BC%2A"
        "&00080060=MR&limit=5&offset=10 HTTP/1.1");
    EXPECT_NE(head.find("\r\nAccept: application/dicom+json"), std::string::npos) << head;
    EXPECT_EQ(r.exitCode, 0) << r.errors;
    // Texts come through Windows-1252, what it lacks as a '?', padded as DIMSE pads them.
    EXPECT_EQ(r.output,
              "SeriesDescription: T1 ? M\xC3\xBCller \n"
              "SeriesNumber: 7 \n"
              "Modality: MR\n"
              "\n"
              "SeriesInstanceUID: 1.2.3.4\n"
              "\n"
              "2 results\n"
              "QIDO OK: search complete\n");
}

TEST(WebCli, FailuresExplainedOnTheSecondLine) {
    testsupport::TempDir dir;
    testsupport::WriteFileBytes(dir / "password", {'s', 'e', 'c', 'r', 'e', 't', '\n'});
    testsupport::WriteFileBytes(dir / "token", {'t', 'o', 'k', '1', '2', '3'});
    const std::string realm = "WWW-Authenticate: Basic realm=\"PACS\"\r\n";
    struct Case {
        std::vector<std::string> answers;
        std::vector<std::string> args;  // after the command and its URL
        std::string first, second, request = {};
    };
    const std::vector<Case> cases = {
        {{HttpAnswer(401, "", "", realm)},
         {"qido"},
         "QIDO failed: HTTP 401 (unauthorized): ",
         "the server asks for credentials (Basic realm=\"PACS\"); give a user name and password"},
        {{HttpAnswer(401, "", "", realm)},
         {"qido", "--user", "alice", "--password-file", (dir / "password").string()},
         "QIDO failed: HTTP 401",
         "the server refuses the credentials given (Basic realm=\"PACS\")",
         "Authorization: Basic YWxpY2U6c2VjcmV0\r\n"},
        {{HttpAnswer(403, "text/plain", "not for you")},
         {"qido", "--token-file", (dir / "token").string()},
         "QIDO failed: HTTP 403 (forbidden)",
         "refuses this user the resource; its administrator can grant access; it says: not for you",
         "Authorization: Bearer tok123\r\n"},
        {{HttpAnswer(404, "application/json", "{\n  \"Details\" : \"no such study\"\n}")},
         {"wado", "--metadata", "--study", "1.2.3"},
         "WADO failed: HTTP 404 (not found)",
         "check the service URL (the part before /studies) and the UIDs; it says: { \"Details\" : "
         "\"no such study\" }"},
        {{HttpAnswer(200, "text/html", "<html><body>Welcome</body></html>")},
         {"qido"},
         "QIDO failed: an answer of the wrong content type",
         "the answer is text/html, not application/dicom+json; the URL may lead to a web page"},
        {{HttpAnswer(200, JSON, "{\"00100010\": {\"vr\": \"PN\"}}")},
         {"qido"},
         "QIDO failed: an answer that is not a JSON array",
         "the answer is JSON but an object, not an array of data sets"},
        {{HttpAnswer(200, JSON, "[{\"0010001\": {\"vr\": \"PN\"}}]")},
         {"qido"},
         "QIDO failed: JSON that is not the DICOM JSON model",
         "match 1 is not a data set of the DICOM JSON model: \"0010001\" is not a tag"},
        {{HttpAnswer(200, JSON, "[]"),
          HttpAnswer(200, "multipart/related; type=\"application/dicom\"; boundary=abc",
                     "--xyz\r\nContent-Type: application/dicom\r\n\r\nDICM\r\n--xyz--\r\n")},
         {"wado", (dir / "out").string(), "--study", "1.2.3"},
         "WADO failed: a multipart answer without its boundary",
         "the answer's Content-Type names the boundary \"abc\", but no line of the body is the "
         "boundary; the body begins \"--xyz\""},
        {{HttpAnswer(200, "application/dicom", "DICM")},
         {"wado", (dir / "out").string(), "--study", "1.2.3", "--series", "1.2.3.4", "--instance",
          "1.2.3.4.5"},
         "WADO failed: an answer of the wrong content type",
         "the answer is application/dicom, not multipart/related; type=\"application/dicom\"; "
         "transfer-syntax=*"},
    };
    for (const Case& c : cases) {
        HttpPeer peer(c.answers);
        std::vector<std::string> args = {c.args[0], peer.Url()};
        args.insert(args.end(), c.args.begin() + 1, c.args.end());
        const auto r = Cli(args);
        peer.Join();
        EXPECT_EQ(r.exitCode, 1) << c.first << r.errors;
        EXPECT_EQ(r.errors.rfind(c.first, 0), 0u) << r.errors;
        EXPECT_NE(SecondLine(r.errors).find(c.second), std::string::npos) << r.errors;
        if (!c.request.empty()) {
            ASSERT_FALSE(peer.requests.empty());
            EXPECT_NE(peer.requests[0].head.find(c.request), std::string::npos)
                << peer.requests[0].head;
        }
    }
    const auto closed =
        Cli({"qido", "http://127.0.0.1:" + std::to_string(testsupport::FreePort())});
    EXPECT_EQ(closed.exitCode, 1);
    EXPECT_EQ(closed.errors.rfind("QIDO failed: cannot connect to the server: http://", 0), 0u);
    EXPECT_NE(SecondLine(closed.errors).find("check the host name and port of the URL"),
              std::string::npos)
        << closed.errors;
}

TEST(WadoCli, FilesWhatCameWholeAndNamesWhatDidNot) {
    testsupport::TempDir dir;
    const std::string first = Instance("1.2.3", "1.2.3.4", "1.2.3.4.5");
    const std::string body = "--b\r\nContent-Type: application/dicom\r\n\r\n" + first +
                             "\r\n--b\r\nContent-Type: application/dicom\r\n\r\n" +
                             Instance("1.2.3", "1.2.3.4", "1.2.3.4.6").substr(0, 100);
    // The answer announces more than it sends: the connection ends inside the second part.
    std::string answer =
        HttpAnswer(200, "multipart/related; type=\"application/dicom\"; boundary=b",
                   body + std::string(500, 'x'));
    answer.resize(answer.size() - 500);
    HttpPeer peer({HttpAnswer(200, JSON,
                              "[{\"00080018\":{\"vr\":\"UI\",\"Value\":[\"1.2.3.4.5\"]}},"
                              "{\"00080018\":{\"vr\":\"UI\",\"Value\":[\"1.2.3.4.6\"]}}]"),
                   answer});
    const auto r =
        Cli({"wado", peer.Url("/web/"), (dir / "out").string(), "--study", "1.2.3"}, dir.Path());
    peer.Join();
    ASSERT_EQ(peer.requests.size(), 2u);
    EXPECT_EQ(peer.requests[0].head.rfind(
                  "GET /web/studies/1.2.3/instances?includefield=00080018 HTTP/1.1\r\n", 0),
              0u);
    EXPECT_EQ(peer.requests[1].head.rfind("GET /web/studies/1.2.3 HTTP/1.1\r\n", 0), 0u);
    EXPECT_NE(
        peer.requests[1].head.find("\r\nAccept: multipart/related; type=\"application/dicom\"; "
                                   "transfer-syntax=*"),
        std::string::npos);
    const std::string file = (dir / "out/1.2.3/1.2.3.4/1.2.3.4.5.dcm").string();
    EXPECT_EQ(r.output, "instance 1: 1.2.3.4.5 (" + std::to_string(first.size()) +
                            " bytes): " + file +
                            "\ninstance 2: 1.2.3.4.6: announced by the server's search, never "
                            "came\n");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.errors.rfind("WADO failed: a truncated multipart answer: ", 0), 0u) << r.errors;
    EXPECT_NE(SecondLine(r.errors).find("the body ends inside part 2 after 100 bytes, before its "
                                        "boundary line; 1 instances came whole"),
              std::string::npos)
        << r.errors;
    // Filed as the storage provider files: its data set as it came, under our meta group.
    const auto written = testsupport::ReadFileBytes(file);
    ASSERT_GT(written.size(), 132u);
    EXPECT_EQ(std::string(written.end() - 60, written.end()), first.substr(first.size() - 60));
    EXPECT_TRUE(fs::exists(dir / "out/1.2.3/1.2.3.4") && fs::exists(dir / "Database/LXStudy.dir"));
}

TEST(StowCli, SendsOnePartPerFileAndReportsEachInstance) {
    testsupport::TempDir dir;
    const std::string a = Instance("1.2.3", "1.2.3.4", "1.2.3.4.5");
    const std::string b = Instance("1.2.3", "1.2.3.4", "1.2.3.4.6");
    testsupport::WriteFileBytes(dir / "a.dcm", {a.begin(), a.end()});
    testsupport::WriteFileBytes(dir / "b.dcm", {b.begin(), b.end()});
    testsupport::WriteFileBytes(dir / "notes.txt", {'h', 'i'});
    HttpPeer peer({HttpAnswer(
        202, JSON,
        "{\"00081198\":{\"vr\":\"SQ\",\"Value\":[{\"00081150\":{\"vr\":\"UI\",\"Value\":"
        "[\"1.2.840.10008.5.1.4.1.1.2\"]},\"00081155\":{\"vr\":\"UI\",\"Value\":[\"1.2.3.4.6\"]},"
        "\"00081197\":{\"vr\":\"US\",\"Value\":[42752]}}]},"
        "\"00081199\":{\"vr\":\"SQ\",\"Value\":[{\"00081155\":{\"vr\":\"UI\",\"Value\":"
        "[\"1.2.3.4.5\"]},\"00081196\":{\"vr\":\"US\",\"Value\":[45056]}}]}}")});
    const auto r = Cli({"stow", peer.Url(), dir.Path().string(), "--study", "1.2.3"});
    peer.Join();
    ASSERT_EQ(peer.requests.size(), 1u);
    const std::string& head = peer.requests[0].head;
    EXPECT_EQ(head.rfind("POST /dicom-web/studies/1.2.3 HTTP/1.1\r\n", 0), 0u);
    const std::string marker =
        "Content-Type: multipart/related; type=\"application/dicom\"; boundary=";
    const std::size_t at = head.find(marker);
    ASSERT_NE(at, std::string::npos) << head;
    const std::string boundary =
        head.substr(at + marker.size(), head.find("\r\n", at) - at - marker.size());
    EXPECT_EQ(peer.requests[0].body,
              "--" + boundary + "\r\nContent-Type: application/dicom\r\n\r\n" + a + "\r\n--" +
                  boundary + "\r\nContent-Type: application/dicom\r\n\r\n" + b + "\r\n--" +
                  boundary + "--\r\n");
    EXPECT_EQ(r.output,
              "skipped (not a DICOM instance): " + (dir / "notes.txt").string() +
                  "\nstored: " + (dir / "a.dcm").string() +
                  " (1.2.3.4.5), with Warning Reason status 0xB000 (warning: stored with changes)\n"
                  "not stored: " +
                  (dir / "b.dcm").string() +
                  " (1.2.3.4.6): Failure Reason status 0xA700 (refused: out of resources)\n");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.errors.rfind("STOW failed: 1 of 2 instances stored: not stored: ", 0), 0u)
        << r.errors;
    EXPECT_NE(SecondLine(r.errors).find("1 of 2 instances stored; 1 refused by the server"),
              std::string::npos)
        << r.errors;
}

TEST(WebCli, WrongCommandLinesExitWithTwo) {
    testsupport::TempDir dir;
    const std::string missing = (dir / "none").string();
    const std::vector<std::vector<std::string>> lines = {
        {"qido"},
        {"qido", "http://h/", "--level", "patient"},
        {"qido", "http://h/", "--key", "PatientNom=X"},
        {"qido", "http://h/", "--limit", "-1"},
        {"qido", "http://h/", "--user", "alice"},
        {"qido", "http://h/", "--user", "a", "--password-file", missing},
        {"qido", "http://h/", "--tls-key", "k.pem"},
        {"qido", "http://h/", "--token-file", missing, "--user", "a", "--password-file", missing},
        {"wado", "http://h/", "out"},
        {"wado", "http://h/", "out", "--study", "1.2", "--instance", "1.2.3"},
        {"wado", "http://h/", "out", "--study", "1.2", "--metadata"},
        {"stow", "http://h/"},
        {"stow", "http://h/", "a.dcm", "--batch", "0"},
    };
    for (const auto& line : lines) {
        const auto r = Cli(line);
        EXPECT_EQ(r.exitCode, 2) << line.back() << r.errors;
        EXPECT_EQ(r.output, "");
    }
}

// The web probe reads what a server says of itself and tells an answer with cross-origin
// headers and nothing else from a search that found nothing.
TEST(WebProbeCli, MethodsAllowedAndAnAnswerOfCorsHeadersOnly) {
    const std::string study = "[{\"0020000D\":{\"vr\":\"UI\",\"Value\":[\"1.2.3\"]}}]";
    HttpPeer peer({HttpAnswer(200, JSON, study),
                   HttpAnswer(200, "", "", "Allow: GET, POST, OPTIONS\r\n"),
                   HttpAnswer(200, "", "", "Access-Control-Allow-Origin: *\r\n")});
    const auto r = Cli({"probe", "--web", peer.Url(), "--json"});
    peer.Join();
    ASSERT_EQ(peer.requests.size(), 3u);
    EXPECT_EQ(peer.requests[1].head.rfind("OPTIONS /dicom-web HTTP/1.1\r\n", 0), 0u);
    EXPECT_EQ(peer.requests[2].head.rfind("GET /dicom-web/studies?limit=5 HTTP/1.1\r\n", 0), 0u);
    EXPECT_EQ(r.exitCode, 0) << r.errors;
    for (const char* expected :
         {"\"facts\": {\"methods (Allow)\": \"GET, POST, OPTIONS\"}",
          "{\"name\": \"QIDO-RS\", \"verdict\": \"failed\", \"detail\": \"studies: an answer with "
          "cross-origin (CORS) headers only, no content\"",
          "{\"item\": \"series\", \"uid\": \"\", \"verdict\": \"not tested\", \"detail\": \"no "
          "study to search in\"}",
          "{\"name\": \"WADO-RS\", \"verdict\": \"not tested\", \"detail\": \"no instance was "
          "found to retrieve (see QIDO-RS)\"",
          "\"requests\": 3\n}"})
        EXPECT_NE(r.output.find(expected), std::string::npos) << expected << "\n" << r.output;
}
