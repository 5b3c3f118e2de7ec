// load.cpp -- starting servers, opening connections in bulk, and timing
// introductions.
#include "bench/load.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

#include "protocol/message.h"

namespace peerdir {
namespace bench {

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

constexpr char kLogFile[] = "server.log";
// Within the server's default limit of names per client.
constexpr std::size_t kNamesPerRegistrar = 100;
constexpr unsigned kStopGraceMillis = 10000;

unsigned millisLeft(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<unsigned>(left.count()) : 0;
}

std::string makeScratchDirectory() {
    static std::random_device entropy;
    std::error_code error;
    fs::path base = fs::temp_directory_path(error);
    if (error) base = ".";
    for (int attempt = 0; attempt < 100; ++attempt) {
        fs::path dir = base / ("peerdir-bench-" + std::to_string(entropy()));
        if (fs::create_directory(dir, error)) return dir.string();
    }
    return "";
}

// A port nothing listens on now: the system picks one for a bind to port 0,
// and it stays free once that socket is closed, as nothing else runs in the
// benchmark's network namespace.
std::uint16_t freePort() {
    Socket probe = socketCreateTcp();
    if (probe == kNoSocket) return 0;
    std::uint16_t port = 0;
    if (socketBind(probe, ipv4FromText("127.0.0.1"), 0) == 0) port = socketLocalPort(probe);
    socketClose(probe);
    return port;
}

std::string readFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

// The address in the server's "Server IP Address: " line, once it is there.
bool announcedAddress(const std::string& log, std::string* address) {
    const std::string marker = "Server IP Address: ";
    std::size_t at = log.find(marker);
    if (at == std::string::npos) return false;
    std::size_t end = log.find_first_of("\r\n", at);
    if (end == std::string::npos) return false;
    *address = log.substr(at + marker.size(), end - at - marker.size());
    return true;
}

bool isLoopback(std::uint32_t networkOrder) { return (netToHost32(networkOrder) >> 24) == 127; }

bool failStart(ServerUnderTest* server, std::string* why, const std::string& reason) {
    std::string log = readFile(server->dir + "/" + kLogFile);
    *why = reason;
    if (!log.empty())
        *why += "; its log ends: " + log.substr(log.size() > 400 ? log.size() - 400 : 0);
    stopServer(*server);
    return false;
}

// Waits until the log names the server's address and a client is welcomed.
bool awaitWelcome(ServerUnderTest* server, unsigned millis, std::string* why) {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(millis);
    while (millisLeft(deadline) > 0) {
        if (!childRunning(server->process)) return failStart(server, why, "the server ended");
        if (server->addressText.empty() &&
            announcedAddress(readFile(server->dir + "/" + kLogFile), &server->addressText)) {
            server->address = ipv4FromText(server->addressText.c_str());
            if (!isLoopback(server->address)) {
                return failStart(server, why,
                                 "the server announced " + server->addressText +
                                     ", not a loopback address; run the benchmark in a network "
                                     "namespace of its own (make bench does)");
            }
        }
        if (!server->addressText.empty()) {
            ClientConnection probe = connectToServer(server->addressText, server->port, 1000);
            if (probe.error == ClientError::None) {
                closeConnection(probe);
                return true;
            }
        }
        sleepMillis(20);
    }
    return failStart(server, why, "the server welcomed no client in time");
}

Socket startConnect(const ServerUnderTest& server) {
    Socket s = socketCreateTcp();
    if (s == kNoSocket) return kNoSocket;
    if (socketSetNonBlocking(s) != 0 ||
        (socketConnect(s, server.address, hostToNet16(server.port)) != 0 &&
         !isStillConnecting(lastSocketError()))) {
        socketClose(s);
        return kNoSocket;
    }
    return s;
}

struct Connecting {
    Socket socket;
    std::size_t got;
    std::uint8_t header[kHeaderSize];
};

enum class Progress { Waiting, Welcomed, Failed };

Progress advance(Connecting& c) {
    int n = socketRecv(c.socket, c.header + c.got, kHeaderSize - c.got);
    if (n < 0) return isStillConnecting(lastSocketError()) ? Progress::Waiting : Progress::Failed;
    if (n == 0) return Progress::Failed;
    c.got += static_cast<std::size_t>(n);
    if (c.got < kHeaderSize) return Progress::Waiting;
    return decodeHeader(c.header) == static_cast<std::uint32_t>(MessageType::Welcome)
               ? Progress::Welcomed
               : Progress::Failed;
}

// Waits up to millis for any connection still waiting to have something to
// read, and moves those on. One wait covers them all: trying a receive on
// each would cost the benchmark a system call per connection and pass, and
// it has to share the machine with a server whose threads are busy too.
void advanceAll(std::vector<Connecting>& pending, std::vector<Socket>& welcomed, unsigned millis) {
    std::vector<Socket> sockets;
    for (const Connecting& c : pending) sockets.push_back(c.socket);
    std::unique_ptr<bool[]> readable(new bool[pending.size()]());
    if (socketWaitAnyReadable(sockets.data(), sockets.size(), millis, readable.get()) <= 0) {
        return;
    }
    // Walks backwards, so a finished connection can take the last one's
    // place without skipping it.
    for (std::size_t i = pending.size(); i-- > 0;) {
        if (!readable[i]) continue;
        Progress p = advance(pending[i]);
        if (p == Progress::Waiting) continue;
        if (p == Progress::Welcomed) {
            welcomed.push_back(pending[i].socket);
        } else {
            socketClose(pending[i].socket);
        }
        pending[i] = pending.back();
        pending.pop_back();
    }
}

}  // namespace

void pauseAtRandom(std::minstd_rand& random) {
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 2000));
}

double nowMillis() {
    return std::chrono::duration<double, std::milli>(Clock::now().time_since_epoch()).count();
}

bool startServer(const ServerCommand& how, ServerUnderTest* server, std::string* why) {
    *server = ServerUnderTest{};
    server->dir = makeScratchDirectory();
    server->port = freePort();
    if (server->dir.empty() || server->port == 0) {
        *why = "no scratch directory or no free port";
        return false;
    }
    std::ofstream(server->dir + "/config.txt") << "peerdir " << server->port << " 0 bench bench\n";
    if (!childStart(how.command, server->dir, server->dir + "/" + kLogFile, &server->process)) {
        *why = "cannot start " + how.command.front();
        return false;
    }
    return awaitWelcome(server, how.startMillis, why);
}

std::string serverLogPath(const ServerUnderTest& server) { return server.dir + "/" + kLogFile; }

void stopServer(ServerUnderTest& server) {
    childStop(server.process, kStopGraceMillis);
    std::error_code error;
    if (!server.dir.empty()) fs::remove_all(server.dir, error);
    server.dir.clear();
}

std::vector<Socket> openClients(const ServerUnderTest& server, std::size_t count,
                                std::size_t inFlight, unsigned millis) {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(millis);
    std::vector<Socket> welcomed;
    std::vector<Connecting> pending;
    std::size_t started = 0;
    while ((started < count || !pending.empty()) && millisLeft(deadline) > 0) {
        while (started < count && pending.size() < inFlight) {
            ++started;
            Socket s = startConnect(server);
            if (s != kNoSocket) pending.push_back(Connecting{s, 0, {}});
        }
        advanceAll(pending, welcomed, std::min(100u, millisLeft(deadline)));
    }
    for (Connecting& c : pending) socketClose(c.socket);
    return welcomed;
}

void closeClients(std::vector<Socket>& sockets) {
    for (Socket s : sockets) socketClose(s);
    sockets.clear();
}

bool readExactly(Socket s, std::uint8_t* buffer, std::size_t size, unsigned millis) {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(millis);
    std::size_t got = 0;
    while (got < size) {
        int n = socketRecv(s, buffer + got, size - got);
        if (n > 0) {
            got += static_cast<std::size_t>(n);
            continue;
        }
        if (n == 0 || !isWouldBlock(lastSocketError())) return false;
        unsigned left = millisLeft(deadline);
        if (left == 0 || socketWaitReadable(s, left) < 0) return false;
    }
    return true;
}

bool makeIntroPair(const ServerUnderTest& server, IntroPair* pair, std::string* why) {
    pair->asker = connectToServer(server.addressText, server.port);
    pair->target = connectToServer(server.addressText, server.port);
    if (pair->asker.error != ClientError::None || pair->target.error != ClientError::None ||
        !registerName(pair->target, kTargetName)) {
        *why = "cannot connect the asker and the target: " + pair->asker.message +
               pair->target.message;
        return false;
    }
    // The target's thread takes the registration at its next turn; a
    // request before that would be answered NameNotFound.
    std::vector<std::string> names;
    for (int attempt = 0; attempt < 100 && names.empty(); ++attempt) {
        if (!listNames(pair->asker, 50, &names)) break;
    }
    if (names.empty() || std::isnan(introduceOnce(*pair, false, 30000))) {
        *why = "no introduction came through: " + pair->target.message;
        return false;
    }
    return true;
}

bool registerNames(const ServerUnderTest& server, std::size_t count,
                   std::vector<ClientConnection>* registrars) {
    for (std::size_t first = 0; first < count; first += kNamesPerRegistrar) {
        registrars->push_back(connectToServer(server.addressText, server.port));
        ClientConnection& c = registrars->back();
        if (c.error != ClientError::None) return false;
        std::vector<std::uint8_t> wire;
        for (std::size_t i = first; i < first + kNamesPerRegistrar && i < count; ++i) {
            NamePayload name;
            writeTextField("n" + std::to_string(i), name.name, kNameFieldSize);
            std::uint8_t payload[kNamePayloadSize];
            encodeNamePayload(name, payload);
            appendMessage(wire, MessageType::ClientName, payload);
        }
        if (socketSend(c.socket, wire.data(), wire.size()) != static_cast<int>(wire.size())) {
            return false;
        }
    }
    return true;
}

bool awaitNames(ClientConnection& lister, std::size_t count) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::vector<std::string> names;
        if (!listNames(lister, 100, &names)) return false;
        if (names.size() == count) return true;
    }
    return false;
}

void closeIntroPair(IntroPair& pair) {
    closeConnection(pair.asker);
    closeConnection(pair.target);
}

double introduceOnce(IntroPair& pair, bool busyTarget, unsigned timeoutMillis) {
    const double nan = std::nan("");
    if (busyTarget && !requestConnect(pair.target, "nobody", "127.0.0.1", 1)) return nan;
    double start = nowMillis();
    if (!requestConnect(pair.asker, kTargetName, "127.0.0.1", 7000)) return nan;
    double took = nan;
    bool answered = !busyTarget;  // the target's own NameNotFound
    while (std::isnan(took) || !answered) {
        ServerMessage message;
        if (!readServerMessage(pair.target, timeoutMillis, &message)) return nan;
        if (message.type == MessageType::PeerRequest) took = nowMillis() - start;
        if (message.type == MessageType::NameNotFound) answered = true;
    }
    return took;
}

std::vector<double> sampleIntroductions(IntroPair& pair, bool busyTarget, std::size_t count,
                                        unsigned timeoutMillis, std::minstd_rand& random,
                                        std::size_t* failures) {
    std::vector<double> samples;
    *failures = 0;
    for (std::size_t i = 0; i < count; ++i) {
        double took = introduceOnce(pair, busyTarget, timeoutMillis);
        if (std::isnan(took)) {
            ++*failures;
        } else {
            samples.push_back(took);
        }
        pauseAtRandom(random);
    }
    return samples;
}

}  // namespace bench
}  // namespace peerdir
