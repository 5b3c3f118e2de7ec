// stats.cpp -- nearest-rank percentiles.
#include "bench/stats.h"

#include <algorithm>
#include <cmath>

namespace peerdir {
namespace bench {

double percentile(const std::vector<double>& sorted, double p) {
    if (sorted.empty()) return 0;
    auto rank = static_cast<std::size_t>(std::ceil(p / 100.0 * static_cast<double>(sorted.size())));
    rank = std::min(std::max<std::size_t>(rank, 1), sorted.size());
    return sorted[rank - 1];
}

Spread spreadOf(std::vector<double> samples) {
    std::sort(samples.begin(), samples.end());
    Spread spread;
    spread.count = samples.size();
    spread.p50 = percentile(samples, 50);
    spread.p90 = percentile(samples, 90);
    spread.p99 = percentile(samples, 99);
    spread.max = samples.empty() ? 0 : samples.back();
    return spread;
}

}  // namespace bench
}  // namespace peerdir
