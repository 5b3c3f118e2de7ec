// server.cpp -- scratch directories, start-up announcements, and connecting
// crowds of clients without a thread or a blocking call each.
#include "kit/server.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>

#include "clientlib/client.h"
#include "kit/tls_relay.h"
#include "protocol/message.h"

namespace peerdir {
namespace kit {

namespace {

namespace fs = std::filesystem;

// Starts connecting without waiting for the handshake. A non-blocking
// connect reports that it is under way as a failure; the reads that follow
// show whether it got through.
Socket startConnect(std::uint32_t address, std::uint16_t port) {
    Socket s = socketCreateTcp();
    if (s == kNoSocket) return kNoSocket;
    if (socketSetNonBlocking(s) != 0) {
        socketClose(s);
        return kNoSocket;
    }
    socketConnect(s, address, hostToNet16(port));
    return s;
}

struct Connecting {
    Socket socket;
    std::size_t got;
    std::uint8_t header[kHeaderSize];
};

enum class Progress { Waiting, Welcomed, Failed };

// A receive on a connection still being made would block, like one on a
// connection with nothing to read yet.
Progress advance(Connecting& c) {
    int n = socketRecv(c.socket, c.header + c.got, kHeaderSize - c.got);
    if (n < 0) return isWouldBlock(lastSocketError()) ? Progress::Waiting : Progress::Failed;
    if (n == 0) return Progress::Failed;
    c.got += static_cast<std::size_t>(n);
    if (c.got < kHeaderSize) return Progress::Waiting;
    return decodeHeader(c.header) == static_cast<std::uint32_t>(MessageType::Welcome)
               ? Progress::Welcomed
               : Progress::Failed;
}

// Waits up to millis for any connection still waiting to have something to
// read, and moves those on. One wait covers them all: trying a receive on
// each would cost a system call per connection and pass, on a machine whose
// cores the server's threads need too.
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

std::string makeScratchDirectory(const std::string& prefix) {
    std::error_code error;
    fs::path base = fs::temp_directory_path(error);
    if (error) return "";
    std::string pattern = (base / (prefix + "-XXXXXX")).string();
    if (mkdtemp(pattern.data()) == nullptr) return "";
    return pattern;
}

void removeScratchDirectory(const std::string& dir) {
    std::error_code error;
    if (!dir.empty()) fs::remove_all(dir, error);
}

bool writeFile(const std::string& path, const std::string& content) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    return static_cast<bool>(file << content);
}

bool writeServerConfig(const std::string& dir, std::uint16_t port) {
    return writeFile(dir + "/config.txt", "peerdir " + std::to_string(port) + " 0 first second\n");
}

std::string announcedAddress(ChildProcess& server, unsigned millis) {
    return lineAfter(server, "Server IP Address: ", millis);
}

std::uint16_t listeningPort(ChildProcess& server, unsigned millis) {
    std::string port = lineAfter(server, "createListenSocket: Listening on port ", millis);
    unsigned long value = std::strtoul(port.c_str(), nullptr, 10);
    return value <= 65535 ? static_cast<std::uint16_t>(value) : 0;
}

bool awaitWelcome(ChildProcess& server, const std::string& host, std::uint16_t port,
                  unsigned millis, const TlsClientSettings* tls) {
    const Deadline deadline = deadlineAfter(millis);
    for (;;) {
        ClientConnection probe =
            connectToServer(host, port, std::max(1u, millisUntil(deadline)), tls);
        bool welcomed = probe.error == ClientError::None;
        closeConnection(probe);
        if (welcomed) return true;
        if (!isRunning(server) || millisUntil(deadline) == 0) return false;
        sleepMillis(5);
    }
}

std::vector<Socket> openClients(std::uint32_t address, std::uint16_t port, std::size_t count,
                                std::size_t inFlight, unsigned millis, TlsRelay* through) {
    const Deadline deadline = deadlineAfter(millis);
    std::vector<Socket> welcomed;
    std::vector<Connecting> pending;
    std::size_t started = 0;
    while ((started < count || !pending.empty()) && millisUntil(deadline) > 0) {
        while (started < count && pending.size() < inFlight) {
            ++started;
            Socket s = startConnect(address, port);
            if (s != kNoSocket && through != nullptr) s = tlsRelayAdopt(through, s);
            if (s != kNoSocket) pending.push_back(Connecting{s, 0, {}});
        }
        advanceAll(pending, welcomed, std::min(100u, millisUntil(deadline)));
    }
    for (Connecting& c : pending) socketClose(c.socket);
    return welcomed;
}

void closeClients(std::vector<Socket>& sockets) {
    for (Socket s : sockets) socketClose(s);
    sockets.clear();
}

}  // namespace kit
}  // namespace peerdir
