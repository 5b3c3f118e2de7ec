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

// What one poll of the listening socket gave.
enum class PollOutcome {
    Nothing,   // no connection was pending
    Accepted,  // a new connection
    Error,     // listen or accept failed (logged by the poll)
};

// How the accept loop paces its polls across turns.
struct AcceptPacing {
    unsigned errorPauseMillis = 1;  // the pause after the last error in a row
};

// The pause in milliseconds before the next poll: none after a new
// connection, 1 after an empty poll, and after an error 2, 4, 8 ... up to
// 100, so a lasting error (out of descriptors, say) logs a few lines a
// second instead of one every turn. Any poll without an error starts the
// errors' pauses again from 1.
unsigned pauseAfterPoll(AcceptPacing& pacing, PollOutcome outcome);

}  // namespace peerdir

#endif
