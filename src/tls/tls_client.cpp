// tls_client.cpp -- the client's side of TLS on OpenSSL 3.
#include "tls/tls_client.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <climits>
#include <cstdint>
#include <cstring>

namespace peerdir {

struct TlsClientTrust {
    SSL_CTX* context = nullptr;
};

struct TlsClient {
    SSL* session = nullptr;  // holds its own reference to the context
    Socket socket = kNoSocket;
    // The platform's code of the last failed send or receive, taken at once:
    // OpenSSL's own calls in between may change the last error.
    int socketCode = 0;
};

namespace {

TlsClient* owner(BIO* bio) { return static_cast<TlsClient*>(BIO_get_data(bio)); }

int clampedSize(std::size_t size) { return size > INT_MAX ? INT_MAX : static_cast<int>(size); }

// OpenSSL's socket BIO writes with write(), which raises SIGPIPE when the
// peer has gone; this one sends through the platform layer, which never
// does, and tells would-block the platform's way.
int bioWrite(BIO* bio, const char* data, int size) {
    BIO_clear_retry_flags(bio);
    TlsClient* tls = owner(bio);
    int n = socketSend(tls->socket, data, static_cast<std::size_t>(size));
    if (n < 0) {
        tls->socketCode = lastSocketError();
        if (isWouldBlock(tls->socketCode)) BIO_set_retry_write(bio);
    }
    return n;
}

int bioRead(BIO* bio, char* buffer, int size) {
    BIO_clear_retry_flags(bio);
    TlsClient* tls = owner(bio);
    int n = socketRecv(tls->socket, buffer, static_cast<std::size_t>(size));
    if (n < 0) {
        tls->socketCode = lastSocketError();
        if (isWouldBlock(tls->socketCode)) BIO_set_retry_read(bio);
    }
    return n;
}

long bioControl(BIO*, int command, long, void*) { return command == BIO_CTRL_FLUSH ? 1 : 0; }

BIO_METHOD* makeSocketMethod() {
    BIO_METHOD* method = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "peerdir socket");
    if (method == nullptr) return nullptr;
    BIO_meth_set_write(method, bioWrite);
    BIO_meth_set_read(method, bioRead);
    BIO_meth_set_ctrl(method, bioControl);
    return method;
}

BIO_METHOD* socketMethod() {
    static BIO_METHOD* const method = makeSocketMethod();
    return method;
}

// OpenSSL's reason for the last failure, in one line, with the certificate
// check's own reason when that is what failed; empties the error queue.
std::string lastReason(SSL* session) {
    std::string reason;
    std::string system;
    // A file that cannot be opened leaves the system's own error deeper in
    // the queue, under OpenSSL's "system lib"; that one says more.
    for (unsigned long error = ERR_get_error(); error != 0; error = ERR_get_error()) {
        const char* text = ERR_reason_error_string(error);
        if (text != nullptr) reason = text;
        if (ERR_GET_LIB(error) == ERR_LIB_SYS) system = std::strerror(ERR_GET_REASON(error));
    }
    if (!system.empty()) reason = system;
    long verified = session != nullptr ? SSL_get_verify_result(session) : X509_V_OK;
    if (verified != X509_V_OK) {
        std::string check = X509_verify_cert_error_string(verified);
        reason = reason.empty() ? check : reason + " (" + check + ")";
    }
    return reason.empty() ? "no reason given" : reason;
}

bool refuse(std::string* why, const std::string& what) {
    *why = what + ": " + lastReason(nullptr);
    return false;
}

bool loadTrust(SSL_CTX* context, const TlsClientSettings& settings, std::string* why) {
    if (settings.caFile.empty()) {
        return SSL_CTX_set_default_verify_paths(context) == 1 ||
               refuse(why, "cannot load the system's trusted CAs");
    }
    return SSL_CTX_load_verify_locations(context, settings.caFile.c_str(), nullptr) == 1 ||
           refuse(why, "cannot load the CA file \"" + settings.caFile + "\"");
}

bool loadCertificate(SSL_CTX* context, const TlsClientSettings& settings, std::string* why) {
    if (settings.certFile.empty() && settings.keyFile.empty()) return true;
    if (settings.certFile.empty() || settings.keyFile.empty()) {
        *why = "a client certificate needs both its certificate and its key file";
        return false;
    }
    if (SSL_CTX_use_certificate_chain_file(context, settings.certFile.c_str()) != 1) {
        return refuse(why, "cannot load the certificate file \"" + settings.certFile + "\"");
    }
    if (SSL_CTX_use_PrivateKey_file(context, settings.keyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
        return refuse(why, "cannot load the key file \"" + settings.keyFile + "\"");
    }
    if (SSL_CTX_check_private_key(context) != 1) {
        return refuse(why, "the key file \"" + settings.keyFile +
                               "\" does not match the certificate file \"" + settings.certFile +
                               "\"");
    }
    return true;
}

SSL_CTX* makeContext(const TlsClientSettings& settings, std::string* why) {
    SSL_CTX* context = SSL_CTX_new(TLS_client_method());
    if (context == nullptr) {
        refuse(why, "cannot set up TLS");
        return nullptr;
    }
    SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
    // A server that closes without the close alert has still closed: every
    // message has a fixed size, so a cut one shows as cut anyway.
    SSL_CTX_set_options(context, SSL_OP_IGNORE_UNEXPECTED_EOF);
    SSL_CTX_set_mode(context, SSL_MODE_RELEASE_BUFFERS);
    if (!loadTrust(context, settings, why) || !loadCertificate(context, settings, why)) {
        SSL_CTX_free(context);
        return nullptr;
    }
    return context;
}

// Dotted text is checked against the certificate's IP addresses, anything
// else against its DNS names; a DNS name also goes out as the server name
// (SNI), so a server with several certificates can pick this one.
bool nameTheHost(SSL* session, const std::string& host, bool check) {
    X509_VERIFY_PARAM* param = SSL_get0_param(session);
    ASN1_OCTET_STRING* ip = a2i_IPADDRESS(host.c_str());
    const bool isAddress = ip != nullptr;
    ASN1_OCTET_STRING_free(ip);
    if (isAddress) return !check || X509_VERIFY_PARAM_set1_ip_asc(param, host.c_str()) == 1;
    if (SSL_set_tlsext_host_name(session, host.c_str()) != 1) return false;
    X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    return !check || SSL_set1_host(session, host.c_str()) == 1;
}

bool makeSession(TlsClient* tls, SSL_CTX* context, const std::string& host, bool checkHostName,
                 std::string* why) {
    BIO_METHOD* method = socketMethod();
    tls->session = SSL_new(context);
    BIO* bio = method != nullptr ? BIO_new(method) : nullptr;
    if (tls->session == nullptr || bio == nullptr) {
        BIO_free(bio);
        return refuse(why, "cannot set up TLS");
    }
    BIO_set_data(bio, tls);
    BIO_set_init(bio, 1);
    SSL_set_bio(tls->session, bio, bio);
    SSL_set_connect_state(tls->session);
    if (!nameTheHost(tls->session, host, checkHostName)) {
        return refuse(why, "cannot check the server's certificate for \"" + host + "\"");
    }
    return true;
}

TlsOutcome outcomeOf(TlsClient* tls, int result) {
    TlsOutcome outcome;
    if (result > 0) {
        outcome.bytes = static_cast<std::size_t>(result);
        return outcome;
    }
    switch (SSL_get_error(tls->session, result)) {
        case SSL_ERROR_WANT_READ:
            outcome.step = TlsStep::WantRead;
            break;
        case SSL_ERROR_WANT_WRITE:
            outcome.step = TlsStep::WantWrite;
            break;
        case SSL_ERROR_ZERO_RETURN:
            outcome.step = TlsStep::Closed;
            break;
        case SSL_ERROR_SYSCALL:
            outcome.step = TlsStep::Failed;
            outcome.code = tls->socketCode;
            outcome.reason = "the connection failed (error " + std::to_string(outcome.code) + ")";
            if (outcome.code == 0) outcome.step = TlsStep::Closed;
            break;
        default:
            outcome.step = TlsStep::Failed;
            outcome.reason = lastReason(tls->session);
            break;
    }
    ERR_clear_error();
    tls->socketCode = 0;
    return outcome;
}

}  // namespace

bool tlsClientBuilt() { return true; }

TlsClientTrust* tlsClientTrustLoad(const TlsClientSettings& settings, std::string* why) {
    SSL_CTX* context = makeContext(settings, why);
    return context != nullptr ? new TlsClientTrust{context} : nullptr;
}

void tlsClientTrustRelease(TlsClientTrust* trust) {
    if (trust == nullptr) return;
    SSL_CTX_free(trust->context);
    delete trust;
}

TlsClient* tlsClientCreate(TlsClientTrust* trust, const std::string& host, bool checkHostName,
                           Socket s, std::string* why) {
    auto* tls = new TlsClient;
    tls->socket = s;
    if (!makeSession(tls, trust->context, host, checkHostName, why)) {
        tlsClientFree(tls);
        return nullptr;
    }
    return tls;
}

TlsOutcome tlsClientHandshake(TlsClient* tls) {
    TlsOutcome outcome = outcomeOf(tls, SSL_do_handshake(tls->session));
    if (outcome.step == TlsStep::Done) outcome.bytes = 0;
    return outcome;
}

TlsOutcome tlsClientRead(TlsClient* tls, void* buffer, std::size_t size) {
    return outcomeOf(tls, SSL_read(tls->session, buffer, clampedSize(size)));
}

TlsOutcome tlsClientWrite(TlsClient* tls, const void* data, std::size_t size) {
    return outcomeOf(tls, SSL_write(tls->session, data, clampedSize(size)));
}

std::string tlsClientServerSubject(TlsClient* tls) {
    X509* server = SSL_get0_peer_certificate(tls->session);
    if (server == nullptr) return "";
    char subject[256] = {};
    X509_NAME_oneline(X509_get_subject_name(server), subject, sizeof subject);
    return subject;
}

void tlsClientSayGoodbye(TlsClient* tls) {
    if (tls != nullptr && SSL_is_init_finished(tls->session)) SSL_shutdown(tls->session);
    ERR_clear_error();
}

void tlsClientFree(TlsClient* tls) {
    if (tls == nullptr) return;
    SSL_free(tls->session);  // and its BIO, and its reference to the context
    delete tls;
}

}  // namespace peerdir
