// tls_peer.cpp -- the tests' TLS client over a non-blocking socket.
#include "kit/tls_peer.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <poll.h>
#include <sys/socket.h>

#include <chrono>

#include "kit/process.h"

namespace peerdir {
namespace kit {

namespace {

using Clock = std::chrono::steady_clock;

std::string reason() {
    unsigned long error = ERR_get_error();
    ERR_clear_error();
    if (error == 0) return "no reason given";
    char text[256];
    ERR_error_string_n(error, text, sizeof text);
    return text;
}

// Waits for what OpenSSL asked for; false once the deadline has passed.
bool awaitWant(TlsPeer& peer, int result, Clock::time_point deadline) {
    int error = SSL_get_error(peer.ssl, result);
    if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) return false;
    auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    pollfd watched{static_cast<int>(peer.socket),
                   static_cast<short>(error == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT), 0};
    poll(&watched, 1, static_cast<int>(left));
    return true;
}

void release(TlsPeer& peer) {
    if (peer.ssl != nullptr) SSL_free(peer.ssl);
    if (peer.context != nullptr) SSL_CTX_free(peer.context);
    if (peer.socket != kNoSocket) socketClose(peer.socket);
    peer = TlsPeer{};
}

bool fail(TlsPeer& peer, const std::string& why, std::string* problem) {
    *problem = why;
    release(peer);
    return false;
}

bool loadFiles(TlsPeer& peer, const TlsPeerFiles& files) {
    if (!files.caFile.empty()) {
        if (SSL_CTX_load_verify_locations(peer.context, files.caFile.c_str(), nullptr) != 1)
            return false;
        SSL_CTX_set_verify(peer.context, SSL_VERIFY_PEER, nullptr);
    }
    if (files.certFile.empty()) return true;
    return SSL_CTX_use_certificate_chain_file(peer.context, files.certFile.c_str()) == 1 &&
           SSL_CTX_use_PrivateKey_file(peer.context, files.keyFile.c_str(), SSL_FILETYPE_PEM) == 1;
}

}  // namespace

bool tlsPeerConnect(TlsPeer& peer, std::uint16_t port, const TlsPeerFiles& files, unsigned millis,
                    std::string* problem) {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(millis);
    ERR_clear_error();
    peer.context = SSL_CTX_new(TLS_client_method());
    if (peer.context == nullptr || !loadFiles(peer, files)) return fail(peer, reason(), problem);
    peer.socket = socketCreateTcp();
    if (peer.socket != kNoSocket && files.receiveBufferBytes > 0) {
        setsockopt(static_cast<int>(peer.socket), SOL_SOCKET, SO_RCVBUF, &files.receiveBufferBytes,
                   sizeof files.receiveBufferBytes);
    }
    std::uint32_t loopback = 0;
    resolveIpv4("127.0.0.1", &loopback);
    if (peer.socket == kNoSocket ||
        socketConnectWithin(peer.socket, loopback, hostToNet16(port), millis) != 0)
        return fail(peer, "no connection", problem);
    peer.ssl = SSL_new(peer.context);
    SSL_set_fd(peer.ssl, static_cast<int>(peer.socket));
    for (;;) {
        int result = SSL_connect(peer.ssl);
        if (result == 1) break;
        if (!awaitWant(peer, result, deadline)) return fail(peer, reason(), problem);
    }
    char subject[256] = {};
    X509* server = SSL_get0_peer_certificate(peer.ssl);
    if (server != nullptr)
        X509_NAME_oneline(X509_get_subject_name(server), subject, sizeof subject);
    peer.peerSubject = subject;
    return true;
}

bool tlsPeerSend(TlsPeer& peer, const std::vector<std::uint8_t>& bytes, unsigned millis) {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(millis);
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        int n = SSL_write(peer.ssl, bytes.data() + sent, static_cast<int>(bytes.size() - sent));
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
        } else if (!awaitWant(peer, n, deadline)) {
            return false;
        }
    }
    return true;
}

bool tlsPeerReceive(TlsPeer& peer, std::size_t count, std::vector<std::uint8_t>* bytes,
                    unsigned millis) {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(millis);
    bytes->assign(count, 0);
    std::size_t received = 0;
    while (received < count) {
        int n = SSL_read(peer.ssl, bytes->data() + received, static_cast<int>(count - received));
        if (n > 0) {
            received += static_cast<std::size_t>(n);
        } else if (!awaitWant(peer, n, deadline)) {
            return false;
        }
    }
    return true;
}

bool tlsPeerSeesEnd(TlsPeer& peer, unsigned millis) {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(millis);
    for (;;) {
        std::uint8_t thrown[512];
        int n = SSL_read(peer.ssl, thrown, sizeof thrown);
        if (n > 0) continue;
        int error = SSL_get_error(peer.ssl, n);
        if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) {
            ERR_clear_error();
            return true;
        }
        if (!awaitWant(peer, n, deadline)) return false;
    }
}

void tlsPeerClose(TlsPeer& peer) {
    if (peer.ssl != nullptr) SSL_shutdown(peer.ssl);
    release(peer);
}

bool runOpenssl(const std::string& dir, const std::vector<std::string>& args, std::string* output) {
    ChildProcess openssl;
    std::vector<std::string> command{"openssl"};
    command.insert(command.end(), args.begin(), args.end());
    if (!startProgram(openssl, dir, command, OutputTo::PipeWithErrors)) return false;
    bool ended = waitForExit(openssl, kProcessWaitMillis);
    *output = openssl.log;
    stopProgram(openssl);
    return ended && openssl.exitStatus == 0;
}

}  // namespace kit
}  // namespace peerdir
