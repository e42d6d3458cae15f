// TLS under a PduStream, through OpenSSL: the settings an operator gives, the context built
// from them once (shared by every connection of a provider), and the transport that runs the
// handshake and the records over the connection's TcpSocket. The ciphertext goes through
// TcpSocket::Send/Receive, so the connection's time-outs, deadline and cancel signal hold for
// the handshake too. The trace log's hex dump shows the bytes before encryption. After the
// handshake the transport tells what was agreed and who the peer
// is; when it fails it says why in words an operator can act on. Keys and pass phrases are read
// here and nowhere else, and never reach a log or a trace.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "net/Result.h"
#include "net/Transport.h"

namespace dicomlib::net {

// The cipher suite and protocol choices of the DICOM TLS profiles. Each takes TLS 1.2 at least
// and TLS 1.3 first, and never falls back below 1.2. bcp195-nd: forward-secret ECDHE with
// AES-GCM only; bcp195: those and the older DHE-RSA AES-GCM suites; bcp195-ex: only the 256-bit
// AES-GCM and ChaCha20-Poly1305 suites with ECDHE.
enum class TlsProfile { Bcp195NonDowngrading, Bcp195, Bcp195Extended };

// "bcp195-nd", "bcp195", "bcp195-ex"; none for any other text.
std::optional<TlsProfile> ParseTlsProfile(std::string_view text);
std::string_view TlsProfileName(TlsProfile profile);

// One protocol version alone, for a handshake that finds out whether the peer takes it.
enum class TlsVersion { Tls12, Tls13 };

// "TLS 1.2", "TLS 1.3".
std::string_view TlsVersionName(TlsVersion version);

// What an acceptor asks of the requestor's certificate.
enum class PeerCertificatePolicy {
    Required,  // asked for, and the handshake fails without a trusted one
    Optional,  // asked for; when one comes it must be trusted
    Ignore,    // not asked for
};

struct TlsSettings {
    // Our certificate (PEM, the chain after it) and its private key (PEM); both or neither.
    std::filesystem::path certificateFile;
    std::filesystem::path keyFile;
    // A file whose first line is the key's pass phrase; empty for a key without one.
    std::filesystem::path keyPasswordFile;
    // The certificates we trust: PEM files, or folders of them (*.pem, *.crt, *.cer, and any
    // names hashed as OpenSSL's c_rehash leaves them). Without any, the system's trusted
    // certificates.
    std::vector<std::filesystem::path> trusted;
    // Requestor: accept any peer certificate (the probe and the cli say so in a warning).
    bool noVerify = false;
    // Acceptor: none means Required when trusted certificates are given, else Ignore.
    std::optional<PeerCertificatePolicy> peerCertificate;
    TlsProfile profile = TlsProfile::Bcp195NonDowngrading;
    // None: TLS 1.2 and 1.3 as the profile takes them; else that version and no other.
    std::optional<TlsVersion> onlyVersion;
};

// The policy an acceptor with these settings applies.
PeerCertificatePolicy EffectivePeerPolicy(const TlsSettings& settings);

// The facts of one certificate.
struct CertificateFacts {
    std::string subject;  // one line, as "CN=server,O=Hospital"
    std::string issuer;
    std::chrono::system_clock::time_point notBefore, notAfter;
    std::string keyType;  // "RSA", "EC", "Ed25519", ...
    int keyBits = 0;
};

// "2026-12-09 14:03:00 UTC".
std::string UtcText(std::chrono::system_clock::time_point when);

// What a finished handshake agreed on.
struct TlsFacts {
    std::string protocol;     // "TLSv1.3"
    std::string cipherSuite;  // its standard name, "TLS_AES_256_GCM_SHA384"
    std::optional<CertificateFacts> peerCertificate;
    // Why the peer's certificate did not verify (with noVerify, or an optional one); empty
    // when it did or when none was checked.
    std::string verifyProblem;
    // Requestor: the peer asked for our certificate. Acceptor: we asked for the peer's.
    bool certificateRequested = false;
    std::chrono::microseconds handshakeTime{0};
};

// The OpenSSL context of one set of settings: certificates, key, trust and profile loaded
// once. Immutable once made; any number of transports on any threads share it.
class TlsContext {
  public:
    // Fails with words when a file cannot be read, the key does not fit the certificate or its
    // pass phrase is wrong (the pass phrase itself is never repeated).
    static Result<std::shared_ptr<const TlsContext>> Create(const TlsSettings& settings);
    ~TlsContext();
    TlsContext(const TlsContext&) = delete;
    TlsContext& operator=(const TlsContext&) = delete;

    const TlsSettings& Settings() const { return settings_; }
    bool HasCertificate() const { return !settings_.certificateFile.empty(); }
    // Our certificate's facts, when we have one.
    const std::optional<CertificateFacts>& OurCertificate() const { return ours_; }
    // The native context (an SSL_CTX), for the transports.
    void* Native() const { return native_; }

  private:
    TlsContext() = default;
    TlsSettings settings_;
    std::optional<CertificateFacts> ours_;
    void* native_ = nullptr;
};

class TlsTransport final : public Transport {
  public:
    explicit TlsTransport(std::shared_ptr<const TlsContext> context);
    ~TlsTransport() override;

    TcpSocket& Socket() override { return socket_; }
    const TcpSocket& Socket() const override { return socket_; }
    // The whole handshake must end within the socket's receive time-out (or its deadline when
    // that comes first): a peer cannot stretch it by sending a byte at a time.
    bool Handshake(TransportRole role) override;
    bool Send(std::span<const uint8_t> bytes) override;
    std::ptrdiff_t Receive(uint8_t* buffer, std::size_t capacity) override;
    // Sends our close_notify; the peer's is not awaited.
    void Shutdown() override;
    void Close() override;
    std::string Failure() const override { return failure_; }
    void SetReceiveDump(bool on) override { dumpReceived_ = on; }

    // Valid once Handshake succeeded.
    const TlsFacts& Facts() const { return facts_; }

    struct Session;

  private:
    bool FlushOutput();
    bool ReceiveInput();
    void NoteTlsFailure(std::string words);
    // After a failed send: reads the peer's last words, when they are still to be had.
    void LearnWhyItEnded();

    std::shared_ptr<const TlsContext> context_;
    TcpSocket socket_;
    std::unique_ptr<Session> session_;
    TlsFacts facts_;
    std::string failure_;
    bool dumpReceived_ = true;
};

// A plain transport without a context, a TLS one over it with one.
std::unique_ptr<Transport> MakeTransport(const std::shared_ptr<const TlsContext>& context);

}  // namespace dicomlib::net
