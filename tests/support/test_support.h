// test_support.h -- loopback connections and log capture for the tests.
//
// Everything here goes through the platform layer, so the same tests run on
// both backends. Every wait is bounded in time and ends by itself.
#ifndef PEERDIR_TESTS_SUPPORT_TEST_SUPPORT_H
#define PEERDIR_TESTS_SUPPORT_TEST_SUPPORT_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace peerdir {
namespace testing_support {

// How long a wait for something that should come may last. Generous, for a
// loaded machine and for Wine: such waits end as soon as it comes.
constexpr unsigned kWaitMillis = 20000;

// A connected pair over 127.0.0.1: server is the accepted end (non-blocking
// and without Nagle's algorithm, as the server keeps its sockets), client
// the connecting end (the same; read it with the helpers below).
struct LoopbackPair {
    Socket server = kNoSocket;
    Socket client = kNoSocket;
};

LoopbackPair makeLoopbackPair();
void closePair(LoopbackPair& pair);

// Connects a new non-blocking client to 127.0.0.1:port. kNoSocket on failure.
Socket connectClient(std::uint16_t port);

// The same from the loopback address source (dotted, such as "127.0.0.2"),
// so the server sees the client come from there; nullptr: as connectClient.
Socket connectClientFrom(const char* source, std::uint16_t port);

// Sends all of data, retrying while the socket would block.
void sendAll(Socket s, const std::vector<std::uint8_t>& data);

// Reads exactly count bytes from a non-blocking socket, waiting at most
// kWaitMillis. Returns what came; fewer bytes mean the wait ran out or the
// peer closed.
std::vector<std::uint8_t> receiveBytes(Socket s, std::size_t count);

// True when nothing arrives on s within millis (the peer may stay open).
bool staysQuiet(Socket s, unsigned millis);

// True when the peer closes s (recv gives 0 or fails with something other
// than would-block) within kWaitMillis.
bool peerCloses(Socket s);

// Sends data[0, splitAt) at once and the rest from a thread of its own as
// soon as the reading end readerEnd has taken the first piece, so the reader
// is sure to have seen the message cut in two. finishSplitSend joins it.
struct SplitSend {
    ThreadHandle thread = nullptr;
};
SplitSend startSplitSend(Socket writerEnd, Socket readerEnd, const std::vector<std::uint8_t>& data,
                         std::size_t splitAt);
void finishSplitSend(SplitSend& send);

// True once nothing sent to readerEnd is left unread (bounded wait).
bool waitUntilTaken(Socket readerEnd);

// True once condition() holds, asked every millisecond until millis run out.
bool waitUntil(const std::function<bool()>& condition, unsigned millis = kWaitMillis);

// Waits (bounded) for thread to end, then joins and releases it. A thread
// that does not end stops the whole run with a message: a test may not hang,
// and a thread still running over the test's data cannot be left behind.
void joinOrAbort(ThreadHandle thread, const char* what);

// The bytes of the Welcome every new client is sent first.
inline const std::vector<std::uint8_t> kWelcome{0, 0, 0, 0};

// Wire builders for requests.
std::vector<std::uint8_t> join(std::vector<std::uint8_t> first,
                               const std::vector<std::uint8_t>& second);
std::vector<std::uint8_t> header(std::uint32_t type);
std::vector<std::uint8_t> nameMessage(std::uint32_t type, const std::string& name);
std::vector<std::uint8_t> connectMessage(const std::string& name, const std::string& address,
                                         std::uint8_t port0, std::uint8_t port1);

// Replaces the log sink for its lifetime and keeps every piece written.
class LogCapture {
  public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::string text() const;
    // Waits (bounded) until the log contains needle; true when it does.
    bool waitFor(const std::string& needle, unsigned millis = kWaitMillis) const;

    // Runs action once, on the logging thread, right after the first line
    // that contains needle is logged: the thread is held there until action
    // returns, which lets a test act at an exact point of another thread.
    void onLine(const std::string& needle, std::function<void()> action);
};

// Counts the occurrences of needle in haystack.
std::size_t countOf(const std::string& haystack, const std::string& needle);

}  // namespace testing_support
}  // namespace peerdir

#endif
