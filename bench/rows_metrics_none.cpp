// rows_metrics_none.cpp -- the metrics rows in a build without the
// endpoint: reported as not measured, with the reason.
#include "bench/rows.h"

namespace peerdir {
namespace bench {

void measureMetrics(const BenchContext& context, std::vector<Figure>& figures) {
    announce(context, "metrics");
    addMissing("metrics", "endpoint", "this build has no metrics endpoint", figures);
}

}  // namespace bench
}  // namespace peerdir
