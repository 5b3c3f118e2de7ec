// tls_peer.h -- a TLS client for the tests: just enough to speak the
// protocol to a server over TLS, with a client certificate when given,
// every wait bounded by a deadline. It is the client library's own TLS
// (the server's certificate checked against the CA and for 127.0.0.1), so
// OpenSSL stays in the TLS room; what these tests test is the server.
#ifndef PEERDIR_TESTS_KIT_TLS_PEER_H
#define PEERDIR_TESTS_KIT_TLS_PEER_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "tls/tls_client.h"

namespace peerdir {
namespace kit {

struct TlsPeerFiles {
    std::string caFile;    // the server's certificate must chain here
    std::string certFile;  // the client's own certificate; empty: none
    std::string keyFile;
    // When not 0, the client's receive buffer, set before it connects, so
    // that a test can fill the connection with little.
    int receiveBufferBytes = 0;
};

struct TlsPeer {
    Socket socket = kNoSocket;
    TlsClientTrust* trust = nullptr;
    TlsClient* tls = nullptr;
    std::string peerSubject;  // the server certificate's subject, one line
};

// What tlsPeerConnect says when no TCP connection could be made at all.
extern const char* const kTlsPeerNoConnection;

// Connects to 127.0.0.1:port and completes the handshake within millis.
// False with *problem (OpenSSL's reason, or kTlsPeerNoConnection)
// otherwise; nothing is left open.
bool tlsPeerConnect(TlsPeer& peer, std::uint16_t port, const TlsPeerFiles& files, unsigned millis,
                    std::string* problem);

// Writes all of bytes within millis.
bool tlsPeerSend(TlsPeer& peer, const std::vector<std::uint8_t>& bytes, unsigned millis);

// Reads exactly count bytes within millis into *bytes.
bool tlsPeerReceive(TlsPeer& peer, std::size_t count, std::vector<std::uint8_t>* bytes,
                    unsigned millis);

// True when the server ends the connection (its close alert, the socket's
// end or a reset) within millis; bytes that come first are read and
// thrown away.
bool tlsPeerSeesEnd(TlsPeer& peer, unsigned millis);

// Sends the close alert and closes the socket.
void tlsPeerClose(TlsPeer& peer);

}  // namespace kit
}  // namespace peerdir

#endif
