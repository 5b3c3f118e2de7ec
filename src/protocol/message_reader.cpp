// message_reader.cpp -- header sorting and payload assembly.
#include "protocol/message_reader.h"

#include <algorithm>
#include <chrono>

#include "platform/console.h"
#include "protocol/message.h"

namespace peerdir {

namespace {

using Clock = std::chrono::steady_clock;

ReceiveResult withStatus(ReceiveStatus status, std::int32_t value = 0) {
    ReceiveResult result;
    result.status = status;
    result.value = value;
    return result;
}

// One read of the source; -1 with *code on failure.
int readSome(const ReadSource& source, void* buffer, std::size_t length, int* code) {
    if (source.read != nullptr) return source.read(source.layer, buffer, length, code);
    int n = socketRecv(source.socket, buffer, length);
    if (n < 0) *code = lastSocketError();
    return n;
}

// Sorts a failed read: would-block is "nothing there", anything else is an
// error carrying the platform's code.
ReceiveResult failedRead(int code) {
    if (isWouldBlock(code)) return withStatus(ReceiveStatus::NoData);
    return withStatus(ReceiveStatus::SocketError, code);
}

bool waitGivenUp(const PayloadWait& wait, Clock::time_point deadline) {
    if (wait.giveUp != nullptr && eventTestNow(wait.giveUp)) return true;
    return Clock::now() >= deadline;
}

// Until more data may be there: a polling turn's length, or with a waker
// until data, the stop event or the deadline comes.
void pauseForData(const ReadSource& source, const PayloadWait& wait, Clock::time_point deadline) {
    if (wait.waker == nullptr) return sleepMillis(1);
    // A layer's read that would block holds no whole bytes back: what it
    // waits for comes through the socket.
    // A millisecond at the least, so the last one before the deadline is
    // slept and not spun.
    const unsigned left = std::max(1u, millisUntil(deadline));
    socketWait(source.socket, false, wait.giveUp, wait.waker, left);
}

enum class Fill { Complete, Closed, Failed, GivenUp };

// Reads until size bytes are in buffer. While the socket is empty it pauses
// about as long as a polling turn, so a stalled peer costs no more than an
// idle one. *code holds the error for Failed.
Fill fillBuffer(const ReadSource& source, std::uint8_t* buffer, std::size_t size,
                std::size_t received, const PayloadWait& wait, Clock::time_point deadline,
                int* code) {
    while (received < size) {
        int n = readSome(source, buffer + received, size - received, code);
        if (n > 0) {
            received += static_cast<std::size_t>(n);
            continue;
        }
        if (n == 0) return Fill::Closed;
        if (!isWouldBlock(*code)) return Fill::Failed;
        if (waitGivenUp(wait, deadline)) return Fill::GivenUp;
        pauseForData(source, wait, deadline);
    }
    return Fill::Complete;
}

// The result of a fill that did not complete; onGiveUp is what a given-up
// wait reports.
ReceiveResult unfinished(Fill fill, int code, ReceiveResult onGiveUp) {
    if (fill == Fill::Closed) return withStatus(ReceiveStatus::Disconnected);
    if (fill == Fill::Failed) return withStatus(ReceiveStatus::SocketError, code);
    return onGiveUp;
}

}  // namespace

ReceiveResult receiveMessage(const ReadSource& source, const PayloadWait& wait) {
    std::uint8_t header[kHeaderSize];
    int code = 0;
    int n = readSome(source, header, kHeaderSize, &code);
    if (n == 0) return withStatus(ReceiveStatus::Disconnected);
    if (n < 0) return failedRead(code);

    // One bound for the whole message, from its first byte on.
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(wait.limitMillis);
    Fill fill =
        fillBuffer(source, header, kHeaderSize, static_cast<std::size_t>(n), wait, deadline, &code);
    if (fill != Fill::Complete) {
        return unfinished(fill, code, withStatus(ReceiveStatus::ShortHeader));
    }

    std::uint32_t type = decodeHeader(header);
    ReceiveResult result = withStatus(ReceiveStatus::Message, static_cast<std::int32_t>(type));
    if (type > kLastKnownType) {
        logLine("MessageHandler: Got unknown message from recv.");
        return result;
    }
    result.payload.resize(payloadSizeFor(type));
    fill =
        fillBuffer(source, result.payload.data(), result.payload.size(), 0, wait, deadline, &code);
    if (fill != Fill::Complete) {
        ReceiveResult stalled = withStatus(ReceiveStatus::SocketError, timedOutErrorCode());
        stalled.stalled = true;
        return unfinished(fill, code, stalled);
    }
    return result;
}

}  // namespace peerdir
