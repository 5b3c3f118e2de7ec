// floor.cpp -- bare polling threads on idle loopback sockets.
#include "bench/floor.h"

#include <atomic>
#include <vector>

#include "bench/load.h"
#include "bench/machine.h"
#include "platform/platform.h"

namespace peerdir {
namespace bench {

namespace {

// The same stack a client manager gets, so the threads differ from the
// server's only in what a turn does.
constexpr std::size_t kStackBytes = 64 * 1024;

struct Poller {
    Socket socket = kNoSocket;
    bool accepts = false;  // polls a listening socket, like the accept loop
    const std::atomic<bool>* stop = nullptr;
    std::atomic<unsigned long> turns{0};
};

// One atomic load per turn, as the server's test of its exit event is on
// this platform; the turn count is written only by this thread, so it costs
// a plain store.
void pollIdle(void* raw) {
    auto* p = static_cast<Poller*>(raw);
    char byte = 0;
    while (!p->stop->load(std::memory_order_relaxed)) {
        sleepMillis(1);
        if (p->accepts) {
            Socket s = socketAccept(p->socket);
            if (s != kNoSocket) socketClose(s);
        } else {
            socketRecv(p->socket, &byte, 1);
        }
        p->turns.store(p->turns.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    }
}

// count connected pairs over loopback; the accepted ends are the ones the
// threads poll, as the server polls its accepted sockets.
bool makePairs(Socket listener, std::size_t count, std::vector<Socket>* polled,
               std::vector<Socket>* peers) {
    std::uint16_t port = hostToNet16(socketLocalPort(listener));
    for (std::size_t i = 0; i < count; ++i) {
        Socket peer = socketCreateTcp();
        if (peer == kNoSocket) return false;
        peers->push_back(peer);
        if (socketConnect(peer, ipv4FromText("127.0.0.1"), port) != 0) return false;
        // The connection is made once connect returns; it is in the
        // listener's queue at once, barring a full one.
        const Deadline deadline = deadlineAfter(1000);
        Socket accepted = socketAccept(listener);
        while (accepted == kNoSocket && millisUntil(deadline) > 0) {
            sleepMillis(1);
            accepted = socketAccept(listener);
        }
        if (accepted == kNoSocket) return false;
        socketSetNonBlocking(accepted);
        polled->push_back(accepted);
    }
    return true;
}

unsigned long totalTurns(const std::vector<Poller>& pollers) {
    unsigned long total = 0;
    for (const Poller& p : pollers) total += p.turns.load(std::memory_order_relaxed);
    return total;
}

FloorFigures runPollers(std::vector<Poller>& pollers, unsigned settleMillis, unsigned windowMillis,
                        std::atomic<bool>& stop) {
    FloorFigures figures;
    std::vector<ThreadHandle> threads;
    for (Poller& p : pollers) {
        ThreadHandle t = threadStart(pollIdle, &p, kStackBytes);
        if (t != nullptr) threads.push_back(t);
    }
    if (threads.size() == pollers.size()) {
        sleepMillis(settleMillis);
        double cpu0 = ownCpuSeconds(), wall0 = nowMillis();
        unsigned long turns0 = totalTurns(pollers);
        sleepMillis(windowMillis);
        double cpu1 = ownCpuSeconds(), wall1 = nowMillis();
        unsigned long turns1 = totalTurns(pollers);
        double seconds = (wall1 - wall0) / 1000;
        figures.measured = cpu0 >= 0 && cpu1 >= 0;
        figures.cores = (cpu1 - cpu0) / seconds;
        figures.turnsPerSecond =
            static_cast<double>(turns1 - turns0) / static_cast<double>(pollers.size()) / seconds;
    }
    stop.store(true);
    threadWaitAll(threads.data(), threads.size());
    for (ThreadHandle t : threads) threadRelease(t);
    return figures;
}

}  // namespace

FloorFigures measureFloor(std::size_t clients, unsigned settleMillis, unsigned windowMillis) {
    FloorFigures figures;
    Socket listener = socketCreateTcp();
    if (listener == kNoSocket) return figures;
    std::vector<Socket> polled, peers;
    if (socketBind(listener, ipv4FromText("127.0.0.1"), 0) == 0 &&
        socketListen(listener, maxListenBacklog()) == 0 && socketSetNonBlocking(listener) == 0 &&
        makePairs(listener, clients, &polled, &peers)) {
        std::atomic<bool> stop{false};
        std::vector<Poller> pollers(clients + 1);
        for (std::size_t i = 0; i < clients; ++i) pollers[i].socket = polled[i];
        pollers[clients].socket = listener;
        pollers[clients].accepts = true;
        for (Poller& p : pollers) p.stop = &stop;
        figures = runPollers(pollers, settleMillis, windowMillis, stop);
    }
    closeClients(polled);
    closeClients(peers);
    socketClose(listener);
    return figures;
}

}  // namespace bench
}  // namespace peerdir
