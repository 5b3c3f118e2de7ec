// observers.h -- what the server tells those who watch it: Prometheus and
// the health paths through the metrics endpoint (with --metrics), and
// systemd through its notifications (when it runs the server).
//
// The accept loop reports to it at a few points: serving, every turn,
// stopping. Everything the endpoint's threads read is either an atomic or
// read under the record's own lock; clients and names are read under the
// registry's lock for as long as the stats line holds it, no longer. With
// no observers (nullptr) the accept loop does as it always did.
#ifndef PEERDIR_SERVER_OBSERVERS_H
#define PEERDIR_SERVER_OBSERVERS_H

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>

#include "clients/registry.h"
#include "metrics/metrics_endpoint.h"
#include "platform/platform.h"

namespace peerdir {

// Where the server stands, as /readyz tells it.
enum class ServerPhase {
    Starting,  // the clients' port is not served yet (joining etcd, say)
    Serving,   // the accept loop runs
    Stopping,  // a stop was requested; the clients are being let go
};

struct ServerObservers {
    std::string version;
    MetricsEndpoint* endpoint = nullptr;  // nullptr without --metrics

    // The accept loop's own:
    unsigned watchdogMillis = 0;  // 0: systemd wants no WATCHDOG=1
    std::chrono::steady_clock::time_point nextWatchdog{};
    std::chrono::steady_clock::time_point nextStatus{};

    // Read by the endpoint's threads:
    std::atomic<ServerPhase> phase{ServerPhase::Starting};
    // When the accept loop last turned, in steady-clock milliseconds.
    std::atomic<std::int64_t> lastTurnMillis{0};
    std::mutex lock;  // guards the three below against their release
    ClientRegistry* registry = nullptr;
    LockHandle registryLock = nullptr;
    std::uint32_t maxClients = 0;
};

// Starts the metrics endpoint when options ask for it, and logs where it
// listens. False, with one line logged, when its address cannot be bound.
bool observersStart(ServerObservers& observers, const std::string& address, std::uint16_t port);

// Stops the endpoint, if any; nothing is served after it.
void observersStop(ServerObservers& observers);

// The registry the scrapes count, from its creation until just before its
// release (registry nullptr).
void observersAttach(ServerObservers* observers, ClientRegistry* registry, LockHandle registryLock,
                     std::uint32_t maxClients);

// The port accepts and the shared registry (if any) has joined or given
// up: READY=1.
void observersServing(ServerObservers* observers);

// One turn of the accept loop: alive for /livez, WATCHDOG=1 and STATUS=
// when due.
void observersTurn(ServerObservers* observers);

// The stop request was seen: STOPPING=1, and /readyz says so.
void observersStopping(ServerObservers* observers);

// What the endpoint answers, for the server's own tests.
std::string observersScrape(ServerObservers& observers);
HealthAnswer observersLive(ServerObservers& observers);
HealthAnswer observersReady(ServerObservers& observers);

}  // namespace peerdir

#endif
