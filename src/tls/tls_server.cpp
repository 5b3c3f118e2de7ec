// tls_server.cpp -- the server's side of TLS with OpenSSL 3.
#include "tls/tls_server.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace peerdir {

struct TlsServer {
    TlsServerFiles files;
    std::mutex mutex;  // guards current
    SSL_CTX* current = nullptr;
    std::atomic<unsigned> generation{0};
};

struct TlsSession {
    SSL* ssl = nullptr;
};

namespace {

// One record's worth: a send never offers OpenSSL more, so a send that
// would block has committed at most the bytes it was offered, which the
// caller keeps and offers again.
constexpr std::size_t kMostPerSend = 16384;

// What OpenSSL last said went wrong, in its own words; what to say when
// it said nothing.
std::string openSslReason(const char* otherwise) {
    unsigned long error = ERR_get_error();
    unsigned long last = error;
    while (last != 0) {
        error = last;
        last = ERR_get_error();
    }
    if (error == 0) return otherwise;
    const char* reason = ERR_reason_error_string(error);
    return reason != nullptr ? reason : otherwise;
}

// A file that cannot be opened is named with the system's reason, before
// OpenSSL's less telling one.
bool readable(const std::string& file, std::string* problem) {
    std::FILE* f = std::fopen(file.c_str(), "rb");
    if (f != nullptr) {
        std::fclose(f);
        return true;
    }
    *problem = file + ": " + std::strerror(errno);
    return false;
}

bool fail(const std::string& file, const char* what, std::string* problem) {
    *problem = file + ": " + what + " (" + openSslReason("no reason given") + ")";
    return false;
}

bool loadCertificateAndKey(SSL_CTX* ctx, const TlsServerFiles& files, std::string* problem) {
    if (!readable(files.certFile, problem) || !readable(files.keyFile, problem)) return false;
    if (SSL_CTX_use_certificate_chain_file(ctx, files.certFile.c_str()) != 1)
        return fail(files.certFile, "not a PEM certificate", problem);
    if (SSL_CTX_use_PrivateKey_file(ctx, files.keyFile.c_str(), SSL_FILETYPE_PEM) != 1)
        return fail(files.keyFile, "not a PEM private key, or not the certificate's", problem);
    if (SSL_CTX_check_private_key(ctx) != 1)
        return fail(files.keyFile, "the key does not match the certificate", problem);
    return true;
}

bool loadClientCa(SSL_CTX* ctx, const std::string& caFile, std::string* problem) {
    if (caFile.empty()) return true;
    if (!readable(caFile, problem)) return false;
    if (SSL_CTX_load_verify_locations(ctx, caFile.c_str(), nullptr) != 1)
        return fail(caFile, "not a PEM CA certificate", problem);
    STACK_OF(X509_NAME)* names = SSL_load_client_CA_file(caFile.c_str());
    if (names == nullptr) return fail(caFile, "no CA certificate in it", problem);
    SSL_CTX_set_client_CA_list(ctx, names);
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
    return true;
}

bool loadCrl(SSL_CTX* ctx, const std::string& crlFile, std::string* problem) {
    if (crlFile.empty()) return true;
    if (!readable(crlFile, problem)) return false;
    BIO* bio = BIO_new_file(crlFile.c_str(), "r");
    if (bio == nullptr) return fail(crlFile, "cannot be read", problem);
    X509_STORE* store = SSL_CTX_get_cert_store(ctx);
    int found = 0;
    while (X509_CRL* crl = PEM_read_bio_X509_CRL(bio, nullptr, nullptr, nullptr)) {
        X509_STORE_add_crl(store, crl);
        X509_CRL_free(crl);
        ++found;
    }
    BIO_free(bio);
    ERR_clear_error();  // the end of the file reads as an error
    if (found == 0) {
        *problem = crlFile + ": no PEM CRL in it";
        return false;
    }
    X509_STORE_set_flags(store, X509_V_FLAG_CRL_CHECK);
    return true;
}

SSL_CTX* makeContext(const TlsServerFiles& files, std::string* problem) {
    ERR_clear_error();
    SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
    if (ctx == nullptr) {
        *problem = "TLS: " + openSslReason("cannot make a context");
        return nullptr;
    }
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    // Partial writes keep each send to what the socket took; a rest is
    // offered again from wherever the outbox has moved it; idle sessions
    // give their buffers back.
    SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER |
                              SSL_MODE_RELEASE_BUFFERS);
    // A client that drops the connection without the close alert leaves as
    // a plain client does; renegotiation would let a read need a write.
    SSL_CTX_set_options(ctx, SSL_OP_IGNORE_UNEXPECTED_EOF | SSL_OP_NO_RENEGOTIATION);
    // Sessions are not resumed: every client's certificate is checked anew.
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
    SSL_CTX_set_num_tickets(ctx, 0);
    if (loadCertificateAndKey(ctx, files, problem) &&
        loadClientCa(ctx, files.clientCaFile, problem) && loadCrl(ctx, files.crlFile, problem)) {
        return ctx;
    }
    SSL_CTX_free(ctx);
    return nullptr;
}

SSL_CTX* currentContext(TlsServer* server) {
    std::lock_guard<std::mutex> hold(server->mutex);
    SSL_CTX_up_ref(server->current);
    return server->current;
}

void addName(std::vector<std::string>& names, const unsigned char* data, int length) {
    if (data != nullptr && length >= 0)
        names.emplace_back(reinterpret_cast<const char*>(data), length);
}

}  // namespace

bool tlsBuilt() { return true; }

TlsServer* tlsServerCreate(const TlsServerFiles& files, std::string* problem) {
    SSL_CTX* ctx = makeContext(files, problem);
    if (ctx == nullptr) return nullptr;
    auto* server = new TlsServer;
    server->files = files;
    server->current = ctx;
    return server;
}

bool tlsServerReload(TlsServer* server, std::string* problem) {
    SSL_CTX* ctx = makeContext(server->files, problem);
    if (ctx == nullptr) return false;
    SSL_CTX* old = nullptr;
    {
        std::lock_guard<std::mutex> hold(server->mutex);
        old = server->current;
        server->current = ctx;
    }
    // Sessions made with the old context hold references of their own.
    SSL_CTX_free(old);
    server->generation.fetch_add(1, std::memory_order_release);
    return true;
}

unsigned tlsServerGeneration(const TlsServer* server) {
    return server->generation.load(std::memory_order_acquire);
}

void tlsServerDestroy(TlsServer* server) {
    if (server == nullptr) return;
    SSL_CTX_free(server->current);
    delete server;
}

TlsSession* tlsSessionStart(TlsServer* server, Socket s, std::string* problem) {
    ERR_clear_error();
    SSL_CTX* ctx = currentContext(server);
    SSL* ssl = SSL_new(ctx);
    SSL_CTX_free(ctx);
    if (ssl == nullptr || SSL_set_fd(ssl, static_cast<int>(s)) != 1) {
        *problem = openSslReason("cannot make a session");
        SSL_free(ssl);
        return nullptr;
    }
    SSL_set_accept_state(ssl);
    return new TlsSession{ssl};
}

TlsStep tlsHandshake(TlsSession* session, std::string* problem) {
    ERR_clear_error();
    int result = SSL_do_handshake(session->ssl);
    if (result == 1) return TlsStep::Done;
    int error = SSL_get_error(session->ssl, result);
    if (error == SSL_ERROR_WANT_READ) return TlsStep::WantRead;
    if (error == SSL_ERROR_WANT_WRITE) return TlsStep::WantWrite;
    const char* otherwise = error == SSL_ERROR_SYSCALL || error == SSL_ERROR_ZERO_RETURN
                                ? "the connection ended during the handshake"
                                : "handshake failed";
    *problem = openSslReason(otherwise);
    return TlsStep::Failed;
}

namespace {

// -1 with *code for a call that did not go through; 0 for the client's end.
int sortFailure(TlsSession* session, int result, int* code) {
    int error = SSL_get_error(session->ssl, result);
    ERR_clear_error();
    if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
        *code = wouldBlockErrorCode();
        return -1;
    }
    if (error == SSL_ERROR_ZERO_RETURN) return 0;
    if (error == SSL_ERROR_SYSCALL) {
        *code = lastSocketError();
        if (*code == 0) return 0;
        return -1;
    }
    *code = kTlsProtocolErrorCode;
    return -1;
}

}  // namespace

int tlsRecv(TlsSession* session, void* buffer, std::size_t length, int* code) {
    ERR_clear_error();
    int result =
        SSL_read(session->ssl, buffer, static_cast<int>(std::min<std::size_t>(length, INT_MAX)));
    if (result > 0) return result;
    result = sortFailure(session, result, code);
    // An idle client is always in the middle of a read that would block,
    // and OpenSSL keeps its 17 KiB read buffer through that wait unless it
    // is let go here; it refuses while part of a record is still in it.
    if (result < 0 && isWouldBlock(*code)) SSL_free_buffers(session->ssl);
    return result;
}

int tlsSend(TlsSession* session, const void* buffer, std::size_t length, int* code) {
    ERR_clear_error();
    int result = SSL_write(session->ssl, buffer, static_cast<int>(std::min(length, kMostPerSend)));
    if (result > 0) return result;
    return sortFailure(session, result, code);
}

std::size_t tlsMostPerSend() { return kMostPerSend; }

// Decrypted bytes only. Without read-ahead OpenSSL takes a record off the
// socket no sooner than it decrypts it, so what else it may hold is part of
// a record whose rest the socket will signal; counting that too would keep
// a client that stalls mid-record turning every millisecond.
bool tlsHasPending(TlsSession* session) { return SSL_pending(session->ssl) > 0; }

void tlsReleaseThreadState() { OPENSSL_thread_stop(); }

std::vector<std::string> tlsPeerNames(TlsSession* session) {
    std::vector<std::string> names;
    X509* peer = SSL_get0_peer_certificate(session->ssl);
    if (peer == nullptr) return names;
    auto* altNames =
        static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(peer, NID_subject_alt_name, nullptr, nullptr));
    for (int i = 0; altNames != nullptr && i < sk_GENERAL_NAME_num(altNames); ++i) {
        const GENERAL_NAME* name = sk_GENERAL_NAME_value(altNames, i);
        if (name->type != GEN_DNS) continue;
        addName(names, ASN1_STRING_get0_data(name->d.dNSName), ASN1_STRING_length(name->d.dNSName));
    }
    GENERAL_NAMES_free(altNames);
    if (!names.empty()) return names;
    X509_NAME* subject = X509_get_subject_name(peer);
    for (int at = X509_NAME_get_index_by_NID(subject, NID_commonName, -1); at >= 0;
         at = X509_NAME_get_index_by_NID(subject, NID_commonName, at)) {
        const ASN1_STRING* cn = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, at));
        addName(names, ASN1_STRING_get0_data(cn), ASN1_STRING_length(cn));
    }
    return names;
}

bool tlsPeerRevoked(TlsServer* server, TlsSession* session) {
    X509* peer = SSL_get0_peer_certificate(session->ssl);
    if (peer == nullptr) return false;
    SSL_CTX* ctx = currentContext(server);
    X509_STORE_CTX* check = X509_STORE_CTX_new();
    bool revoked = false;
    if (check != nullptr && X509_STORE_CTX_init(check, SSL_CTX_get_cert_store(ctx), peer,
                                                SSL_get_peer_cert_chain(session->ssl)) == 1) {
        X509_STORE_CTX_set_purpose(check, X509_PURPOSE_SSL_CLIENT);
        revoked = X509_verify_cert(check) != 1 &&
                  X509_STORE_CTX_get_error(check) == X509_V_ERR_CERT_REVOKED;
    }
    X509_STORE_CTX_free(check);
    SSL_CTX_free(ctx);
    ERR_clear_error();
    return revoked;
}

void tlsSessionEnd(TlsSession* session) {
    if (session == nullptr) return;
    // One try at the close alert: the socket is non-blocking and about to
    // close, so a peer that does not take it is not waited for.
    if (SSL_is_init_finished(session->ssl) == 1) SSL_shutdown(session->ssl);
    ERR_clear_error();
    SSL_free(session->ssl);
    delete session;
}

}  // namespace peerdir
