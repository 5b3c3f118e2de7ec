// client.cpp -- connecting, sending requests, and reading the server's
// messages whole, with time-outs.
#include "clientlib/client.h"

#include <cstring>

namespace peerdir {

namespace {

// A send of a few dozen bytes that the server will not take for this long
// means the server has stopped reading.
constexpr unsigned kSendWaitMillis = 5000;
// How long closeConnection waits for the server to close its end.
constexpr unsigned kCloseWaitMillis = 2000;
// How a failure of TLS itself in the middle of a session begins.
constexpr char kTlsFailedPrefix[] = "the TLS session failed: ";

bool succeed(ClientConnection& c) {
    c.error = ClientError::None;
    c.code = 0;
    c.message.clear();
    return true;
}

bool fail(ClientConnection& c, ClientError error, const std::string& message, int code = 0) {
    c.error = error;
    c.code = code;
    c.message = message;
    return false;
}

std::string withCode(const std::string& text, int code) {
    return text + " (error " + std::to_string(code) + ")";
}

std::string millisText(unsigned millis) { return std::to_string(millis) + " ms"; }

ExactRead endedBy(ExactRead read, ReadEnd end, int code) {
    read.end = end;
    read.code = code;
    return read;
}

// Closes at once, without the goodbye of closeConnection: for connections
// that never got going.
void dropSocket(ClientConnection& c) {
    tlsClientFree(c.tls);
    c.tls = nullptr;
    if (c.socket != kNoSocket) socketClose(c.socket);
    c.socket = kNoSocket;
    c.partial.clear();
}

// One receive, in TLS or not.
enum class Received { Data, End, WaitReadable, WaitWritable, Failed };

Received receiveOnce(Socket s, TlsClient* tls, std::uint8_t* buffer, std::size_t size,
                     ExactRead* read) {
    if (tls == nullptr) {
        int n = socketRecv(s, buffer, size);
        if (n > 0) {
            read->got += static_cast<std::size_t>(n);
            return Received::Data;
        }
        if (n == 0) return Received::End;
        read->code = lastSocketError();
        return isWouldBlock(read->code) ? Received::WaitReadable : Received::Failed;
    }
    TlsOutcome outcome = tlsClientRead(tls, buffer, size);
    read->got += outcome.bytes;
    read->code = outcome.code;
    read->reason = outcome.reason;
    switch (outcome.step) {
        case TlsStep::Done:
            return Received::Data;
        case TlsStep::Closed:
            return Received::End;
        case TlsStep::WantRead:
            return Received::WaitReadable;
        case TlsStep::WantWrite:
            return Received::WaitWritable;
        default:
            return Received::Failed;
    }
}

ExactRead readExactlyFrom(Socket s, TlsClient* tls, std::uint8_t* buffer, std::size_t size,
                          Deadline deadline) {
    ExactRead read;
    while (read.got < size) {
        Received received = receiveOnce(s, tls, buffer + read.got, size - read.got, &read);
        if (received == Received::Data) continue;
        if (received == Received::End) return endedBy(read, ReadEnd::Closed, 0);
        if (received == Received::Failed) return endedBy(read, ReadEnd::Failed, read.code);
        unsigned left = millisUntil(deadline);
        if (left == 0) return endedBy(read, ReadEnd::TimedOut, 0);
        if (received == Received::WaitWritable) {
            sleepMillis(1);
        } else if (socketWaitReadable(s, left) < 0) {
            return endedBy(read, ReadEnd::Failed, lastSocketError());
        }
    }
    return read;
}

// One send, in TLS or not: the bytes taken (a TLS write takes all or none),
// 0 when the socket takes none now, -1 on failure with *code and *reason.
int sendOnce(ClientConnection& c, const std::uint8_t* data, std::size_t size, int* code,
             std::string* reason) {
    if (c.tls == nullptr) {
        int n = socketSend(c.socket, data, size);
        if (n > 0) return n;
        *code = lastSocketError();
        return isWouldBlock(*code) ? 0 : -1;
    }
    TlsOutcome outcome = tlsClientWrite(c.tls, data, size);
    *code = outcome.code;
    *reason = outcome.reason;
    if (outcome.step == TlsStep::Done) return static_cast<int>(outcome.bytes);
    if (outcome.step == TlsStep::WantRead || outcome.step == TlsStep::WantWrite) return 0;
    if (outcome.step == TlsStep::Closed) *reason = "the server ended the TLS session";
    return -1;
}

std::string fieldProblem(const char* what, const std::string& text, std::size_t maxLength) {
    if (text.find('\0') != std::string::npos) return std::string(what) + " holds a NUL byte";
    if (text.size() <= maxLength) return "";
    return std::string(what) + " \"" + text + "\" is " + std::to_string(text.size()) +
           " characters long; at most " + std::to_string(maxLength) + " fit";
}

bool sendBytes(ClientConnection& c, const std::uint8_t* data, std::size_t size) {
    if (c.socket == kNoSocket) return fail(c, ClientError::Closed, "not connected to a server");
    const Deadline deadline = deadlineAfter(kSendWaitMillis);
    std::size_t sent = 0;
    while (sent < size) {
        int code = 0;
        std::string reason;
        int n = sendOnce(c, data + sent, size - sent, &code, &reason);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0) {
            return fail(c, ClientError::SocketError,
                        reason.empty() ? withCode("sending to the server failed", code)
                                       : "sending to the server failed: " + reason,
                        code);
        }
        if (millisUntil(deadline) == 0) {
            return fail(c, ClientError::TimedOut,
                        "the server took no data for " + millisText(kSendWaitMillis));
        }
        sleepMillis(1);
    }
    return succeed(c);
}

// Sends a header and its payload in one write, so the server never sees the
// header alone.
bool sendRequest(ClientConnection& c, MessageType type, const std::uint8_t* payload) {
    std::uint8_t bytes[kMaxMessageSize];
    return sendBytes(c, bytes, encodeMessage(type, payload, bytes));
}

// All the bytes of a message that begins with this type, or 0 for a type the
// server never sends to a client.
std::size_t messageSizeFor(std::uint32_t type) {
    switch (type) {
        case static_cast<std::uint32_t>(MessageType::Welcome):
        case static_cast<std::uint32_t>(MessageType::NameNotFound):
        case static_cast<std::uint32_t>(MessageType::ClientName):
        case static_cast<std::uint32_t>(MessageType::PeerRequest):
            return kHeaderSize + payloadSizeFor(type);
        default:
            return 0;
    }
}

// Reads into c.partial until it holds count bytes, waiting until deadline.
// Bytes that came before a time-out stay in c.partial for the next read.
bool fillTo(ClientConnection& c, std::size_t count, Deadline deadline, unsigned timeoutMillis) {
    const std::size_t had = c.partial.size();
    if (had >= count) return true;
    c.partial.resize(count);
    ExactRead read = readExactly(c, c.partial.data() + had, count - had, deadline);
    c.partial.resize(had + read.got);
    switch (read.end) {
        case ReadEnd::Whole:
            return true;
        case ReadEnd::Closed:
            return fail(c, ClientError::Closed,
                        c.partial.empty()
                            ? "the server closed the connection"
                            : "the server closed the connection in the middle of a message");
        case ReadEnd::TimedOut:
            return fail(c, ClientError::TimedOut,
                        "no whole message from the server within " + millisText(timeoutMillis));
        default:
            // Without a code it was TLS itself that failed: an alert from the
            // server, such as its refusal of the client's certificate, which
            // TLS 1.3 sends only after the client's side of the handshake.
            if (read.code == 0 && !read.reason.empty()) {
                return fail(c, ClientError::TlsFailed, kTlsFailedPrefix + read.reason);
            }
            return fail(c, ClientError::SocketError,
                        read.reason.empty()
                            ? withCode("receiving from the server failed", read.code)
                            : "receiving from the server failed: " + read.reason,
                        read.code);
    }
}

bool decodeMessage(ClientConnection& c, std::uint32_t type, const std::uint8_t* payload,
                   ServerMessage* message) {
    *message = ServerMessage{};
    message->type = static_cast<MessageType>(type);
    bool whole = true;
    if (message->type == MessageType::ClientName) {
        NamePayload name = decodeNamePayload(payload);
        whole = readTextField(name.name, kNameFieldSize, &message->name);
    } else if (message->type == MessageType::PeerRequest) {
        ConnectPayload request = decodeConnectPayload(payload);
        whole = readTextField(request.name, kNameFieldSize, &message->name) &&
                readTextField(request.address, kAddressFieldSize, &message->address);
        message->port = static_cast<std::uint16_t>(request.port[0] << 8 | request.port[1]);
    }
    if (!whole) {
        return fail(c, ClientError::Malformed,
                    "the server sent a text field with no end inside its width");
    }
    return succeed(c);
}

// Reads one message from the socket itself, past the held ones.
bool readFromSocket(ClientConnection& c, unsigned timeoutMillis, ServerMessage* message) {
    if (c.socket == kNoSocket) return fail(c, ClientError::Closed, "not connected to a server");
    const Deadline deadline = deadlineAfter(timeoutMillis);
    if (!fillTo(c, kHeaderSize, deadline, timeoutMillis)) return false;
    std::uint8_t header[kHeaderSize];
    std::memcpy(header, c.partial.data(), kHeaderSize);
    std::uint32_t type = decodeHeader(header);
    std::size_t size = messageSizeFor(type);
    if (size == 0) {
        // The size of what follows is unknown, so the stream cannot be
        // followed any further.
        c.partial.clear();
        return fail(c, ClientError::Malformed,
                    "the server sent a message of type " + std::to_string(type) +
                        ", which a server never sends");
    }
    if (!fillTo(c, size, deadline, timeoutMillis)) return false;
    std::vector<std::uint8_t> whole;
    whole.swap(c.partial);
    return decodeMessage(c, type, whole.data() + kHeaderSize, message);
}

void awaitWelcome(ClientConnection& c, unsigned timeoutMillis) {
    ServerMessage first;
    if (readServerMessage(c, timeoutMillis, &first) && first.type == MessageType::Welcome) {
        succeed(c);
        return;
    }
    std::string why = c.error == ClientError::None ? "its first message was another" : c.message;
    dropSocket(c);
    if (c.error == ClientError::TlsFailed) {
        fail(c, ClientError::TlsFailed,
             "TLS handshake with " + c.endpoint +
                 " failed: " + why.substr(std::strlen(kTlsFailedPrefix)));
        return;
    }
    fail(c, ClientError::NoWelcome,
         "no Welcome from " + c.endpoint + " (" + why + "); is it a peerdir server?");
}

// Loads what TLS needs before the connection is made, so that a file that
// cannot be used costs the server nothing.
bool prepareTls(ClientConnection& c, const std::string& host, const TlsClientSettings& settings) {
    std::string why;
    TlsClientTrust* trust = tlsClientTrustLoad(settings, &why);
    if (trust != nullptr)
        c.tls = tlsClientCreate(trust, host, settings.checkHostName, c.socket, &why);
    tlsClientTrustRelease(trust);
    if (c.tls != nullptr) return true;
    dropSocket(c);
    return fail(c, ClientError::TlsSetup, why);
}

bool shakeHands(ClientConnection& c, unsigned timeoutMillis) {
    const Deadline deadline = deadlineAfter(timeoutMillis);
    for (;;) {
        TlsOutcome step = tlsClientHandshake(c.tls);
        if (step.step == TlsStep::Done) return true;
        std::string why = step.reason;
        if (step.step == TlsStep::Closed) {
            why = "the server closed the connection (is it serving TLS?)";
        }
        unsigned left = millisUntil(deadline);
        if (why.empty() && left == 0) why = "no handshake within " + millisText(timeoutMillis);
        if (why.empty() && step.step == TlsStep::WantWrite) sleepMillis(1);
        if (why.empty() && step.step == TlsStep::WantRead &&
            socketWaitReadable(c.socket, left) < 0) {
            why = withCode("waiting for the server failed", lastSocketError());
        }
        if (!why.empty()) {
            dropSocket(c);
            return fail(c, ClientError::TlsFailed,
                        "TLS handshake with " + c.endpoint + " failed: " + why, step.code);
        }
    }
}

}  // namespace

std::string nameProblem(const std::string& name) {
    return fieldProblem("name", name, kMaxNameLength);
}

std::string addressProblem(const std::string& address) {
    return fieldProblem("address", address, kMaxAddressLength);
}

ClientConnection connectToServer(const std::string& host, std::uint16_t port,
                                 unsigned timeoutMillis, const TlsClientSettings* tls) {
    ClientConnection c;
    c.endpoint = host + ":" + std::to_string(port);
    std::uint32_t address = 0;
    if (host.empty() || !resolveIpv4(host.c_str(), &address)) {
        fail(c, ClientError::BadHost, "cannot find an IPv4 address for host \"" + host + "\"");
        return c;
    }
    c.socket = socketCreateTcp();
    if (c.socket == kNoSocket) {
        int code = lastSocketError();
        fail(c, ClientError::SocketError, withCode("cannot create a socket", code), code);
        return c;
    }
    if (tls != nullptr && !prepareTls(c, host, *tls)) return c;
    if (socketConnectWithin(c.socket, address, hostToNet16(port), timeoutMillis) != 0) {
        int code = lastSocketError();
        dropSocket(c);
        if (isConnectionRefused(code)) {
            fail(c, ClientError::Refused,
                 "connection refused by " + c.endpoint + " (is the server running?)", code);
        } else if (code == timedOutErrorCode()) {
            fail(c, ClientError::ConnectFailed,
                 "no connection to " + c.endpoint + " within " + millisText(timeoutMillis), code);
        } else {
            fail(c, ClientError::ConnectFailed, withCode("cannot connect to " + c.endpoint, code),
                 code);
        }
        return c;
    }
    // Requests are small and the server often sends nothing back. With
    // Nagle's algorithm on, a request sent within the server's delayed
    // acknowledgement of the previous one (up to 40 ms) would wait for it.
    socketSetNoDelay(c.socket);
    if (c.tls == nullptr || shakeHands(c, timeoutMillis)) awaitWelcome(c, timeoutMillis);
    return c;
}

bool registerName(ClientConnection& c, const std::string& name) {
    std::string problem = nameProblem(name);
    if (!problem.empty()) return fail(c, ClientError::BadField, problem);
    NamePayload payload;
    writeTextField(name, payload.name, kNameFieldSize);
    std::uint8_t bytes[kNamePayloadSize];
    encodeNamePayload(payload, bytes);
    return sendRequest(c, MessageType::ClientName, bytes);
}

bool sendRaw(ClientConnection& c, const std::uint8_t* data, std::size_t size) {
    return sendBytes(c, data, size);
}

bool requestList(ClientConnection& c) { return sendRequest(c, MessageType::ListRequest, nullptr); }

bool requestConnect(ClientConnection& c, const std::string& name, const std::string& address,
                    std::uint16_t port) {
    std::string problem = nameProblem(name);
    if (problem.empty()) problem = addressProblem(address);
    if (!problem.empty()) return fail(c, ClientError::BadField, problem);
    ConnectPayload payload;
    writeTextField(name, payload.name, kNameFieldSize);
    writeTextField(address, payload.address, kAddressFieldSize);
    payload.port[0] = static_cast<std::uint8_t>(port >> 8);
    payload.port[1] = static_cast<std::uint8_t>(port & 0xFF);
    std::uint8_t bytes[kConnectPayloadSize];
    encodeConnectPayload(payload, bytes);
    return sendRequest(c, MessageType::ConnectRequest, bytes);
}

bool readServerMessage(ClientConnection& c, unsigned timeoutMillis, ServerMessage* message) {
    if (!c.held.empty()) {
        *message = c.held.front();
        c.held.pop_front();
        return succeed(c);
    }
    return readFromSocket(c, timeoutMillis, message);
}

bool listNames(ClientConnection& c, unsigned quietMillis, std::vector<std::string>* names) {
    names->clear();
    if (!requestList(c)) return false;
    for (;;) {
        ServerMessage message;
        if (!readFromSocket(c, quietMillis, &message)) {
            return c.error == ClientError::TimedOut ? succeed(c) : false;
        }
        if (message.type == MessageType::ClientName) {
            names->push_back(message.name);
        } else {
            c.held.push_back(message);
        }
    }
}

ExactRead readExactly(Socket s, std::uint8_t* buffer, std::size_t size, Deadline deadline) {
    return readExactlyFrom(s, nullptr, buffer, size, deadline);
}

ExactRead readExactly(ClientConnection& c, std::uint8_t* buffer, std::size_t size,
                      Deadline deadline) {
    return readExactlyFrom(c.socket, c.tls, buffer, size, deadline);
}

void closeConnection(ClientConnection& c) {
    if (c.socket == kNoSocket) return;
    // Closing with unread bytes would reset the connection, which the server
    // logs as an error; so the rest is read first, up to the server's close.
    // A TLS session is ended with its close alert first, so the server sees
    // a client that leaves, not one whose connection broke.
    tlsClientSayGoodbye(c.tls);
    socketShutdownSend(c.socket);
    const Deadline deadline = deadlineAfter(kCloseWaitMillis);
    for (;;) {
        std::uint8_t buffer[256];
        ExactRead read;
        Received received = receiveOnce(c.socket, c.tls, buffer, sizeof buffer, &read);
        if (received == Received::Data) continue;
        if (received == Received::End || received == Received::Failed) break;
        unsigned left = millisUntil(deadline);
        if (left == 0) break;
        if (received == Received::WaitWritable) {
            sleepMillis(1);
        } else if (socketWaitReadable(c.socket, left) < 0) {
            break;
        }
    }
    dropSocket(c);
    c.held.clear();
}

}  // namespace peerdir
