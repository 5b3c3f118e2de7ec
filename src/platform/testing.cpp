// testing.cpp -- the test hooks both backends share: counts of injected
// failures per operation, of thread handles held and of threads asleep
// without a time limit, and the sockets accepted.
#include <atomic>
#include <cstddef>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/faults.h"

namespace peerdir {

namespace {

constexpr std::size_t kPoints = static_cast<std::size_t>(FaultPoint::Count);

std::atomic<unsigned> g_remaining[kPoints];
std::atomic<int> g_code[kPoints];
std::atomic<long> g_threadHandles{0};
std::atomic<long> g_waitingForever{0};

constexpr std::size_t kAcceptedRemembered = 1024;
std::mutex g_acceptedLock;
std::vector<Socket> g_accepted;

}  // namespace

void injectFault(FaultPoint point, unsigned count, int code) {
    auto index = static_cast<std::size_t>(point);
    g_code[index].store(code);
    g_remaining[index].store(count);
}

bool takeInjectedFault(FaultPoint point, int* code) {
    auto index = static_cast<std::size_t>(point);
    unsigned remaining = g_remaining[index].load(std::memory_order_relaxed);
    while (remaining > 0) {
        if (g_remaining[index].compare_exchange_weak(remaining, remaining - 1)) {
            *code = g_code[index].load();
            return true;
        }
    }
    return false;
}

void noteAccepted(Socket s) {
    std::lock_guard<std::mutex> hold(g_acceptedLock);
    if (g_accepted.size() < kAcceptedRemembered) g_accepted.push_back(s);
}

std::vector<Socket> takeAcceptedSockets() {
    std::vector<Socket> taken;
    std::lock_guard<std::mutex> hold(g_acceptedLock);
    taken.swap(g_accepted);
    return taken;
}

void countWaitingForever(int change) { g_waitingForever.fetch_add(change); }

std::size_t threadsWaitingForever() { return static_cast<std::size_t>(g_waitingForever.load()); }

void countThreadHandles(int change) { g_threadHandles.fetch_add(change); }

std::size_t threadHandlesHeld() { return static_cast<std::size_t>(g_threadHandles.load()); }

}  // namespace peerdir
