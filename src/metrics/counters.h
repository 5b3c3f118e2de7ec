// counters.h -- the server's event counts and the etcd request durations,
// kept for the metrics endpoint.
//
// Counting sits on the client managers' paths, so it takes no lock: each
// count is a relaxed atomic add to a stripe of counters chosen once per
// thread, so threads that count at the same moment seldom share a cache
// line. A scrape sums the stripes; the sum may miss adds under way, never
// loses one. Counts only grow, for the life of the process. Only events
// are counted here; what is true now (clients, names) is read at scrape
// time from where it lives.
#ifndef PEERDIR_METRICS_COUNTERS_H
#define PEERDIR_METRICS_COUNTERS_H

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace peerdir {

// One value per counted event. A new cause or outcome is a new entry here
// and one row in the metrics' table (metrics_text.cpp).
enum class Counter : unsigned {
    ConnectionsAccepted,  // every connection accepted, refused ones included
    RefusedClientLimit,   // closed at once: the client limit was reached
    RefusedThreadStart,   // closed at once: no thread could be started for it
    RefusedAddressLimit,  // closed at once: its address held its limit of clients
    RequestRegistration,  // a ClientName handled (ignored ones included)
    RequestList,
    RequestConnect,
    ConnectForwarded,  // the PeerRequest was written, or handed to another server
    ConnectNotFound,   // the asker got NameNotFound
    ConnectDropped,    // malformed, or the target's connection refused the PeerRequest
    EndedLeft,         // the client closed its connection
    EndedError,        // a read failed or a send found the connection broken
    EndedTimeout,      // keepalive or unacknowledged data timed out
    EndedStalled,      // a message begun and never finished
    EndedStop,         // the server's stop request
    NamesIgnored,      // a ClientName beyond the client's limit
    HandshakesFailed,  // TLS handshakes that failed or stalled: no client
    Count              // not a counter: how many there are
};

constexpr std::size_t kCounterCount = static_cast<std::size_t>(Counter::Count);

// Adds amount to counter.
void countEvent(Counter counter, std::uint64_t amount = 1);

// Everything counted so far.
std::uint64_t counterTotal(Counter counter);

// Durations in fixed buckets (upper bounds in seconds), as Prometheus's
// histograms take them: counts per bucket, not yet cumulative, and the sum.
constexpr std::size_t kDurationBuckets = 12;
constexpr double kDurationBounds[kDurationBuckets] = {0.001, 0.0025, 0.005, 0.01, 0.025, 0.05,
                                                      0.1,   0.25,   0.5,   1,    2.5,   5};

struct DurationCounts {
    std::uint64_t buckets[kDurationBuckets + 1] = {};  // the last: above every bound
    std::uint64_t count = 0;
    double sumSeconds = 0;
};

// One request to etcd took seconds, failover and retries included.
void observeEtcdRequest(double seconds);
DurationCounts etcdRequestDurations();

}  // namespace peerdir

#endif
