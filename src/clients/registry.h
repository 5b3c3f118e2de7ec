// registry.h -- the shared table of registered names and the sockets they
// were registered over, and each connection's outbox.
//
// What each call costs does not grow with what everyone else registered: a
// lookup is one probe of an index by name, a client's removal walks only its
// own entries, and a list walks only the entries it lists.
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

#include <algorithm>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "clients/outbox.h"
#include "platform/platform.h"
#include "protocol/message.h"
#include "shared/shared_registry.h"

namespace peerdir {

// The longest name an entry holds: the most a ClientName's field carries.
constexpr std::size_t kMaxEntryName = kNameFieldSize - 1;

// One entry as forEach shows it; name points into the registry and stays
// valid only while the registry is unchanged.
struct ClientEntry {
    std::string_view name;
    Socket socket;
};

// Entries are kept in slots and linked by slot number, so that neither a
// lookup nor a removal walks anyone else's entries, and a slot never moves
// once made (slots are allocated in blocks that stay where they are).
using EntrySlot = std::uint32_t;
constexpr EntrySlot kNoSlot = 0xFFFFFFFFu;
constexpr std::size_t kSlotsPerBlock = 1024;  // a power of two

// The number of a client's record, in place of its socket: half the size,
// and an entry is by far the most numerous thing the server keeps.
using RecordNumber = std::uint32_t;

// One entry and its three chains: registration order, the entries of the
// same name (in registration order), and the entries of the same client.
// The name is held in place rather than as a std::string: 19 bytes and its
// length, with no allocation of its own. The same-name chain's first entry has the chain's
// last as its previousSame, so the index need keep only the first. A free
// slot is chained to the next free one through next.
struct RegistrySlot {
    char name[kMaxEntryName] = {};
    std::uint8_t nameLength = 0;
    RecordNumber client = 0;
    EntrySlot previous = kNoSlot;
    EntrySlot next = kNoSlot;
    EntrySlot previousSame = kNoSlot;
    EntrySlot nextSame = kNoSlot;
    EntrySlot nextOfClient = kNoSlot;
};

// The first and last entry of one chain.
struct SlotChain {
    EntrySlot first = kNoSlot;
    EntrySlot last = kNoSlot;
};

// A connection that has registered names: its socket, its number, how many
// names, its own entries, and whether the one beyond its limit has been
// reported.
struct ClientRecord {
    Socket socket = kNoSocket;
    ConnectionId connection = 0;
    std::size_t names = 0;
    SlotChain entries;  // linked through nextOfClient
    bool limitReported = false;
};

// Entries in registration order. Duplicates are allowed: one name may be
// registered many times, and one socket may carry many names, up to
// maxNamesPerClient (0: no limit). With the shared registry on, shared
// holds its state; the entries here are then this server's own clients'.
//
// Every distinct name has one place in byName, an open-addressing table
// (linear probing) holding the first of that name's entries, the one a
// lookup wants. A table of slot numbers costs a few bytes a name, where a
// node-based map would cost a node each.
// Reach the fields only through the functions below.
struct ClientRegistry {
    LockHandle lock = nullptr;  // registryLock, set at creation
    std::size_t maxNamesPerClient = 0;
    SharedRegistry* shared = nullptr;
    ConnectionId lastConnection = 0;
    std::vector<std::unique_ptr<RegistrySlot[]>> slotBlocks;
    std::size_t slotsMade = 0;
    EntrySlot freeSlots = kNoSlot;
    SlotChain order;
    std::size_t entries = 0;
    std::vector<EntrySlot> byName;          // a power of two in size, or empty
    std::size_t names = 0;                  // places in use in byName
    std::vector<ClientRecord> records;      // by RecordNumber
    std::vector<RecordNumber> freeRecords;  // of clients gone, to use again
    std::unordered_map<Socket, RecordNumber> clients;
    std::unordered_map<ConnectionId, Socket> sockets;
    std::unordered_map<Socket, Outbox> outboxes;
    OutputBudget output;  // what the outboxes' rests may hold
};

// An empty registry guarded by lock, which the caller keeps until the
// registry is gone.
inline ClientRegistry makeRegistry(LockHandle lock, std::size_t maxNamesPerClient = 0) {
    ClientRegistry registry{};
    registry.lock = lock;
    registry.maxNamesPerClient = maxNamesPerClient;
    return registry;
}

// Bounds what all clients' unread replies hold in the process to total bytes
// (0: no bound but each client's), each client's to the smaller of that and
// kDefaultClientPendingBytes. Before any client is served.
inline void setOutputBound(ClientRegistry& registry, std::size_t total) {
    registry.output.total = total;
    registry.output.perClient =
        total == 0 ? kDefaultClientPendingBytes : std::min(total, kDefaultClientPendingBytes);
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
    NameTooLong,     // not added: longer than kMaxEntryName
};

// Appends an entry, unless name is longer than kMaxEntryName (NameTooLong;
// names off the wire never are), or socket has registered maxNamesPerClient names
// (or the registry holds the most entries its slot numbers can tell apart,
// some four thousand million, which memory runs out long before). A
// repeated name counts, as it is an entry of its own. *connection, when
// given, is set to the number of socket's connection.
AddResult add(ClientRegistry& registry, std::string_view name, Socket socket,
              ConnectionId* connection = nullptr);

std::size_t entryCount(const ClientRegistry& registry);

// The most names one client may register; 0: no limit.
std::size_t nameLimitOf(const ClientRegistry& registry);

inline const RegistrySlot& slotAt(const ClientRegistry& registry, EntrySlot at) {
    return registry.slotBlocks[at / kSlotsPerBlock][at % kSlotsPerBlock];
}

// Calls visit(entry) for every entry, first to last.
template <typename Visitor>
void forEach(const ClientRegistry& registry, Visitor visit) {
    assert(registryLocked(registry));
    for (EntrySlot at = registry.order.first; at != kNoSlot; at = slotAt(registry, at).next) {
        const RegistrySlot& slot = slotAt(registry, at);
        const ClientEntry entry{std::string_view(slot.name, slot.nameLength),
                                registry.records[slot.client].socket};
        visit(entry);
    }
}

// The socket of the earliest entry whose name equals name byte for byte, or
// kNoSocket.
Socket findFirst(const ClientRegistry& registry, std::string_view name);

// Removes every entry registered over socket; the rest keep their order.
// Returns the number of socket's connection, 0 when it registered nothing.
ConnectionId removeAll(ClientRegistry& registry, Socket socket);

// Removes at most most of socket's entries, the earliest first, so that a
// leaving client can let go of the lock between parts of a long removal.
// True once none is left: *connection is then the number of socket's
// connection (0 when it registered nothing), forgotten with its record.
bool removeSome(ClientRegistry& registry, Socket socket, std::size_t most,
                ConnectionId* connection);

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

// Wakes every client manager asleep between turns, so each looks at what
// changed for all (new certificates) without waiting for its client.
void ringEveryClient(ClientRegistry& registry);

// The outboxes kept; tests use it to see that none outlives its connection.
std::size_t outboxCount(const ClientRegistry& registry);

}  // namespace peerdir

#endif
