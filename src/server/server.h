// server.h -- the program's entry routine and its accept loop.
#ifndef PEERDIR_SERVER_SERVER_H
#define PEERDIR_SERVER_SERVER_H

#include "platform/platform.h"

namespace peerdir {

// Starts the network library, reads "config.txt" from the working directory
// (asking on the console whether to try again while it cannot be opened),
// creates the listening socket and serves until globalExit is set. Returns 0
// on every path; it is the process's exit status.
int runServer();

// The second half of runServer: creates the registry and its lock, accepts
// connections (one ClientManager thread each) until globalExit is set, then
// waits for every client manager, probes every accepted socket, and releases
// everything: the network library, globalExit, the lock and the registry.
void acceptAndServe(Socket listenSocket, EventHandle globalExit);

}  // namespace peerdir

#endif
