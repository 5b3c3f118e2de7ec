// message_reader.h -- reads at most one message from a non-blocking socket.
//
// The header read never waits: if no header byte is there, the reader says
// so at once. Once the first byte of a message is in, it keeps reading,
// pausing about 1 ms whenever the socket is empty, until the message is
// complete, the connection fails or closes, or the wait is given up; given a
// waker, it sleeps in the kernel instead until data or the deadline comes.
// No read
// asks for more than the rest of the current message, so bytes of the next
// message stay in the socket, and no byte a client sent is dropped while
// its connection lasts.
#ifndef PEERDIR_PROTOCOL_MESSAGE_READER_H
#define PEERDIR_PROTOCOL_MESSAGE_READER_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/platform.h"

namespace peerdir {

enum class ReceiveStatus : std::int32_t {
    Message = 0,       // a whole message; value is its type (unknown types too)
    NoData = 1,        // no header byte was there; nothing consumed
    Disconnected = 2,  // the peer closed the connection
    SocketError = 3,   // a read failed or the payload wait was given up; value is the code
    ShortHeader = 4,   // the header's wait was given up with 1 to 3 bytes in
};

struct ReceiveResult {
    ReceiveStatus status = ReceiveStatus::NoData;
    std::int32_t value = 0;
    // SocketError only: the code is the payload wait's own time-out, not
    // the socket's, so the peer stalled mid-message.
    bool stalled = false;
    // For Message with a payload-carrying type: exactly that type's payload
    // size. Empty otherwise.
    std::vector<std::uint8_t> payload;
};

// How long a message that has started may keep the reader waiting. A peer
// that sends part of a message and then stalls would otherwise hold its
// client manager forever.
constexpr unsigned kPayloadWaitMillis = 3000;

struct PayloadWait {
    // When set, the wait is given up at once.
    EventHandle giveUp = nullptr;
    unsigned limitMillis = kPayloadWaitMillis;
    // The socket's waker, for a reader that sleeps until more data comes;
    // nullptr: it looks again every millisecond.
    WakerHandle waker = nullptr;
};

// Where messages are read from: the socket itself, or a layer over it (TLS)
// that reads through read, with *code for a count of -1 as lastSocketError()
// gives it for the socket. The socket is still what a wait sleeps on.
struct ReadSource {
    Socket socket = kNoSocket;
    int (*read)(void* layer, void* buffer, std::size_t length, int* code) = nullptr;
    void* layer = nullptr;
};

// One attempt to read one message. A header wait that is given up returns
// ShortHeader; a payload wait that is given up returns SocketError with the
// platform's timed-out code; a peer that closes in the middle of a message
// returns Disconnected. Logs only the unknown-type line.
ReceiveResult receiveMessage(const ReadSource& source, const PayloadWait& wait = PayloadWait{});
inline ReceiveResult receiveMessage(Socket s, const PayloadWait& wait = PayloadWait{}) {
    return receiveMessage(ReadSource{s}, wait);
}

}  // namespace peerdir

#endif
