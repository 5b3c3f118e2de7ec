// rows_abuse.cpp -- what a careless or hostile client costs everyone else:
// a client that asks for the name list as fast as it can and never reads.
#include <atomic>
#include <cmath>
#include <fstream>
#include <string>
#include <vector>

#include "bench/rows.h"
#include "bench/stats.h"
#include "protocol/message.h"

namespace peerdir {
namespace bench {

namespace {

constexpr unsigned kFloodMillis = 5000;
// How long the benchmark waits for the server to let go of a client that
// reset its connection with requests still queued.
constexpr unsigned kReleaseWaitMillis = 15000;

struct Flood {
    Socket socket = kNoSocket;
    std::atomic<bool> stop{false};
};

// Sends ListRequests as fast as the socket takes them and reads nothing.
void sendListRequests(void* raw) {
    auto* flood = static_cast<Flood*>(raw);
    std::vector<std::uint8_t> batch;
    for (int i = 0; i < 256; ++i) appendMessage(batch, MessageType::ListRequest);
    sendUntilStopped(flood->socket, batch, flood->stop);
}

struct LogSize {
    double lines = 0;
    double bytes = 0;
};

// Streams the log, which a server without limits makes gigabytes long.
LogSize measureLog(const std::string& path) {
    LogSize size;
    std::ifstream file(path, std::ios::binary);
    std::vector<char> chunk(1 << 20);
    while (file.read(chunk.data(), static_cast<std::streamsize>(chunk.size())) ||
           file.gcount() > 0) {
        auto got = static_cast<std::size_t>(file.gcount());
        size.bytes += static_cast<double>(got);
        for (std::size_t i = 0; i < got; ++i) size.lines += chunk[i] == '\n' ? 1 : 0;
    }
    return size;
}

// True once the log, past offset bytes, holds a line that ends a
// connection; offset moves on to what was read, so a log of gigabytes is
// read once, not on every look.
bool connectionEndedSince(const std::string& path, std::uint64_t* offset) {
    std::ifstream file(path, std::ios::binary);
    file.seekg(static_cast<std::streamoff>(*offset));
    std::string line;
    while (std::getline(file, line)) {
        if (file.eof()) break;  // a line still being written
        *offset += line.size() + 1;
        if (line.rfind("ClientManager: Client disconnected", 0) == 0 ||
            line.rfind("ClientManager: Socket returned an error from recv", 0) == 0) {
            return true;
        }
    }
    return false;
}

// Milliseconds from the non-reader's reset until the server ends its
// connection; NaN when that takes longer than kReleaseWaitMillis. Every
// other client stays connected, so the first end line is the non-reader's.
double timeRelease(const ServerUnderTest& server, ClientConnection& flooder) {
    const std::string& path = server.process.outputFile;
    auto offset = static_cast<std::uint64_t>(measureLog(path).bytes);
    // The client leaves with unread data, which resets the connection.
    socketClose(flooder.socket);
    flooder.socket = kNoSocket;
    double start = nowMillis();
    while (nowMillis() - start < kReleaseWaitMillis) {
        if (connectionEndedSince(path, &offset)) return nowMillis() - start;
        sleepMillis(1);
    }
    return kMissing;
}

void addIntroductions(const std::string& area, const std::string& setting,
                      const std::vector<double>& samples, std::size_t failures,
                      std::vector<Figure>& figures) {
    Spread spread = spreadOf(samples);
    Figure p50 = noted(figure(area, setting, "introduction p50", spread.p50, "ms"),
                       std::to_string(spread.count) + " samples");
    if (failures > 0) p50 = noted(p50, std::to_string(failures) + " timed out");
    figures.push_back(p50);
    figures.push_back(
        withGoal(figure(area, setting, "introduction p99", spread.p99, "ms"), Goal::AtMost, 5));
}

void addLogFigures(const std::string& area, const std::string& setting, const LogSize& log,
                   double seconds, bool withGoal, std::vector<Figure>& figures) {
    Figure lines = figure(area, setting, "log lines per second", log.lines / seconds, "");
    if (withGoal) lines = bench::withGoal(lines, Goal::AtMost, 2);
    figures.push_back(lines);
    figures.push_back(figure(area, setting, "log bytes per second", log.bytes / seconds, "B"));
}

}  // namespace

void measureNonReader(const BenchContext& context, std::size_t names, std::size_t idleClients,
                      std::vector<Figure>& figures) {
    const std::string area = "a client that does not read";
    std::string setting = std::to_string(names) + " names";
    if (idleClients > 0) setting += ", " + std::to_string(idleClients) + " idle clients";
    announce(context, area + ", " + setting);
    ServerUnderTest server;
    std::string why;
    if (!startServer(context.server, &server, &why)) return addMissing(area, setting, why, figures);
    std::vector<ClientConnection> registrars;
    ClientConnection lister;
    IntroPair pair;
    std::vector<Socket> idle = openClients(server, idleClients, kInFlight, kConnectMillis);
    bool ready =
        idle.size() == idleClients && registerNames(server, names, &registrars) &&
        (lister = connectToServer(server.addressText, server.port)).error == ClientError::None &&
        awaitNames(lister, names) && (idleClients == 0 || makeIntroPair(server, &pair, &why));
    Flood flood;
    ClientConnection flooder = connectToServer(server.addressText, server.port);
    flood.socket = flooder.socket;
    ThreadHandle thread =
        ready && flood.socket != kNoSocket ? threadStart(sendListRequests, &flood) : nullptr;
    if (thread != nullptr) {
        const LogSize start = measureLog(server.process.outputFile);
        double started = nowMillis();
        std::vector<double> samples;
        std::size_t failures = 0;
        std::minstd_rand random(11);
        while (nowMillis() - started < kFloodMillis) {
            if (idleClients == 0) {
                sleepMillis(50);
                continue;
            }
            double took = introduceOnce(pair, false, kReplyMillis);
            if (std::isnan(took)) {
                ++failures;
            } else {
                samples.push_back(took);
            }
            pauseAtRandom(random);
        }
        flood.stop = true;
        threadWaitAll(&thread, 1);
        threadRelease(thread);
        double seconds = (nowMillis() - started) / 1000;
        LogSize end = measureLog(server.process.outputFile);
        if (idleClients > 0) addIntroductions(area, setting, samples, failures, figures);
        addLogFigures(area, setting, LogSize{end.lines - start.lines, end.bytes - start.bytes},
                      seconds, idleClients > 0, figures);
        double release = timeRelease(server, flooder);
        Figure f = figure(area, setting, "busy after its reset", release, "ms");
        if (std::isnan(release)) {
            f = noted(f, "still reading after " + std::to_string(kReleaseWaitMillis) + " ms");
        }
        figures.push_back(withGoal(f, Goal::AtMost, 100));
    } else {
        addMissing(area, setting, why.empty() ? "the clients could not be set up" : why, figures);
    }
    closeConnection(flooder);
    stopServer(server);
    closeIntroPair(pair);
    closeConnection(lister);
    for (ClientConnection& c : registrars) closeConnection(c);
    closeClients(idle);
}

void measureNameLimitMemory(const BenchContext& context, std::size_t clientCount,
                            std::size_t namesEach, std::vector<Figure>& figures) {
    const std::string area = "memory per client at its name limit";
    const std::string setting = std::to_string(clientCount) + " clients sending " +
                                std::to_string(namesEach) + " names each";
    announce(context, area + ", " + setting);
    ServerUnderTest server;
    std::string why;
    if (!startServer(context.server, &server, &why)) return addMissing(area, setting, why, figures);
    std::vector<ClientConnection> clients;
    for (std::size_t i = 0; i < clientCount; ++i) {
        clients.push_back(connectToServer(server.addressText, server.port));
    }
    kit::MemoryUse before, after;
    bool measured = kit::readMemoryUse(server.process, &before) &&
                    registerAndConfirm(clients, namesEach) &&
                    kit::readMemoryUse(server.process, &after);
    if (measured) {
        double perClient = (after.residentBytes - before.residentBytes) / clientCount / kKiB;
        figures.push_back(
            withGoal(figure(area, setting, "resident", perClient, "KiB"), Goal::AtMost, 128));
    } else {
        addMissing(area, setting, "the names could not be registered", figures);
    }
    stopServer(server);
    for (ClientConnection& c : clients) closeConnection(c);
}

}  // namespace bench
}  // namespace peerdir
