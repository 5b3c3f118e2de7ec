// load.cpp -- starting servers, opening connections in bulk, and timing
// introductions.
#include "bench/load.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <functional>
#include <thread>

#include "protocol/message.h"

namespace peerdir {
namespace bench {

namespace {

using Clock = std::chrono::steady_clock;

constexpr char kLogFile[] = "server.log";
// Within the server's default limit of names per client.
constexpr std::size_t kNamesPerRegistrar = 100;
constexpr unsigned kStopGraceMillis = 10000;
// How long the checks that the server has taken the names, or an
// introduction's target, may take.
constexpr unsigned kSettleMillis = 30000;

bool isLoopback(std::uint32_t networkOrder) { return (netToHost32(networkOrder) >> 24) == 127; }

bool failStart(ServerUnderTest* server, std::string* why, const std::string& reason) {
    kit::drainLog(server->process);
    const std::string& log = server->process.log;
    *why = reason;
    if (!log.empty())
        *why += "; its log ends: " + log.substr(log.size() > 400 ? log.size() - 400 : 0);
    stopServer(*server);
    return false;
}

using Names = std::vector<std::string>;

// Asks for the list until done(names) holds; false when it does not within
// kSettleMillis or a list cannot be had.
bool awaitList(ClientConnection& lister, const std::function<bool(const Names&)>& done) {
    const Deadline deadline = deadlineAfter(kSettleMillis);
    while (millisUntil(deadline) > 0) {
        Names names;
        if (!listNames(lister, 100, &names)) return false;
        if (done(names)) return true;
    }
    return false;
}

// Waits until the log names the server's address and port and a client is
// welcomed there.
bool awaitWelcome(ServerUnderTest* server, unsigned millis, std::string* why) {
    const Deadline deadline = deadlineAfter(millis);
    server->addressText = kit::announcedAddress(server->process, millis);
    if (server->addressText.empty())
        return failStart(server, why, "the server announced no address");
    server->address = ipv4FromText(server->addressText.c_str());
    if (!isLoopback(server->address)) {
        return failStart(server, why,
                         "the server announced " + server->addressText +
                             ", not a loopback address; run the benchmark in a network "
                             "namespace of its own (make bench does)");
    }
    server->port = kit::listeningPort(server->process, millisUntil(deadline));
    if (server->port == 0) return failStart(server, why, "the server announced no port");
    if (!kit::awaitWelcome(server->process, server->addressText, server->port,
                           millisUntil(deadline), server->tls ? &server->clientTls : nullptr)) {
        return failStart(server, why, "the server welcomed no client in time");
    }
    return true;
}

constexpr unsigned kListReplyMillis = 5000;
// However a list is read, it ends within this.
constexpr unsigned kListWholeMillis = 30000;

constexpr std::size_t kForwardSize = kHeaderSize + kConnectPayloadSize;
constexpr std::size_t kBatch = 16;

struct ForwardWork {
    std::atomic<bool> stop{false};
    std::atomic<unsigned long long> received{0};
};

struct Sender {
    ForwardWork* work = nullptr;
    ClientConnection connection;
    std::string target;
};

struct Reader {
    ForwardWork* work = nullptr;
    Socket socket = kNoSocket;
};

// Reads everything the target receives and counts its bytes. Like the
// senders, it runs at the priority of the server's polling threads: the
// benchmark shares the machine with the server, and busy threads at a
// higher priority would take the CPU the server needs.
void readForwards(void* raw) {
    auto* reader = static_cast<Reader*>(raw);
    threadLowerPriority();
    std::vector<std::uint8_t> buffer(1 << 16);
    while (!reader->work->stop.load()) {
        int n = socketRecv(reader->socket, buffer.data(), buffer.size());
        if (n > 0) {
            reader->work->received += static_cast<unsigned long long>(n);
        } else if (n == 0 || !isWouldBlock(lastSocketError())) {
            return;
        } else {
            socketWaitReadable(reader->socket, 50);
        }
    }
}

std::vector<std::uint8_t> forwardBatch(const std::string& name) {
    ConnectPayload request;
    writeTextField(name, request.name, kNameFieldSize);
    writeTextField("127.0.0.1", request.address, kAddressFieldSize);
    request.port[0] = 0x1b;
    request.port[1] = 0x58;
    std::uint8_t payload[kConnectPayloadSize];
    encodeConnectPayload(request, payload);
    std::vector<std::uint8_t> wire;
    for (std::size_t i = 0; i < kBatch; ++i)
        appendMessage(wire, MessageType::ConnectRequest, payload);
    return wire;
}

// Keeps the sender's socket full: the server reads one request per turn, so
// the rest waits in the socket, as it would for a client that asks faster
// than it is served.
void sendForwards(void* raw) {
    auto* sender = static_cast<Sender*>(raw);
    threadLowerPriority();
    sendUntilStopped(sender->connection.socket, forwardBatch(sender->target), sender->work->stop);
}

// Forwards per second reaching the target over the window, after a warm-up.
double countForwards(ForwardWork& work) {
    sleepMillis(300);
    unsigned long long bytes0 = work.received;
    double start = nowMillis();
    sleepMillis(2000);
    unsigned long long bytes1 = work.received;
    double seconds = (nowMillis() - start) / 1000;
    return static_cast<double>(bytes1 - bytes0) / kForwardSize / seconds;
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
    server->tls = how.tls;
    server->clientTls = how.clientTls;
    server->dir = kit::makeScratchDirectory("peerdir-bench");
    if (server->dir.empty() || !kit::writeServerConfig(server->dir)) {
        *why = "no scratch directory";
        return false;
    }
    server->process.outputFile = server->dir + "/" + kLogFile;
    if (!kit::startProgram(server->process, server->dir, how.command, kit::OutputTo::File)) {
        *why = "cannot start " + how.command.front();
        stopServer(*server);
        return false;
    }
    return awaitWelcome(server, how.startMillis, why);
}

ClientConnection connectTo(const ServerUnderTest& server, unsigned timeoutMillis) {
    return connectToServer(server.addressText, server.port, timeoutMillis,
                           server.tls ? &server.clientTls : nullptr);
}

void stopServer(ServerUnderTest& server) {
    kit::stopGently(server.process, kStopGraceMillis);
    kit::removeScratchDirectory(server.dir);
    server.dir.clear();
}

std::vector<Socket> openClients(const ServerUnderTest& server, std::size_t count,
                                std::size_t inFlight, unsigned millis) {
    return kit::openClients(server.address, server.port, count, inFlight, millis);
}

void sendUntilStopped(Socket s, const std::vector<std::uint8_t>& batch,
                      const std::atomic<bool>& stop) {
    std::size_t offset = 0;
    while (!stop.load()) {
        int n = socketSend(s, batch.data() + offset, batch.size() - offset);
        if (n > 0) {
            offset = (offset + static_cast<std::size_t>(n)) % batch.size();
        } else if (!isWouldBlock(lastSocketError())) {
            return;
        } else {
            sleepMillis(1);
        }
    }
}

bool makeIntroPair(const ServerUnderTest& server, IntroPair* pair, std::string* why) {
    return makeIntroPair(server, server, pair, why);
}

bool makeIntroPair(const ServerUnderTest& askerServer, const ServerUnderTest& targetServer,
                   IntroPair* pair, std::string* why) {
    pair->asker = connectTo(askerServer);
    pair->target = connectTo(targetServer);
    if (pair->asker.error != ClientError::None || pair->target.error != ClientError::None ||
        !registerName(pair->target, pair->name)) {
        *why = "cannot connect the asker and the target: " + pair->asker.message +
               pair->target.message;
        return false;
    }
    // The target's thread takes the registration at its next turn; a
    // request before that would be answered NameNotFound.
    auto targetListed = [pair](const Names& names) {
        return std::find(names.begin(), names.end(), pair->name) != names.end();
    };
    if (!awaitList(pair->asker, targetListed) ||
        std::isnan(introduceOnce(*pair, false, kSettleMillis))) {
        *why = "no introduction came through: " + pair->target.message;
        return false;
    }
    return true;
}

bool registerNames(const ServerUnderTest& server, std::size_t count,
                   std::vector<ClientConnection>* registrars) {
    for (std::size_t first = 0; first < count; first += kNamesPerRegistrar) {
        registrars->push_back(connectTo(server));
        ClientConnection& c = registrars->back();
        if (c.error != ClientError::None) return false;
        std::vector<std::uint8_t> wire;
        for (std::size_t i = first; i < first + kNamesPerRegistrar && i < count; ++i) {
            appendClientName(wire, "n" + std::to_string(i));
        }
        if (!sendRaw(c, wire.data(), wire.size())) return false;
    }
    return true;
}

bool awaitNames(ClientConnection& lister, std::size_t count) {
    return awaitList(lister, [count](const Names& names) { return names.size() == count; });
}

bool connectClients(const ServerUnderTest& server, std::size_t count,
                    std::vector<ClientConnection>* clients) {
    for (std::size_t i = 0; i < count; ++i) {
        clients->push_back(connectTo(server));
        if (clients->back().error != ClientError::None) return false;
    }
    return true;
}

bool sendNames(std::vector<ClientConnection>& clients, std::size_t namesEach,
               const std::string& stem) {
    for (std::size_t i = 0; i < clients.size(); ++i) {
        std::vector<std::uint8_t> wire;
        for (std::size_t j = 0; j < namesEach; ++j) {
            appendClientName(wire, stem + std::to_string(i) + "-" + std::to_string(j));
        }
        if (!sendRaw(clients[i], wire.data(), wire.size())) return false;
    }
    return true;
}

void closeAll(std::vector<ClientConnection>& clients) {
    for (ClientConnection& c : clients) {
        if (c.socket != kNoSocket) socketShutdownSend(c.socket);
    }
    for (ClientConnection& c : clients) closeConnection(c);
}

void tallyReplies(ReplyTally& tally, const std::uint8_t* bytes, std::size_t size) {
    std::vector<std::uint8_t>& pending = tally.pending;
    pending.insert(pending.end(), bytes, bytes + size);
    std::size_t at = 0;
    while (!tally.lost && pending.size() - at >= kHeaderSize) {
        std::uint8_t header[kHeaderSize];
        std::memcpy(header, pending.data() + at, kHeaderSize);
        const std::uint32_t type = decodeHeader(header);
        if (type == static_cast<std::uint32_t>(MessageType::NameNotFound)) {
            ++tally.notFound;
            at += kHeaderSize;
        } else if (type != static_cast<std::uint32_t>(MessageType::ClientName)) {
            tally.lost = true;
        } else if (pending.size() - at >= kListedSize) {
            NamePayload payload = decodeNamePayload(pending.data() + at + kHeaderSize);
            std::string name;
            readTextField(payload.name, kNameFieldSize, &name);
            ++tally.names;
            if (name.compare(0, tally.stem.size(), tally.stem) == 0) ++tally.matching;
            at += kListedSize;
        } else {
            break;
        }
    }
    pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(at));
}

ListReply listOnce(const ServerUnderTest& server, const std::string& stem, std::size_t expected,
                   unsigned quietMillis) {
    ListReply reply;
    ClientConnection lister = connectToServer(server.addressText, server.port);
    const double start = nowMillis();
    reply.asked = lister.error == ClientError::None && requestList(lister);
    ReplyTally tally;
    tally.stem = stem;
    std::vector<std::uint8_t> chunk(1 << 16);
    unsigned wait = kListReplyMillis;
    while (reply.asked && tally.matching < expected && !tally.lost &&
           nowMillis() - start < kListWholeMillis) {
        int n = socketRecv(lister.socket, chunk.data(), chunk.size());
        if (n > 0) {
            const std::size_t before = tally.names;
            tallyReplies(tally, chunk.data(), static_cast<std::size_t>(n));
            if (tally.names > before) reply.millis = nowMillis() - start;
            wait = quietMillis;
        } else if (n == 0 || !isWouldBlock(lastSocketError()) ||
                   socketWaitReadable(lister.socket, wait) <= 0) {
            break;
        }
    }
    reply.names = tally.names;
    reply.matching = tally.matching;
    closeConnection(lister);
    return reply;
}

void closeIntroPair(IntroPair& pair) {
    closeConnection(pair.asker);
    closeConnection(pair.target);
}

double introduceOnce(IntroPair& pair, bool busyTarget, unsigned timeoutMillis) {
    const double nan = std::nan("");
    if (busyTarget && !requestConnect(pair.target, "nobody", "127.0.0.1", 1)) return nan;
    double start = nowMillis();
    if (!requestConnect(pair.asker, pair.name, "127.0.0.1", 7000)) return nan;
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

double timeList(ClientConnection& lister, std::size_t count, std::vector<std::uint8_t>& buffer) {
    buffer.resize(count * kListedSize);
    double start = nowMillis();
    if (!requestList(lister) ||
        readExactly(lister, buffer.data(), buffer.size(), deadlineAfter(kListReplyMillis)).end !=
            ReadEnd::Whole) {
        return std::nan("");
    }
    double took = nowMillis() - start;
    std::uint8_t header[kHeaderSize];
    std::memcpy(header, buffer.data() + buffer.size() - kListedSize, kHeaderSize);
    return decodeHeader(header) == static_cast<std::uint32_t>(MessageType::ClientName)
               ? took
               : std::nan("");
}

double forwardRate(const ServerUnderTest& senderServer, IntroPair& pair, std::size_t senderCount) {
    ForwardWork work;
    std::vector<Sender> senders(senderCount);
    std::vector<ThreadHandle> threads;
    bool ready = true;
    for (Sender& s : senders) {
        s.work = &work;
        s.target = pair.name;
        s.connection = connectToServer(senderServer.addressText, senderServer.port);
        ready = ready && s.connection.error == ClientError::None;
    }
    Reader reader{&work, pair.target.socket};
    double rate = std::nan("");
    if (ready) {
        auto start = [&threads](ThreadEntry entry, void* argument) {
            ThreadHandle t = threadStart(entry, argument);
            if (t != nullptr) threads.push_back(t);
        };
        start(readForwards, &reader);
        for (Sender& s : senders) start(sendForwards, &s);
        if (threads.size() == senders.size() + 1) rate = countForwards(work);
        work.stop = true;
        threadWaitAll(threads.data(), threads.size());
        for (ThreadHandle t : threads) threadRelease(t);
    }
    for (Sender& s : senders) closeConnection(s.connection);
    return rate;
}

ServerCommand withArguments(ServerCommand how, const std::vector<std::string>& args) {
    how.command.insert(how.command.end(), args.begin(), args.end());
    return how;
}

std::vector<double> sampleIntroductions(IntroPair& pair, bool busyTarget, std::size_t count,
                                        unsigned timeoutMillis, std::minstd_rand& random,
                                        std::size_t* failures, unsigned leastGapMicros) {
    std::vector<double> samples;
    *failures = 0;
    for (std::size_t i = 0; i < count; ++i) {
        double took = introduceOnce(pair, busyTarget, timeoutMillis);
        if (std::isnan(took)) {
            ++*failures;
        } else {
            samples.push_back(took);
        }
        if (leastGapMicros > 0) {
            std::this_thread::sleep_for(std::chrono::microseconds(leastGapMicros));
        }
        pauseAtRandom(random);
    }
    return samples;
}

namespace {

constexpr unsigned kRegisterMillis = 120000;

// namesEach ClientName messages and then a ConnectRequest for a name nobody
// has: its NameNotFound says that every name before it has been handled.
std::vector<std::uint8_t> namesThenProbe(std::size_t client, std::size_t namesEach) {
    std::vector<std::uint8_t> wire;
    std::uint8_t payload[kConnectPayloadSize] = {};
    for (std::size_t i = 0; i < namesEach; ++i) {
        NamePayload name;
        writeTextField("c" + std::to_string(client) + "-" + std::to_string(i), name.name,
                       kNameFieldSize);
        encodeNamePayload(name, payload);
        appendMessage(wire, MessageType::ClientName, payload);
    }
    std::fill(std::begin(payload), std::end(payload), 0);
    appendMessage(wire, MessageType::ConnectRequest, payload);
    return wire;
}

// Writes every client's messages, a little to each in turn, as the server
// takes them; false when the time runs out or a send fails.
bool sendToAll(std::vector<ClientConnection>& clients,
               const std::vector<std::vector<std::uint8_t>>& wires) {
    std::vector<std::size_t> sent(clients.size(), 0);
    double started = nowMillis();
    for (bool done = false; !done;) {
        done = true;
        for (std::size_t i = 0; i < clients.size(); ++i) {
            if (sent[i] == wires[i].size()) continue;
            done = false;
            int n =
                socketSend(clients[i].socket, wires[i].data() + sent[i], wires[i].size() - sent[i]);
            if (n > 0) sent[i] += static_cast<std::size_t>(n);
            if (n < 0 && !isWouldBlock(lastSocketError())) return false;
        }
        if (nowMillis() - started > kRegisterMillis) return false;
        if (!done) sleepMillis(1);
    }
    return true;
}

bool allHandled(std::vector<ClientConnection>& clients) {
    for (ClientConnection& c : clients) {
        ServerMessage message;
        if (!readServerMessage(c, kRegisterMillis, &message) ||
            message.type != MessageType::NameNotFound) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool registerAndConfirm(std::vector<ClientConnection>& clients, std::size_t namesEach,
                        std::size_t firstClient) {
    std::vector<std::vector<std::uint8_t>> wires;
    for (std::size_t i = 0; i < clients.size(); ++i) {
        wires.push_back(namesThenProbe(firstClient + i, namesEach));
    }
    return sendToAll(clients, wires) && allHandled(clients);
}

}  // namespace bench
}  // namespace peerdir
