// rows.h -- the benchmark's measurements. Each starts fresh servers of its
// own, appends its figures (with their targets) and stops what it started.
// A measurement that cannot be made reports its figures as missing, with the
// reason in the note, and the others go on.
#ifndef PEERDIR_BENCH_ROWS_H
#define PEERDIR_BENCH_ROWS_H

#include <cmath>
#include <cstddef>
#include <ostream>
#include <string>
#include <vector>

#include "bench/load.h"
#include "bench/report.h"

namespace peerdir {
namespace bench {

struct BenchContext {
    ServerCommand server;
    // The server's idle threads sleep in the kernel (--idle wait), and each
    // figure's setting says so.
    bool waitMode = false;
    bool launched = false;  // the server runs under a launcher (Wine)
    unsigned cores = 1;
    std::ostream* progress = nullptr;    // one line as each measurement starts
    std::size_t capacityCeiling = 8000;  // the capacity steps stop here
    unsigned capacitySeconds = 120;      // no capacity step starts after this
    // Added to every figure's setting, for rows measured twice with one
    // thing changed (", metrics on").
    std::string variant;
};

// Shared by the measurements: how long connecting a crowd may take, how many
// connects are under way at once, and the value of a figure not measured.
constexpr unsigned kConnectMillis = 60000;
// How long one reply from the server may take.
constexpr unsigned kReplyMillis = 5000;
constexpr double kKiB = 1024;
constexpr std::size_t kInFlight = 500;
inline const double kMissing = std::nan("");

// setting, marked when the figure is of the wait mode.
inline std::string inMode(const BenchContext& context, const std::string& setting) {
    return (context.waitMode ? setting + ", --idle wait" : setting) + context.variant;
}

// A figure that could not be measured, with the reason.
inline void addMissing(const std::string& area, const std::string& setting, const std::string& why,
                       std::vector<Figure>& figures) {
    figures.push_back(noted(figure(area, setting, "not measured", kMissing, ""), why));
}

// Says on the progress stream which measurement starts.
inline void announce(const BenchContext& context, const std::string& what) {
    if (context.progress != nullptr) *context.progress << "measuring: " << what << std::endl;
}

// The server's CPU in cores while nothing happens: the median of five 1 s
// windows; NaN when unreadable.
double waitingCores(ServerUnderTest& server);

// CPU of idle clients against the floor, and memory per idle client, at
// each of the given counts (CPU, memory or both, as asked).
void measureIdleClients(const BenchContext& context, std::size_t clients, bool cpu, bool memory,
                        std::vector<Figure>& figures);

// Memory per connection ever accepted, over cycles connect/disconnect cycles
// after a warm-up.
void measureLifetime(const BenchContext& context, std::size_t cycles, std::vector<Figure>& figures);

// Introduction latency with idleClients connected, to a quiet and to a busy
// target.
void measureIntroductions(const BenchContext& context, std::size_t idleClients, std::size_t samples,
                          std::vector<Figure>& figures);

// Introductions to a quiet target at 100 idle clients with the asker's
// requests at least 2 ms apart, so that no request meets the turn spacing.
void measureSpacedIntroductions(const BenchContext& context, std::size_t samples,
                                std::vector<Figure>& figures);

// The time for a list of names, from the request until its last entry.
void measureList(const BenchContext& context, std::size_t names, std::vector<Figure>& figures);

// Introductions at 100 idle clients without the metrics endpoint and with
// it scraped every second, one after the other; and the time a scrape
// takes with 20,000 clients connected (or as many as the open-file limit
// allows).
void measureMetrics(const BenchContext& context, std::vector<Figure>& figures);

// Forwarded ConnectRequests per second with this many senders.
void measureForwards(const BenchContext& context, std::size_t senders,
                     std::vector<Figure>& figures);

// The time until a burst of simultaneous connections is all welcomed.
void measureBurst(const BenchContext& context, std::size_t connections,
                  std::vector<Figure>& figures);

// A client that asks for the list of names as fast as it can and never
// reads, with names registered: the log it causes, other clients'
// introductions meanwhile (when idleClients is not 0), and how soon the
// server lets go of it once it resets its connection.
void measureNonReader(const BenchContext& context, std::size_t names, std::size_t idleClients,
                      std::vector<Figure>& figures);

// Resident memory per client when each of clientCount clients sends
// namesEach names, more than the server's default limit of names per client.
void measureNameLimitMemory(const BenchContext& context, std::size_t clientCount,
                            std::size_t namesEach, std::vector<Figure>& figures);

// With names registered by clients of 1,000 names each: the rate of the
// registrations, forwards to the last-registered name (and the p50 above
// baselineP50, unless that is NaN; *p50 is this one's), and the longest
// forward while the first 100 clients (all, when fewer) leave at once.
void measureRegistryScale(const BenchContext& context, std::size_t names, double baselineP50,
                          double* p50, std::vector<Figure>& figures);

// nonReaders clients each ask for the list of names once and never read:
// what the host's TCP memory and the server's resident size grow by, and
// how many names another client then reads of the whole list.
void measureUnreadLists(const BenchContext& context, std::size_t names, std::size_t nonReaders,
                        std::vector<Figure>& figures);

// Two servers sharing one registry on an etcd the benchmark starts:
// introductions on one server and across the two, a registration until it
// is listed on the other, a list of a thousand names, forwards across,
// registrations per second; 100,000 names (a list's time, memory per name);
// and the longest wait of any client request while etcd's leader is killed.
void measureSharedRegistry(const BenchContext& context, std::vector<Figure>& figures);

// TLS against plain, in wait mode: introductions at 100 idle clients, a
// burst of 1,000 connections (ECDSA P-256 and RSA-2048 certificates), idle
// CPU and memory with 1,000 idle clients, 10,000 TLS clients held, and a
// 1,000-name list.
void measureTls(const BenchContext& context, std::vector<Figure>& figures);

// The most clients served at once with introductions still under a second.
void measureCapacity(const BenchContext& context, std::vector<Figure>& figures);

}  // namespace bench
}  // namespace peerdir

#endif
