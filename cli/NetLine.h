// The settings of one network job as the front ends gather them (the command line from its
// options, the window from tessaly.ini), and their form for the library.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "zedavura.h"

namespace cli {

struct NetLine {
    std::string host, port, calling, called = "ANY-SCP";
    uint32_t connectMs = 0, acseMs = 0, dimseMs = 0, idleMs = 0;  // 0: the library's default
    uint32_t maxPdu = 0;                                          // 0: 16384

    bool tls = false;
    std::string tlsCert, tlsKey, tlsKeyPasswordFile;
    std::vector<std::string> tlsCa;
    bool tlsNoVerify = false;
    int32_t tlsProfile = TLS_PROFILE_BCP195_ND;
    int32_t tlsPeerCert = TLS_PEER_CERT_DEFAULT;

    // Requestor: the identity offered (a UserIdentityKind, 0: none) and its fields, read from
    // the files given; listener: the text of the --require-user file.
    int32_t userKind = 0;
    std::string userPrimary, userSecondary;
    bool userResponse = false;
    std::string acceptedUsers;

    // "ANY-SCP (host:port)".
    std::string Peer() const;
    // The line as the library takes it; its texts point into this line.
    ConnectionOptions Options() const;

  private:
    mutable TlsOptions tlsOptions_{};
    mutable std::vector<const char*> trusted_;
    mutable UserIdentityOptions identity_{};
};

}  // namespace cli
