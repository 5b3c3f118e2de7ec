// observers.cpp -- the metrics endpoint's answers and systemd's
// notifications.
#include "server/observers.h"

#include "clients/outbox.h"
#include "metrics/counters.h"
#include "metrics/metrics_text.h"
#include "platform/console.h"
#include "platform/supervision.h"

namespace peerdir {

namespace {

using Clock = std::chrono::steady_clock;

// /livez fails once the accept loop has not turned for this long. Its
// longest sleep is a second (the reaping interval), so this leaves room
// for a loaded machine.
constexpr std::int64_t kStuckMillis = 5000;
// STATUS= goes to systemd this often.
constexpr auto kStatusInterval = std::chrono::seconds(5);

std::int64_t nowMillis() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch())
        .count();
}

struct Counts {
    std::size_t clients = 0;
    std::size_t names = 0;
    SharedRegistry* shared = nullptr;
};

// Under the registry's lock as briefly as the stats line holds it: two
// sizes and a pointer. Called with observers.lock held.
Counts countNow(const ServerObservers& observers) {
    Counts counts;
    if (observers.registry == nullptr) return counts;
    lockEnter(observers.registryLock);
    counts.clients = outboxCount(*observers.registry);
    counts.names = entryCount(*observers.registry);
    counts.shared = sharedOf(*observers.registry);
    lockLeave(observers.registryLock);
    return counts;
}

SharedSnapshot sharedSnapshot(SharedRegistry* shared) {
    SharedSnapshot snapshot;
    if (shared == nullptr) return snapshot;
    SharedRegistryState state = sharedRegistryState(shared);
    snapshot.present = true;
    snapshot.etcdUp = state.etcdUp;
    snapshot.mirrorNames = state.mirrorNames;
    snapshot.pending = state.pending;
    snapshot.unknown = state.unknown;
    snapshot.deletesWaiting = state.deletesWaiting;
    snapshot.forwardsQueued = state.forwardsQueued;
    snapshot.etcdRequests = etcdRequestDurations();
    return snapshot;
}

// The stats line's counts, as systemd shows them in `systemctl status`.
void sendStatus(ServerObservers& observers) {
    Counts counts;
    {
        std::lock_guard<std::mutex> hold(observers.lock);
        counts = countNow(observers);
    }
    notifyServiceManager("STATUS=" + std::to_string(counts.clients) + " clients, " +
                         std::to_string(counts.names) + " names, " +
                         std::to_string(counterTotal(Counter::ConnectionsAccepted)) +
                         " connections since start, " + std::to_string(droppedMessageTotal()) +
                         " messages dropped.");
}

std::string scrapeHandler(void* context) {
    return observersScrape(*static_cast<ServerObservers*>(context));
}
HealthAnswer liveHandler(void* context) {
    return observersLive(*static_cast<ServerObservers*>(context));
}
HealthAnswer readyHandler(void* context) {
    return observersReady(*static_cast<ServerObservers*>(context));
}

}  // namespace

bool observersStart(ServerObservers& observers, const std::string& address, std::uint16_t port) {
    MetricsHandlers handlers{&observers, scrapeHandler, liveHandler, readyHandler};
    std::uint16_t bound = 0;
    std::string problem;
    observers.endpoint = metricsEndpointStart(address, port, handlers, &bound, &problem);
    if (observers.endpoint == nullptr) {
        logText("metrics: ");
        logText(problem.c_str());
        logEnd();
        return false;
    }
    logText("metrics: Serving /metrics, /livez and /readyz on ");
    logText(address.c_str());
    logText(":");
    logUnsigned(bound);
    logText(".");
    logEnd();
    return true;
}

void observersStop(ServerObservers& observers) {
    metricsEndpointStop(observers.endpoint);
    observers.endpoint = nullptr;
}

void observersAttach(ServerObservers* observers, ClientRegistry* registry, LockHandle registryLock,
                     std::uint32_t maxClients) {
    if (observers == nullptr) return;
    std::lock_guard<std::mutex> hold(observers->lock);
    observers->registry = registry;
    observers->registryLock = registryLock;
    observers->maxClients = maxClients;
}

void observersServing(ServerObservers* observers) {
    if (observers == nullptr) return;
    observers->lastTurnMillis.store(nowMillis(), std::memory_order_relaxed);
    observers->phase.store(ServerPhase::Serving);
    observers->watchdogMillis = serviceWatchdogMillis();
    notifyServiceManager("READY=1");
    sendStatus(*observers);
    observers->nextStatus = Clock::now() + kStatusInterval;
    observers->nextWatchdog = Clock::now();
}

void observersTurn(ServerObservers* observers) {
    if (observers == nullptr) return;
    observers->lastTurnMillis.store(nowMillis(), std::memory_order_relaxed);
    const Clock::time_point now = Clock::now();
    // Twice per interval, as systemd advises, so one late turn is not a
    // missed ping.
    if (observers->watchdogMillis > 0 && now >= observers->nextWatchdog) {
        notifyServiceManager("WATCHDOG=1");
        observers->nextWatchdog = now + std::chrono::milliseconds(observers->watchdogMillis / 2);
    }
    if (now >= observers->nextStatus) {
        sendStatus(*observers);
        observers->nextStatus = now + kStatusInterval;
    }
}

void observersStopping(ServerObservers* observers) {
    if (observers == nullptr) return;
    observers->phase.store(ServerPhase::Stopping);
    notifyServiceManager("STOPPING=1");
}

std::string observersScrape(ServerObservers& observers) {
    MetricsSnapshot snapshot;
    snapshot.version = observers.version;
    readCounters(&snapshot);
    snapshot.messagesDropped = droppedMessageTotal();
    SharedRegistry* shared = nullptr;
    {
        std::lock_guard<std::mutex> hold(observers.lock);
        Counts counts = countNow(observers);
        snapshot.clients = counts.clients;
        snapshot.names = counts.names;
        snapshot.maxClients = observers.maxClients;
        shared = counts.shared;
        // The shared registry lives as long as the registry is attached.
        snapshot.shared = sharedSnapshot(shared);
    }
    snapshot.process = readProcessUsage();
    return renderMetrics(snapshot);
}

HealthAnswer observersLive(ServerObservers& observers) {
    const std::int64_t last = observers.lastTurnMillis.load(std::memory_order_relaxed);
    if (last == 0) return HealthAnswer{true, "starting"};
    const std::int64_t quiet = nowMillis() - last;
    if (quiet <= kStuckMillis) return HealthAnswer{true, "alive"};
    return HealthAnswer{
        false, "the accept loop has not turned for " + std::to_string(quiet / 1000) + " s"};
}

HealthAnswer observersReady(ServerObservers& observers) {
    switch (observers.phase.load()) {
        case ServerPhase::Starting:
            return HealthAnswer{false, "starting"};
        case ServerPhase::Stopping:
            return HealthAnswer{false, "stopping"};
        case ServerPhase::Serving:
            break;
    }
    SharedRegistry* shared = nullptr;
    {
        std::lock_guard<std::mutex> hold(observers.lock);
        shared = countNow(observers).shared;
        if (shared != nullptr && !sharedRegistryState(shared).etcdUp)
            return HealthAnswer{false, "etcd is lost; serving this server's clients only"};
    }
    return HealthAnswer{true, "ready"};
}

}  // namespace peerdir
