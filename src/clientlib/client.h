// client.h -- the client library: talk to a peerdir server from a program.
//
// One blocking call per protocol step, each bounded by a time-out. A
// connection is a plain record that carries the outcome of its last call (an
// error kind, the platform's code where there is one, and one line of text),
// so every call is a plain call that returns true or false. Names and
// addresses that do not fit their fields are refused, never cut. The caller
// starts the network library (netStartup) before the first call.
//
// On request a connection speaks TLS (src/tls/ holds it): the server's
// certificate must chain to the trusted CAs and name the host the caller
// gave, unless the caller turns that check off; inside TLS every byte is as
// in plain mode, and every call works the same.
#ifndef PEERDIR_CLIENTLIB_CLIENT_H
#define PEERDIR_CLIENTLIB_CLIENT_H

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "protocol/message.h"
#include "tls/tls_client.h"

namespace peerdir {

enum class ClientError {
    None,           // the last call succeeded
    BadHost,        // the host is empty or resolves to no IPv4 address
    Refused,        // nothing accepts connections at that host and port
    ConnectFailed,  // the connection could not be made otherwise (unreachable, timed out)
    NoWelcome,      // connected, but no Welcome came first, in time
    Closed,         // the server closed the connection
    TimedOut,       // nothing whole arrived in time; nothing is lost, a later read goes on
    BadField,       // a name or address too long for its field, or holding a NUL; nothing sent
    Malformed,      // the server sent something it never sends; close the connection
    SocketError,    // a send or receive failed
    TlsSetup,       // TLS asked for, but this build has none, or a CA, certificate or key
                    // file cannot be used; nothing was sent
    TlsFailed,      // the TLS handshake failed (the server's certificate was refused, or the
                    // server does not speak TLS); the message holds OpenSSL's reason
};

// Longest texts the fields hold: one byte of each field is its NUL.
constexpr std::size_t kMaxNameLength = kNameFieldSize - 1;
constexpr std::size_t kMaxAddressLength = kAddressFieldSize - 1;

constexpr unsigned kDefaultConnectMillis = 5000;

// One message from the server, decoded.
struct ServerMessage {
    MessageType type = MessageType::Welcome;
    std::string name;        // ClientName: a registered name; PeerRequest: the name asked for
    std::string address;     // PeerRequest: where the asker wants to be reached
    std::uint16_t port = 0;  // PeerRequest: the port, sent big-endian
};

struct ClientConnection {
    Socket socket = kNoSocket;
    TlsClient* tls = nullptr;  // the TLS state, on a TLS connection; released with the socket
    ClientError error = ClientError::None;
    int code = 0;          // the platform's error code behind ConnectFailed or SocketError
    std::string message;   // what went wrong, in one line; empty after a success
    std::string endpoint;  // "host:port", as the caller named it, for messages
    // The start of a message whose rest has not arrived yet, kept across
    // time-outs so that no byte is lost.
    std::vector<std::uint8_t> partial;
    // Messages that arrived while listNames waited for names; readServerMessage
    // returns them first.
    std::deque<ServerMessage> held;
};

// Empty when the text fits a name (or an address) field; otherwise why not,
// in one line. Lets a caller check its input before connecting.
std::string nameProblem(const std::string& name);
std::string addressProblem(const std::string& address);

// Connects to host (a name or dotted text) and port, and waits for the
// server's Welcome; each step waits at most timeoutMillis. With tls, the
// connection speaks TLS: its files are loaded before connecting, and the
// handshake comes before the Welcome, within the same time. On failure the
// record holds the error and no socket.
ClientConnection connectToServer(const std::string& host, std::uint16_t port,
                                 unsigned timeoutMillis = kDefaultConnectMillis,
                                 const TlsClientSettings* tls = nullptr);

// Registers name for this connection. The server does not answer.
bool registerName(ClientConnection& c, const std::string& name);

// Asks for every registered name; the server answers with one ClientName per
// name, in registration order, and nothing at all for an empty registry.
bool requestList(ClientConnection& c);

// Asks the server to pass address and port to the client registered as name.
// The server answers NameNotFound when there is none, and nothing otherwise.
bool requestConnect(ClientConnection& c, const std::string& name, const std::string& address,
                    std::uint16_t port);

// Sends bytes the caller has framed itself, such as many messages in one
// write, whole, in TLS or not; waits at most 5 s for the server to take
// them.
bool sendRaw(ClientConnection& c, const std::uint8_t* data, std::size_t size);

// Reads the next whole message (Welcome, PeerRequest, ClientName or
// NameNotFound), waiting at most timeoutMillis for it.
bool readServerMessage(ClientConnection& c, unsigned timeoutMillis, ServerMessage* message);

// Asks for the list and collects names until the server has been quiet for
// quietMillis: the reply has no end marker. Other messages that arrive
// meanwhile are kept for readServerMessage.
bool listNames(ClientConnection& c, unsigned quietMillis, std::vector<std::string>* names);

// How a readExactly ended.
enum class ReadEnd {
    Whole,     // every byte asked for arrived
    Closed,    // the peer closed the connection first
    TimedOut,  // the deadline came first
    Failed,    // a receive or the wait for one failed; the platform's code is in code
};

struct ExactRead {
    std::size_t got = 0;  // bytes read into the buffer, however the read ended
    ReadEnd end = ReadEnd::Whole;
    int code = 0;
    std::string reason;  // a TLS connection's Failed: OpenSSL's reason
};

// Reads exactly size bytes from s into buffer, waiting for each piece until
// deadline. s must be non-blocking, or a receive could outlast the deadline.
// Bytes that came before a close, a failure or the deadline are in buffer
// and counted in got.
ExactRead readExactly(Socket s, std::uint8_t* buffer, std::size_t size, Deadline deadline);

// The same on a connection, in TLS or not, for a caller that reads the
// server's bytes itself; what the library holds already (partial, held) is
// not read again.
ExactRead readExactly(ClientConnection& c, std::uint8_t* buffer, std::size_t size,
                      Deadline deadline);

// Ends the connection the way the server expects: stops sending, reads and
// drops what the server still sends until it closes (a bounded wait), then
// releases the socket. Safe on a record that holds no socket.
void closeConnection(ClientConnection& c);

}  // namespace peerdir

#endif
