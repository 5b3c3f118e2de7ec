// rows_cost.cpp -- what clients cost when idle: CPU against the floor,
// memory per idle client, and memory per connection ever accepted.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <string>

#include "bench/floor.h"
#include "bench/machine.h"
#include "bench/rows.h"

namespace peerdir {
namespace bench {

namespace {

constexpr unsigned kSettleMillis = 500;
constexpr unsigned kWindowMillis = 1000;
constexpr int kCpuRounds = 5;

std::string clientsText(std::size_t n) { return std::to_string(n) + " idle clients"; }

// CPU the server used over the window, in cores; negative when unreadable.
double serverCores(ServerUnderTest& server) {
    double cpu0 = childCpuSeconds(server.process), wall0 = nowMillis();
    sleepMillis(kWindowMillis);
    double cpu1 = childCpuSeconds(server.process), wall1 = nowMillis();
    if (cpu0 < 0 || cpu1 < 0) return -1;
    return (cpu1 - cpu0) / ((wall1 - wall0) / 1000);
}

// A machine whose cores are all busy stretches every polling turn, so both
// the server and the floor cost less per client than they would with room.
std::string saturationNote(const BenchContext& context, double cores) {
    return cores >= 0.85 * context.cores ? "machine saturated: turns stretch beyond 1 ms" : "";
}

// Server and floor windows taken in turns, the server paused while the
// floor runs, so that load from elsewhere on the machine falls on both
// alike; each figure is the median of the rounds.
struct IdleCpu {
    std::vector<double> server;  // cores, one per round
    std::vector<double> floor;
    std::vector<double> ratio;
    std::vector<double> turns;  // the floor's turns per thread and second
};

double median(std::vector<double> values) {
    if (values.empty()) return kMissing;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

void addRound(IdleCpu& cpu, double server, const FloorFigures& floor) {
    if (server < 0 || !floor.measured) return;
    cpu.server.push_back(server);
    cpu.floor.push_back(floor.cores);
    cpu.ratio.push_back(server / floor.cores);
    cpu.turns.push_back(floor.turnsPerSecond);
}

// Where the server cannot be paused, one server window and then, with the
// server stopped, one floor window. The server is stopped on return.
IdleCpu measureIdleCpu(ServerUnderTest& server, std::size_t n) {
    IdleCpu cpu;
    for (int round = 0; round < kCpuRounds; ++round) {
        if (round > 0) {
            if (!kit::resumeProcess(server.process)) break;
            sleepMillis(kSettleMillis);
        }
        double cores = serverCores(server);
        bool paused = kit::pauseProcess(server.process);
        if (!paused) stopServer(server);
        addRound(cpu, cores, measureFloor(n, kSettleMillis, kWindowMillis));
        if (!paused) break;
    }
    stopServer(server);
    return cpu;
}

void addCpuFigures(const BenchContext& context, std::size_t n, const IdleCpu& cpu,
                   std::vector<Figure>& figures) {
    const std::string setting = clientsText(n);
    const double perClient = 1e6 / static_cast<double>(n);  // cores -> CPU us per second
    const double server = median(cpu.server);
    const double floorCores = median(cpu.floor);
    figures.push_back(noted(figure("idle CPU", setting, "server", server, "cores"),
                            saturationNote(context, server)));
    figures.push_back(noted(figure("idle CPU", setting, "floor", floorCores, "cores"),
                            saturationNote(context, floorCores)));
    figures.push_back(
        figure("idle CPU", setting, "server per client", server * perClient, "us CPU/s"));
    figures.push_back(
        figure("idle CPU", setting, "floor per client", floorCores * perClient, "us CPU/s"));
    figures.push_back(
        noted(withGoal(figure("idle CPU", setting, "server / floor", median(cpu.ratio), "x"),
                       Goal::AtMost, 1.1),
              "median of " + std::to_string(cpu.ratio.size()) + " rounds"));
    figures.push_back(
        figure("idle CPU", setting, "floor turns per thread", median(cpu.turns), "/s"));
}

void addWaitingCpuFigures(const BenchContext& context, std::size_t n, double cores,
                          std::vector<Figure>& figures) {
    const std::string setting = inMode(context, clientsText(n));
    Figure server = figure("idle CPU", setting, "server", cores, "cores");
    if (n >= 10000) server = withGoal(server, Goal::AtMost, 0.05);
    if (n == 1000) server = withGoal(server, Goal::AtMost, 0.02);
    figures.push_back(noted(server, "median of " + std::to_string(kCpuRounds) + " windows"));
    figures.push_back(figure("idle CPU", setting, "server per client",
                             cores * 1e6 / static_cast<double>(n), "us CPU/s"));
}

void addMemoryFigures(const std::string& setting, std::size_t n, const kit::MemoryUse& before,
                      const kit::MemoryUse& after, std::vector<Figure>& figures) {
    const double count = static_cast<double>(n);
    figures.push_back(
        withGoal(figure("memory per idle client", setting, "resident",
                        (after.residentBytes - before.residentBytes) / count / kKiB, "KiB"),
                 Goal::AtMost, 16));
    figures.push_back(
        withGoal(figure("memory per idle client", setting, "virtual",
                        (after.virtualBytes - before.virtualBytes) / count / kKiB, "KiB"),
                 Goal::AtMost, 512));
}

}  // namespace

// A sleeping server has no polling floor to compare with: its idle CPU is
// measured as it is, the median of a few windows, against an absolute goal.
double waitingCores(ServerUnderTest& server) {
    std::vector<double> rounds;
    for (int round = 0; round < kCpuRounds; ++round) {
        double cores = serverCores(server);
        if (cores >= 0) rounds.push_back(cores);
    }
    return median(rounds);
}

void measureIdleClients(const BenchContext& context, std::size_t n, bool cpu, bool memory,
                        std::vector<Figure>& figures) {
    const std::string setting = inMode(context, clientsText(n));
    announce(context, "idle clients, " + inMode(context, std::to_string(n)));
    ServerUnderTest server;
    std::string why;
    if (!startServer(context.server, &server, &why)) {
        addMissing(cpu ? "idle CPU" : "memory per idle client", setting, why, figures);
        return;
    }
    kit::MemoryUse before, after;
    bool memoryRead = kit::readMemoryUse(server.process, &before);
    std::vector<Socket> clients = openClients(server, n, kInFlight, kConnectMillis);
    IdleCpu idle;
    double waiting = kMissing;
    if (clients.size() == n) {
        sleepMillis(kSettleMillis);
        memoryRead = memoryRead && kit::readMemoryUse(server.process, &after);
        if (cpu && context.waitMode) waiting = waitingCores(server);
        if (cpu && !context.waitMode) idle = measureIdleCpu(server, n);
    } else {
        why = "only " + std::to_string(clients.size()) + " clients were welcomed";
    }
    stopServer(server);
    closeClients(clients);
    if (cpu && context.waitMode && !std::isnan(waiting)) {
        addWaitingCpuFigures(context, n, waiting, figures);
    } else if (cpu && !idle.ratio.empty()) {
        addCpuFigures(context, n, idle, figures);
    } else if (cpu) {
        addMissing("idle CPU", setting, why.empty() ? "CPU time unreadable" : why, figures);
    }
    if (memory && memoryRead && why.empty()) {
        addMemoryFigures(setting, n, before, after, figures);
    } else if (memory) {
        addMissing("memory per idle client", setting, why.empty() ? "unreadable" : why, figures);
    }
}

namespace {

struct CycleWork {
    const ServerUnderTest* server = nullptr;
    std::atomic<long> remaining{0};
    std::atomic<long> failures{0};
    double deadline = 0;  // nowMillis() after which no new cycle starts
};

void runCycles(void* raw) {
    auto* work = static_cast<CycleWork*>(raw);
    while (work->remaining.fetch_sub(1) > 0 && nowMillis() < work->deadline) {
        ClientConnection c = connectToServer(work->server->addressText, work->server->port, 5000);
        if (c.error != ClientError::None) ++work->failures;
        closeConnection(c);
    }
}

// Runs cycles connect/disconnect cycles on a few threads at once; false when
// any failed or time ran out.
bool cycle(const ServerUnderTest& server, long cycles, double limitMillis) {
    constexpr int kWorkers = 8;
    CycleWork work;
    work.server = &server;
    work.remaining = cycles;
    work.deadline = nowMillis() + limitMillis;
    std::vector<ThreadHandle> threads;
    for (int i = 0; i < kWorkers; ++i) {
        ThreadHandle t = threadStart(runCycles, &work);
        if (t != nullptr) threads.push_back(t);
    }
    threadWaitAll(threads.data(), threads.size());
    for (ThreadHandle t : threads) threadRelease(t);
    return !threads.empty() && work.failures == 0 && work.remaining <= 0 &&
           nowMillis() < work.deadline;
}

}  // namespace

void measureLifetime(const BenchContext& context, std::size_t cycles,
                     std::vector<Figure>& figures) {
    const std::string area = "memory per connection ever accepted";
    const std::string setting =
        inMode(context, std::to_string(cycles) + " connect/disconnect cycles");
    announce(context, setting);
    ServerUnderTest server;
    std::string why;
    if (!startServer(context.server, &server, &why)) return addMissing(area, setting, why, figures);
    // The warm-up fills what is made once (thread stacks kept for reuse,
    // allocator pools), so the growth after it is what each connection adds.
    kit::MemoryUse warm, after;
    double start = 0, end = 0;
    bool ok = cycle(server, 1000, 60000) && kit::readMemoryUse(server.process, &warm);
    if (ok) {
        start = nowMillis();
        ok = cycle(server, static_cast<long>(cycles), 120000);
        end = nowMillis();
        ok = ok && kit::readMemoryUse(server.process, &after);
    }
    stopServer(server);
    if (!ok) return addMissing(area, setting, "cycles failed or took too long", figures);
    const double count = static_cast<double>(cycles);
    figures.push_back(
        withGoal(figure(area, setting, "resident",
                        (after.residentBytes - warm.residentBytes) / count / kKiB, "KiB"),
                 Goal::AtMost, 0.1));
    figures.push_back(
        withGoal(figure(area, setting, "virtual",
                        (after.virtualBytes - warm.virtualBytes) / count / kKiB, "KiB"),
                 Goal::AtMost, 0.1));
    figures.push_back(figure(area, setting, "cycles", count / ((end - start) / 1000), "/s"));
}

}  // namespace bench
}  // namespace peerdir
