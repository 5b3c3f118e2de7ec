// metrics_text.h -- what one scrape reports, and its text in Prometheus's
// exposition format (version 0.0.4).
//
// The snapshot is a plain record filled at scrape time; rendering it is a
// pure function, so the format can be checked without a server. Names
// follow Prometheus's rules: a peerdir_ prefix, base units (seconds,
// bytes), _total on counters. No label ever carries a client, a name or an
// address: their number has no bound.
#ifndef PEERDIR_METRICS_METRICS_TEXT_H
#define PEERDIR_METRICS_METRICS_TEXT_H

#include <cstdint>
#include <string>

#include "metrics/counters.h"
#include "platform/supervision.h"

namespace peerdir {

// The shared registry's state, when the mode is on.
struct SharedSnapshot {
    bool present = false;
    bool etcdUp = false;
    std::uint64_t mirrorNames = 0;     // every server's registrations, as mirrored here
    std::uint64_t pending = 0;         // registrations no transaction has carried yet
    std::uint64_t unknown = 0;         // registrations whose put may or may not have landed
    std::uint64_t deletesWaiting = 0;  // keys waiting to be deleted
    std::uint64_t forwardsQueued = 0;  // forwards waiting for a forwarder
    DurationCounts etcdRequests;
};

struct MetricsSnapshot {
    std::string version;
    std::uint64_t clients = 0;     // connections served now
    std::uint64_t names = 0;       // names this server's clients hold now
    std::uint64_t maxClients = 0;  // the client limit in force; 0: none
    std::uint64_t counters[kCounterCount] = {};
    std::uint64_t messagesDropped = 0;
    ProcessUsage process;
    SharedSnapshot shared;
};

// The counters as they stand now, into snapshot.
void readCounters(MetricsSnapshot* snapshot);

// The exposition text, every family with its HELP and TYPE lines.
std::string renderMetrics(const MetricsSnapshot& snapshot);

// The Content-Type of that text.
constexpr const char* kMetricsContentType = "text/plain; version=0.0.4; charset=utf-8";

}  // namespace peerdir

#endif
