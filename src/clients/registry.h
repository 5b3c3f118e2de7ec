// registry.h -- the shared table of registered names and the sockets they
// were registered over.
//
// It also keeps each connection's outbox (the unsent rest of its last
// write), since every write to a client happens under the same lock.
//
// Locking rule: every function here must be called with registryLock held.
// The message handler keeps holding it for the whole of a reply that depends
// on the table, so an entry it found cannot vanish, nor its socket close,
// while the reply is written. Client managers remove their entries under the
// same lock before closing their sockets.
#ifndef PEERDIR_CLIENTS_REGISTRY_H
#define PEERDIR_CLIENTS_REGISTRY_H

#include <string>
#include <unordered_map>
#include <vector>

#include "platform/platform.h"
#include "protocol/message.h"

namespace peerdir {

struct ClientEntry {
    std::string name;
    Socket socket;
};

// Entries in registration order. Duplicates are allowed: one name may be
// registered many times, and one socket may carry many names.
struct ClientRegistry {
    std::vector<ClientEntry> entries;
    std::unordered_map<Socket, Outbox> outboxes;
};

void add(ClientRegistry& registry, const std::string& name, Socket socket);

// Calls visit(entry) for every entry, first to last.
template <typename Visitor>
void forEach(const ClientRegistry& registry, Visitor visit) {
    for (const ClientEntry& entry : registry.entries) visit(entry);
}

// The socket of the earliest entry whose name equals name byte for byte, or
// kNoSocket.
Socket findFirst(const ClientRegistry& registry, const std::string& name);

// Removes every entry registered over socket; the rest keep their order.
void removeAll(ClientRegistry& registry, Socket socket);

// The outbox of socket's connection, made empty on first use, with guard
// (registryLock) as the lock every write through it must hold. The reference
// stays valid until dropOutbox(socket), whatever other outboxes come and go.
Outbox& outboxFor(ClientRegistry& registry, Socket socket, LockHandle guard);

// Forgets socket's outbox and anything still in it; the connection's owner
// calls it before closing the socket.
void dropOutbox(ClientRegistry& registry, Socket socket);

}  // namespace peerdir

#endif
