// server.h -- the program's entry routine and its accept loop.
#ifndef PEERDIR_SERVER_SERVER_H
#define PEERDIR_SERVER_SERVER_H

#include <cstdint>

#include "platform/platform.h"
#include "server/options.h"
#include "shared/shared_registry.h"
#include "tls/tls_server.h"

namespace peerdir {

// The process's exit statuses.
enum ExitStatus {
    kExitDone = 0,            // stopped on request, or the operator declined to retry
    kExitStartFailed = 1,     // the network library, the listening socket or the configuration
    kExitBadCommandLine = 2,  // nothing was started
};

// Starts the network library, reads the configuration file (asking on the
// console whether to try again while it cannot be opened), creates the
// listening socket and serves until globalExit is set. Returns the exit
// status.
int runServer(const ServerOptions& options);

// What the operator bounds, as the accept loop keeps it.
struct ServerLimits {
    std::uint32_t maxClients = 0;            // clients served at once; 0: no limit
    std::uint32_t maxClientsPerAddress = 0;  // of them from one peer address; 0: no limit
    std::uint32_t maxNames = 0;              // names per client; 0: no limit
    std::uint32_t statsSeconds = 0;          // between stats lines; 0: none
    std::uint32_t keepaliveSeconds = 0;      // a vanished client is ended within; 0: never
    bool waitWhenIdle = false;               // idle threads sleep in the kernel, not poll
    // Bytes all clients' unread replies may hold in the process; 0: no
    // limit but each client's own.
    std::size_t pendingOutputBytes = 0;
    // TLS on the clients' port; nullptr: plain. With namesFromCertificate a
    // client registers only the names its certificate grants.
    TlsServer* tls = nullptr;
    bool namesFromCertificate = false;
};

// The keepalive of the connection-th connection for a bound of seconds: the
// first probe after S/3 to 2S/3, spread over connections so that clients
// that connected together do not probe together, then one every S/9, and
// enough probes that the whole comes to about S; unacknowledged data waits
// at most S.
KeepaliveSettings keepaliveFor(std::uint32_t seconds, std::size_t connection);

// The second half of runServer: creates the registry and its lock, accepts
// connections (one ClientManager thread each, or a close at once beyond the
// client limit or its address's limit) and takes reload requests until
// globalExit is set, then waits for every client
// manager, probes every accepted socket, and releases everything: the
// network library, globalExit, the lock and the registry.
// With shared, the server joins the registry that several servers share on
// etcd; nullptr keeps it to itself. observers, when given, hear of the
// server's progress (see observers.h); the caller stops their endpoint
// afterwards.
struct ServerObservers;
void acceptAndServe(Socket listenSocket, EventHandle globalExit, const ServerLimits& limits,
                    const SharedRegistryOptions* shared = nullptr,
                    ServerObservers* observers = nullptr);

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
