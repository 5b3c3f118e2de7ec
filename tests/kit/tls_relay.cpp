// tls_relay.cpp -- one poll loop pumping bytes between test ends and TLS
// sessions.
#include "kit/tls_relay.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace peerdir {
namespace kit {

namespace {

using Bytes = std::vector<std::uint8_t>;

// What the relay holds for a test that does not read before it stops
// reading from the server.
constexpr std::size_t kHeldForTest = 64 * 1024;
constexpr std::size_t kChunk = 16 * 1024;
// The longest poll: a stop request also rings the wake pipe, so this only
// bounds a missed ring.
constexpr int kPollMillis = 200;

struct Relayed {
    Socket tcp = kNoSocket;
    int inner = -1;  // the relay's end of the pair; the test holds the other
    TlsClient* tls = nullptr;
    bool handshaking = true;
    bool wantsRead = false;  // what the last TLS call that could not go on needs
    bool wantsWrite = false;
    Bytes toServer;  // one piece the test sent, written whole before the next is read
    Bytes toTest;
    bool testClosed = false;
    bool testReset = false;  // its end was closed with bytes unread
    bool serverEnded = false;
};

}  // namespace

struct TlsRelay {
    TlsClientTrust* trust = nullptr;
    int wakeRead = -1;
    int wakeWrite = -1;
    std::atomic<bool> stopping{false};
    std::thread thread;
    std::mutex mutex;  // guards incoming and ports
    std::vector<std::unique_ptr<Relayed>> incoming;
    std::map<Socket, std::uint16_t> ports;
    std::vector<std::unique_ptr<Relayed>> relayed;  // the thread's own
};

namespace {

void ring(TlsRelay* relay) {
    const char byte = 1;
    // A full pipe has rung already.
    [[maybe_unused]] ssize_t n = write(relay->wakeWrite, &byte, 1);
}

void drainWake(TlsRelay* relay) {
    char buffer[64];
    while (read(relay->wakeRead, buffer, sizeof buffer) > 0) {
    }
}

// A close that the peer sees as a reset, as a plain client's close with
// bytes unread would be.
void resetAndClose(Socket s) {
    linger abort{1, 0};
    setsockopt(static_cast<int>(s), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    socketClose(s);
}

// Ends the connection the way its first end to close asks for.
void release(Relayed& r) {
    const bool testEnds = r.testClosed && !r.serverEnded;
    if (testEnds && !r.testReset) tlsClientSayGoodbye(r.tls);
    tlsClientFree(r.tls);
    if (testEnds && r.testReset) {
        resetAndClose(r.tcp);
    } else {
        socketClose(r.tcp);
    }
    close(r.inner);
}

// Notes what a TLS call that could not go on needs; false when it ended
// the session instead.
bool noteNeed(Relayed& r, const TlsOutcome& outcome) {
    if (outcome.step == TlsStep::WantRead) {
        r.wantsRead = true;
        return true;
    }
    if (outcome.step == TlsStep::WantWrite) {
        r.wantsWrite = true;
        return true;
    }
    r.serverEnded = true;
    return false;
}

// Reads what the test sent, unless a piece is still on its way.
void takeFromTest(Relayed& r) {
    if (!r.toServer.empty() || r.testClosed) return;
    std::uint8_t buffer[kChunk];
    ssize_t n = recv(r.inner, buffer, sizeof buffer, 0);
    if (n > 0) {
        r.toServer.assign(buffer, buffer + n);
    } else if (n == 0) {
        r.testClosed = true;
    } else if (!isWouldBlock(errno)) {
        r.testClosed = true;
        r.testReset = errno == ECONNRESET;
    }
}

void pumpToServer(Relayed& r) {
    for (;;) {
        takeFromTest(r);
        if (r.toServer.empty()) return;
        TlsOutcome outcome = tlsClientWrite(r.tls, r.toServer.data(), r.toServer.size());
        if (outcome.step != TlsStep::Done) {
            noteNeed(r, outcome);
            return;
        }
        r.toServer.clear();
    }
}

void pumpToTest(Relayed& r) {
    std::uint8_t buffer[kChunk];
    while (!r.serverEnded && r.toTest.size() < kHeldForTest) {
        TlsOutcome outcome = tlsClientRead(r.tls, buffer, sizeof buffer);
        if (outcome.step != TlsStep::Done) {
            noteNeed(r, outcome);
            break;
        }
        r.toTest.insert(r.toTest.end(), buffer, buffer + outcome.bytes);
    }
    while (!r.toTest.empty()) {
        ssize_t n = send(r.inner, r.toTest.data(), r.toTest.size(), MSG_NOSIGNAL);
        if (n > 0) {
            r.toTest.erase(r.toTest.begin(), r.toTest.begin() + n);
        } else {
            // Its end is closed: the read side says how.
            if (n < 0 && !isWouldBlock(errno)) r.toTest.clear();
            return;
        }
    }
}

// Moves what can be moved; false once the connection is over. A test that
// closes its end during the handshake still gets its connection made and
// then ended cleanly, as a plain client's would be.
bool pump(Relayed& r) {
    r.wantsRead = r.wantsWrite = false;
    if (r.handshaking) {
        TlsOutcome outcome = tlsClientHandshake(r.tls);
        if (outcome.step != TlsStep::Done) return noteNeed(r, outcome);
        r.handshaking = false;
    }
    pumpToServer(r);
    pumpToTest(r);
    if (r.testClosed && r.toServer.empty()) return false;
    return !(r.serverEnded && r.toTest.empty());
}

void watch(const Relayed& r, std::vector<pollfd>& fds) {
    short tcp = 0;
    if (r.wantsRead || (!r.handshaking && r.toTest.size() < kHeldForTest)) tcp |= POLLIN;
    if (r.wantsWrite) tcp |= POLLOUT;
    short inner = 0;
    if (!r.handshaking && r.toServer.empty() && !r.testClosed) inner |= POLLIN;
    if (!r.toTest.empty()) inner |= POLLOUT;
    // A socket with nothing asked of it is left out, so its hang-up does
    // not wake the loop again and again.
    fds.push_back(pollfd{tcp != 0 ? static_cast<int>(r.tcp) : -1, tcp, 0});
    fds.push_back(pollfd{inner != 0 ? r.inner : -1, inner, 0});
}

void takeIncoming(TlsRelay* relay, std::vector<bool>& due) {
    std::lock_guard<std::mutex> guard(relay->mutex);
    for (auto& r : relay->incoming) {
        relay->relayed.push_back(std::move(r));
        due.push_back(true);
    }
    relay->incoming.clear();
}

void pumpDue(TlsRelay* relay, const std::vector<bool>& due) {
    auto& relayed = relay->relayed;
    std::vector<std::unique_ptr<Relayed>> kept;
    for (std::size_t i = 0; i < relayed.size(); ++i) {
        if (!due[i] || pump(*relayed[i])) {
            kept.push_back(std::move(relayed[i]));
            continue;
        }
        release(*relayed[i]);
    }
    relayed.swap(kept);
}

void run(TlsRelay* relay) {
    std::vector<bool> due;
    std::vector<pollfd> fds;
    while (!relay->stopping.load()) {
        takeIncoming(relay, due);
        pumpDue(relay, due);
        fds.assign(1, pollfd{relay->wakeRead, POLLIN, 0});
        for (const auto& r : relay->relayed) watch(*r, fds);
        if (poll(fds.data(), fds.size(), kPollMillis) < 0 && errno != EINTR) break;
        drainWake(relay);
        due.assign(relay->relayed.size(), false);
        for (std::size_t i = 0; i < relay->relayed.size(); ++i) {
            due[i] = fds[1 + 2 * i].revents != 0 || fds[2 + 2 * i].revents != 0;
        }
    }
}

}  // namespace

TlsRelay* tlsRelayStart(const TlsClientSettings& settings, std::string* why) {
    auto relay = std::make_unique<TlsRelay>();
    relay->trust = tlsClientTrustLoad(settings, why);
    if (relay->trust == nullptr) return nullptr;
    int wake[2];
    if (pipe2(wake, O_NONBLOCK | O_CLOEXEC) != 0) {
        *why = "cannot make the relay's wake pipe";
        tlsClientTrustRelease(relay->trust);
        return nullptr;
    }
    relay->wakeRead = wake[0];
    relay->wakeWrite = wake[1];
    TlsRelay* started = relay.release();
    started->thread = std::thread(run, started);
    return started;
}

void tlsRelayStop(TlsRelay* relay) {
    if (relay == nullptr) return;
    relay->stopping.store(true);
    ring(relay);
    relay->thread.join();
    for (auto& r : relay->incoming) relay->relayed.push_back(std::move(r));
    for (auto& r : relay->relayed) {
        r->serverEnded = true;
        release(*r);
    }
    close(relay->wakeRead);
    close(relay->wakeWrite);
    tlsClientTrustRelease(relay->trust);
    delete relay;
}

Socket tlsRelayAdopt(TlsRelay* relay, Socket tcp) {
    int pair[2];
    if (socketSetNonBlocking(tcp) != 0 ||
        socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, pair) != 0) {
        socketClose(tcp);
        return kNoSocket;
    }
    auto r = std::make_unique<Relayed>();
    std::string why;
    r->tls = tlsClientCreate(relay->trust, "127.0.0.1", true, tcp, &why);
    if (r->tls == nullptr) {
        socketClose(tcp);
        close(pair[0]);
        close(pair[1]);
        return kNoSocket;
    }
    r->tcp = tcp;
    r->inner = pair[0];
    {
        std::lock_guard<std::mutex> guard(relay->mutex);
        relay->ports[pair[1]] = socketLocalPort(tcp);
        relay->incoming.push_back(std::move(r));
    }
    ring(relay);
    return pair[1];
}

std::uint16_t tlsRelayServerSidePort(TlsRelay* relay, Socket testEnd) {
    std::lock_guard<std::mutex> guard(relay->mutex);
    auto found = relay->ports.find(testEnd);
    return found != relay->ports.end() ? found->second : 0;
}

}  // namespace kit
}  // namespace peerdir
