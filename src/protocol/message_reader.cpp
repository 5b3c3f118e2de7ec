// message_reader.cpp -- header sorting and payload assembly.
#include "protocol/message_reader.h"

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

// Sorts a failed read: would-block is "nothing there", anything else is an
// error carrying the platform's code.
ReceiveResult failedRead() {
    int code = lastSocketError();
    if (isWouldBlock(code)) return withStatus(ReceiveStatus::NoData);
    return withStatus(ReceiveStatus::SocketError, code);
}

bool waitGivenUp(const PayloadWait& wait, Clock::time_point deadline) {
    if (wait.giveUp != nullptr && eventTestNow(wait.giveUp)) return true;
    return Clock::now() >= deadline;
}

// Reads the payload of a message whose header is already in. Retries at once
// while the socket would block, within the wait's bounds.
ReceiveResult readPayload(Socket s, std::uint32_t type, std::size_t size, const PayloadWait& wait) {
    ReceiveResult result = withStatus(ReceiveStatus::Message, static_cast<std::int32_t>(type));
    result.payload.resize(size);
    std::size_t received = 0;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(wait.limitMillis);
    while (received < size) {
        int n = socketRecv(s, result.payload.data() + received, size - received);
        if (n > 0) {
            received += static_cast<std::size_t>(n);
            continue;
        }
        if (n == 0) return withStatus(ReceiveStatus::Disconnected);
        ReceiveResult failure = failedRead();
        if (failure.status == ReceiveStatus::SocketError) return failure;
        if (waitGivenUp(wait, deadline)) {
            return withStatus(ReceiveStatus::SocketError, timedOutErrorCode());
        }
    }
    return result;
}

}  // namespace

ReceiveResult receiveMessage(Socket s, const PayloadWait& wait) {
    std::uint8_t header[kHeaderSize];
    int n = socketRecv(s, header, kHeaderSize);
    if (n == 0) return withStatus(ReceiveStatus::Disconnected);
    if (n < 0) return failedRead();
    if (n < static_cast<int>(kHeaderSize)) return withStatus(ReceiveStatus::ShortHeader);

    std::uint32_t type = decodeHeader(header);
    if (type > kLastKnownType) {
        logLine("MessageHandler: Got unknown message from recv.");
        return withStatus(ReceiveStatus::Message, static_cast<std::int32_t>(type));
    }
    std::size_t size = payloadSizeFor(type);
    if (size == 0) return withStatus(ReceiveStatus::Message, static_cast<std::int32_t>(type));
    return readPayload(s, type, size, wait);
}

}  // namespace peerdir
