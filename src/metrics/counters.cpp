// counters.cpp -- striped relaxed counters and the duration buckets.
#include "metrics/counters.h"

namespace peerdir {

namespace {

// Enough stripes that the few threads busy at one moment (2 cores here)
// rarely meet, few enough that a scrape sums them in no time.
constexpr std::size_t kStripes = 16;

struct alignas(64) Stripe {
    std::atomic<std::uint64_t> values[kCounterCount];
};

Stripe g_stripes[kStripes];
std::atomic<unsigned> g_nextStripe{0};
// Plain data, so a thread that ends has nothing of it to destroy.
thread_local unsigned t_stripe = kStripes;

Stripe& ownStripe() {
    if (t_stripe == kStripes) {
        t_stripe = g_nextStripe.fetch_add(1, std::memory_order_relaxed) % kStripes;
    }
    return g_stripes[t_stripe];
}

// etcd requests are few (a handful a second at most), so one set of
// atomics serves them.
std::atomic<std::uint64_t> g_etcdBuckets[kDurationBuckets + 1];
std::atomic<std::uint64_t> g_etcdMicros{0};

}  // namespace

void countEvent(Counter counter, std::uint64_t amount) {
    ownStripe().values[static_cast<std::size_t>(counter)].fetch_add(amount,
                                                                    std::memory_order_relaxed);
}

std::uint64_t counterTotal(Counter counter) {
    std::uint64_t total = 0;
    for (const Stripe& stripe : g_stripes) {
        total += stripe.values[static_cast<std::size_t>(counter)].load(std::memory_order_relaxed);
    }
    return total;
}

void observeEtcdRequest(double seconds) {
    std::size_t bucket = 0;
    while (bucket < kDurationBuckets && seconds > kDurationBounds[bucket]) ++bucket;
    g_etcdBuckets[bucket].fetch_add(1, std::memory_order_relaxed);
    const double micros = seconds > 0 ? seconds * 1e6 : 0;
    g_etcdMicros.fetch_add(static_cast<std::uint64_t>(micros), std::memory_order_relaxed);
}

DurationCounts etcdRequestDurations() {
    DurationCounts counts;
    for (std::size_t i = 0; i <= kDurationBuckets; ++i) {
        counts.buckets[i] = g_etcdBuckets[i].load(std::memory_order_relaxed);
        counts.count += counts.buckets[i];
    }
    counts.sumSeconds = static_cast<double>(g_etcdMicros.load(std::memory_order_relaxed)) / 1e6;
    return counts;
}

}  // namespace peerdir
