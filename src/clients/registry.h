// registry.h -- the shared table of registered names and the sockets they
// were registered over, and each connection's outbox.
//
// Locking rule: the registry keeps the one lock (registryLock) that guards
// it, from its creation on, and every function here must be called with that
// lock held; builds with assertions check it. The outboxes live here because
// every write to a client happens under the same lock: the message handler
// keeps holding it for the whole of a reply that depends on the table, so an
// entry it found cannot vanish, nor its socket close, while the reply is
// written. Client managers remove their entries and their outbox under the
// lock before closing their sockets.
#ifndef PEERDIR_CLIENTS_REGISTRY_H
#define PEERDIR_CLIENTS_REGISTRY_H

#include <cassert>
#include <cstddef>
#include <string>
#include <unordered_map>
#include <vector>

#include "clients/outbox.h"
#include "platform/platform.h"
#include "shared/shared_registry.h"

namespace peerdir {

struct ClientEntry {
    std::string name;
    Socket socket;
};

// A connection that has registered names: its number, how many names, and
// whether the one beyond its limit has been reported.
struct ClientRecord {
    ConnectionId connection = 0;
    std::size_t names = 0;
    bool limitReported = false;
};

// Entries in registration order. Duplicates are allowed: one name may be
// registered many times, and one socket may carry many names, up to
// maxNamesPerClient (0: no limit). With the shared registry on, shared
// holds its state; the entries here are then this server's own clients'.
// Reach the fields only through the functions below.
struct ClientRegistry {
    LockHandle lock = nullptr;  // registryLock, set at creation
    std::size_t maxNamesPerClient = 0;
    SharedRegistry* shared = nullptr;
    ConnectionId lastConnection = 0;
    std::vector<ClientEntry> entries;
    std::unordered_map<Socket, ClientRecord> clients;
    std::unordered_map<ConnectionId, Socket> sockets;
    std::unordered_map<Socket, Outbox> outboxes;
};

// An empty registry guarded by lock, which the caller keeps until the
// registry is gone.
inline ClientRegistry makeRegistry(LockHandle lock, std::size_t maxNamesPerClient = 0) {
    return ClientRegistry{lock, maxNamesPerClient, nullptr, 0, {}, {}, {}, {}};
}

// The lock that guards registry; the one field reached without holding it.
inline LockHandle lockOf(const ClientRegistry& registry) { return registry.lock; }

// The shared registry's state, or nullptr when the mode is off.
SharedRegistry* sharedOf(const ClientRegistry& registry);
void setShared(ClientRegistry& registry, SharedRegistry* shared);

// True when the calling thread holds the registry's lock; for assertions.
bool registryLocked(const ClientRegistry& registry);

enum class AddResult {
    Added,
    FirstOverLimit,  // not added: the first name of this socket beyond its limit
    OverLimit,       // not added, and reported before
};

// Appends an entry, unless socket has registered maxNamesPerClient names.
// A repeated name counts, as it is an entry of its own. *connection, when
// given, is set to the number of socket's connection.
AddResult add(ClientRegistry& registry, const std::string& name, Socket socket,
              ConnectionId* connection = nullptr);

std::size_t entryCount(const ClientRegistry& registry);

// The most names one client may register; 0: no limit.
std::size_t nameLimitOf(const ClientRegistry& registry);

// Calls visit(entry) for every entry, first to last.
template <typename Visitor>
void forEach(const ClientRegistry& registry, Visitor visit) {
    assert(registryLocked(registry));
    for (const ClientEntry& entry : registry.entries) visit(entry);
}

// The socket of the earliest entry whose name equals name byte for byte, or
// kNoSocket.
Socket findFirst(const ClientRegistry& registry, const std::string& name);

// Removes every entry registered over socket; the rest keep their order.
// Returns the number of socket's connection, 0 when it registered nothing.
ConnectionId removeAll(ClientRegistry& registry, Socket socket);

// The socket of a connection that has registered names and not ended, or
// kNoSocket.
Socket socketOf(const ClientRegistry& registry, ConnectionId connection);

// The outbox of socket's connection, made empty on first use. The reference
// stays valid until dropOutbox(socket), whatever other outboxes come and go.
Outbox& outboxFor(ClientRegistry& registry, Socket socket);

// Forgets socket's outbox and anything still in it; the connection's owner
// calls it before closing the socket, so a later connection that gets the
// same socket number starts with an empty one.
void dropOutbox(ClientRegistry& registry, Socket socket);

// The outboxes kept; tests use it to see that none outlives its connection.
std::size_t outboxCount(const ClientRegistry& registry);

}  // namespace peerdir

#endif
