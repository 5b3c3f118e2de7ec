// etcd_tls.cpp -- the TLS material for etcd, read once, and the clients that
// use it: OpenSSL checks etcd's certificate during the handshake, against the
// CA given (or the system's store) and against the endpoint's host.
#include "etcd/etcd_tls.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "etcd/etcd_http.h"

namespace peerdir {

struct EtcdTls {
    X509_STORE* trusted = nullptr;     // what etcd's certificate must chain to
    X509* cert = nullptr;              // the client certificate, or none
    EVP_PKEY* key = nullptr;           // its key
    STACK_OF(X509) * chain = nullptr;  // the certificates after the first in its file

    EtcdTls() = default;
    EtcdTls(const EtcdTls&) = delete;
    EtcdTls& operator=(const EtcdTls&) = delete;
    ~EtcdTls() {
        X509_STORE_free(trusted);
        X509_free(cert);
        EVP_PKEY_free(key);
        sk_X509_pop_free(chain, X509_free);
    }
};

namespace {

// Far more than any certificate chain; a larger file is not one.
constexpr std::size_t kMostPemBytes = 1u << 20;

// Why the handshake on this thread refused etcd's certificate, if it did:
// the handshake runs on the thread that sends the request, which reads this
// right after.
thread_local std::string verifyProblem;

// A key that wants a passphrase is refused rather than asked for one on the
// terminal.
int noPassphrase(char*, int, int, void*) { return 0; }

std::string openSslReason() {
    unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0) return "";
    const char* reason = ERR_reason_error_string(code);
    if (reason != nullptr) return reason;
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return text;
}

// The first of this thread's OpenSSL errors that is TLS's own, taking it
// and those before it off the queue; "" when there is none. A reset, or a
// close without TLS's goodbye (and the shutdown that follows it mid-
// handshake), is the connection's failure, not TLS's: it is told like any
// other request that got no answer.
std::string tlsReason() {
    for (unsigned long code = ERR_get_error(); code != 0; code = ERR_get_error()) {
        const int reason = ERR_GET_REASON(code);
        if (ERR_GET_LIB(code) != ERR_LIB_SSL || reason == SSL_R_UNEXPECTED_EOF_WHILE_READING ||
            reason == SSL_R_SHUTDOWN_WHILE_IN_INIT) {
            continue;
        }
        const char* text = ERR_reason_error_string(code);
        return text != nullptr ? text : "error " + std::to_string(code);
    }
    return "";
}

bool readFile(const std::string& path, std::string* text, std::string* problem) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        *problem = "cannot read " + path + ": " + std::strerror(errno);
        return false;
    }
    char buffer[4096];
    std::size_t got = 0;
    while (text->size() <= kMostPemBytes &&
           (got = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
        text->append(buffer, got);
    }
    const int code = std::ferror(file) != 0 ? errno : 0;
    std::fclose(file);
    if (code != 0) {
        *problem = "cannot read " + path + ": " + std::strerror(code);
    } else if (text->size() > kMostPemBytes) {
        *problem = path + " is larger than a PEM file of certificates can be (1 MiB)";
    }
    return problem->empty();
}

// Every certificate in path, in order; false when it has none.
bool readCertificates(const std::string& path, STACK_OF(X509) * certs, std::string* problem) {
    std::string text;
    if (!readFile(path, &text, problem)) return false;
    BIO* bio = BIO_new_mem_buf(text.data(), static_cast<int>(text.size()));
    X509* cert = nullptr;
    while (bio != nullptr && (cert = PEM_read_bio_X509(bio, nullptr, noPassphrase, nullptr))) {
        sk_X509_push(certs, cert);
    }
    BIO_free(bio);
    ERR_clear_error();  // the end of the file reads as "no start line"
    if (sk_X509_num(certs) > 0) return true;
    *problem = path + " holds no PEM certificate";
    return false;
}

EVP_PKEY* readKey(const std::string& path, std::string* problem) {
    std::string text;
    if (!readFile(path, &text, problem)) return nullptr;
    BIO* bio = BIO_new_mem_buf(text.data(), static_cast<int>(text.size()));
    EVP_PKEY* key =
        bio != nullptr ? PEM_read_bio_PrivateKey(bio, nullptr, noPassphrase, nullptr) : nullptr;
    BIO_free(bio);
    if (key == nullptr) {
        *problem = path + " holds no unencrypted PEM private key (" + openSslReason() + ")";
    }
    return key;
}

bool loadTrusted(const std::string& caFile, EtcdTls* tls, std::string* problem) {
    tls->trusted = X509_STORE_new();
    if (tls->trusted == nullptr) {
        *problem = "out of memory";
        return false;
    }
    if (caFile.empty()) {
        // A system without a store trusts nothing: every handshake then
        // fails, saying so.
        X509_STORE_set_default_paths(tls->trusted);
        ERR_clear_error();
        return true;
    }
    STACK_OF(X509)* certs = sk_X509_new_null();
    bool loaded = certs != nullptr && readCertificates(caFile, certs, problem);
    for (int i = 0; loaded && i < sk_X509_num(certs); ++i) {
        loaded = X509_STORE_add_cert(tls->trusted, sk_X509_value(certs, i)) == 1;
        if (!loaded) *problem = caFile + ": " + openSslReason();
    }
    sk_X509_pop_free(certs, X509_free);
    return loaded;
}

bool loadClientCertificate(const EtcdTlsFiles& files, EtcdTls* tls, std::string* problem) {
    if (files.certFile.empty()) return true;
    tls->chain = sk_X509_new_null();
    if (tls->chain == nullptr || !readCertificates(files.certFile, tls->chain, problem))
        return false;
    tls->cert = sk_X509_shift(tls->chain);
    tls->key = readKey(files.keyFile, problem);
    if (tls->key == nullptr) return false;
    if (X509_check_private_key(tls->cert, tls->key) == 1) return true;
    ERR_clear_error();
    *problem =
        "the key in " + files.keyFile + " does not belong to the certificate in " + files.certFile;
    return false;
}

int noteVerifyResult(int preverified, X509_STORE_CTX* store) {
    if (preverified == 0 && verifyProblem.empty()) {
        verifyProblem = X509_verify_cert_error_string(X509_STORE_CTX_get_error(store));
    }
    return preverified;
}

// A context that could not be set up whole must not connect at all.
int refuseEveryCertificate(int, X509_STORE_CTX*) {
    verifyProblem = "the TLS context for etcd could not be set up";
    return 0;
}

// The checks OpenSSL makes in the handshake: etcd's certificate must chain to
// what is trusted and name the endpoint's host (its IP address, for a
// dotted address).
bool setUpContext(SSL_CTX* ctx, const EtcdTls& tls, const std::string& host) {
    X509_VERIFY_PARAM* param = SSL_CTX_get0_param(ctx);
    X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    bool ready = X509_VERIFY_PARAM_set1_ip_asc(param, host.c_str()) == 1 ||
                 X509_VERIFY_PARAM_set1_host(param, host.c_str(), host.size()) == 1;
    ready = ready && SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION) == 1 &&
            SSL_CTX_set1_verify_cert_store(ctx, tls.trusted) == 1;
    for (int i = 0; ready && tls.chain != nullptr && i < sk_X509_num(tls.chain); ++i) {
        ready = SSL_CTX_add1_chain_cert(ctx, sk_X509_value(tls.chain, i)) == 1;
    }
    ERR_clear_error();
    return ready;
}

const EtcdTls& systemTrustOnly() {
    static const std::shared_ptr<const EtcdTls> tls = [] {
        std::string ignored;
        return loadEtcdTls(EtcdTlsFiles{}, &ignored);
    }();
    return *tls;
}

}  // namespace

std::shared_ptr<const EtcdTls> loadEtcdTls(const EtcdTlsFiles& files, std::string* problem) {
    auto tls = std::make_shared<EtcdTls>();
    if (!loadTrusted(files.caFile, tls.get(), problem) ||
        !loadClientCertificate(files, tls.get(), problem)) {
        return nullptr;
    }
    return tls;
}

namespace etcd_detail {

std::unique_ptr<httplib::ClientImpl> makeTlsClient(const EtcdEndpoint& endpoint,
                                                   const EtcdTls* tls) {
    const EtcdTls& use = tls != nullptr ? *tls : systemTrustOnly();
    auto http =
        std::make_unique<httplib::SSLClient>(endpoint.host, endpoint.port, use.cert, use.key);
    // httplib's own check of the certificate would trust the system's store
    // beside the CA given; OpenSSL checks it in the handshake instead.
    http->enable_server_certificate_verification(false);
    SSL_CTX* ctx = http->ssl_context();
    if (ctx != nullptr) {
        SSL_CTX_set_verify(
            ctx, SSL_VERIFY_PEER,
            setUpContext(ctx, use, endpoint.host) ? noteVerifyResult : refuseEveryCertificate);
    }
    return http;
}

void clearTlsFailure() {
    ERR_clear_error();
    verifyProblem.clear();
}

std::string takeTlsFailure() {
    std::string reason = tlsReason();
    if (!verifyProblem.empty()) reason += (reason.empty() ? "" : ": ") + verifyProblem;
    verifyProblem.clear();
    ERR_clear_error();
    return reason;
}

}  // namespace etcd_detail
}  // namespace peerdir
