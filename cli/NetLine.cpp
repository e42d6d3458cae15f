#include "NetLine.h"

namespace cli {

std::string NetLine::Peer() const {
    return called + " (" + host + ":" + port + ")";
}

ConnectionOptions NetLine::Options() const {
    ConnectionOptions o{};
    o.structSize = sizeof o;
    o.host = host.c_str();
    o.port = port.c_str();
    o.callingAeTitle = calling.c_str();
    o.calledAeTitle = called.c_str();
    o.connectTimeoutMs = connectMs;
    o.acseTimeoutMs = acseMs;
    o.dimseTimeoutMs = dimseMs;
    o.idleTimeoutMs = idleMs;
    o.maxPduLength = maxPdu;
    if (tls) {
        trusted_.clear();
        for (const std::string& ca : tlsCa)
            trusted_.push_back(ca.c_str());
        tlsOptions_ = TlsOptions{};
        tlsOptions_.structSize = sizeof tlsOptions_;
        tlsOptions_.certificateFile = tlsCert.c_str();
        tlsOptions_.keyFile = tlsKey.c_str();
        tlsOptions_.keyPasswordFile = tlsKeyPasswordFile.c_str();
        tlsOptions_.trusted = trusted_.data();
        tlsOptions_.trustedCount = static_cast<uint32_t>(trusted_.size());
        tlsOptions_.noVerify = tlsNoVerify ? 1 : 0;
        tlsOptions_.peerCertificate = tlsPeerCert;
        tlsOptions_.profile = tlsProfile;
        o.tls = &tlsOptions_;
    }
    if (userKind != 0) {
        identity_ = UserIdentityOptions{};
        identity_.structSize = sizeof identity_;
        identity_.kind = userKind;
        identity_.primary = reinterpret_cast<const uint8_t*>(userPrimary.data());
        identity_.primaryLength = static_cast<uint32_t>(userPrimary.size());
        identity_.secondary = reinterpret_cast<const uint8_t*>(userSecondary.data());
        identity_.secondaryLength = static_cast<uint32_t>(userSecondary.size());
        identity_.positiveResponse = userResponse ? 1 : 0;
        o.userIdentity = &identity_;
    }
    if (!acceptedUsers.empty()) o.acceptedUsers = acceptedUsers.c_str();
    return o;
}

}  // namespace cli
