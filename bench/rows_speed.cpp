// rows_speed.cpp -- how fast the server answers: introductions, a long name
// list, forwarding throughput, a burst of connections, and how many clients
// it serves at once.
#include <atomic>
#include <cmath>
#include <cstring>
#include <iterator>
#include <string>

#include "bench/rows.h"
#include "bench/stats.h"
#include "protocol/message.h"

namespace peerdir {
namespace bench {

namespace {

// p50, p90, p99 and max in milliseconds; the goals apply to p50 and p99 when
// given (0: none).
void addSpread(const std::string& area, const std::string& setting, const Spread& spread,
               std::size_t failures, double p50Goal, double p99Goal, std::vector<Figure>& figures) {
    Figure p50 = figure(area, setting, "p50", spread.p50, "ms");
    if (p50Goal > 0) p50 = withGoal(p50, Goal::AtMost, p50Goal);
    p50 = noted(p50, std::to_string(spread.count) + " samples");
    if (failures > 0) p50 = noted(p50, std::to_string(failures) + " timed out");
    Figure p99 = figure(area, setting, "p99", spread.p99, "ms");
    if (p99Goal > 0) p99 = withGoal(p99, Goal::AtMost, p99Goal);
    figures.push_back(p50);
    figures.push_back(figure(area, setting, "p90", spread.p90, "ms"));
    figures.push_back(p99);
    figures.push_back(figure(area, setting, "max", spread.max, "ms"));
}

// The introduction targets hold at 100 clients.
constexpr std::size_t kGoalClients = 100;

// The targets: at 100 clients, and in wait mode at 10,000 as well, where a
// sleeping thread wakes as soon as its request comes.
struct IntroGoals {
    double p50 = 0;
    double p99 = 0;
};

IntroGoals introGoals(const BenchContext& context, std::size_t idleClients) {
    if (!context.waitMode) return idleClients == kGoalClients ? IntroGoals{1, 2} : IntroGoals{};
    if (idleClients == kGoalClients) return IntroGoals{0.1, 1.5};
    return idleClients >= 10000 ? IntroGoals{0, 2} : IntroGoals{};
}

// Requests spaced at least this far apart never meet a client's 1 ms turn
// spacing.
constexpr unsigned kSpacedGapMicros = 2000;

void introduceAmongIdle(const BenchContext& context, std::size_t idleClients, std::size_t samples,
                        bool spaced, std::vector<Figure>& figures) {
    const std::string area = "introduction";
    const std::string clients = std::to_string(idleClients) + " idle clients";
    announce(context, inMode(context, "introductions, " + clients));
    ServerUnderTest server;
    IntroPair pair;
    std::string why;
    if (!startServer(context.server, &server, &why)) {
        return addMissing(area, inMode(context, clients), why, figures);
    }
    std::vector<Socket> idle = openClients(server, idleClients, kInFlight, kConnectMillis);
    if (idle.size() == idleClients && makeIntroPair(server, &pair, &why)) {
        std::minstd_rand random(static_cast<unsigned>(idleClients));
        const IntroGoals goals = introGoals(context, idleClients);
        for (bool busy : {false, true}) {
            if (spaced && busy) continue;
            std::size_t failures = 0;
            Spread spread = spreadOf(sampleIntroductions(pair, busy, samples, kReplyMillis, random,
                                                         &failures, spaced ? kSpacedGapMicros : 0));
            const std::string target = spaced ? ", quiet target, requests 2-4 ms apart"
                                              : (busy ? ", busy target" : ", quiet target");
            addSpread(area, inMode(context, clients + target), spread, failures,
                      spaced ? 0 : goals.p50, spaced ? (context.waitMode ? 0.3 : 0) : goals.p99,
                      figures);
        }
    } else {
        addMissing(area, inMode(context, clients),
                   why.empty() ? "not all idle clients were welcomed" : why, figures);
    }
    closeIntroPair(pair);
    stopServer(server);
    closeClients(idle);
}

}  // namespace

void measureIntroductions(const BenchContext& context, std::size_t idleClients, std::size_t samples,
                          std::vector<Figure>& figures) {
    introduceAmongIdle(context, idleClients, samples, false, figures);
}

void measureSpacedIntroductions(const BenchContext& context, std::size_t samples,
                                std::vector<Figure>& figures) {
    introduceAmongIdle(context, kGoalClients, samples, true, figures);
}

void measureList(const BenchContext& context, std::size_t names, std::vector<Figure>& figures) {
    const std::string area = std::to_string(names) + "-name list";
    const std::string setting = "request to last entry";
    announce(context, area);
    ServerUnderTest server;
    std::string why;
    if (!startServer(context.server, &server, &why)) return addMissing(area, setting, why, figures);
    std::vector<ClientConnection> registrars;
    ClientConnection lister;
    if (registerNames(server, names, &registrars) &&
        (lister = connectToServer(server.addressText, server.port)).error == ClientError::None &&
        awaitNames(lister, names)) {
        std::minstd_rand random(7);
        std::vector<double> samples;
        std::vector<std::uint8_t> buffer;
        std::size_t failures = 0;
        for (int i = 0; i < 200; ++i) {
            double took = timeList(lister, names, buffer);
            if (std::isnan(took)) {
                ++failures;
                break;  // the stream is out of step now
            }
            samples.push_back(took);
            pauseAtRandom(random);
        }
        addSpread(area, setting, spreadOf(samples), failures, 0, 3, figures);
    } else {
        addMissing(area, setting, "the names could not be registered", figures);
    }
    stopServer(server);
    for (ClientConnection& c : registrars) closeConnection(c);
    closeConnection(lister);
}

void measureForwards(const BenchContext& context, std::size_t senderCount,
                     std::vector<Figure>& figures) {
    const std::string area = "forwards per second";
    const std::string setting =
        std::to_string(senderCount) + (senderCount == 1 ? " sender" : " senders");
    announce(context, area + ", " + setting);
    ServerUnderTest server;
    IntroPair pair;
    std::string why;
    if (!startServer(context.server, &server, &why)) return addMissing(area, setting, why, figures);
    double rate =
        makeIntroPair(server, &pair, &why) ? forwardRate(server, pair, senderCount) : kMissing;
    stopServer(server);
    closeIntroPair(pair);
    if (std::isnan(rate))
        return addMissing(area, setting, why.empty() ? "no connection" : why, figures);
    figures.push_back(figure(area, setting, "forwards", rate, "/s"));
}

void measureBurst(const BenchContext& context, std::size_t connections,
                  std::vector<Figure>& figures) {
    const std::string area = "connection burst";
    const std::string setting =
        inMode(context, std::to_string(connections) + " connecting at once");
    announce(context, area + ", " + setting);
    ServerUnderTest server;
    std::string why;
    if (!startServer(context.server, &server, &why)) return addMissing(area, setting, why, figures);
    double start = nowMillis();
    std::vector<Socket> clients = openClients(server, connections, connections, kConnectMillis);
    double seconds = (nowMillis() - start) / 1000;
    auto welcomed = static_cast<double>(clients.size());
    stopServer(server);
    closeClients(clients);
    figures.push_back(withGoal(figure(area, setting, "welcomed", welcomed, ""), Goal::AtLeast,
                               static_cast<double>(connections)));
    figures.push_back(
        withGoal(figure(area, setting, "all welcomed after", seconds, "s"), Goal::AtMost, 2));
}

namespace {

constexpr std::size_t kCapacitySteps[] = {250,  500,  1000,  2000,  3000,  4000,  5000,
                                          6000, 8000, 10000, 15000, 20000, 25000, 30000};
constexpr std::size_t kCapacitySamples = 20;
constexpr double kServedMillis = 1000;

// The steps up to ceiling, and ceiling itself where it falls between two:
// the descriptor limit, not the list, then says where the row ends.
std::vector<std::size_t> capacityStepsUpTo(std::size_t ceiling) {
    std::vector<std::size_t> steps;
    for (std::size_t step : kCapacitySteps) {
        if (step <= ceiling) steps.push_back(step);
    }
    if (ceiling < kCapacitySteps[std::size(kCapacitySteps) - 1] &&
        (steps.empty() || steps.back() < ceiling)) {
        steps.push_back(ceiling);
    }
    return steps;
}

struct StepOutcome {
    bool passed = false;
    Spread spread;
    std::string why;  // for a failed step
};

StepOutcome tryStep(const ServerUnderTest& server, IntroPair& pair, std::vector<Socket>& idle,
                    std::size_t step, std::minstd_rand& random) {
    StepOutcome outcome;
    std::size_t wanted = step - idle.size();
    std::vector<Socket> more = openClients(server, wanted, kInFlight, kConnectMillis);
    idle.insert(idle.end(), more.begin(), more.end());
    if (more.size() < wanted) {
        outcome.why = "only " + std::to_string(idle.size()) + " of " + std::to_string(step) +
                      " clients were welcomed";
        return outcome;
    }
    std::size_t failures = 0;
    outcome.spread = spreadOf(
        sampleIntroductions(pair, false, kCapacitySamples, kReplyMillis, random, &failures));
    outcome.passed = failures == 0 && outcome.spread.max < kServedMillis;
    if (!outcome.passed) {
        outcome.why = "at " + std::to_string(step) + " clients an introduction took " +
                      (failures > 0 ? "over 5 s" : valueText(outcome.spread.max) + " ms");
    }
    return outcome;
}

}  // namespace

void measureCapacity(const BenchContext& context, std::vector<Figure>& figures) {
    const std::string area = "clients served at once";
    const std::string setting = inMode(context, "every introduction under 1 s");
    announce(context, inMode(context, area));
    ServerUnderTest server;
    IntroPair pair;
    std::string why;
    if (!startServer(context.server, &server, &why) || !makeIntroPair(server, &pair, &why)) {
        closeIntroPair(pair);
        stopServer(server);
        return addMissing(area, setting, why, figures);
    }
    std::vector<Socket> idle;
    std::minstd_rand random(11);
    std::size_t best = 0;
    StepOutcome bestOutcome;
    const double deadline = nowMillis() + context.capacitySeconds * 1000.0;
    std::string stopped = "stopped at the highest step tried";
    for (std::size_t step : capacityStepsUpTo(context.capacityCeiling)) {
        if (nowMillis() > deadline) {
            stopped = "time limit reached";
            break;
        }
        announce(context, area + ", " + std::to_string(step));
        StepOutcome outcome = tryStep(server, pair, idle, step, random);
        if (!outcome.passed) {
            stopped = outcome.why;
            break;
        }
        best = step;
        bestOutcome = outcome;
        if (step == context.capacityCeiling) {
            stopped = "the open-file limit allows no more (" + std::to_string(step) + ")";
        }
    }
    closeIntroPair(pair);
    stopServer(server);
    closeClients(idle);
    figures.push_back(
        noted(withGoal(figure(area, setting, "most clients", static_cast<double>(best), ""),
                       Goal::AtLeast, context.waitMode ? 20000 : 4000),
              stopped));
    figures.push_back(
        figure(area, setting, "introduction p50 there", bestOutcome.spread.p50, "ms"));
    figures.push_back(
        figure(area, setting, "introduction max there", bestOutcome.spread.max, "ms"));
}

}  // namespace bench
}  // namespace peerdir
