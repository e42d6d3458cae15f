#include "NetOptions.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <utility>

#include "FrontEnd.h"

namespace cli {
namespace {

constexpr std::size_t AE_TITLE_LIMIT = 16;
constexpr double LONGEST_WAIT_SECONDS = 86400;
constexpr long SMALLEST_MAX_PDU = 4096;
constexpr long LARGEST_MAX_PDU = 131072;

// Each wait's option, by WaitKind.
const char* WaitOption(int32_t wait) {
    switch (wait) {
        case WAIT_CONNECT:
            return "--connect-timeout";
        case WAIT_ACSE:
        case WAIT_RELEASE:
            return "--acse-timeout";
        case WAIT_DIMSE:
            return "--dimse-timeout";
        case WAIT_IDLE:
            return "--idle-timeout";
        default:
            return "";
    }
}

struct Timeout {
    int32_t wait = WAIT_NONE;
    uint32_t milliseconds = 0;
    std::string awaited;
};

Timeout LastWait() {
    Timeout t;
    char awaited[128] = "";
    t.wait = LastTimeout(&t.milliseconds, awaited, sizeof awaited);
    t.awaited = awaited;
    return t;
}

std::string Seconds(uint32_t milliseconds) {
    char text[32];
    if (milliseconds % 1000 == 0)
        std::snprintf(text, sizeof text, "%u s", milliseconds / 1000);
    else
        std::snprintf(text, sizeof text, "%.3g s", milliseconds / 1000.0);
    return text;
}

// A wait in seconds, more than 0 and at most a day; 0 when the text is no such number.
uint32_t WaitMilliseconds(const std::string& text) {
    char* end = nullptr;
    const double seconds = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !(seconds > 0) || seconds > LONGEST_WAIT_SECONDS) return 0;
    return static_cast<uint32_t>(std::max(1.0, std::round(seconds * 1000)));
}

}  // namespace

namespace {

// Takes a TLS option at args[i] and its value: 0 when it is none, -1 when its value is missing.
int TakeTlsOption(const Args& args, std::size_t& i, bool requestor, NetLine& line,
                  std::string& given, std::string& value) {
    const std::string& a = args[i];
    if (a == "--tls") {
        line.tls = true;
        return 1;
    }
    if (requestor && a == "--tls-no-verify") {
        line.tlsNoVerify = true;
        given = a;
        return 1;
    }
    std::string* target = a == "--tls-cert"                      ? &line.tlsCert
                          : a == "--tls-key"                     ? &line.tlsKey
                          : a == "--tls-key-password-file"       ? &line.tlsKeyPasswordFile
                          : a == "--tls-ca"                      ? &value
                          : a == "--tls-profile"                 ? &value
                          : !requestor && a == "--tls-peer-cert" ? &value
                                                                 : nullptr;
    if (target == nullptr) return 0;
    if (i + 1 == args.size()) return -1;
    given = a;
    *target = args[++i];
    if (a == "--tls-ca") line.tlsCa.push_back(value);
    return 1;
}

// The whole of a file; false when it cannot be read.
bool ReadWhole(const std::string& path, std::string& text) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

void TrimLineEnd(std::string& text) {
    while (!text.empty() && (text.back() == '\r' || text.back() == '\n' || text.back() == ' '))
        text.pop_back();
}

// The identity options as given: the option and its value, in order.
struct IdentityLine {
    std::vector<std::pair<std::string, std::string>> given;
    bool response = false;
};

// Takes an identity option at args[i] and its value: 0 when it is none, -1 when its value is
// missing.
int TakeIdentityOption(const Args& args, std::size_t& i, bool requestor, IdentityLine& identity) {
    const std::string& a = args[i];
    if (requestor && a == "--user-response") {
        identity.response = true;
        return 1;
    }
    const bool takes = requestor ? (a == "--user" || a == "--password-file" || a == "--user-jwt" ||
                                    a == "--user-saml" || a == "--user-kerberos")
                                 : a == "--require-user";
    if (!takes) return 0;
    if (i + 1 == args.size()) return -1;
    identity.given.emplace_back(a, args[i + 1]);
    ++i;
    return 1;
}

// The identity part of a parsed line, its files read: 0 when sound or not asked for, else the
// exit code, told.
int FinishIdentity(const Command& self, NetLine& line, const IdentityLine& identity) {
    const auto refuse = [&](const std::string& why) {
        std::fprintf(stderr, "tessaly-cli: %s: %s\n", self.name, why.c_str());
        return 2;
    };
    const auto unreadable = [&](const std::string& why) {
        std::fprintf(stderr, "tessaly-cli: %s: the user identity cannot be used\n%s\n", self.name,
                     why.c_str());
        return 1;
    };
    std::string passwordFile;
    int identities = 0;
    for (const auto& [option, value] : identity.given) {
        if (option == "--require-user") {
            if (!ReadWhole(value, line.acceptedUsers) || line.acceptedUsers.empty())
                return unreadable("cannot read the users from " + value +
                                  ": give a file of lines NAME:PASSWORD");
            std::size_t lineNumber = 0;
            for (std::size_t at = 0; at < line.acceptedUsers.size();) {
                std::size_t end = line.acceptedUsers.find('\n', at);
                if (end == std::string::npos) end = line.acceptedUsers.size();
                std::string text = line.acceptedUsers.substr(at, end - at);
                TrimLineEnd(text);
                ++lineNumber;
                if (!text.empty() && (text.find(':') == std::string::npos || text[0] == ':'))
                    return unreadable(value + " line " + std::to_string(lineNumber) +
                                      " is not NAME:PASSWORD");
                at = end + 1;
            }
            continue;
        }
        if (option == "--password-file") {
            passwordFile = value;
            continue;
        }
        ++identities;
        if (option == "--user") {
            line.userKind = USER_IDENTITY_USERNAME;
            line.userPrimary = value;
            continue;
        }
        line.userKind = option == "--user-jwt"    ? USER_IDENTITY_JWT
                        : option == "--user-saml" ? USER_IDENTITY_SAML
                                                  : USER_IDENTITY_KERBEROS;
        if (!ReadWhole(value, line.userPrimary) || line.userPrimary.empty())
            return unreadable("cannot read the " +
                              std::string(line.userKind == USER_IDENTITY_JWT ? "JSON Web Token"
                                          : line.userKind == USER_IDENTITY_SAML
                                              ? "SAML assertion"
                                              : "Kerberos ticket") +
                              " from " + value);
        if (line.userKind != USER_IDENTITY_KERBEROS) TrimLineEnd(line.userPrimary);
    }
    if (identities > 1)
        return refuse(
            "give one identity: --user (with --password-file), --user-jwt, --user-saml or "
            "--user-kerberos");
    if (!passwordFile.empty() && line.userKind != USER_IDENTITY_USERNAME)
        return refuse("--password-file goes with --user");
    if (identity.response && line.userKind == 0)
        return refuse("--user-response goes with an identity (--user, --user-jwt, ...)");
    line.userResponse = identity.response;
    if (line.userPrimary.size() > 65535) return refuse("a user identity holds at most 65535 bytes");
    if (!passwordFile.empty()) {
        std::ifstream in(passwordFile);
        if (!in || !std::getline(in, line.userSecondary) ||
            (TrimLineEnd(line.userSecondary), line.userSecondary.empty()))
            return unreadable("cannot read a password from " + passwordFile +
                              ": its first line is the password");
        line.userKind = USER_IDENTITY_USERNAME_PASSCODE;
    }
    return 0;
}

// The TLS part of a parsed line: 0 when sound or not asked for, else the exit code, told.
int FinishTls(const Command& self, NetLine& line, bool requestor, const std::string& firstGiven) {
    const auto refuse = [&](const std::string& why) {
        std::fprintf(stderr, "tessaly-cli: %s: %s\n", self.name, why.c_str());
        return 2;
    };
    if (!line.tls) return firstGiven.empty() ? 0 : refuse(firstGiven + " goes with --tls");
    if (line.tlsCert.empty() != line.tlsKey.empty())
        return refuse("--tls-cert and --tls-key go together");
    if (!line.tlsKeyPasswordFile.empty() && line.tlsKey.empty())
        return refuse("--tls-key-password-file goes with --tls-key");
    if (!requestor && line.tlsCert.empty())
        return refuse("--tls needs our certificate and key: give --tls-cert and --tls-key");
    const ConnectionOptions connection = line.Options();
    char why[512] = "";
    if (CheckTlsOptions(connection.tls, why, sizeof why) != 1) {
        std::fprintf(stderr, "tessaly-cli: %s: the TLS settings cannot be used\n%s\n", self.name,
                     why);
        return 1;
    }
    if (line.tlsNoVerify)
        std::fprintf(stderr,
                     "tessaly-cli: %s: warning: --tls-no-verify: the peer's certificate is not "
                     "checked, so anyone on the way can pose as the peer and read what is sent\n",
                     self.name);
    return 0;
}

}  // namespace

int ParseNetLine(const Command& self, const Args& args, const std::set<std::string>& valueOptions,
                 NetRole role, NetLine& line, Args& rest) {
    // A requestor connects and awaits responses; a listener awaits requests.
    struct WaitOptionRow {
        const char* name;
        uint32_t NetLine::*target;
        bool requestor, listener;
    };
    static constexpr WaitOptionRow WAITS[] = {
        {"--connect-timeout", &NetLine::connectMs, true, false},
        {"--acse-timeout", &NetLine::acseMs, true, true},
        {"--dimse-timeout", &NetLine::dimseMs, true, false},
        {"--idle-timeout", &NetLine::idleMs, false, true}};
    const bool requestor = role == NetRole::Requestor;
    int positional = 0;
    std::string firstTlsOption;
    IdentityLine identity;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (const int taken = TakeIdentityOption(args, i, requestor, identity); taken != 0) {
            if (taken < 0) return UsageError(self);
            continue;
        }
        std::string tlsOption, tlsValue;
        if (const int taken = TakeTlsOption(args, i, requestor, line, tlsOption, tlsValue);
            taken != 0) {
            if (taken < 0) return UsageError(self);
            if (firstTlsOption.empty()) firstTlsOption = tlsOption;
            if (tlsOption == "--tls-profile") {
                if (tlsValue == "bcp195-nd") {
                    line.tlsProfile = TLS_PROFILE_BCP195_ND;
                } else if (tlsValue == "bcp195") {
                    line.tlsProfile = TLS_PROFILE_BCP195;
                } else if (tlsValue == "bcp195-ex") {
                    line.tlsProfile = TLS_PROFILE_BCP195_EX;
                } else {
                    std::fprintf(stderr,
                                 "tessaly-cli: %s: --tls-profile takes bcp195-nd, bcp195 or "
                                 "bcp195-ex, not '%s'\n",
                                 self.name, tlsValue.c_str());
                    return 2;
                }
            } else if (tlsOption == "--tls-peer-cert") {
                if (tlsValue == "required") {
                    line.tlsPeerCert = TLS_PEER_CERT_REQUIRED;
                } else if (tlsValue == "optional") {
                    line.tlsPeerCert = TLS_PEER_CERT_OPTIONAL;
                } else if (tlsValue == "ignore") {
                    line.tlsPeerCert = TLS_PEER_CERT_IGNORE;
                } else {
                    std::fprintf(stderr,
                                 "tessaly-cli: %s: --tls-peer-cert takes required, optional or "
                                 "ignore, not '%s'\n",
                                 self.name, tlsValue.c_str());
                    return 2;
                }
            }
            continue;
        }
        const WaitOptionRow* wait = nullptr;
        for (const WaitOptionRow& row : WAITS)
            if (a == row.name && (requestor ? row.requestor : row.listener)) wait = &row;
        const bool title = requestor && (a == "--aet" || a == "--aec");
        if (wait != nullptr || title || a == "--max-pdu") {
            if (i + 1 == args.size()) return UsageError(self);
            const std::string& value = args[++i];
            if (title) {
                (a == "--aet" ? line.calling : line.called) = value;
            } else if (wait != nullptr) {
                line.*(wait->target) = WaitMilliseconds(value);
                if (line.*(wait->target) == 0) {
                    std::fprintf(stderr,
                                 "tessaly-cli: %s: %s takes a number of seconds above 0 and at "
                                 "most 86400, not '%s'\n",
                                 self.name, a.c_str(), value.c_str());
                    return 2;
                }
            } else {
                char* end = nullptr;
                const long n = std::strtol(value.c_str(), &end, 10);
                if (value.empty() || *end != '\0' || n < SMALLEST_MAX_PDU || n > LARGEST_MAX_PDU) {
                    std::fprintf(stderr,
                                 "tessaly-cli: %s: --max-pdu takes a number of bytes from %ld to "
                                 "%ld, not '%s'\n",
                                 self.name, SMALLEST_MAX_PDU, LARGEST_MAX_PDU, value.c_str());
                    return 2;
                }
                line.maxPdu = static_cast<uint32_t>(n);
            }
        } else if (valueOptions.count(a) != 0) {
            rest.push_back(a);
            if (i + 1 == args.size()) return UsageError(self);
            rest.push_back(args[++i]);
        } else if (requestor && positional < 2 && !a.empty() && a[0] != '-') {
            (positional++ == 0 ? line.host : line.port) = a;
        } else {
            rest.push_back(a);
        }
    }
    if (requestor && (positional != 2 || line.host.empty() || line.port.empty()))
        return UsageError(self);
    if (line.calling.size() > AE_TITLE_LIMIT || line.called.size() > AE_TITLE_LIMIT) {
        std::fprintf(stderr, "tessaly-cli: %s: an AE title holds at most 16 characters\n",
                     self.name);
        return 2;
    }
    if (const int bad = FinishIdentity(self, line, identity); bad != 0) return bad;
    return FinishTls(self, line, requestor, firstTlsOption);
}

std::string TimeoutWords() {
    const Timeout t = LastWait();
    if (t.wait == WAIT_NONE || t.wait == WAIT_RELEASE) return {};
    return t.awaited + " within " + Seconds(t.milliseconds) + " (" + WaitOption(t.wait) + ")";
}

std::string NetExplanationLine() {
    std::string line = ExplanationLine();
    const Timeout t = LastWait();
    if (!line.empty() && t.wait != WAIT_NONE && t.wait != WAIT_RELEASE)
        line += std::string(" (") + WaitOption(t.wait) + ")";
    return line;
}

void WarnOfUnansweredRelease(const char* command) {
    const Timeout t = LastWait();
    if (t.wait != WAIT_RELEASE) return;
    std::fprintf(stderr,
                 "tessaly-cli: %s: warning: %s within %s (--acse-timeout): the connection was "
                 "closed\n",
                 command, t.awaited.c_str(), Seconds(t.milliseconds).c_str());
}

}  // namespace cli
