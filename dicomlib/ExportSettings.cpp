#include "ExportSettings.h"

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <mutex>
#include <string_view>

#include "net/Association.h"

namespace dicomlib {
namespace {

using std::chrono::milliseconds;

constexpr std::size_t FIRST_VERSION_SIZE =
    offsetof(ConnectionOptions, maxPduLength) + sizeof(uint32_t);

std::string TextOr(const char* text) {
    return text != nullptr ? std::string(text) : std::string();
}

constexpr std::size_t TLS_FIRST_VERSION_SIZE = offsetof(TlsOptions, profile) + sizeof(int32_t);

std::optional<net::TlsProfile> ProfileOf(int32_t profile) {
    switch (profile) {
        case TLS_PROFILE_BCP195_ND:
            return net::TlsProfile::Bcp195NonDowngrading;
        case TLS_PROFILE_BCP195:
            return net::TlsProfile::Bcp195;
        case TLS_PROFILE_BCP195_EX:
            return net::TlsProfile::Bcp195Extended;
        default:
            return std::nullopt;
    }
}

// Every field of the options, each ended by a 0 byte, as the key of the kept context.
std::string KeyOf(const TlsOptions& options) {
    std::string key;
    const auto add = [&](std::string_view text) {
        key += text;
        key += '\0';
    };
    add(TextOr(options.certificateFile));
    add(TextOr(options.keyFile));
    add(TextOr(options.keyPasswordFile));
    for (uint32_t i = 0; i < options.trustedCount; ++i)
        add(TextOr(options.trusted[i]));
    add(std::to_string(options.noVerify) + "," + std::to_string(options.peerCertificate) + "," +
        std::to_string(options.profile));
    return key;
}

net::Result<net::TlsSettings> TlsSettingsOf(const TlsOptions& options) {
    const auto failure = [](std::string words) {
        return net::Error{net::ErrorCode::Malformed, std::move(words)};
    };
    if (options.structSize < TLS_FIRST_VERSION_SIZE)
        return failure("the TLS options are shorter than any version of them");
    net::TlsSettings settings;
    settings.certificateFile = TextOr(options.certificateFile);
    settings.keyFile = TextOr(options.keyFile);
    settings.keyPasswordFile = TextOr(options.keyPasswordFile);
    if (options.trustedCount != 0 && options.trusted == nullptr)
        return failure("the TLS options count trusted certificates but give none");
    for (uint32_t i = 0; i < options.trustedCount; ++i)
        if (options.trusted[i] != nullptr && options.trusted[i][0] != '\0')
            settings.trusted.emplace_back(options.trusted[i]);
    settings.noVerify = options.noVerify != 0;
    switch (options.peerCertificate) {
        case TLS_PEER_CERT_DEFAULT:
            break;
        case TLS_PEER_CERT_REQUIRED:
            settings.peerCertificate = net::PeerCertificatePolicy::Required;
            break;
        case TLS_PEER_CERT_OPTIONAL:
            settings.peerCertificate = net::PeerCertificatePolicy::Optional;
            break;
        case TLS_PEER_CERT_IGNORE:
            settings.peerCertificate = net::PeerCertificatePolicy::Ignore;
            break;
        default:
            return failure("unknown peer certificate policy " +
                           std::to_string(options.peerCertificate));
    }
    const auto profile = ProfileOf(options.profile);
    if (!profile) return failure("unknown TLS profile " + std::to_string(options.profile));
    settings.profile = *profile;
    return settings;
}

constexpr uint32_t LONGEST_IDENTITY_FIELD = 65535;

net::Result<net::UserIdentityRQ> IdentityOf(const UserIdentityOptions& options) {
    const auto failure = [](std::string words) {
        return net::Error{net::ErrorCode::Malformed, std::move(words)};
    };
    if (options.structSize < offsetof(UserIdentityOptions, positiveResponse) + 1)
        return failure("the user identity options are shorter than any version of them");
    if (options.kind < USER_IDENTITY_USERNAME || options.kind > USER_IDENTITY_JWT)
        return failure("unknown kind of user identity " + std::to_string(options.kind));
    if (options.primary == nullptr || options.primaryLength == 0)
        return failure("the user identity is empty");
    if (options.primaryLength > LONGEST_IDENTITY_FIELD ||
        options.secondaryLength > LONGEST_IDENTITY_FIELD)
        return failure("a user identity field holds at most 65535 bytes");
    net::UserIdentityRQ identity;
    identity.type = static_cast<net::UserIdentityType>(options.kind);
    identity.positiveResponseRequested = options.positiveResponse != 0;
    identity.primaryField.assign(options.primary, options.primary + options.primaryLength);
    if (options.kind == USER_IDENTITY_USERNAME_PASSCODE && options.secondary != nullptr)
        identity.secondaryField.assign(options.secondary,
                                       options.secondary + options.secondaryLength);
    return identity;
}

// Lines NAME:PASSWORD; a line without a colon names no user.
net::AcceptedUsers AcceptedUsersOf(std::string_view text) {
    net::AcceptedUsers users;
    while (!text.empty()) {
        const std::size_t end = std::min(text.find('\n'), text.size());
        std::string_view line = text.substr(0, end);
        text.remove_prefix(std::min(end + 1, text.size()));
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        const std::size_t colon = line.find(':');
        if (colon != std::string_view::npos && colon > 0)
            users.emplace(std::string(line.substr(0, colon)), std::string(line.substr(colon + 1)));
    }
    return users;
}

}  // namespace

net::Result<std::shared_ptr<const net::TlsContext>> TlsContextOf(const TlsOptions& options) {
    static std::mutex mutex;
    static std::string keptKey;
    static std::shared_ptr<const net::TlsContext> kept;
    const auto settings = TlsSettingsOf(options);
    if (!settings) return settings.GetError();
    std::string key = KeyOf(options);
    {
        const std::lock_guard lock(mutex);
        if (kept && keptKey == key) return kept;
    }
    auto made = net::TlsContext::Create(*settings);
    if (!made) return made.GetError();
    const std::lock_guard lock(mutex);
    keptKey = std::move(key);
    kept = *made;
    return kept;
}

std::optional<net::ConnectionSettings> SettingsOf(const ConnectionOptions* options) {
    if (options == nullptr || options->structSize < FIRST_VERSION_SIZE) return std::nullopt;
    net::ConnectionSettings settings =
        net::SettingsFor(TextOr(options->host), TextOr(options->port),
                         TextOr(options->callingAeTitle), TextOr(options->calledAeTitle));
    if (options->connectTimeoutMs != 0)
        settings.connectTimeout = milliseconds(options->connectTimeoutMs);
    if (options->acseTimeoutMs != 0) {
        settings.acseTimeout = milliseconds(options->acseTimeoutMs);
        settings.releaseTimeout = milliseconds(options->acseTimeoutMs);
    }
    if (options->dimseTimeoutMs != 0) settings.dimseTimeout = milliseconds(options->dimseTimeoutMs);
    if (options->idleTimeoutMs != 0) settings.idleTimeout = milliseconds(options->idleTimeoutMs);
    if (options->maxPduLength != 0)
        settings.maxPduLength = std::clamp(options->maxPduLength, net::SMALLEST_MAX_PDU_LENGTH,
                                           net::LARGEST_MAX_PDU_LENGTH);
    if (options->structSize >= offsetof(ConnectionOptions, tls) + sizeof options->tls &&
        options->tls != nullptr) {
        auto context = TlsContextOf(*options->tls);
        if (!context) {
            net::NoteFailure("the TLS settings cannot be used: " + context.GetError().detail);
            return std::nullopt;
        }
        settings.transport.tls = *context;
    }
    if (options->structSize >= offsetof(ConnectionOptions, userIdentity) + sizeof(void*) &&
        options->userIdentity != nullptr) {
        auto identity = IdentityOf(*options->userIdentity);
        if (!identity) {
            net::NoteFailure("the user identity cannot be sent: " + identity.GetError().detail);
            return std::nullopt;
        }
        settings.userIdentity = std::move(*identity);
    }
    if (options->structSize >= offsetof(ConnectionOptions, acceptedUsers) + sizeof(void*) &&
        options->acceptedUsers != nullptr)
        settings.acceptedUsers =
            std::make_shared<const net::AcceptedUsers>(AcceptedUsersOf(options->acceptedUsers));
    return settings;
}

}  // namespace dicomlib
