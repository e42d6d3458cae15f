// OpenSSL behind TlsTransport. The SSL object reads and writes two memory BIOs; this file moves
// their ciphertext over the TcpSocket, so no socket is ever given to OpenSSL. What the handshake
// saw (the first bytes from the peer, the handshake messages and alerts either way, why a
// certificate did not verify) is kept in the session, and a failure is put into words from it.
#include "net/TlsTransport.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <algorithm>
#include <climits>
#include <ctime>
#include <fstream>
#include <system_error>
#include <utility>

#include "net/Association.h"
#include "net/TraceLog.h"

namespace dicomlib::net {

namespace fs = std::filesystem;

struct TlsTransport::Session {
    SSL* ssl = nullptr;
    BIO* in = nullptr;   // ciphertext from the peer, owned by ssl
    BIO* out = nullptr;  // ciphertext for the peer, owned by ssl
    TransportRole role = TransportRole::Requestor;
    bool acceptAnyCertificate = false;
    bool handshakeDone = false;
    // The first bytes the peer sent, to tell TLS from something else.
    uint8_t firstBytes[3] = {};
    std::size_t firstCount = 0;
    bool connectionEnded = false;
    bool helloReceived = false;
    bool certificateRequested = false;
    bool certificateSent = false;
    int alertReceived = -1;
    int verifyError = X509_V_OK;
    std::optional<CertificateFacts> unverified;  // the certificate that did not verify

    ~Session() {
        if (ssl != nullptr) SSL_free(ssl);
    }
};

namespace {

constexpr std::size_t CHUNK = 64 * 1024;

// TLS 1.2 suites in OpenSSL's names, TLS 1.3 suites in the standard ones.
struct ProfileSuites {
    const char* tls12;
    const char* tls13;
};

ProfileSuites SuitesOf(TlsProfile profile) {
    switch (profile) {
        case TlsProfile::Bcp195:
            return {
                "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:"
                "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:"
                "DHE-RSA-AES128-GCM-SHA256:DHE-RSA-AES256-GCM-SHA384",
                "TLS_AES_128_GCM_SHA256:TLS_AES_256_GCM_SHA384:TLS_CHACHA20_POLY1305_SHA256"};
        case TlsProfile::Bcp195Extended:
            return {
                "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:"
                "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305",
                "TLS_AES_256_GCM_SHA384:TLS_CHACHA20_POLY1305_SHA256"};
        case TlsProfile::Bcp195NonDowngrading:
            break;
    }
    return {
        "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:"
        "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384",
        "TLS_AES_128_GCM_SHA256:TLS_AES_256_GCM_SHA384:TLS_CHACHA20_POLY1305_SHA256"};
}

// OpenSSL's reason for the oldest error of this thread, and the queue emptied.
std::string OpenSslReason() {
    const unsigned long code = ERR_peek_error();
    ERR_clear_error();
    if (code == 0) return "no reason given";
    const char* reason = ERR_reason_error_string(code);
    return reason != nullptr ? reason : "error " + std::to_string(code);
}

std::string NameText(const X509_NAME* name) {
    BIO* bio = BIO_new(BIO_s_mem());
    if (bio == nullptr) return {};
    X509_NAME_print_ex(bio, name, 0, XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB);
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio, &data);
    std::string text(data, static_cast<std::size_t>(length > 0 ? length : 0));
    BIO_free(bio);
    return text;
}

std::chrono::system_clock::time_point TimeOf(const ASN1_TIME* time) {
    std::tm parts{};
    if (time == nullptr || ASN1_TIME_to_tm(time, &parts) != 1) return {};
    return std::chrono::system_clock::from_time_t(timegm(&parts));
}

CertificateFacts FactsOf(X509* certificate) {
    CertificateFacts facts;
    facts.subject = NameText(X509_get_subject_name(certificate));
    facts.issuer = NameText(X509_get_issuer_name(certificate));
    facts.notBefore = TimeOf(X509_get0_notBefore(certificate));
    facts.notAfter = TimeOf(X509_get0_notAfter(certificate));
    if (EVP_PKEY* key = X509_get0_pubkey(certificate)) {
        switch (EVP_PKEY_get_base_id(key)) {
            case EVP_PKEY_RSA:
                facts.keyType = "RSA";
                break;
            case EVP_PKEY_EC:
                facts.keyType = "EC";
                break;
            case EVP_PKEY_ED25519:
                facts.keyType = "Ed25519";
                break;
            case EVP_PKEY_ED448:
                facts.keyType = "Ed448";
                break;
            case EVP_PKEY_DSA:
                facts.keyType = "DSA";
                break;
            default:
                facts.keyType = "other";
                break;
        }
        facts.keyBits = EVP_PKEY_get_bits(key);
    }
    return facts;
}

int SessionIndex() {
    static const int index = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    return index;
}

// Keeps the first reason a certificate of the chain did not verify; with acceptAnyCertificate
// the handshake goes on regardless.
int VerifyCallback(int preverifyOk, X509_STORE_CTX* store) {
    auto* ssl =
        static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
    auto* session = static_cast<TlsTransport::Session*>(SSL_get_ex_data(ssl, SessionIndex()));
    if (session == nullptr) return preverifyOk;
    if (preverifyOk == 0 && session->verifyError == X509_V_OK) {
        session->verifyError = X509_STORE_CTX_get_error(store);
        if (X509* certificate = X509_STORE_CTX_get_current_cert(store))
            session->unverified = FactsOf(certificate);
    }
    return session->acceptAnyCertificate ? 1 : preverifyOk;
}

void MessageCallback(int writing, int, int contentType, const void* message, std::size_t length,
                     SSL*, void* arg) {
    auto* session = static_cast<TlsTransport::Session*>(arg);
    if (length < 1) return;
    const uint8_t first = static_cast<const uint8_t*>(message)[0];
    if (contentType == SSL3_RT_ALERT && length >= 2 && writing == 0) {
        session->alertReceived = static_cast<const uint8_t*>(message)[1];
    } else if (contentType == SSL3_RT_HANDSHAKE) {
        if (writing == 0 && (first == SSL3_MT_SERVER_HELLO || first == SSL3_MT_CLIENT_HELLO))
            session->helloReceived = true;
        if (first == SSL3_MT_CERTIFICATE_REQUEST) session->certificateRequested = true;
        if (writing != 0 && first == SSL3_MT_CERTIFICATE) session->certificateSent = true;
    }
}

// The pass phrase, handed to OpenSSL while the key is read; with none, an encrypted key fails
// instead of OpenSSL asking on the terminal.
int PassPhraseCallback(char* buffer, int size, int, void* userData) {
    const auto* phrase = static_cast<const std::string*>(userData);
    if (phrase == nullptr || phrase->empty() || size <= 0) return 0;
    const int n = static_cast<int>(std::min<std::size_t>(phrase->size(), INT_MAX));
    if (n > size) return 0;
    std::copy_n(phrase->data(), n, buffer);
    return n;
}

std::string VersionName(int version) {
    switch (version) {
        case 0x0300:
            return "SSL 3.0";
        case 0x0301:
            return "TLS 1.0";
        case 0x0302:
            return "TLS 1.1";
        case 0x0303:
            return "TLS 1.2";
        case 0x0304:
            return "TLS 1.3";
        default:
            return "version " + std::to_string(version);
    }
}

// The suites we offer under the profile, in the standard names.
std::string OfferedSuites(const SSL* ssl) {
    std::string names;
    if (STACK_OF(SSL_CIPHER)* list = SSL_get1_supported_ciphers(const_cast<SSL*>(ssl))) {
        for (int i = 0; i < sk_SSL_CIPHER_num(list); ++i) {
            if (!names.empty()) names += ", ";
            names += SSL_CIPHER_standard_name(sk_SSL_CIPHER_value(list, i));
        }
        sk_SSL_CIPHER_free(list);
    }
    return names;
}

Error ContextFailure(std::string words) {
    return Error{ErrorCode::Malformed, std::move(words)};
}

bool IsDicomPduStart(const uint8_t* bytes, std::size_t count) {
    return count >= 2 && bytes[0] >= 1 && bytes[0] <= 7 && bytes[1] == 0;
}

std::string_view PduName(uint8_t type) {
    switch (type) {
        case 1:
            return "an A-ASSOCIATE-RQ";
        case 2:
            return "an A-ASSOCIATE-AC";
        case 3:
            return "an A-ASSOCIATE-RJ";
        case 7:
            return "an A-ABORT";
        default:
            return "a PDU";
    }
}

}  // namespace

std::optional<TlsProfile> ParseTlsProfile(std::string_view text) {
    if (text == "bcp195-nd") return TlsProfile::Bcp195NonDowngrading;
    if (text == "bcp195") return TlsProfile::Bcp195;
    if (text == "bcp195-ex") return TlsProfile::Bcp195Extended;
    return std::nullopt;
}

std::string_view TlsProfileName(TlsProfile profile) {
    switch (profile) {
        case TlsProfile::Bcp195:
            return "bcp195";
        case TlsProfile::Bcp195Extended:
            return "bcp195-ex";
        case TlsProfile::Bcp195NonDowngrading:
            break;
    }
    return "bcp195-nd";
}

std::string_view TlsVersionName(TlsVersion version) {
    return version == TlsVersion::Tls12 ? "TLS 1.2" : "TLS 1.3";
}

PeerCertificatePolicy EffectivePeerPolicy(const TlsSettings& settings) {
    if (settings.peerCertificate) return *settings.peerCertificate;
    return settings.trusted.empty() ? PeerCertificatePolicy::Ignore
                                    : PeerCertificatePolicy::Required;
}

std::string UtcText(std::chrono::system_clock::time_point when) {
    const std::time_t t = std::chrono::system_clock::to_time_t(when);
    std::tm parts{};
    gmtime_r(&t, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &parts);
    return text;
}

Result<std::shared_ptr<const TlsContext>> TlsContext::Create(const TlsSettings& settings) {
    std::shared_ptr<TlsContext> context(new TlsContext());
    context->settings_ = settings;
    ERR_clear_error();
    SSL_CTX* ctx = SSL_CTX_new(TLS_method());
    if (ctx == nullptr)
        return ContextFailure("OpenSSL could not make a TLS context: " + OpenSslReason());
    context->native_ = ctx;
    const int lowest = settings.onlyVersion == TlsVersion::Tls13 ? TLS1_3_VERSION : TLS1_2_VERSION;
    const int highest = settings.onlyVersion == TlsVersion::Tls12 ? TLS1_2_VERSION : TLS1_3_VERSION;
    SSL_CTX_set_min_proto_version(ctx, lowest);
    SSL_CTX_set_max_proto_version(ctx, highest);
    SSL_CTX_set_options(
        ctx, SSL_OP_NO_RENEGOTIATION | SSL_OP_NO_COMPRESSION | SSL_OP_CIPHER_SERVER_PREFERENCE);
    SSL_CTX_set_num_tickets(ctx, 0);
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
    SSL_CTX_set_dh_auto(ctx, 1);
    const ProfileSuites suites = SuitesOf(settings.profile);
    if (SSL_CTX_set_cipher_list(ctx, suites.tls12) != 1 ||
        SSL_CTX_set_ciphersuites(ctx, suites.tls13) != 1)
        return ContextFailure("OpenSSL does not know the cipher suites of the TLS profile " +
                              std::string(TlsProfileName(settings.profile)));

    const bool hasCertificate = !settings.certificateFile.empty();
    if (hasCertificate != !settings.keyFile.empty())
        return ContextFailure(
            "a certificate needs its private key and a key its certificate: give both "
            "--tls-cert and --tls-key");
    if (hasCertificate) {
        const std::string certificate = settings.certificateFile.string();
        const std::string key = settings.keyFile.string();
        if (SSL_CTX_use_certificate_chain_file(ctx, certificate.c_str()) != 1)
            return ContextFailure("our certificate " + certificate + " cannot be read (" +
                                  OpenSslReason() + "): give a PEM certificate with --tls-cert");
        std::string phrase;
        if (!settings.keyPasswordFile.empty()) {
            std::ifstream file(settings.keyPasswordFile);
            if (!file)
                return ContextFailure("the pass phrase file " + settings.keyPasswordFile.string() +
                                      " cannot be read: give a readable file");
            std::getline(file, phrase);
            if (!phrase.empty() && phrase.back() == '\r') phrase.pop_back();
        }
        SSL_CTX_set_default_passwd_cb(ctx, PassPhraseCallback);
        SSL_CTX_set_default_passwd_cb_userdata(ctx, &phrase);
        const bool keyRead = SSL_CTX_use_PrivateKey_file(ctx, key.c_str(), SSL_FILETYPE_PEM) == 1;
        SSL_CTX_set_default_passwd_cb_userdata(ctx, nullptr);
        OPENSSL_cleanse(phrase.data(), phrase.size());
        if (!keyRead) {
            const unsigned long code = ERR_peek_error();
            const std::string reason = OpenSslReason();
            const bool pass = ERR_GET_LIB(code) == ERR_LIB_PEM ||
                              ERR_GET_LIB(code) == ERR_LIB_EVP || ERR_GET_LIB(code) == ERR_LIB_PROV;
            if (reason.find("mismatch") != std::string::npos)
                return ContextFailure("the private key " + key +
                                      " does not belong to the certificate " + certificate +
                                      ": give the key made with that certificate");
            if (pass && reason.find("decrypt") != std::string::npos)
                return ContextFailure("the private key " + key +
                                      " cannot be decrypted: its pass phrase is wrong or missing: "
                                      "give it in a file with --tls-key-password-file");
            return ContextFailure("the private key " + key + " cannot be read (" + reason +
                                  "): give a PEM key with --tls-key");
        }
        if (SSL_CTX_check_private_key(ctx) != 1) {
            ERR_clear_error();
            return ContextFailure("the private key " + key +
                                  " does not belong to the certificate " + certificate +
                                  ": give the key made with that certificate");
        }
        if (X509* ours = SSL_CTX_get0_certificate(ctx)) context->ours_ = FactsOf(ours);
    }

    for (const fs::path& path : settings.trusted) {
        std::error_code error;
        const bool folder = fs::is_directory(path, error);
        if (!folder && !fs::exists(path, error))
            return ContextFailure("the trusted certificates " + path.string() +
                                  " do not exist: give a PEM file or a folder with --tls-ca");
        const std::string name = path.string();
        int loaded = folder ? SSL_CTX_load_verify_dir(ctx, name.c_str())
                            : SSL_CTX_load_verify_file(ctx, name.c_str());
        // A folder's certificates count whether or not they were hashed (c_rehash).
        for (const auto& entry : fs::directory_iterator(folder ? path : fs::path(), error)) {
            const auto extension = entry.path().extension();
            if (loaded == 1 && (extension == ".pem" || extension == ".crt" || extension == ".cer"))
                loaded = SSL_CTX_load_verify_file(ctx, entry.path().string().c_str());
        }
        if (loaded != 1)
            return ContextFailure("the trusted certificates " + name + " cannot be read (" +
                                  OpenSslReason() + "): give PEM certificates with --tls-ca");
    }
    if (settings.trusted.empty()) SSL_CTX_set_default_verify_paths(ctx);
    ERR_clear_error();
    return std::shared_ptr<const TlsContext>(std::move(context));
}

TlsContext::~TlsContext() {
    if (native_ != nullptr) SSL_CTX_free(static_cast<SSL_CTX*>(native_));
}

TlsTransport::TlsTransport(std::shared_ptr<const TlsContext> context)
    : context_(std::move(context)) {
    socket_.SetTrafficDump(false);
}

TlsTransport::~TlsTransport() = default;

bool TlsTransport::FlushOutput() {
    uint8_t chunk[CHUNK];
    while (BIO_ctrl_pending(session_->out) > 0) {
        const int n = BIO_read(session_->out, chunk, sizeof chunk);
        if (n <= 0) break;
        if (!socket_.Send(chunk, static_cast<std::size_t>(n))) return false;
    }
    return true;
}

bool TlsTransport::ReceiveInput() {
    uint8_t chunk[CHUNK];
    const std::ptrdiff_t n = socket_.Receive(chunk, sizeof chunk);
    if (n <= 0) {
        session_->connectionEnded = true;
        return false;
    }
    const auto count = static_cast<std::size_t>(n);
    for (std::size_t i = 0; i < count && session_->firstCount < sizeof session_->firstBytes; ++i)
        session_->firstBytes[session_->firstCount++] = chunk[i];
    return BIO_write(session_->in, chunk, static_cast<int>(count)) == static_cast<int>(count);
}

void TlsTransport::NoteTlsFailure(std::string words) {
    failure_ = std::move(words);
    if (LogLevel() >= LOG_ASSOCIATION) AppendLogLine(LogFileName(), "TLS failed: " + failure_);
    NoteFailure(failure_);
}

namespace {

// Why the session failed, from what it saw; reason is OpenSSL's first error code.
std::string Explain(const TlsTransport::Session& s, unsigned long reason, const TlsContext& context,
                    const TcpSocket& socket) {
    const bool requestor = s.role == TransportRole::Requestor;
    const std::string peer = requestor ? "the peer" : "the requestor";
    const std::string peers = requestor ? "the peer's" : "the requestor's";
    const int why = ERR_GET_LIB(reason) == ERR_LIB_SSL ? ERR_GET_REASON(reason) : 0;

    if (socket.TimedOut()) {
        const auto ms = socket.ReceiveTimeout().count();
        const std::string limit =
            ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms";
        return "the TLS handshake timed out: " + peer + " did not finish it within " + limit +
               ": it may not speak TLS on this port, or be overloaded";
    }
    if (s.firstCount == 0 && s.connectionEnded && !s.handshakeDone) {
        return requestor ? "the peer closed the connection when the TLS handshake began: it does "
                           "not speak TLS on this port: leave out --tls, or give its TLS port"
                         : "the requestor closed the connection without a TLS handshake";
    }
    const bool tlsRecord = s.firstCount < 2 || (s.firstBytes[0] >= 20 && s.firstBytes[0] <= 23 &&
                                                s.firstBytes[1] == 0x03);
    if (!tlsRecord) {
        const std::string what = IsDicomPduStart(s.firstBytes, s.firstCount)
                                     ? "plain DICOM (" + std::string(PduName(s.firstBytes[0])) + ")"
                                     : std::string("bytes that are not TLS");
        return requestor ? "the peer answered in " + what +
                               ": it does not speak TLS on this port: leave out --tls, or give "
                               "its TLS port"
                         : "the requestor sent " + what +
                               " to this TLS port: it must connect with TLS, or to a plain port";
    }
    if (s.verifyError != X509_V_OK && !s.acceptAnyCertificate && s.unverified) {
        const CertificateFacts& c = *s.unverified;
        if (s.verifyError == X509_V_ERR_CERT_HAS_EXPIRED)
            return peers + " certificate " + c.subject + " expired on " + UtcText(c.notAfter) +
                   ": its owner must renew it";
        if (s.verifyError == X509_V_ERR_CERT_NOT_YET_VALID)
            return peers + " certificate " + c.subject + " is not valid before " +
                   UtcText(c.notBefore) + ": check the clocks of both machines";
        return peers + " certificate is not trusted (subject " + c.subject + ", issued by " +
               c.issuer + ": " + X509_verify_cert_error_string(s.verifyError) + "): give its CA " +
               (requestor ? "with --tls-ca" : "to the provider with --tls-ca");
    }
    const int alert = s.alertReceived;
    const bool haveCertificate = context.HasCertificate();
    if (alert == 116 || why == SSL_R_TLSV13_ALERT_CERTIFICATE_REQUIRED ||
        (alert == SSL3_AD_HANDSHAKE_FAILURE && s.certificateRequested && !haveCertificate)) {
        return requestor ? "the peer requires our certificate, and we gave none: give --tls-cert "
                           "and --tls-key (a certificate the peer trusts)"
                         : "the requestor requires our certificate: start the provider with "
                           "--tls-cert and --tls-key";
    }
    const bool certificateAlert =
        alert == SSL3_AD_BAD_CERTIFICATE || alert == SSL3_AD_UNSUPPORTED_CERTIFICATE ||
        alert == SSL3_AD_CERTIFICATE_REVOKED || alert == SSL3_AD_CERTIFICATE_EXPIRED ||
        alert == SSL3_AD_CERTIFICATE_UNKNOWN || alert == TLS1_AD_UNKNOWN_CA ||
        alert == TLS1_AD_ACCESS_DENIED || alert == TLS1_AD_DECRYPT_ERROR;
    if (certificateAlert && haveCertificate && (!requestor || s.certificateSent)) {
        const std::string ours =
            context.OurCertificate() ? context.OurCertificate()->subject : std::string("ours");
        return peer + " refused our certificate " + ours + " (" +
               SSL_alert_desc_string_long(alert) + "): " + peer +
               " must trust our CA, or give a certificate it trusts";
    }
    if (!requestor && why == SSL_R_PEER_DID_NOT_RETURN_A_CERTIFICATE) {
        return "the requestor gave no certificate, which this provider requires: give it one "
               "our CA signed, or start the provider with --tls-peer-cert optional";
    }
    const auto only = context.Settings().onlyVersion;
    if (alert == TLS1_AD_PROTOCOL_VERSION || why == SSL_R_UNSUPPORTED_PROTOCOL ||
        why == SSL_R_NO_PROTOCOLS_AVAILABLE || why == SSL_R_WRONG_SSL_VERSION ||
        why == SSL_R_VERSION_TOO_LOW || why == SSL_R_TLSV1_ALERT_PROTOCOL_VERSION ||
        why == SSL_R_UNSUPPORTED_SSL_VERSION) {
        // The version of a hello record is the peer's choice; that of an alert says nothing.
        const int version = s.firstCount >= 3 && s.firstBytes[0] == SSL3_RT_HANDSHAKE
                                ? (s.firstBytes[1] << 8) | s.firstBytes[2]
                                : 0;
        const std::string offers = version >= 0x0300 && version < 0x0303
                                       ? " speaks " + VersionName(version) + " at most"
                                       : " takes neither";
        if (only)
            return "no TLS protocol version in common: we offered " +
                   std::string(TlsVersionName(*only)) + " alone, and " + peer + " does not take it";
        return "no TLS protocol version in common: we take TLS 1.2 and TLS 1.3, " + peer + offers +
               ": it must be updated to TLS 1.2 or later";
    }
    if (why == SSL_R_NO_SHARED_CIPHER || why == SSL_R_NO_CIPHERS_AVAILABLE ||
        alert == TLS1_AD_INSUFFICIENT_SECURITY ||
        (alert == SSL3_AD_HANDSHAKE_FAILURE && !s.helloReceived) ||
        why == SSL_R_SSLV3_ALERT_HANDSHAKE_FAILURE) {
        return "no cipher suite in common: we offer " + OfferedSuites(s.ssl) + " (profile " +
               std::string(TlsProfileName(context.Settings().profile)) + "), " + peer +
               " takes none of them: try --tls-profile bcp195, or update " + peer;
    }
    if (alert >= 0)
        return peer + " ended the TLS session with the alert \"" +
               SSL_alert_desc_string_long(alert) + "\"";
    if (s.connectionEnded)
        return peer +
               " closed the connection during the TLS handshake: it may refuse this "
               "machine, our certificate or our protocol versions (its log tells which)";
    const char* text = ERR_reason_error_string(reason);
    return std::string("the TLS handshake failed: ") + (text != nullptr ? text : "no reason given");
}

}  // namespace

bool TlsTransport::Handshake(TransportRole role) {
    failure_.clear();
    facts_ = TlsFacts();
    session_ = std::make_unique<Session>();
    Session& s = *session_;
    s.role = role;
    ERR_clear_error();
    s.ssl = SSL_new(static_cast<SSL_CTX*>(context_->Native()));
    s.in = BIO_new(BIO_s_mem());
    s.out = BIO_new(BIO_s_mem());
    if (s.ssl == nullptr || s.in == nullptr || s.out == nullptr) {
        if (s.in != nullptr) BIO_free(s.in);
        if (s.out != nullptr) BIO_free(s.out);
        NoteTlsFailure("OpenSSL could not start a TLS session: " + OpenSslReason());
        return false;
    }
    BIO_set_mem_eof_return(s.in, -1);
    SSL_set_bio(s.ssl, s.in, s.out);
    SSL_set_ex_data(s.ssl, SessionIndex(), &s);
    SSL_set_msg_callback(s.ssl, MessageCallback);
    SSL_set_msg_callback_arg(s.ssl, &s);

    const TlsSettings& settings = context_->Settings();
    if (role == TransportRole::Requestor) {
        s.acceptAnyCertificate = settings.noVerify;
        SSL_set_verify(s.ssl, SSL_VERIFY_PEER, VerifyCallback);
        SSL_set_connect_state(s.ssl);
    } else {
        switch (EffectivePeerPolicy(settings)) {
            case PeerCertificatePolicy::Required:
                SSL_set_verify(s.ssl, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT,
                               VerifyCallback);
                break;
            case PeerCertificatePolicy::Optional:
                SSL_set_verify(s.ssl, SSL_VERIFY_PEER, VerifyCallback);
                break;
            case PeerCertificatePolicy::Ignore:
                SSL_set_verify(s.ssl, SSL_VERIFY_NONE, nullptr);
                break;
        }
        SSL_set_accept_state(s.ssl);
    }

    // The whole handshake within one receive time-out, unless a deadline comes sooner.
    const auto start = std::chrono::steady_clock::now();
    const auto outer = socket_.ReceiveDeadline();
    auto deadline = start + socket_.ReceiveTimeout();
    if (outer && *outer < deadline) deadline = *outer;
    socket_.SetReceiveDeadline(deadline);
    bool done = false;
    unsigned long reason = 0;
    for (;;) {
        ERR_clear_error();
        const int rc = SSL_do_handshake(s.ssl);
        const int error = rc == 1 ? SSL_ERROR_NONE : SSL_get_error(s.ssl, rc);
        if (error != SSL_ERROR_NONE && error != SSL_ERROR_WANT_READ) reason = ERR_peek_error();
        // Our alert, when the handshake failed here, goes out before the connection closes.
        const bool sent = FlushOutput();
        if (rc == 1 && sent) {
            done = true;
            break;
        }
        if (!sent || error != SSL_ERROR_WANT_READ || !ReceiveInput()) break;
    }
    socket_.SetReceiveDeadline(outer);
    if (!done) {
        NoteTlsFailure(Explain(s, reason, *context_, socket_));
        ERR_clear_error();
        return false;
    }
    s.handshakeDone = true;
    facts_.handshakeTime = std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::steady_clock::now() - start);
    facts_.protocol = SSL_get_version(s.ssl);
    if (const SSL_CIPHER* cipher = SSL_get_current_cipher(s.ssl))
        facts_.cipherSuite = SSL_CIPHER_standard_name(cipher);
    if (X509* peer = SSL_get0_peer_certificate(s.ssl)) facts_.peerCertificate = FactsOf(peer);
    if (s.verifyError != X509_V_OK)
        facts_.verifyProblem = X509_verify_cert_error_string(s.verifyError);
    facts_.certificateRequested = s.certificateRequested;
    if (LogLevel() >= LOG_ASSOCIATION) {
        AppendLogLine(LogFileName(),
                      "TLS: " + facts_.protocol + ", " + facts_.cipherSuite +
                          (facts_.peerCertificate ? ", peer " + facts_.peerCertificate->subject
                                                  : std::string()));
    }
    return true;
}

bool TlsTransport::Send(std::span<const uint8_t> bytes) {
    if (!session_ || !session_->handshakeDone || !socket_.Connected()) return false;
    std::size_t at = 0;
    while (at < bytes.size()) {
        const std::size_t chunk = std::min(bytes.size() - at, CHUNK);
        std::size_t written = 0;
        ERR_clear_error();
        if (SSL_write_ex(session_->ssl, bytes.data() + at, chunk, &written) != 1 ||
            !FlushOutput()) {
            LearnWhyItEnded();
            Close();
            return false;
        }
        at += written;
    }
    if (!bytes.empty() && LogLevel() >= LOG_SOCKET)
        DumpSocketTraffic(bytes.data(), bytes.size(), true);
    return true;
}

std::ptrdiff_t TlsTransport::Receive(uint8_t* buffer, std::size_t capacity) {
    if (!session_ || !session_->handshakeDone) return -1;
    const int most = static_cast<int>(std::min<std::size_t>(capacity, INT_MAX));
    for (;;) {
        ERR_clear_error();
        const int n = SSL_read(session_->ssl, buffer, most);
        if (n > 0) {
            if (dumpReceived_ && LogLevel() >= LOG_SOCKET)
                DumpSocketTraffic(buffer, static_cast<std::size_t>(n), false);
            return n;
        }
        const int error = SSL_get_error(session_->ssl, n);
        const unsigned long reason = ERR_peek_error();
        if (error == SSL_ERROR_WANT_READ && FlushOutput() && ReceiveInput()) continue;
        // An alert from the peer after the handshake is its refusal (TLS 1.3 checks our
        // certificate only then); a plain close or close_notify ends the session quietly.
        if (error == SSL_ERROR_SSL && session_->alertReceived >= 0)
            NoteTlsFailure(Explain(*session_, reason, *context_, socket_));
        ERR_clear_error();
        Close();
        return -1;
    }
}

void TlsTransport::LearnWhyItEnded() {
    // The peer's alert (TLS 1.3 refuses our certificate only after the handshake) may still be
    // waiting on the socket when our send found the connection gone.
    const auto outer = socket_.ReceiveDeadline();
    socket_.SetReceiveDeadline(std::chrono::steady_clock::now() + std::chrono::seconds(1));
    uint8_t scratch[CHUNK];
    for (int round = 0; round < 4 && session_->alertReceived < 0; ++round) {
        ERR_clear_error();
        const int n = SSL_read(session_->ssl, scratch, sizeof scratch);
        const unsigned long reason = ERR_peek_error();
        if (n <= 0 && SSL_get_error(session_->ssl, n) == SSL_ERROR_SSL &&
            session_->alertReceived >= 0) {
            NoteTlsFailure(Explain(*session_, reason, *context_, socket_));
            break;
        }
        if (n <= 0 && (SSL_get_error(session_->ssl, n) != SSL_ERROR_WANT_READ || !ReceiveInput()))
            break;
    }
    ERR_clear_error();
    socket_.SetReceiveDeadline(outer);
}

void TlsTransport::Shutdown() {
    if (!session_ || !session_->handshakeDone || !socket_.Connected()) return;
    ERR_clear_error();
    SSL_shutdown(session_->ssl);
    ERR_clear_error();
    FlushOutput();
}

void TlsTransport::Close() {
    socket_.Close();
    session_.reset();
}

std::unique_ptr<Transport> MakeTransport(const std::shared_ptr<const TlsContext>& context) {
    if (!context) return std::make_unique<PlainTransport>();
    return std::make_unique<TlsTransport>(context);
}

}  // namespace dicomlib::net
