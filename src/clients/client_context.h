// client_context.h -- what each client manager thread is handed.
#ifndef PEERDIR_CLIENTS_CLIENT_CONTEXT_H
#define PEERDIR_CLIENTS_CLIENT_CONTEXT_H

#include <chrono>
#include <string>
#include <vector>

#include "clients/address_counts.h"
#include "clients/registry.h"
#include "platform/platform.h"
#include "tls/tls_server.h"

namespace peerdir {

// A rest waiting for room is tried again at least this often, so a report of
// room that the system loses (Wine's, now and then, under load) cannot leave
// it unsent for ever. It costs only a client that is not reading.
constexpr unsigned kRestRetryMillis = 50;

// A client manager needs a few KiB of stack; the platform default (8 MiB on
// Linux, 2 MiB on Windows) would let reservations, not memory, cap the
// number of clients, above all in a 32-bit address space.
constexpr std::size_t kClientStackBytes = 64 * 1024;

// Threads that client managers started to go on serving their clients, for
// the accept loop to take over (join and release) with the ones it started.
struct HandedThreads {
    LockHandle lock = nullptr;
    std::vector<ThreadHandle> threads;
};

// A TLS handshake must be done this long after the accept, or the
// connection ends.
constexpr auto kHandshakeLimit = std::chrono::seconds(10);

// The names a client's certificate grants, when names must be granted;
// its own thread alone reads and changes it.
struct GrantedNames {
    std::vector<std::string> names;
    bool ignoredReported = false;  // the first name refused has been logged
};

// The registry, its lock and globalExit are shared by every client manager;
// the socket is this client's own. A thread copies the context before doing
// anything else, so the original only has to live until then.
struct ClientManagerContext {
    ClientRegistry* registry;
    LockHandle registryLock;
    EventHandle globalExit;
    Socket socket;
    // Between turns, sleep in the kernel until there is something to do,
    // instead of looking every millisecond.
    bool waitWhenIdle = false;
    // How often, while waiting, a rest is tried again without a report of
    // room. Tests set it long, so that only the report can deliver a rest.
    unsigned restRetryMillis = kRestRetryMillis;
    // The place this client holds under the limit per address, given back
    // as it leaves; nullptr when there is no such limit (or the address
    // could not be told), and then nothing is given back.
    AddressCounts* addressCounts = nullptr;
    std::uint32_t peerAddress = 0;  // network byte order
    // TLS mode: the certificates a new session takes; nullptr: plain.
    TlsServer* tls = nullptr;
    // With tls: a client may register only the names its certificate
    // grants, which its thread puts in granted after the handshake.
    bool namesFromCertificate = false;
    GrantedNames* granted = nullptr;
    // When the connection was accepted; the handshake's limit counts from it.
    std::chrono::steady_clock::time_point acceptedAt{};
    // Where a client manager that goes on serving in a fresh thread leaves
    // that thread; nullptr: it never does.
    HandedThreads* handedThreads = nullptr;
};

}  // namespace peerdir

#endif
