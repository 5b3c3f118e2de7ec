// registry.cpp -- the registration-ordered table and its indexes by name and
// by client.
#include "clients/registry.h"

#include <functional>

namespace peerdir {

bool registryLocked(const ClientRegistry& registry) {
    return registry.lock != nullptr && lockIsHeld(registry.lock);
}

SharedRegistry* sharedOf(const ClientRegistry& registry) {
    assert(registryLocked(registry));
    return registry.shared;
}

void setShared(ClientRegistry& registry, SharedRegistry* shared) {
    assert(registryLocked(registry));
    registry.shared = shared;
}

// The record of socket's connection, made with a new number on first use.
ClientRecord& recordOf(ClientRegistry& registry, Socket socket) {
    auto made = registry.clients.try_emplace(socket);
    ClientRecord& record = made.first->second;
    if (made.second) {
        record.connection = ++registry.lastConnection;
        registry.sockets[record.connection] = socket;
    }
    return record;
}

namespace {

// The index starts at this many places and doubles when three in four are
// in use: a probe then passes a few places at most on average, and the
// index costs 11 to 21 bytes a distinct name.
constexpr std::size_t kFirstIndexSize = 16;

std::size_t homeOf(const ClientRegistry& registry, const std::string& name) {
    return std::hash<std::string>{}(name) & (registry.byName.size() - 1);
}

const std::string& firstName(const ClientRegistry& registry, const SlotChain& chain) {
    return registry.slots[chain.first].entry.name;
}

// The place of name in the index: where its chain is, or the empty place
// where it would go. The index must not be empty.
std::size_t placeOf(const ClientRegistry& registry, const std::string& name) {
    const std::size_t mask = registry.byName.size() - 1;
    std::size_t at = homeOf(registry, name);
    while (registry.byName[at].first != kNoSlot &&
           firstName(registry, registry.byName[at]) != name) {
        at = (at + 1) & mask;
    }
    return at;
}

void growIndex(ClientRegistry& registry) {
    std::vector<SlotChain> old;
    old.swap(registry.byName);
    registry.byName.assign(old.empty() ? kFirstIndexSize : old.size() * 2, SlotChain{});
    for (const SlotChain& chain : old) {
        if (chain.first != kNoSlot)
            registry.byName[placeOf(registry, firstName(registry, chain))] = chain;
    }
}

// Empties a place without breaking any probe that passes it: the places
// after it, up to the next empty one, move back where their names allow
// (deletion by backward shift).
void emptyPlace(ClientRegistry& registry, std::size_t hole) {
    auto& index = registry.byName;
    const std::size_t mask = index.size() - 1;
    for (std::size_t at = (hole + 1) & mask; index[at].first != kNoSlot; at = (at + 1) & mask) {
        const std::size_t home = homeOf(registry, firstName(registry, index[at]));
        // The entry may move back to the hole unless its home lies
        // cyclically after the hole, up to where it sits.
        const bool homeAfterHole =
            hole <= at ? (hole < home && home <= at) : (hole < home || home <= at);
        if (homeAfterHole) continue;
        index[hole] = index[at];
        hole = at;
    }
    index[hole] = SlotChain{};
    --registry.names;
}

EntrySlot takeSlot(ClientRegistry& registry, const std::string& name, Socket socket) {
    EntrySlot at = registry.freeSlots;
    if (at != kNoSlot) {
        registry.freeSlots = registry.slots[at].next;
        registry.slots[at] = RegistrySlot{};
    } else {
        at = static_cast<EntrySlot>(registry.slots.size());
        registry.slots.emplace_back();
    }
    registry.slots[at].entry = ClientEntry{name, socket};
    return at;
}

void releaseSlot(ClientRegistry& registry, EntrySlot at) {
    RegistrySlot& slot = registry.slots[at];
    slot.entry.name = std::string();
    slot.next = registry.freeSlots;
    registry.freeSlots = at;
}

// Appends at to the order chain, whose links are previous and next.
void joinOrder(ClientRegistry& registry, EntrySlot at) {
    SlotChain& order = registry.order;
    registry.slots[at].previous = order.last;
    if (order.last != kNoSlot) {
        registry.slots[order.last].next = at;
    } else {
        order.first = at;
    }
    order.last = at;
}

void leaveOrder(ClientRegistry& registry, EntrySlot at) {
    const RegistrySlot& slot = registry.slots[at];
    SlotChain& order = registry.order;
    if (slot.previous != kNoSlot) registry.slots[slot.previous].next = slot.next;
    if (slot.next != kNoSlot) registry.slots[slot.next].previous = slot.previous;
    if (order.first == at) order.first = slot.next;
    if (order.last == at) order.last = slot.previous;
}

void joinName(ClientRegistry& registry, EntrySlot at) {
    if (4 * (registry.names + 1) > 3 * registry.byName.size()) growIndex(registry);
    SlotChain& chain = registry.byName[placeOf(registry, registry.slots[at].entry.name)];
    if (chain.first == kNoSlot) {
        chain = SlotChain{at, at};
        ++registry.names;
        return;
    }
    registry.slots[at].previousSame = chain.last;
    registry.slots[chain.last].nextSame = at;
    chain.last = at;
}

void leaveName(ClientRegistry& registry, EntrySlot at) {
    const RegistrySlot& slot = registry.slots[at];
    const std::size_t place = placeOf(registry, slot.entry.name);
    SlotChain& chain = registry.byName[place];
    if (slot.previousSame != kNoSlot) registry.slots[slot.previousSame].nextSame = slot.nextSame;
    if (slot.nextSame != kNoSlot) registry.slots[slot.nextSame].previousSame = slot.previousSame;
    if (chain.last == at) chain.last = slot.previousSame;
    if (chain.first != at) return;
    // The chain's first entry holds the name the index compares with.
    chain.first = slot.nextSame;
    if (chain.first == kNoSlot) emptyPlace(registry, place);
}

void joinClient(ClientRegistry& registry, ClientRecord& record, EntrySlot at) {
    if (record.entries.last != kNoSlot) {
        registry.slots[record.entries.last].nextOfClient = at;
    } else {
        record.entries.first = at;
    }
    record.entries.last = at;
}

}  // namespace

AddResult add(ClientRegistry& registry, const std::string& name, Socket socket,
              ConnectionId* connection) {
    assert(registryLocked(registry));
    ClientRecord& record = recordOf(registry, socket);
    if (connection != nullptr) *connection = record.connection;
    const std::size_t limit = registry.maxNamesPerClient;
    if (limit > 0 && record.names >= limit) {
        if (record.limitReported) return AddResult::OverLimit;
        record.limitReported = true;
        return AddResult::FirstOverLimit;
    }
    if (registry.freeSlots == kNoSlot && registry.slots.size() >= kNoSlot)
        return AddResult::OverLimit;
    ++record.names;
    const EntrySlot at = takeSlot(registry, name, socket);
    joinOrder(registry, at);
    joinName(registry, at);
    joinClient(registry, record, at);
    ++registry.entries;
    return AddResult::Added;
}

Socket socketOf(const ClientRegistry& registry, ConnectionId connection) {
    assert(registryLocked(registry));
    auto found = registry.sockets.find(connection);
    return found == registry.sockets.end() ? kNoSocket : found->second;
}

std::size_t entryCount(const ClientRegistry& registry) {
    assert(registryLocked(registry));
    return registry.entries;
}

std::size_t nameLimitOf(const ClientRegistry& registry) {
    assert(registryLocked(registry));
    return registry.maxNamesPerClient;
}

Socket findFirst(const ClientRegistry& registry, const std::string& name) {
    assert(registryLocked(registry));
    if (registry.names == 0) return kNoSocket;
    const SlotChain& chain = registry.byName[placeOf(registry, name)];
    return chain.first == kNoSlot ? kNoSocket : registry.slots[chain.first].entry.socket;
}

bool removeSome(ClientRegistry& registry, Socket socket, std::size_t most,
                ConnectionId* connection) {
    assert(registryLocked(registry));
    *connection = 0;
    auto record = registry.clients.find(socket);
    if (record == registry.clients.end()) return true;
    SlotChain& own = record->second.entries;
    for (; own.first != kNoSlot && most > 0; --most) {
        const EntrySlot at = own.first;
        own.first = registry.slots[at].nextOfClient;
        leaveOrder(registry, at);
        leaveName(registry, at);
        releaseSlot(registry, at);
        --registry.entries;
    }
    if (own.first != kNoSlot) return false;
    *connection = record->second.connection;
    registry.sockets.erase(*connection);
    registry.clients.erase(record);
    return true;
}

ConnectionId removeAll(ClientRegistry& registry, Socket socket) {
    ConnectionId connection = 0;
    removeSome(registry, socket, static_cast<std::size_t>(-1), &connection);
    return connection;
}

Outbox& outboxFor(ClientRegistry& registry, Socket socket) {
    assert(registryLocked(registry));
    auto made = registry.outboxes.try_emplace(socket);
    Outbox& outbox = made.first->second;
    if (made.second) {
        outbox.socket = socket;
        outbox.guard = registry.lock;
        outbox.budget = &registry.output;
    }
    return outbox;
}

void dropOutbox(ClientRegistry& registry, Socket socket) {
    assert(registryLocked(registry));
    auto found = registry.outboxes.find(socket);
    if (found == registry.outboxes.end()) return;
    releaseOutbox(found->second);
    registry.outboxes.erase(found);
}

std::size_t outboxCount(const ClientRegistry& registry) {
    assert(registryLocked(registry));
    return registry.outboxes.size();
}

}  // namespace peerdir
