// metrics_endpoint_none.cpp -- the endpoint in a build without the HTTP
// library: there is none, and the command line refuses --metrics.
#include "metrics/metrics_endpoint.h"

namespace peerdir {

bool metricsEndpointBuilt() { return false; }

MetricsEndpoint* metricsEndpointStart(const std::string&, std::uint16_t, const MetricsHandlers&,
                                      std::uint16_t*, std::string* problem) {
    *problem = "this build has no metrics endpoint.";
    return nullptr;
}

void metricsEndpointStop(MetricsEndpoint*) {}

}  // namespace peerdir
