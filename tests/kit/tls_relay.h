// tls_relay.h -- plain sockets for a test, carried over TLS to the server.
//
// Owns one thread and every connection handed to it. For each it keeps a
// TLS session (the client library's own TLS) on the TCP connection to the
// server, and a local socket pair whose other end the test gets: what the
// test writes goes to the server inside TLS, and what the server sends
// comes out at the test's end, so a test written for a plain server reads
// and writes exactly as before. The ends map as in plain mode: the test
// closing its end sends the close alert and closes the connection (a test
// end closed with bytes unread resets it instead); the server ending the
// session, closing or resetting the connection, or refusing it before or
// during the handshake closes the test's end. While the test does not read,
// the relay stops reading from the server, so the server's sends back up as
// they would. One poll loop serves every connection; nothing blocks in it.
// Linux only, like the rest of the kit.
#ifndef PEERDIR_TESTS_KIT_TLS_RELAY_H
#define PEERDIR_TESTS_KIT_TLS_RELAY_H

#include <cstdint>
#include <string>

#include "platform/platform.h"
#include "tls/tls_client.h"

namespace peerdir {
namespace kit {

struct TlsRelay;

// Starts the relay's thread, with trust checked against settings and the
// server's certificate checked for 127.0.0.1. nullptr with *why on failure.
TlsRelay* tlsRelayStart(const TlsClientSettings& settings, std::string* why);

// Ends every connection still relayed (as if the server had closed it) and
// the thread. Safe on nullptr.
void tlsRelayStop(TlsRelay* relay);

// Takes over tcp, a TCP socket to the server, connected or still
// connecting, and returns the test's end of it: a non-blocking socket read
// and written with the platform's calls, closed by the test. kNoSocket on
// failure, with tcp closed.
Socket tlsRelayAdopt(TlsRelay* relay, Socket tcp);

// The local port of the TCP connection behind the test's end testEnd, as
// the server sees it; 0 when testEnd is not one of the relay's.
std::uint16_t tlsRelayServerSidePort(TlsRelay* relay, Socket testEnd);

}  // namespace kit
}  // namespace peerdir

#endif
