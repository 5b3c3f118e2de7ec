// rows_tls_none.cpp -- the TLS rows in a build without TLS: reported as not
// measured, with the reason.
#include "bench/rows.h"

namespace peerdir {
namespace bench {

void measureTls(const BenchContext& context, std::vector<Figure>& figures) {
    announce(context, "TLS");
    addMissing("TLS", inMode(context, "against plain"), "this build has no TLS", figures);
}

}  // namespace bench
}  // namespace peerdir
