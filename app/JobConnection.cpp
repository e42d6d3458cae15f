#include "JobConnection.h"

#include <fstream>
#include <iterator>

namespace app {
namespace {

void TrimLineEnd(std::string& text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
}

bool ReadWhole(const std::string& file, std::string& text) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return false;
    text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

const char* TokenName(int32_t kind) {
    return kind == USER_IDENTITY_JWT    ? "JSON Web Token"
           : kind == USER_IDENTITY_SAML ? "SAML assertion"
                                        : "Kerberos ticket";
}

bool MakeIdentity(const ConnectionIni& c, cli::NetLine& line, std::string& why) {
    line.userKind = c.identityKind;
    line.userResponse = c.identityResponse;
    switch (c.identityKind) {
        case 0:
            return true;
        case USER_IDENTITY_USERNAME:
        case USER_IDENTITY_USERNAME_PASSCODE:
            line.userPrimary = c.identityUser;
            if (line.userPrimary.empty()) {
                why = "the user identity has no user name: give one in Setup, Connection";
                return false;
            }
            if (c.identityKind == USER_IDENTITY_USERNAME) return true;
            {
                std::ifstream in(c.identityFile);
                if (!in || !std::getline(in, line.userSecondary) ||
                    (TrimLineEnd(line.userSecondary), line.userSecondary.empty())) {
                    why = "cannot read a password from \"" + c.identityFile +
                          "\": its first line is the password (Setup, Connection)";
                    return false;
                }
            }
            return true;
        default:
            if (!ReadWhole(c.identityFile, line.userPrimary) || line.userPrimary.empty()) {
                why = std::string("cannot read the ") + TokenName(c.identityKind) + " from \"" +
                      c.identityFile + "\" (Setup, Connection)";
                return false;
            }
            if (c.identityKind != USER_IDENTITY_KERBEROS) TrimLineEnd(line.userPrimary);
            return true;
    }
}

}  // namespace

bool MakeJobConnection(const Settings& settings, const ConnectionIni& c, cli::NetLine& line,
                       std::string& why) {
    line.host = FieldText(settings.RemoteIP);
    line.port = FieldText(settings.RemotePort);
    line.calling = FieldText(settings.LocalAET);
    line.called = FieldText(settings.RemoteAET);
    line.connectMs = c.connectTimeout * 1000;
    line.acseMs = c.associationTimeout * 1000;
    line.dimseMs = c.responseTimeout * 1000;
    line.maxPdu = c.maxPdu;
    line.tls = c.tls;
    if (c.tls) {
        line.tlsCert = c.tlsCertificate;
        line.tlsKey = c.tlsKey;
        line.tlsKeyPasswordFile = c.tlsKeyPasswordFile;
        if (!c.tlsTrusted.empty()) line.tlsCa = {c.tlsTrusted};
        line.tlsNoVerify = c.tlsNoVerify;
        line.tlsProfile = c.tlsProfile;
        const ConnectionOptions options = line.Options();
        char reason[512] = "";
        if (CheckTlsOptions(options.tls, reason, sizeof reason) != 1) {
            why =
                std::string("the TLS settings cannot be used: ") + reason + " (Setup, Connection)";
            return false;
        }
    }
    return MakeIdentity(c, line, why);
}

bool ReadAcceptedUsers(const std::string& file, std::string& users, std::string& why) {
    if (!ReadWhole(file, users) || users.find_first_not_of(" \r\n") == std::string::npos) {
        why = "cannot read the users from " + file + ": give a file of lines NAME:PASSWORD";
        return false;
    }
    std::size_t number = 0;
    for (std::size_t at = 0; at < users.size(); ++number) {
        std::size_t end = users.find('\n', at);
        if (end == std::string::npos) end = users.size();
        std::string text = users.substr(at, end - at);
        while (!text.empty() && (text.back() == '\r' || text.back() == ' '))
            text.pop_back();
        if (!text.empty() && (text.find(':') == std::string::npos || text[0] == ':')) {
            why = file + " line " + std::to_string(number + 1) + " is not NAME:PASSWORD";
            return false;
        }
        at = end + 1;
    }
    return true;
}

}  // namespace app
