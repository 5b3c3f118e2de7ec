// accept_loop.cpp -- accepting connections, one client manager thread each,
// and the shutdown sequence.
//
// The main thread alone touches connections and clientThreads. It never uses
// the registry while client managers run, and releases the registry, its lock
// and globalExit only after every client manager has ended.
//
// A server runs for months: threads that have ended are reaped as it goes,
// so each connection ever accepted costs only its entry in connections (kept
// for the shutdown report), never a thread's stack.
#include <algorithm>
#include <chrono>
#include <vector>

#include "clients/client_context.h"
#include "clients/client_manager.h"
#include "clients/registry.h"
#include "net/network.h"
#include "platform/console.h"
#include "server/server.h"

namespace peerdir {

namespace {

using Clock = std::chrono::steady_clock;

// A client manager needs a few KiB of stack; the platform default (8 MiB on
// Linux, 2 MiB on Windows) would let reservations, not memory, cap the
// number of clients, above all in a 32-bit address space.
constexpr std::size_t kClientStackBytes = 64 * 1024;

// After a listen or accept error (out of descriptors, say) the next poll
// waits longer and longer, up to this, so a lasting error logs its lines a
// few times a second instead of on every 1 ms turn.
constexpr unsigned kMaxErrorPauseMillis = 100;

// Ended threads are reaped at least this often, and whenever the kept
// handles have doubled since the last reaping.
constexpr auto kReapInterval = std::chrono::seconds(1);
constexpr std::size_t kLeastReapThreshold = 64;

struct ServerState {
    std::vector<Socket> connections;
    std::vector<ThreadHandle> clientThreads;  // started and not yet reaped
    std::size_t reapThreshold = kLeastReapThreshold;
    Clock::time_point lastReap = Clock::now();
    AcceptPacing pacing;
    ClientRegistry* registry = nullptr;
    LockHandle registryLock = nullptr;
    EventHandle globalExit = nullptr;
};

void reapEndedThreads(ServerState& state) {
    auto& threads = state.clientThreads;
    auto ended = std::remove_if(threads.begin(), threads.end(), [](ThreadHandle thread) {
        if (!threadHasEnded(thread)) return false;
        threadWaitAll(&thread, 1);
        threadRelease(thread);
        return true;
    });
    threads.erase(ended, threads.end());
    state.reapThreshold = std::max(kLeastReapThreshold, 2 * threads.size());
    state.lastReap = Clock::now();
}

void reapWhenDue(ServerState& state) {
    if (state.clientThreads.size() >= state.reapThreshold ||
        Clock::now() - state.lastReap >= kReapInterval) {
        reapEndedThreads(state);
    }
}

// A connection without a thread would never be served: the client would wait
// for a Welcome that never comes. Closing it at once lets the client see the
// end; the socket stays in connections for the shutdown report.
void refuseUnserved(Socket client, int code) {
    logText(
        "runServer: Could not start a ClientManager thread; connection closed. Error code was: ");
    logSigned(code);
    logEnd();
    socketShutdownBoth(client);
    socketClose(client);
}

void startClientManager(ServerState& state, Socket client) {
    state.connections.push_back(client);
    // Each thread gets a context of its own on the heap and frees it once it
    // has copied it, so later connections cannot disturb it.
    auto* context =
        new ClientManagerContext{state.registry, state.registryLock, state.globalExit, client};
    int code = 0;
    ThreadHandle thread = threadStart(ClientManager, context, kClientStackBytes, &code);
    if (thread == nullptr) {
        delete context;
        refuseUnserved(client, code);
        return;
    }
    state.clientThreads.push_back(thread);
}

// The listening socket comes back after a listen or accept error (a peer that
// reset before being accepted, or no descriptor left). It is no new
// connection, and the pause after it grows with each error in a row.
PollOutcome outcomeOf(Socket polled, Socket listenSocket) {
    if (polled == listenSocket) return PollOutcome::Error;
    return polled == kNoSocket ? PollOutcome::Nothing : PollOutcome::Accepted;
}

void acceptUntilExit(ServerState& state, Socket listenSocket) {
    if (eventTestNow(state.globalExit)) return;
    for (;;) {
        Socket s = listenForConnections(listenSocket);
        PollOutcome outcome = outcomeOf(s, listenSocket);
        if (outcome == PollOutcome::Accepted) startClientManager(state, s);
        unsigned pause = pauseAfterPoll(state.pacing, outcome);
        if (pause > 0) sleepMillis(pause);
        reapWhenDue(state);
        if (eventTestNow(state.globalExit)) return;
    }
}

// Reports every accepted socket that is still open: only one that no client
// manager served can be.
void probeConnections(const std::vector<Socket>& connections) {
    for (std::size_t i = 0; i < connections.size(); ++i) {
        Socket s = connections[i];
        char none = 0;
        if (socketRecv(s, &none, 0) == 0) {
            logText("WARNING: Socket number ");
            logUnsigned(i);
            logText("was not shut down before server shutdown!");
            logEnd();
            socketShutdownBoth(s);
            socketRecv(s, &none, 0);
        }
        logText("WSAGetLastError returned: ");
        logSigned(lastSocketError());
        logEnd();
    }
}

}  // namespace

unsigned pauseAfterPoll(AcceptPacing& pacing, PollOutcome outcome) {
    if (outcome != PollOutcome::Error) {
        pacing.errorPauseMillis = 1;
        return outcome == PollOutcome::Nothing ? 1 : 0;
    }
    pacing.errorPauseMillis = std::min(2 * pacing.errorPauseMillis, kMaxErrorPauseMillis);
    return pacing.errorPauseMillis;
}

void acceptAndServe(Socket listenSocket, EventHandle globalExit) {
    ServerState state;
    state.registryLock = lockCreate();
    state.registry = new ClientRegistry(makeRegistry(state.registryLock));
    state.globalExit = globalExit;

    acceptUntilExit(state, listenSocket);

    threadWaitAll(state.clientThreads.data(), state.clientThreads.size());
    probeConnections(state.connections);

    netCleanup();
    eventClose(state.globalExit);
    lockDelete(state.registryLock);
    delete state.registry;
    for (ThreadHandle thread : state.clientThreads) threadRelease(thread);
}

}  // namespace peerdir
