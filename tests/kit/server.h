// server.h -- a peerdir server under test: its scratch directory and
// config.txt, what it announces at start-up, and crowds of clients.
//
// Servers start on port 0, so the system picks a port nothing else holds,
// and the port is read back from the server's log: no port is ever chosen
// beforehand and handed out after its probe is closed, which another program
// could take in between. Every wait is bounded by a deadline.
#ifndef PEERDIR_TESTS_KIT_SERVER_H
#define PEERDIR_TESTS_KIT_SERVER_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "kit/process.h"
#include "platform/platform.h"
#include "tls/tls_client.h"

namespace peerdir {
namespace kit {

struct TlsRelay;

// A fresh directory under the system's temporary directory, its name
// beginning with prefix; empty on failure.
std::string makeScratchDirectory(const std::string& prefix);

// Removes dir and everything in it.
void removeScratchDirectory(const std::string& dir);

// Writes content to path, replacing what was there; false on failure.
bool writeFile(const std::string& path, const std::string& content);

// Writes dir/config.txt for port; with 0 the system picks a free port when
// the server binds, and the server logs which.
bool writeServerConfig(const std::string& dir, std::uint16_t port = 0);

// The address the server announced ("Server IP Address: "); empty when it
// has not within millis.
std::string announcedAddress(ChildProcess& server, unsigned millis = kProcessWaitMillis);

// The port a server configured with port 0 bound, from its line
// "createListenSocket: Listening on port N"; 0 when it has not said within
// millis.
std::uint16_t listeningPort(ChildProcess& server, unsigned millis = kProcessWaitMillis);

// Connects to host and port until the server's Welcome comes, then closes
// that connection: the server listens from its first poll on, just after it
// reports its port, so the first tries may be refused. False once the
// server has ended or millis have run out. With tls, over TLS.
bool awaitWelcome(ChildProcess& server, const std::string& host, std::uint16_t port,
                  unsigned millis = kProcessWaitMillis, const TlsClientSettings* tls = nullptr);

// Opens count connections to address (network byte order) and port, at most
// inFlight of them connecting at once, and returns those whose Welcome came
// before millis ran out; the others are closed. With a relay, each goes
// through it to a TLS server, and the relay's test ends are returned.
std::vector<Socket> openClients(std::uint32_t address, std::uint16_t port, std::size_t count,
                                std::size_t inFlight, unsigned millis, TlsRelay* through = nullptr);
void closeClients(std::vector<Socket>& sockets);

}  // namespace kit
}  // namespace peerdir

#endif
