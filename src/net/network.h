// network.h -- starting the sockets library, the listening socket, and the
// one-poll check for a new connection.
//
// The names here (initializeWinsock, "WSAStartup", "WSASocket") and the log
// lines they write are the server's fixed log interface on every platform,
// POSIX included: operators and their scripts read these exact texts, so
// they keep the Winsock wording wherever the server runs.
#ifndef PEERDIR_NET_NETWORK_H
#define PEERDIR_NET_NETWORK_H

#include <cstdint>
#include <string>

#include "platform/platform.h"

namespace peerdir {

// Starts the sockets library asking for version 2.2 and logs the granted and
// newest versions. False, after logging the start-up call's own error
// number, when it cannot start.
bool initializeWinsock();

// Logs the address to listen on and the port, then makes a socket bound to
// that address and port and switches it to non-blocking mode. The address is
// listenAddress, dotted IPv4 text (0.0.0.0: every interface), or when that
// is empty the host's first IPv4 address. When the
// port it got differs from the one asked for (0 lets the system choose), it
// logs the port it got. It does not listen yet: the first poll does. kNoSocket after a logged
// failure; a socket made before the failure is closed again.
Socket createListenSocket(std::uint16_t port, const std::string& listenAddress = "");

// The kernel send buffer each accepted connection gets: a 1,000-name list
// and more fits at once, and 10,000 clients that never read hold at most
// about 1.2 GiB of kernel memory between them (Linux counts its bookkeeping
// on top, up to twice the buffer).
constexpr int kClientSendBufferBytes = 64 * 1024;

// One poll: listen (with the largest backlog the system allows, repeated
// every time), then accept one pending connection. Returns the new
// non-blocking socket, with Nagle's algorithm off and its send buffer
// fixed at kClientSendBufferBytes; kNoSocket when
// nothing is pending; or listenSocket itself after any other listen or
// accept error, which it logs. Callers must not take that value for a new
// connection.
Socket listenForConnections(Socket listenSocket);

}  // namespace peerdir

#endif
