// tls_peer.cpp -- the tests' TLS client over a non-blocking socket.
#include "kit/tls_peer.h"

#include <poll.h>
#include <sys/socket.h>

namespace peerdir {
namespace kit {

const char* const kTlsPeerNoConnection = "no connection";

namespace {

// Waits for what a step that could not go on needs; false once the
// deadline has passed or the step ended the session.
bool awaitStep(const TlsPeer& peer, const TlsOutcome& outcome, const Deadline& deadline) {
    if (outcome.step != TlsStep::WantRead && outcome.step != TlsStep::WantWrite) return false;
    const unsigned left = millisUntil(deadline);
    if (left == 0) return false;
    pollfd watched{static_cast<int>(peer.socket),
                   static_cast<short>(outcome.step == TlsStep::WantRead ? POLLIN : POLLOUT), 0};
    poll(&watched, 1, static_cast<int>(left));
    return true;
}

void release(TlsPeer& peer) {
    tlsClientFree(peer.tls);
    tlsClientTrustRelease(peer.trust);
    if (peer.socket != kNoSocket) socketClose(peer.socket);
    peer = TlsPeer{};
}

bool fail(TlsPeer& peer, const std::string& why, std::string* problem) {
    *problem = why;
    release(peer);
    return false;
}

bool connectWithin(TlsPeer& peer, std::uint16_t port, int receiveBufferBytes, unsigned millis) {
    peer.socket = socketCreateTcp();
    if (peer.socket == kNoSocket) return false;
    if (receiveBufferBytes > 0) {
        setsockopt(static_cast<int>(peer.socket), SOL_SOCKET, SO_RCVBUF, &receiveBufferBytes,
                   sizeof receiveBufferBytes);
    }
    return socketConnectWithin(peer.socket, ipv4FromText("127.0.0.1"), hostToNet16(port), millis) ==
               0 &&
           socketSetNonBlocking(peer.socket) == 0;
}

}  // namespace

bool tlsPeerConnect(TlsPeer& peer, std::uint16_t port, const TlsPeerFiles& files, unsigned millis,
                    std::string* problem) {
    const Deadline deadline = deadlineAfter(millis);
    std::string why;
    peer.trust = tlsClientTrustLoad({files.caFile, files.certFile, files.keyFile, true}, &why);
    if (peer.trust == nullptr) return fail(peer, why, problem);
    if (!connectWithin(peer, port, files.receiveBufferBytes, millis)) {
        return fail(peer, kTlsPeerNoConnection, problem);
    }
    peer.tls = tlsClientCreate(peer.trust, "127.0.0.1", true, peer.socket, &why);
    if (peer.tls == nullptr) return fail(peer, why, problem);
    for (;;) {
        TlsOutcome outcome = tlsClientHandshake(peer.tls);
        if (outcome.step == TlsStep::Done) break;
        if (!awaitStep(peer, outcome, deadline)) {
            return fail(peer,
                        !outcome.reason.empty()           ? outcome.reason
                        : outcome.step == TlsStep::Closed ? "the server ended the handshake"
                                                          : "the handshake timed out",
                        problem);
        }
    }
    peer.peerSubject = tlsClientServerSubject(peer.tls);
    return true;
}

bool tlsPeerSend(TlsPeer& peer, const std::vector<std::uint8_t>& bytes, unsigned millis) {
    const Deadline deadline = deadlineAfter(millis);
    if (bytes.empty()) return true;
    // A write that could not go on is offered the same bytes again.
    for (;;) {
        TlsOutcome outcome = tlsClientWrite(peer.tls, bytes.data(), bytes.size());
        if (outcome.step == TlsStep::Done) return true;
        if (!awaitStep(peer, outcome, deadline)) return false;
    }
}

bool tlsPeerReceive(TlsPeer& peer, std::size_t count, std::vector<std::uint8_t>* bytes,
                    unsigned millis) {
    const Deadline deadline = deadlineAfter(millis);
    bytes->assign(count, 0);
    std::size_t received = 0;
    while (received < count) {
        TlsOutcome outcome = tlsClientRead(peer.tls, bytes->data() + received, count - received);
        if (outcome.step == TlsStep::Done) {
            received += outcome.bytes;
        } else if (!awaitStep(peer, outcome, deadline)) {
            return false;
        }
    }
    return true;
}

bool tlsPeerSeesEnd(TlsPeer& peer, unsigned millis) {
    const Deadline deadline = deadlineAfter(millis);
    for (;;) {
        std::uint8_t thrown[512];
        TlsOutcome outcome = tlsClientRead(peer.tls, thrown, sizeof thrown);
        if (outcome.step == TlsStep::Done) continue;
        if (outcome.step == TlsStep::Closed || outcome.step == TlsStep::Failed) return true;
        if (!awaitStep(peer, outcome, deadline)) return false;
    }
}

void tlsPeerClose(TlsPeer& peer) {
    tlsClientSayGoodbye(peer.tls);
    release(peer);
}

}  // namespace kit
}  // namespace peerdir
