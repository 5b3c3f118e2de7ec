// metrics_endpoint.h -- the plain HTTP listener that Prometheus, load
// balancers and orchestrators ask: GET /metrics, /livez and /readyz.
//
// It listens apart from the clients' port and serves on a few threads of
// its own, with requests bounded in size and time, so a scraper (or anyone
// else who reaches it) can slow only the metrics, never the clients. The
// answers come from the handlers the server gives; the endpoint knows
// nothing of the server. Builds without the HTTP library (and the Windows
// build) have no endpoint: metricsEndpointBuilt() says so, and nothing else
// here may be called.
#ifndef PEERDIR_METRICS_METRICS_ENDPOINT_H
#define PEERDIR_METRICS_METRICS_ENDPOINT_H

#include <cstdint>
#include <string>

namespace peerdir {

// A health path's answer: 200 when healthy, 503 when not, with one line
// that says why.
struct HealthAnswer {
    bool healthy = false;
    std::string reason;
};

// Called on the endpoint's threads, several at once; context is passed
// back as given.
struct MetricsHandlers {
    void* context = nullptr;
    std::string (*scrape)(void* context) = nullptr;
    HealthAnswer (*live)(void* context) = nullptr;
    HealthAnswer (*ready)(void* context) = nullptr;
};

struct MetricsEndpoint;

// True when this build has the endpoint.
bool metricsEndpointBuilt();

// Binds address (dotted IPv4) and port (0: the system picks; *boundPort
// says which) and serves from then on. nullptr, with one line in *problem,
// when the bind fails; nothing is served then.
MetricsEndpoint* metricsEndpointStart(const std::string& address, std::uint16_t port,
                                      const MetricsHandlers& handlers, std::uint16_t* boundPort,
                                      std::string* problem);

// Stops listening, waits for requests under way (each bounded by the
// time-outs) and releases everything.
void metricsEndpointStop(MetricsEndpoint* endpoint);

}  // namespace peerdir

#endif
