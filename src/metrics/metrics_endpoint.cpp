// metrics_endpoint.cpp -- the endpoint on cpp-httplib's server.
#include "metrics/metrics_endpoint.h"

#include <httplib.h>

#include <condition_variable>
#include <mutex>
#include <thread>

#include "metrics/metrics_text.h"
#include "platform/platform.h"
#include "platform/supervision.h"

namespace peerdir {

namespace {

// Two threads answer: a scrape and a health check can go side by side,
// and a third request waits its turn.
constexpr std::size_t kWorkers = 2;
// A request that sends nothing for this long, or takes this long to read
// its answer, is cut off; so is a connection kept open idle.
constexpr time_t kTimeoutSeconds = 2;
// No path here takes a body; a request that brings one larger than this
// gets 413.
constexpr std::size_t kMostBodyBytes = 1024;
constexpr std::size_t kMostRequestsPerConnection = 100;
// The listening thread starts its loop at once; this bounds the wait for it.
constexpr unsigned kStartMillis = 10000;

// The library's pool queues every accepted connection, so a flood would
// hold descriptors without bound. This one lets at most kWorkers
// connections in at a time: the library's accepting thread waits for a
// free worker, and the rest wait in the kernel's short listen queue.
// (A subclass, as the library takes its pools only so.)
class BoundedPool : public httplib::TaskQueue {
  public:
    BoundedPool() : pool_(kWorkers) {}

    void enqueue(std::function<void()> fn) override {
        {
            std::unique_lock<std::mutex> hold(lock_);
            free_.wait(hold, [this] { return busy_ < kWorkers; });
            ++busy_;
        }
        pool_.enqueue([this, fn]() {
            fn();
            std::lock_guard<std::mutex> hold(lock_);
            --busy_;
            free_.notify_one();
        });
    }

    void shutdown() override { pool_.shutdown(); }

  private:
    httplib::ThreadPool pool_;
    std::mutex lock_;
    std::condition_variable free_;
    std::size_t busy_ = 0;
};

void answerHealth(const HealthAnswer& answer, httplib::Response& response) {
    response.status = answer.healthy ? 200 : 503;
    response.set_content(answer.reason + "\n", "text/plain; charset=utf-8");
}

void route(httplib::Server& server, const MetricsHandlers& handlers) {
    server.Get("/metrics", [handlers](const httplib::Request&, httplib::Response& response) {
        response.set_content(handlers.scrape(handlers.context), kMetricsContentType);
    });
    server.Get("/livez", [handlers](const httplib::Request&, httplib::Response& response) {
        answerHealth(handlers.live(handlers.context), response);
    });
    server.Get("/readyz", [handlers](const httplib::Request&, httplib::Response& response) {
        answerHealth(handlers.ready(handlers.context), response);
    });
}

void limitRequests(httplib::Server& server) {
    server.new_task_queue = [] { return new BoundedPool(); };
    server.set_socket_options([](socket_t s) { prepareLibraryListener(s); });
    server.set_read_timeout(kTimeoutSeconds, 0);
    server.set_write_timeout(kTimeoutSeconds, 0);
    server.set_keep_alive_timeout(kTimeoutSeconds);
    server.set_keep_alive_max_count(kMostRequestsPerConnection);
    server.set_payload_max_length(kMostBodyBytes);
}

}  // namespace

struct MetricsEndpoint {
    httplib::Server server;
    std::thread listener;
};

bool metricsEndpointBuilt() { return true; }

MetricsEndpoint* metricsEndpointStart(const std::string& address, std::uint16_t port,
                                      const MetricsHandlers& handlers, std::uint16_t* boundPort,
                                      std::string* problem) {
    auto* endpoint = new MetricsEndpoint;
    limitRequests(endpoint->server);
    route(endpoint->server, handlers);
    int bound = port == 0 ? endpoint->server.bind_to_any_port(address)
                          : (endpoint->server.bind_to_port(address, port) ? port : -1);
    if (bound <= 0) {
        const int code = lastSocketError();
        *problem = "Could not bind the metrics listener to " + address + ":" +
                   std::to_string(port) + ". Error code was: " + std::to_string(code);
        delete endpoint;
        return nullptr;
    }
    *boundPort = static_cast<std::uint16_t>(bound);
    httplib::Server& server = endpoint->server;
    endpoint->listener = std::thread([&server] { server.listen_after_bind(); });
    // The library's stop does nothing until its loop runs, so the endpoint
    // is handed out only once it does: a stop that came sooner would leave
    // the loop running for ever.
    const Deadline deadline = deadlineAfter(kStartMillis);
    while (!server.is_running() && millisUntil(deadline) > 0) sleepMillis(1);
    return endpoint;
}

void metricsEndpointStop(MetricsEndpoint* endpoint) {
    if (endpoint == nullptr) return;
    endpoint->server.stop();
    endpoint->listener.join();
    delete endpoint;
}

}  // namespace peerdir
