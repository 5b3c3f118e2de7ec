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
#include <memory>
#include <string>
#include <vector>

#include "clients/address_counts.h"
#include "clients/client_context.h"
#include "clients/client_manager.h"
#include "clients/handshake.h"
#include "clients/message_handler.h"
#include "clients/outbox.h"
#include "clients/registry.h"
#include "metrics/counters.h"
#include "net/network.h"
#include "platform/console.h"
#include "platform/service.h"
#include "server/observers.h"
#include "server/server.h"

namespace peerdir {

namespace {

using Clock = std::chrono::steady_clock;

// After a listen or accept error (out of descriptors, say) the next poll
// waits longer and longer, up to this, so a lasting error logs its lines a
// few times a second instead of on every 1 ms turn.
constexpr unsigned kMaxErrorPauseMillis = 100;

// Ended threads are reaped at least this often, and whenever the kept
// handles have doubled since the last reaping.
constexpr auto kReapInterval = std::chrono::seconds(1);
constexpr std::size_t kLeastReapThreshold = 64;

// While connections go on being refused at a limit, their count is reported
// this often.
constexpr auto kRefusalReportInterval = std::chrono::minutes(1);

// Connections refused at one limit since the first one of a run of them,
// which was logged.
struct RefusalEpisode {
    const char* limitName;  // as the count line names it
    bool open = false;
    std::size_t counted = 0;
    Clock::time_point lastReport{};
};

struct ServerState {
    ServerLimits limits;
    RefusalEpisode refusals{"client limit"};
    RefusalEpisode addressRefusals{"address limit"};
    // Only with a limit per address.
    std::unique_ptr<AddressCounts> addressCounts;
    Clock::time_point nextStats{};
    std::vector<Socket> connections;
    std::vector<ThreadHandle> clientThreads;  // started and not yet reaped
    HandedThreads handedThreads;              // started by client managers, not yet taken over
    std::size_t reapThreshold = kLeastReapThreshold;
    Clock::time_point lastReap = Clock::now();
    bool memoryReleaseOwed = false;  // handshake threads ended since the last release
    Clock::time_point lastMemoryRelease{};
    AcceptPacing pacing;
    ClientRegistry* registry = nullptr;
    LockHandle registryLock = nullptr;
    EventHandle globalExit = nullptr;
    bool keepaliveFailureLogged = false;
    ServerObservers* observers = nullptr;
    bool readyTold = false;
};

// Takes over the threads client managers started; true when there were any.
bool takeHandedThreads(ServerState& state) {
    lockEnter(state.handedThreads.lock);
    std::vector<ThreadHandle> handed;
    handed.swap(state.handedThreads.threads);
    lockLeave(state.handedThreads.lock);
    state.clientThreads.insert(state.clientThreads.end(), handed.begin(), handed.end());
    return !handed.empty();
}

// A TLS client's handshake thread ends as soon as its client is handed on,
// leaving what the handshake freed between memory still in use; after a run
// of them that memory is given back, at most once a reaping interval.
void releaseWhatHandshakesFreed(ServerState& state, std::size_t reaped) {
    if (state.limits.tls == nullptr) return;
    state.memoryReleaseOwed = state.memoryReleaseOwed || reaped > 0;
    if (!state.memoryReleaseOwed || Clock::now() - state.lastMemoryRelease < kReapInterval) return;
    releaseFreeMemory();
    state.lastMemoryRelease = Clock::now();
    state.memoryReleaseOwed = false;
}

void reapEndedThreads(ServerState& state) {
    takeHandedThreads(state);
    auto& threads = state.clientThreads;
    auto ended = std::remove_if(threads.begin(), threads.end(), [](ThreadHandle thread) {
        if (!threadHasEnded(thread)) return false;
        threadWaitAll(&thread, 1);
        threadRelease(thread);
        return true;
    });
    const auto reaped = static_cast<std::size_t>(threads.end() - ended);
    threads.erase(ended, threads.end());
    releaseWhatHandshakesFreed(state, reaped);
    state.reapThreshold = std::max(kLeastReapThreshold, 2 * threads.size());
    state.lastReap = Clock::now();
}

void reapWhenDue(ServerState& state) {
    if (state.clientThreads.size() >= state.reapThreshold ||
        Clock::now() - state.lastReap >= kReapInterval) {
        reapEndedThreads(state);
    }
}

// A connection that will not be served is closed at once, so the client
// sees the end instead of waiting for a Welcome that never comes. The
// socket stays in connections for the shutdown report.
void closeUnserved(Socket client) {
    socketShutdownBoth(client);
    socketClose(client);
}

void refuseUnserved(Socket client, int code) {
    countEvent(Counter::RefusedThreadStart);
    logText(
        "runServer: Could not start a ClientManager thread; connection closed. Error code was: ");
    logSigned(code);
    logEnd();
    closeUnserved(client);
}

void reportRefusals(RefusalEpisode& refusals) {
    if (refusals.counted > 0) {
        logText("runServer: ");
        logUnsigned(refusals.counted);
        logText(" more connections were refused at the ");
        logText(refusals.limitName);
        logText(".");
        logEnd();
    }
    refusals.counted = 0;
    refusals.lastReport = Clock::now();
}

// A run of refusals costs one line, then a count: when a connection is
// served again, at shutdown, and once a minute while refusals go on. True
// for the first of a run, whose line the caller writes.
bool opensRefusals(RefusalEpisode& refusals) {
    if (!refusals.open) {
        refusals.open = true;
        refusals.lastReport = Clock::now();
        return true;
    }
    ++refusals.counted;
    if (Clock::now() - refusals.lastReport >= kRefusalReportInterval) reportRefusals(refusals);
    return false;
}

void refuseAtLimit(ServerState& state, Socket client) {
    countEvent(Counter::RefusedClientLimit);
    if (opensRefusals(state.refusals)) {
        logText("runServer: Client limit of ");
        logUnsigned(state.limits.maxClients);
        logText(" reached; connection closed.");
        logEnd();
    }
    closeUnserved(client);
}

// The first line names the address, so the operator sees who is at the
// limit; the metrics never do.
void refuseAtAddressLimit(ServerState& state, Socket client, std::uint32_t address) {
    countEvent(Counter::RefusedAddressLimit);
    if (opensRefusals(state.addressRefusals)) {
        char text[16];
        ipv4ToText(address, text);
        logText("runServer: Address limit of ");
        logUnsigned(state.limits.maxClientsPerAddress);
        logText(" clients reached by ");
        logText(text);
        logText("; connection closed.");
        logEnd();
    }
    closeUnserved(client);
}

void endRefusals(RefusalEpisode& refusals) {
    if (!refusals.open) return;
    reportRefusals(refusals);
    refusals.open = false;
}

// Threads that have ended are reaped first, so only live ones count.
bool atClientLimit(ServerState& state) {
    const std::size_t limit = state.limits.maxClients;
    if (limit == 0 || state.clientThreads.size() < limit) return false;
    reapEndedThreads(state);
    return state.clientThreads.size() >= limit;
}

// A connection whose keepalive the system refused is still served, as it
// was before keepalive existed; one line per run says so.
void setKeepalive(ServerState& state, Socket client) {
    if (state.limits.keepaliveSeconds == 0) return;
    KeepaliveSettings settings =
        keepaliveFor(state.limits.keepaliveSeconds, state.connections.size());
    int code = socketSetKeepalive(client, settings);
    if (code == 0 || state.keepaliveFailureLogged) return;
    state.keepaliveFailureLogged = true;
    logText(
        "runServer: Could not set keepalive on a connection; it is served without. Error code "
        "was: ");
    logSigned(code);
    logEnd();
}

// Takes the client's place under the limit per address into *context:
// false when its address holds its limit already. Without the limit, or for
// a peer whose address cannot be told (one gone already, which ends at its
// first read), no place is taken.
bool takePlace(ServerState& state, Socket client, ClientManagerContext* context) {
    if (!state.addressCounts || !socketPeerIpv4(client, &context->peerAddress)) return true;
    if (!takeAddressPlace(*state.addressCounts, context->peerAddress)) return false;
    context->addressCounts = state.addressCounts.get();
    return true;
}

// Each thread gets a context of its own on the heap and frees it once it
// has copied it, so later connections cannot disturb it. A thread that
// cannot start gives back the place taken for it.
void launchClientManager(ServerState& state, const ClientManagerContext& context) {
    auto* handed = new ClientManagerContext(context);
    int code = 0;
    ThreadHandle thread = threadStart(ClientManager, handed, kClientStackBytes, &code);
    if (thread == nullptr) {
        delete handed;
        if (context.addressCounts != nullptr)
            giveAddressPlace(*context.addressCounts, context.peerAddress);
        refuseUnserved(context.socket, code);
        return;
    }
    state.clientThreads.push_back(thread);
}

void startClientManager(ServerState& state, Socket client) {
    state.connections.push_back(client);
    countEvent(Counter::ConnectionsAccepted);
    if (atClientLimit(state)) return refuseAtLimit(state, client);
    ClientManagerContext context{state.registry, state.registryLock, state.globalExit, client,
                                 state.limits.waitWhenIdle};
    if (!takePlace(state, client, &context))
        return refuseAtAddressLimit(state, client, context.peerAddress);
    endRefusals(state.refusals);
    endRefusals(state.addressRefusals);
    setKeepalive(state, client);
    context.tls = state.limits.tls;
    context.namesFromCertificate = state.limits.namesFromCertificate;
    context.acceptedAt = Clock::now();
    context.handedThreads = &state.handedThreads;
    launchClientManager(state, context);
}

// Loads the certificates again: new handshakes take them, connections up
// keep going, and a failed load keeps what was loaded. Every client manager
// is woken to see whether the new CRL revokes its client.
void reloadCertificates(ServerState& state) {
    if (state.limits.tls == nullptr) {
        logLine("reload: SIGHUP received, but there is nothing to reload without TLS.");
        return;
    }
    std::string problem;
    if (!tlsServerReload(state.limits.tls, &problem)) {
        logLine(
            ("reload: Reload failed, keeping the certificates loaded before: " + problem).c_str());
        return;
    }
    logLine("reload: Certificates reloaded.");
    lockEnter(state.registryLock);
    ringEveryClient(*state.registry);
    lockLeave(state.registryLock);
}

// The counts the operator asked to see. The clients and names are read
// under the registry's lock, so they agree with each other.
void reportStats(ServerState& state) {
    lockEnter(state.registryLock);
    std::size_t clients = outboxCount(*state.registry);
    std::size_t names = entryCount(*state.registry);
    lockLeave(state.registryLock);
    logText("runServer: Stats: ");
    logUnsigned(clients);
    logText(" clients, ");
    logUnsigned(names);
    logText(" names, ");
    logUnsigned(state.connections.size());
    logText(" connections since start, ");
    logUnsigned(droppedMessageTotal());
    logText(" messages dropped.");
    logEnd();
}

void reportStatsWhenDue(ServerState& state) {
    if (state.limits.statsSeconds == 0 || Clock::now() < state.nextStats) return;
    reportStats(state);
    state.nextStats = Clock::now() + std::chrono::seconds(state.limits.statsSeconds);
}

// The listening socket comes back after a listen or accept error (a peer that
// reset before being accepted, or no descriptor left). It is no new
// connection, and the pause after it grows with each error in a row.
PollOutcome outcomeOf(Socket polled, Socket listenSocket) {
    if (polled == listenSocket) return PollOutcome::Error;
    return polled == kNoSocket ? PollOutcome::Nothing : PollOutcome::Accepted;
}

// How long a waiting accept loop may sleep: until the next stats line, and
// at most a reaping interval, so ended threads are released while no one
// connects.
unsigned millisUntilDue(const ServerState& state) {
    Clock::time_point due = Clock::now() + kReapInterval;
    if (state.limits.statsSeconds > 0) due = std::min(due, state.nextStats);
    return std::max(1u, millisUntil(due));
}

// With nothing to accept, a polling loop pauses 1 ms; a waiting one sleeps
// until a connection, the stop request or its next duty comes. The pauses
// after errors stay as they are.
void pauseBeforeNextPoll(ServerState& state, Socket listenSocket, WakerHandle waker,
                         PollOutcome outcome) {
    unsigned pause = pauseAfterPoll(state.pacing, outcome);
    if (pause == 0) return;
    if (waker != nullptr && outcome == PollOutcome::Nothing) {
        socketWait(listenSocket, false, state.globalExit, waker, millisUntilDue(state));
        return;
    }
    sleepMillis(pause);
}

void acceptUntilExit(ServerState& state, Socket listenSocket, WakerHandle waker) {
    if (eventTestNow(state.globalExit)) return;
    for (;;) {
        Socket s = listenForConnections(listenSocket);
        PollOutcome outcome = outcomeOf(s, listenSocket);
        // The socket listens from the first poll that did not fail; only
        // then is the server ready for a unit ordered after it.
        if (!state.readyTold && outcome != PollOutcome::Error) {
            observersServing(state.observers);
            state.readyTold = true;
        }
        if (outcome == PollOutcome::Accepted) startClientManager(state, s);
        pauseBeforeNextPoll(state, listenSocket, waker, outcome);
        if (takeReloadRequest()) reloadCertificates(state);
        reapWhenDue(state);
        reportStatsWhenDue(state);
        observersTurn(state.observers);
        if (eventTestNow(state.globalExit)) return;
    }
}

// Client managers are waited for and reported on in batches, the host told
// after each, so a service manager watching a stop with thousands of
// clients sees it move on.
constexpr std::size_t kStopBatch = 64;
constexpr std::size_t kProbeBatch = 1024;

// A client manager may hand its client to a thread of its own making until
// it ends, so once every thread known has ended, those it started are
// waited for in turn, until none is left unknown.
void waitForClientManagers(ServerState& state) {
    const std::vector<ThreadHandle>& threads = state.clientThreads;
    std::size_t waited = 0;
    do {
        while (waited < threads.size()) {
            const std::size_t batch = std::min(kStopBatch, threads.size() - waited);
            threadWaitAll(threads.data() + waited, batch);
            waited += batch;
            hostReportStopProgress();
        }
    } while (takeHandedThreads(state));
}

// Reports every accepted socket that is still open: only one that no client
// manager served can be.
void probeConnections(const std::vector<Socket>& connections) {
    for (std::size_t i = 0; i < connections.size(); ++i) {
        if (i % kProbeBatch == kProbeBatch - 1) hostReportStopProgress();
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

// The shared registry, when asked for, is joined before the first client
// is accepted and left once the last client manager has ended.
void joinShared(ServerState& state, const SharedRegistryOptions* options) {
    if (options == nullptr) return;
    SharedRegistry* shared = sharedRegistryStart(*options, deliverForwardedRequest, state.registry);
    lockEnter(state.registryLock);
    setShared(*state.registry, shared);
    lockLeave(state.registryLock);
}

void leaveShared(ServerState& state) {
    lockEnter(state.registryLock);
    SharedRegistry* shared = sharedOf(*state.registry);
    lockLeave(state.registryLock);
    if (shared != nullptr) sharedRegistryStop(shared);
}

}  // namespace

KeepaliveSettings keepaliveFor(std::uint32_t seconds, std::size_t connection) {
    const unsigned least = seconds / 3;
    const unsigned spread = seconds - 2 * least;  // 2S/3 - S/3, in whole seconds, plus one
    // A multiplier prime to most spreads scatters neighbouring connections.
    const unsigned idle = least + static_cast<unsigned>((connection * 7919u) % (spread + 1u));
    const unsigned interval = std::max(1u, seconds / 9);
    const unsigned left = seconds > idle ? seconds - idle : 1u;
    const unsigned probes = std::max(1u, (left + interval / 2) / interval);
    return KeepaliveSettings{std::max(1u, idle), interval, probes, seconds * 1000u};
}

unsigned pauseAfterPoll(AcceptPacing& pacing, PollOutcome outcome) {
    if (outcome != PollOutcome::Error) {
        pacing.errorPauseMillis = 1;
        return outcome == PollOutcome::Nothing ? 1 : 0;
    }
    pacing.errorPauseMillis = std::min(2 * pacing.errorPauseMillis, kMaxErrorPauseMillis);
    return pacing.errorPauseMillis;
}

void acceptAndServe(Socket listenSocket, EventHandle globalExit, const ServerLimits& limits,
                    const SharedRegistryOptions* shared, ServerObservers* observers) {
    ServerState state;
    state.observers = observers;
    state.limits = limits;
    state.nextStats = Clock::now() + std::chrono::seconds(limits.statsSeconds);
    state.registryLock = lockCreate();
    state.handedThreads.lock = lockCreate();
    state.registry = new ClientRegistry(makeRegistry(state.registryLock, limits.maxNames));
    setOutputBound(*state.registry, limits.pendingOutputBytes);
    state.globalExit = globalExit;
    observersAttach(observers, state.registry, state.registryLock, limits.maxClients);
    if (limits.maxClientsPerAddress != 0) {
        state.addressCounts = std::make_unique<AddressCounts>();
        state.addressCounts->limit = limits.maxClientsPerAddress;
    }
    joinShared(state, shared);

    // A listening socket whose waker cannot be made is polled. A sleeping
    // loop is woken by a reload request as by a connection.
    WakerHandle waker = limits.waitWhenIdle ? wakerCreate(listenSocket) : nullptr;
    if (waker != nullptr) reloadRequestsRing(waker);
    acceptUntilExit(state, listenSocket, waker);
    observersStopping(observers);
    if (waker != nullptr) {
        reloadRequestsRing(nullptr);
        wakerClose(waker);
    }
    endRefusals(state.refusals);
    endRefusals(state.addressRefusals);

    waitForClientManagers(state);
    reportHandshakeFailures();
    // Scrapes stop counting before the shared registry and the registry go.
    observersAttach(observers, nullptr, nullptr, limits.maxClients);
    leaveShared(state);
    probeConnections(state.connections);

    netCleanup();
    eventClose(state.globalExit);
    lockDelete(state.registryLock);
    lockDelete(state.handedThreads.lock);
    delete state.registry;
    for (ThreadHandle thread : state.clientThreads) threadRelease(thread);
}

}  // namespace peerdir
