// message.cpp -- encoding of headers and payloads, and sendMessage.
#include "protocol/message.h"

#include <cstring>

#include "platform/console.h"

namespace peerdir {

namespace {

constexpr std::size_t kAddressOffset = kNameFieldSize;
constexpr std::size_t kPortOffset = kNameFieldSize + kAddressFieldSize;

bool sendFailed(int result) {
    if (result != -1) return false;
    logText("MessageHandler: Send failed. Last error was: ");
    logSigned(lastSocketError());
    logEnd();
    return true;
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

bool sendMessage(Socket s, MessageType type, const std::uint8_t* payload) {
    std::uint8_t header[kHeaderSize];
    encodeHeader(static_cast<std::uint32_t>(type), header);
    if (sendFailed(socketSend(s, header, kHeaderSize))) return false;
    std::size_t size = payloadSizeFor(static_cast<std::uint32_t>(type));
    if (size == 0) return true;
    return !sendFailed(socketSend(s, payload, size));
}

}  // namespace peerdir
