// message.cpp -- encoding of headers and payloads.
#include "protocol/message.h"

#include <cstring>

namespace peerdir {

namespace {

constexpr std::size_t kAddressOffset = kNameFieldSize;
constexpr std::size_t kPortOffset = kNameFieldSize + kAddressFieldSize;

}  // namespace

void encodeHeader(std::uint32_t type, std::uint8_t (&out)[kHeaderSize]) {
    out[0] = static_cast<std::uint8_t>(type >> 24);
    out[1] = static_cast<std::uint8_t>(type >> 16);
    out[2] = static_cast<std::uint8_t>(type >> 8);
    out[3] = static_cast<std::uint8_t>(type);
}

std::uint32_t decodeHeader(const std::uint8_t (&in)[kHeaderSize]) {
    return static_cast<std::uint32_t>(in[0]) << 24 | static_cast<std::uint32_t>(in[1]) << 16 |
           static_cast<std::uint32_t>(in[2]) << 8 | static_cast<std::uint32_t>(in[3]);
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

bool writeTextField(std::string_view text, char* field, std::size_t width) {
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

void appendClientName(std::vector<std::uint8_t>& wire, std::string_view name) {
    NamePayload reply;
    writeTextField(name, reply.name, kNameFieldSize);
    std::uint8_t payload[kNamePayloadSize];
    encodeNamePayload(reply, payload);
    appendMessage(wire, MessageType::ClientName, payload);
}

}  // namespace peerdir
