// The options of every DICOMweb request on the command line: --tls-ca, --tls-cert, --tls-key,
// --tls-no-verify, --user with --password-file, or --token-file. Secrets are read from files,
// never taken from the command line.
#pragma once

#include <cstddef>
#include <string>

#include "Commands.h"
#include "zedavura.h"

namespace cli {

struct WebOptions {
    std::string tlsCa, tlsCert, tlsKey, user, passwordFile, tokenFile;
    bool tlsNoVerify = false;
    std::string password, token;  // read from their files

    // Valid while these options live.
    WebSettings Settings() const;
};

// Takes the web option at args[i] and its value: 1 taken (i moved past it), 0 not one of them,
// -1 a value is missing.
int TakeWebOption(const Args& args, std::size_t& i, WebOptions& options);

// Checks the options that go together, reads the secrets and warns of an unchecked server.
// 0, or the exit code of a wrong command line.
int FinishWebOptions(const Command& self, WebOptions& options);

}  // namespace cli
