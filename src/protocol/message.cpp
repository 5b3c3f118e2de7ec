// message.cpp -- encoding of headers and payloads, and sendMessage.
#include "protocol/message.h"

#include <cassert>
#include <cstring>

#include "platform/console.h"

namespace peerdir {

namespace {

constexpr std::size_t kAddressOffset = kNameFieldSize;
constexpr std::size_t kPortOffset = kNameFieldSize + kAddressFieldSize;

void logSendFailed(int code, std::size_t times) {
    for (std::size_t i = 0; i < times; ++i) {
        logText("MessageHandler: Send failed. Last error was: ");
        logSigned(code);
        logEnd();
    }
}

void keepRest(Outbox& outbox, const std::uint8_t* data, std::size_t size) {
    outbox.rest.assign(data, data + size);
    outbox.hasRest.store(size > 0, std::memory_order_release);
}

void dropSent(Outbox& outbox, std::size_t sent) {
    outbox.rest.erase(outbox.rest.begin(), outbox.rest.begin() + static_cast<std::ptrdiff_t>(sent));
    outbox.hasRest.store(!outbox.rest.empty(), std::memory_order_release);
}

}  // namespace

void encodeHeader(std::uint32_t type, std::uint8_t (&out)[kHeaderSize]) {
    std::uint32_t wire = hostToNet32(type);
    std::memcpy(out, &wire, kHeaderSize);
}

std::uint32_t decodeHeader(const std::uint8_t (&in)[kHeaderSize]) {
    std::uint32_t wire;
    std::memcpy(&wire, in, kHeaderSize);
    return netToHost32(wire);
}

std::size_t payloadSizeFor(std::uint32_t type) {
    switch (type) {
        case static_cast<std::uint32_t>(MessageType::PeerRequest):
        case static_cast<std::uint32_t>(MessageType::ConnectRequest):
            return kConnectPayloadSize;
        case static_cast<std::uint32_t>(MessageType::ClientName):
            return kNamePayloadSize;
        default:
            return 0;
    }
}

void encodeNamePayload(const NamePayload& payload, std::uint8_t* out) {
    std::memcpy(out, payload.name, kNameFieldSize);
}

NamePayload decodeNamePayload(const std::uint8_t* in) {
    NamePayload payload;
    std::memcpy(payload.name, in, kNameFieldSize);
    return payload;
}

void encodeConnectPayload(const ConnectPayload& payload, std::uint8_t* out) {
    std::memcpy(out, payload.name, kNameFieldSize);
    std::memcpy(out + kAddressOffset, payload.address, kAddressFieldSize);
    std::memcpy(out + kPortOffset, payload.port, kPortFieldSize);
}

ConnectPayload decodeConnectPayload(const std::uint8_t* in) {
    ConnectPayload payload;
    std::memcpy(payload.name, in, kNameFieldSize);
    std::memcpy(payload.address, in + kAddressOffset, kAddressFieldSize);
    std::memcpy(payload.port, in + kPortOffset, kPortFieldSize);
    return payload;
}

bool readTextField(const char* field, std::size_t width, std::string* text) {
    const void* nul = std::memchr(field, '\0', width);
    if (nul == nullptr) return false;
    text->assign(field, static_cast<const char*>(nul));
    return true;
}

bool writeTextField(const std::string& text, char* field, std::size_t width) {
    std::memset(field, 0, width);
    if (text.size() >= width) return false;
    std::memcpy(field, text.data(), text.size());
    return true;
}

std::size_t encodeMessage(MessageType type, const std::uint8_t* payload,
                          std::uint8_t (&out)[kMaxMessageSize]) {
    std::uint8_t header[kHeaderSize];
    encodeHeader(static_cast<std::uint32_t>(type), header);
    std::memcpy(out, header, kHeaderSize);
    std::size_t size = payloadSizeFor(static_cast<std::uint32_t>(type));
    if (size > 0) std::memcpy(out + kHeaderSize, payload, size);
    return kHeaderSize + size;
}

std::size_t appendMessage(std::vector<std::uint8_t>& wire, MessageType type,
                          const std::uint8_t* payload) {
    std::uint8_t message[kMaxMessageSize];
    std::size_t size = encodeMessage(type, payload, message);
    wire.insert(wire.end(), message, message + size);
    return size;
}

FlushResult flushOutbox(Outbox& outbox) {
    assert(outbox.guard == nullptr || lockIsHeld(outbox.guard));
    if (outbox.rest.empty()) return FlushResult::Done;
    int n = socketSend(outbox.socket, outbox.rest.data(), outbox.rest.size());
    if (n < 0) {
        int code = lastSocketError();
        if (isWouldBlock(code)) return FlushResult::Blocked;
        logSendFailed(code, 1);
        keepRest(outbox, nullptr, 0);
        return FlushResult::Failed;
    }
    dropSent(outbox, static_cast<std::size_t>(n));
    return outbox.rest.empty() ? FlushResult::Done : FlushResult::Blocked;
}

bool sendMessages(Outbox& outbox, const std::uint8_t* wire, std::size_t size,
                  std::size_t messageCount) {
    assert(outbox.guard == nullptr || lockIsHeld(outbox.guard));
    if (flushOutbox(outbox) == FlushResult::Blocked) {
        logSendFailed(wouldBlockErrorCode(), messageCount);
        return false;
    }
    int n = socketSend(outbox.socket, wire, size);
    if (n < 0) {
        logSendFailed(lastSocketError(), messageCount);
        return false;
    }
    auto sent = static_cast<std::size_t>(n);
    keepRest(outbox, wire + sent, size - sent);
    return true;
}

bool sendMessage(Outbox& outbox, MessageType type, const std::uint8_t* payload) {
    std::uint8_t message[kMaxMessageSize];
    std::size_t size = encodeMessage(type, payload, message);
    return sendMessages(outbox, message, size, 1);
}

}  // namespace peerdir
