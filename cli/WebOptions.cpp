#include "WebOptions.h"

#include <cstdio>
#include <fstream>

namespace cli {
namespace {

// The first line of a file holding a secret; false when it cannot be read or is empty.
bool ReadSecret(const std::string& path, std::string& secret) {
    std::ifstream in(path);
    if (!in || !std::getline(in, secret)) return false;
    while (!secret.empty() && (secret.back() == '\r' || secret.back() == '\n'))
        secret.pop_back();
    return !secret.empty();
}

}  // namespace

WebSettings WebOptions::Settings() const {
    return {
        tlsCa.c_str(), tlsCert.c_str(),  tlsKey.c_str(), static_cast<uint8_t>(tlsNoVerify ? 1 : 0),
        user.c_str(),  password.c_str(), token.c_str()};
}

int TakeWebOption(const Args& args, std::size_t& i, WebOptions& options) {
    const std::string& a = args[i];
    if (a == "--tls-no-verify") {
        options.tlsNoVerify = true;
        return 1;
    }
    std::string* target = a == "--tls-ca"          ? &options.tlsCa
                          : a == "--tls-cert"      ? &options.tlsCert
                          : a == "--tls-key"       ? &options.tlsKey
                          : a == "--user"          ? &options.user
                          : a == "--password-file" ? &options.passwordFile
                          : a == "--token-file"    ? &options.tokenFile
                                                   : nullptr;
    if (target == nullptr) return 0;
    if (i + 1 == args.size()) return -1;
    *target = args[++i];
    return 1;
}

int FinishWebOptions(const Command& self, WebOptions& options) {
    const auto refuse = [&](const std::string& why) {
        std::fprintf(stderr, "tessaly-cli: %s: %s\n", self.name, why.c_str());
        return 2;
    };
    if (!options.tokenFile.empty() && !options.user.empty())
        return refuse("give either --user with --password-file, or --token-file");
    if (options.user.empty() != options.passwordFile.empty())
        return refuse("--user and --password-file go together");
    if (!options.tlsKey.empty() && options.tlsCert.empty())
        return refuse("--tls-key goes with --tls-cert");
    if (!options.passwordFile.empty() && !ReadSecret(options.passwordFile, options.password))
        return refuse("cannot read a password from " + options.passwordFile);
    if (!options.tokenFile.empty() && !ReadSecret(options.tokenFile, options.token))
        return refuse("cannot read a token from " + options.tokenFile);
    if (options.tlsNoVerify) {
        std::fprintf(stderr,
                     "tessaly-cli: warning: --tls-no-verify: the server's certificate and name "
                     "are not checked, so anyone on the way can read and change what is sent\n");
    }
    return 0;
}

}  // namespace cli
