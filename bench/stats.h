// stats.h -- the spread of a set of timings: count, median, p90, p99, max.
#ifndef PEERDIR_BENCH_STATS_H
#define PEERDIR_BENCH_STATS_H

#include <cstddef>
#include <vector>

namespace peerdir {
namespace bench {

struct Spread {
    std::size_t count = 0;
    double p50 = 0;
    double p90 = 0;
    double p99 = 0;
    double max = 0;
};

// Nearest-rank percentile (0 < p <= 100) of samples sorted ascending: the
// smallest sample that at least p percent of the samples do not exceed, so
// it is always a value that was measured. 0 for no samples.
double percentile(const std::vector<double>& sorted, double p);

// The spread of samples, given in any order.
Spread spreadOf(std::vector<double> samples);

}  // namespace bench
}  // namespace peerdir

#endif
