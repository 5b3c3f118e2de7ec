// rows_metrics.cpp -- what the metrics endpoint costs: introductions with
// it off and on (scraped every second), and the time of one scrape with a
// crowd connected.
#include <atomic>
#include <chrono>
#include <thread>

#include "bench/rows.h"
#include "bench/stats.h"
#include "kit/http_get.h"

namespace peerdir {
namespace bench {

namespace {

// A fixed port, so the scraper can start before the server that the
// introduction row starts; the benchmark runs in a network namespace of
// its own.
constexpr std::uint16_t kMetricsPort = 23781;
constexpr unsigned kScrapeIntervalMillis = 1000;
constexpr std::size_t kScrapeClients = 20000;
constexpr std::size_t kScrapes = 50;
constexpr double kScrapeGoalMillis = 10;

std::string metricsOption() { return "127.0.0.1:" + std::to_string(kMetricsPort); }

// Scrapes the endpoint every interval until stopped, as Prometheus would;
// failures (before the server is up, after it stops) are ignored.
void scrapeUntil(const std::atomic<bool>& stop) {
    while (!stop.load()) {
        kit::httpGet("127.0.0.1", kMetricsPort, "/metrics", 1000);
        for (unsigned waited = 0; waited < kScrapeIntervalMillis && !stop.load(); waited += 10)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

void introductionsOffAndOn(const BenchContext& context, std::vector<Figure>& figures) {
    BenchContext off = context;
    off.variant = ", metrics off";
    measureIntroductions(off, 100, 300, figures);
    BenchContext on = context;
    on.variant = ", metrics on, scraped every 1 s";
    on.server = withArguments(context.server, {"--metrics", metricsOption()});
    std::atomic<bool> stop{false};
    std::thread scraper(scrapeUntil, std::cref(stop));
    measureIntroductions(on, 100, 300, figures);
    stop.store(true);
    scraper.join();
}

// Milliseconds from the request to the last byte of each of count scrapes.
std::vector<double> timeScrapes(std::size_t count, std::size_t* failures) {
    std::vector<double> samples;
    for (std::size_t i = 0; i < count; ++i) {
        const double start = nowMillis();
        kit::HttpAnswer answer = kit::httpGet("127.0.0.1", kMetricsPort, "/metrics");
        if (answer.status != 200) {
            ++*failures;
            continue;
        }
        samples.push_back(nowMillis() - start);
    }
    return samples;
}

void scrapeAmongCrowd(const BenchContext& context, std::vector<Figure>& figures) {
    const std::size_t clients = std::min(kScrapeClients, context.capacityCeiling);
    const std::string area = "scrape of /metrics";
    const std::string setting = inMode(context, std::to_string(clients) + " clients connected");
    announce(context, area + ", " + setting);
    BenchContext with = context;
    with.server = withArguments(context.server, {"--metrics", metricsOption()});
    ServerUnderTest server;
    std::string why;
    if (!startServer(with.server, &server, &why)) return addMissing(area, setting, why, figures);
    std::vector<Socket> crowd = openClients(server, clients, kInFlight, kConnectMillis);
    if (crowd.size() == clients) {
        std::size_t failures = 0;
        Spread spread = spreadOf(timeScrapes(kScrapes, &failures));
        Figure p50 = withGoal(figure(area, setting, "p50", spread.p50, "ms"), Goal::AtMost,
                              kScrapeGoalMillis);
        p50 = noted(p50, std::to_string(spread.count) + " scrapes, one at a time");
        if (failures > 0) p50 = noted(p50, std::to_string(failures) + " failed");
        if (clients < kScrapeClients)
            p50 = noted(p50, "as many clients as the open-file limit allows");
        figures.push_back(p50);
        figures.push_back(figure(area, setting, "max", spread.max, "ms"));
    } else {
        addMissing(area, setting, "not all clients were welcomed", figures);
    }
    stopServer(server);
    closeClients(crowd);
}

}  // namespace

void measureMetrics(const BenchContext& context, std::vector<Figure>& figures) {
    introductionsOffAndOn(context, figures);
    scrapeAmongCrowd(context, figures);
}

}  // namespace bench
}  // namespace peerdir
