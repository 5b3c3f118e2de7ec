// tls_peer.h -- a TLS client for the tests: just enough to speak the
// protocol to a server over TLS, with a client certificate when given,
// every wait bounded by a deadline. OpenSSL directly, as the client
// library's TLS is the client's own business and not what these tests test.
#ifndef PEERDIR_TESTS_KIT_TLS_PEER_H
#define PEERDIR_TESTS_KIT_TLS_PEER_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

struct ssl_st;
struct ssl_ctx_st;

namespace peerdir {
namespace kit {

struct TlsPeerFiles {
    std::string caFile;    // the server's certificate must chain here; empty: not checked
    std::string certFile;  // the client's own certificate; empty: none
    std::string keyFile;
    // When not 0, the client's receive buffer, set before it connects, so
    // that a test can fill the connection with little.
    int receiveBufferBytes = 0;
};

struct TlsPeer {
    Socket socket = kNoSocket;
    ssl_ctx_st* context = nullptr;
    ssl_st* ssl = nullptr;
    std::string peerSubject;  // the server certificate's subject, one line
};

// Connects to 127.0.0.1:port and completes the handshake within millis.
// False with *problem (OpenSSL's reason) otherwise; nothing is left open.
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

// Runs the openssl command line with args in dir; false, with its output in
// *output, when it fails.
bool runOpenssl(const std::string& dir, const std::vector<std::string>& args, std::string* output);

}  // namespace kit
}  // namespace peerdir

#endif
