// rows_shared_none.cpp -- the shared registry's rows in a build without the
// mode: reported as not measured, with the reason.
#include "bench/rows.h"

namespace peerdir {
namespace bench {

void measureSharedRegistry(const BenchContext& context, std::vector<Figure>& figures) {
    announce(context, "shared registry");
    figures.push_back(
        noted(figure("shared registry, two servers", "etcd", "not measured", kMissing, ""),
              "this build has no shared registry"));
}

}  // namespace bench
}  // namespace peerdir
