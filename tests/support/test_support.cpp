// test_support.cpp -- loopback connections and log capture for the tests.
#include "support/test_support.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "clientlib/client.h"
#include "platform/console.h"
#include "platform/testing.h"

namespace peerdir {
namespace testing_support {

namespace {

std::uint32_t loopbackAddress() { return ipv4FromText("127.0.0.1"); }

std::mutex g_logMutex;
std::string g_log;
std::string g_hookNeedle;
std::function<void()> g_hook;

void captureSink(const char* data, std::size_t size) {
    std::function<void()> hook;
    {
        std::lock_guard<std::mutex> guard(g_logMutex);
        g_log.append(data, size);
        if (g_hook && std::string(data, size).find(g_hookNeedle) != std::string::npos) {
            hook.swap(g_hook);
        }
    }
    // Outside the lock: the action may wait for other threads that log.
    if (hook) hook();
}

}  // namespace

// Without a source the system picks the address and port as it connects: a
// bind beforehand takes a port that no other connection may share, which a
// test making thousands of connections would run short of.
Socket connectClientFrom(const char* source, std::uint16_t port) {
    Socket client = socketCreateTcp();
    if (client == kNoSocket) return kNoSocket;
    if ((source != nullptr && socketBind(client, ipv4FromText(source), 0) != 0) ||
        socketConnect(client, loopbackAddress(), hostToNet16(port)) != 0) {
        socketClose(client);
        return kNoSocket;
    }
    socketSetNonBlocking(client);
    return client;
}

Socket connectClient(std::uint16_t port) { return connectClientFrom(nullptr, port); }

LoopbackPair makeLoopbackPair() {
    LoopbackPair pair;
    Socket listener = socketCreateTcp();
    if (listener == kNoSocket) return pair;
    if (socketBind(listener, loopbackAddress(), 0) == 0 && socketListen(listener, 1) == 0) {
        pair.client = connectClient(socketLocalPort(listener));
        if (pair.client != kNoSocket) {
            pair.server = socketAccept(listener);
            // As the server keeps an accepted socket; and the client's small
            // writes go out at once, as a test expects them to.
            if (pair.server != kNoSocket) {
                socketSetNonBlocking(pair.server);
                socketSetNoDelay(pair.server);
            }
            socketSetNoDelay(pair.client);
        }
    }
    socketClose(listener);
    return pair;
}

void closePair(LoopbackPair& pair) {
    if (pair.server != kNoSocket) socketClose(pair.server);
    if (pair.client != kNoSocket) socketClose(pair.client);
    pair.server = pair.client = kNoSocket;
}

void sendAll(Socket s, const std::vector<std::uint8_t>& data) {
    std::size_t sent = 0;
    const Deadline deadline = deadlineAfter(kWaitMillis);
    while (sent < data.size() && millisUntil(deadline) > 0) {
        int n = socketSend(s, data.data() + sent, data.size() - sent);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
        } else if (n < 0 && isWouldBlock(lastSocketError())) {
            sleepMillis(1);
        } else {
            return;
        }
    }
}

std::vector<std::uint8_t> receiveBytes(Socket s, std::size_t count) {
    std::vector<std::uint8_t> bytes(count);
    bytes.resize(readExactly(s, bytes.data(), count, deadlineAfter(kWaitMillis)).got);
    return bytes;
}

bool staysQuiet(Socket s, unsigned millis) {
    const Deadline deadline = deadlineAfter(millis);
    while (millisUntil(deadline) > 0) {
        std::uint8_t byte;
        int n = socketRecv(s, &byte, 1);
        if (n > 0) return false;
        if (n == 0) return true;  // closed without sending anything
        if (!isWouldBlock(lastSocketError())) return true;
        sleepMillis(1);
    }
    return true;
}

bool peerCloses(Socket s) {
    const Deadline deadline = deadlineAfter(kWaitMillis);
    while (millisUntil(deadline) > 0) {
        std::uint8_t byte;
        int n = socketRecv(s, &byte, 1);
        if (n == 0) return true;
        if (n < 0 && !isWouldBlock(lastSocketError())) return true;
        sleepMillis(1);
    }
    return false;
}

bool waitUntilTaken(Socket readerEnd) {
    return waitUntil([readerEnd] { return socketBytesPending(readerEnd) == 0; });
}

bool waitUntil(const std::function<bool()>& condition, unsigned millis) {
    const Deadline deadline = deadlineAfter(millis);
    for (;;) {
        if (condition()) return true;
        if (millisUntil(deadline) == 0) return false;
        sleepMillis(1);
    }
}

namespace {

struct SecondPiece {
    Socket writerEnd;
    Socket readerEnd;
    std::vector<std::uint8_t> bytes;
};

void sendSecondPiece(void* raw) {
    auto* piece = static_cast<SecondPiece*>(raw);
    waitUntilTaken(piece->readerEnd);
    sendAll(piece->writerEnd, piece->bytes);
    delete piece;
}

}  // namespace

SplitSend startSplitSend(Socket writerEnd, Socket readerEnd, const std::vector<std::uint8_t>& data,
                         std::size_t splitAt) {
    sendAll(writerEnd, std::vector<std::uint8_t>(data.begin(), data.begin() + splitAt));
    auto* rest = new SecondPiece{writerEnd, readerEnd,
                                 std::vector<std::uint8_t>(data.begin() + splitAt, data.end())};
    SplitSend send;
    send.thread = threadStart(sendSecondPiece, rest);
    if (send.thread == nullptr) delete rest;
    return send;
}

void finishSplitSend(SplitSend& send) {
    if (send.thread == nullptr) return;
    threadWaitAll(&send.thread, 1);
    threadRelease(send.thread);
    send.thread = nullptr;
}

void joinOrAbort(ThreadHandle thread, const char* what) {
    const Deadline deadline = deadlineAfter(3 * kWaitMillis);
    while (!threadHasEnded(thread) && millisUntil(deadline) > 0) sleepMillis(1);
    if (!threadHasEnded(thread)) {
        std::fprintf(stderr, "%s did not end within %u ms\n", what, 3 * kWaitMillis);
        std::abort();
    }
    threadWaitAll(&thread, 1);
    threadRelease(thread);
}

std::vector<std::uint8_t> join(std::vector<std::uint8_t> first,
                               const std::vector<std::uint8_t>& second) {
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

std::vector<std::uint8_t> header(std::uint32_t type) {
    return {static_cast<std::uint8_t>(type >> 24), static_cast<std::uint8_t>(type >> 16),
            static_cast<std::uint8_t>(type >> 8), static_cast<std::uint8_t>(type)};
}

std::vector<std::uint8_t> nameMessage(std::uint32_t type, const std::string& name) {
    std::vector<std::uint8_t> bytes = header(type);
    std::uint8_t field[20] = {};
    std::memcpy(field, name.data(), name.size() < 20 ? name.size() : 20);
    bytes.insert(bytes.end(), field, field + 20);
    return bytes;
}

std::vector<std::uint8_t> connectMessage(const std::string& name, const std::string& address,
                                         std::uint8_t port0, std::uint8_t port1) {
    std::vector<std::uint8_t> bytes = nameMessage(5, name);
    std::uint8_t field[16] = {};
    std::memcpy(field, address.data(), address.size() < 16 ? address.size() : 16);
    bytes.insert(bytes.end(), field, field + 16);
    bytes.push_back(port0);
    bytes.push_back(port1);
    return bytes;
}

LogCapture::LogCapture() {
    {
        std::lock_guard<std::mutex> guard(g_logMutex);
        g_log.clear();
        g_hook = nullptr;
    }
    setLogSink(captureSink);
}

LogCapture::~LogCapture() {
    setLogSink(nullptr);
    std::lock_guard<std::mutex> guard(g_logMutex);
    g_hook = nullptr;
}

void LogCapture::onLine(const std::string& needle, std::function<void()> action) {
    std::lock_guard<std::mutex> guard(g_logMutex);
    g_hookNeedle = needle;
    g_hook = std::move(action);
}

std::string LogCapture::text() const {
    std::lock_guard<std::mutex> guard(g_logMutex);
    return g_log;
}

bool LogCapture::waitFor(const std::string& needle, unsigned millis) const {
    return waitUntil([&] { return text().find(needle) != std::string::npos; }, millis);
}

std::size_t countOf(const std::string& haystack, const std::string& needle) {
    std::size_t count = 0;
    for (auto at = haystack.find(needle); at != std::string::npos;
         at = haystack.find(needle, at + needle.size())) {
        ++count;
    }
    return count;
}

}  // namespace testing_support
}  // namespace peerdir
