// http_get.h -- reading a server's metrics endpoint, for the tests and the
// benchmark: one GET over loopback, where the endpoint listens, and one
// sample out of the exposition text. Linux only, where the endpoint is
// built.
#ifndef PEERDIR_TESTS_KIT_HTTP_GET_H
#define PEERDIR_TESTS_KIT_HTTP_GET_H

#include <cstdint>
#include <string>

#include "kit/process.h"

namespace peerdir {
namespace kit {

struct HttpAnswer {
    int status = 0;  // 0: no answer; problem says why
    std::string body;
    std::string problem;
};

// GET path from host:port, bounded by millis for connecting and for each
// read and write.
HttpAnswer httpGet(const std::string& host, std::uint16_t port, const std::string& path,
                   unsigned millis = 5000);

// The port from the server's "metrics: Serving ... on ADDRESS:PORT." line;
// 0 when it has not come within millis.
std::uint16_t metricsPort(ChildProcess& server, unsigned millis = kProcessWaitMillis);

// The value of the sample whose name and labels are series exactly
// ("peerdir_requests_total{kind=\"list\"}"); -1 when text has none.
double sampleValue(const std::string& text, const std::string& series);

}  // namespace kit
}  // namespace peerdir

#endif
