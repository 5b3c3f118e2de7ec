// message.h -- the wire format shared by the server and its clients.
//
// A message is a 4-byte big-endian type followed at once by a payload whose
// size the type alone fixes; there is no length field. Payloads are read and
// written byte by byte at fixed offsets, never by casting structs onto the
// buffer, so the layout does not depend on the compiler's packing.
#ifndef PEERDIR_PROTOCOL_MESSAGE_H
#define PEERDIR_PROTOCOL_MESSAGE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace peerdir {

enum class MessageType : std::uint32_t {
    Welcome = 0,         // server -> client, first message; no payload
    PeerRequest = 1,     // server -> client, a forwarded ConnectRequest; ConnectPayload
    ClientName = 2,      // both ways: one name; NamePayload
    NameNotFound = 3,    // server -> client, no such name registered; no payload
    ListRequest = 4,     // client -> server, send me every name; no payload
    ConnectRequest = 5,  // client -> server, forward this to the named client; ConnectPayload
};

// The largest type the server knows; anything above is unknown.
constexpr std::uint32_t kLastKnownType = 5;

constexpr std::size_t kHeaderSize = 4;
constexpr std::size_t kNameFieldSize = 20;
constexpr std::size_t kAddressFieldSize = 16;
constexpr std::size_t kPortFieldSize = 2;
constexpr std::size_t kNamePayloadSize = kNameFieldSize;
constexpr std::size_t kConnectPayloadSize = kNameFieldSize + kAddressFieldSize + kPortFieldSize;

// NamePayload on the wire: name at offset 0, 20 bytes.
struct NamePayload {
    char name[kNameFieldSize];
};

// ConnectPayload on the wire: name at 0 (20 bytes), address at 20 (16
// bytes), port at 36 (2 bytes, passed on exactly as received). 38 bytes.
struct ConnectPayload {
    char name[kNameFieldSize];
    char address[kAddressFieldSize];
    std::uint8_t port[kPortFieldSize];
};

void encodeHeader(std::uint32_t type, std::uint8_t (&out)[kHeaderSize]);
std::uint32_t decodeHeader(const std::uint8_t (&in)[kHeaderSize]);

// Payload bytes that follow a header of this type: 38, 20 or 0. Unknown types
// carry none.
std::size_t payloadSizeFor(std::uint32_t type);

void encodeNamePayload(const NamePayload& payload, std::uint8_t* out);
NamePayload decodeNamePayload(const std::uint8_t* in);
void encodeConnectPayload(const ConnectPayload& payload, std::uint8_t* out);
ConnectPayload decodeConnectPayload(const std::uint8_t* in);

// The text of a field: its bytes up to the first NUL. A field with no NUL
// inside its width has no valid reading; then this returns false, leaves
// *text alone, and never looks past the field.
bool readTextField(const char* field, std::size_t width, std::string* text);

// Writes text and its NUL into the field and zeroes the rest, so no stale
// bytes leave the server. False, with the field all zeros, when the text and
// its NUL do not fit.
bool writeTextField(std::string_view text, char* field, std::size_t width);

// Largest whole message on the wire: a header and a ConnectPayload.
constexpr std::size_t kMaxMessageSize = kHeaderSize + kConnectPayloadSize;

// Encodes one whole message (header, then payloadSizeFor(type) bytes from
// payload) into out. Returns its size.
std::size_t encodeMessage(MessageType type, const std::uint8_t* payload,
                          std::uint8_t (&out)[kMaxMessageSize]);

// Appends one whole message (header, then payloadSizeFor(type) bytes from
// payload) to wire. Returns the message's size.
std::size_t appendMessage(std::vector<std::uint8_t>& wire, MessageType type,
                          const std::uint8_t* payload = nullptr);

// Appends a ClientName message carrying name; one too long for the field
// goes as an empty name, as writeTextField leaves it.
void appendClientName(std::vector<std::uint8_t>& wire, std::string_view name);

}  // namespace peerdir

#endif
