// http_get.cpp -- a GET with cpp-httplib's client, and the reading of one
// sample.
#include "kit/http_get.h"

#include <httplib.h>

#include <cstdlib>
#include <sstream>

namespace peerdir {
namespace kit {

HttpAnswer httpGet(const std::string& host, std::uint16_t port, const std::string& path,
                   unsigned millis) {
    httplib::Client client(host, port);
    const time_t seconds = millis / 1000;
    const time_t micros = (millis % 1000) * 1000;
    client.set_connection_timeout(seconds, micros);
    client.set_read_timeout(seconds, micros);
    client.set_write_timeout(seconds, micros);
    HttpAnswer answer;
    httplib::Result result = client.Get(path.c_str());
    if (!result) {
        answer.problem = httplib::to_string(result.error());
        return answer;
    }
    answer.status = result->status;
    answer.body = result->body;
    return answer;
}

std::uint16_t metricsPort(ChildProcess& server, unsigned millis) {
    const std::string line = lineAfter(server, "metrics: Serving ", millis);
    const std::size_t colon = line.rfind(':');
    if (colon == std::string::npos) return 0;
    return static_cast<std::uint16_t>(std::atoi(line.c_str() + colon + 1));
}

double sampleValue(const std::string& text, const std::string& series) {
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.compare(0, series.size() + 1, series + " ") == 0)
            return std::strtod(line.c_str() + series.size() + 1, nullptr);
    }
    return -1;
}

}  // namespace kit
}  // namespace peerdir
