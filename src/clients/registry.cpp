// registry.cpp -- the registration-ordered table and its indexes by name and
// by client.
#include "clients/registry.h"

#include <algorithm>
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

namespace {

RegistrySlot& slotAt(ClientRegistry& registry, EntrySlot at) {
    return registry.slotBlocks[at / kSlotsPerBlock][at % kSlotsPerBlock];
}

// The record of socket's connection, made with a new number on first use.
RecordNumber recordOf(ClientRegistry& registry, Socket socket) {
    auto made = registry.clients.try_emplace(socket);
    if (!made.second) return made.first->second;
    RecordNumber number = static_cast<RecordNumber>(registry.records.size());
    if (!registry.freeRecords.empty()) {
        number = registry.freeRecords.back();
        registry.freeRecords.pop_back();
    } else {
        registry.records.emplace_back();
    }
    ClientRecord& record = registry.records[number];
    record = ClientRecord{};
    record.socket = socket;
    record.connection = ++registry.lastConnection;
    registry.sockets[record.connection] = socket;
    made.first->second = number;
    return number;
}

// The index starts at this many places and doubles when three in four are
// in use: a probe then passes a few places at most on average, and the
// index costs 5 to 11 bytes a distinct name.
constexpr std::size_t kFirstIndexSize = 16;

std::string_view nameOf(const RegistrySlot& slot) {
    return std::string_view(slot.name, slot.nameLength);
}

std::string_view nameAt(const ClientRegistry& registry, EntrySlot at) {
    return nameOf(slotAt(registry, at));
}

std::size_t homeOf(const ClientRegistry& registry, std::string_view name) {
    return std::hash<std::string_view>{}(name) & (registry.byName.size() - 1);
}

// The place of name in the index: where its first entry is, or the empty
// place where it would go. The index must not be empty.
std::size_t placeOf(const ClientRegistry& registry, std::string_view name) {
    const std::size_t mask = registry.byName.size() - 1;
    std::size_t at = homeOf(registry, name);
    while (registry.byName[at] != kNoSlot && nameAt(registry, registry.byName[at]) != name) {
        at = (at + 1) & mask;
    }
    return at;
}

void growIndex(ClientRegistry& registry) {
    std::vector<EntrySlot> old;
    old.swap(registry.byName);
    registry.byName.assign(old.empty() ? kFirstIndexSize : old.size() * 2, kNoSlot);
    for (const EntrySlot first : old) {
        if (first != kNoSlot) registry.byName[placeOf(registry, nameAt(registry, first))] = first;
    }
}

// Empties a place without breaking any probe that passes it: the places
// after it, up to the next empty one, move back where their names allow
// (deletion by backward shift).
void emptyPlace(ClientRegistry& registry, std::size_t hole) {
    auto& index = registry.byName;
    const std::size_t mask = index.size() - 1;
    for (std::size_t at = (hole + 1) & mask; index[at] != kNoSlot; at = (at + 1) & mask) {
        const std::size_t home = homeOf(registry, nameAt(registry, index[at]));
        // The entry may move back to the hole unless its home lies
        // cyclically after the hole, up to where it sits.
        const bool homeAfterHole =
            hole <= at ? (hole < home && home <= at) : (hole < home || home <= at);
        if (homeAfterHole) continue;
        index[hole] = index[at];
        hole = at;
    }
    index[hole] = kNoSlot;
    --registry.names;
}

EntrySlot takeSlot(ClientRegistry& registry, std::string_view name, RecordNumber client) {
    EntrySlot at = registry.freeSlots;
    if (at != kNoSlot) {
        registry.freeSlots = slotAt(registry, at).next;
    } else {
        if (registry.slotsMade % kSlotsPerBlock == 0)
            registry.slotBlocks.push_back(std::make_unique<RegistrySlot[]>(kSlotsPerBlock));
        at = static_cast<EntrySlot>(registry.slotsMade++);
    }
    RegistrySlot& slot = slotAt(registry, at);
    slot = RegistrySlot{};
    std::copy(name.begin(), name.end(), slot.name);
    slot.nameLength = static_cast<std::uint8_t>(name.size());
    slot.client = client;
    return at;
}

void releaseSlot(ClientRegistry& registry, EntrySlot at) {
    slotAt(registry, at).next = registry.freeSlots;
    registry.freeSlots = at;
}

// Appends at to the order chain, whose links are previous and next.
void joinOrder(ClientRegistry& registry, EntrySlot at) {
    SlotChain& order = registry.order;
    slotAt(registry, at).previous = order.last;
    if (order.last != kNoSlot) {
        slotAt(registry, order.last).next = at;
    } else {
        order.first = at;
    }
    order.last = at;
}

void leaveOrder(ClientRegistry& registry, EntrySlot at) {
    const RegistrySlot& slot = slotAt(registry, at);
    SlotChain& order = registry.order;
    if (slot.previous != kNoSlot) slotAt(registry, slot.previous).next = slot.next;
    if (slot.next != kNoSlot) slotAt(registry, slot.next).previous = slot.previous;
    if (order.first == at) order.first = slot.next;
    if (order.last == at) order.last = slot.previous;
}

void joinName(ClientRegistry& registry, EntrySlot at) {
    if (4 * (registry.names + 1) > 3 * registry.byName.size()) growIndex(registry);
    EntrySlot& first = registry.byName[placeOf(registry, nameAt(registry, at))];
    RegistrySlot& slot = slotAt(registry, at);
    if (first == kNoSlot) {
        first = at;
        slot.previousSame = at;
        ++registry.names;
        return;
    }
    RegistrySlot& head = slotAt(registry, first);
    slot.previousSame = head.previousSame;
    slotAt(registry, head.previousSame).nextSame = at;
    head.previousSame = at;
}

void leaveName(ClientRegistry& registry, EntrySlot at) {
    const RegistrySlot& slot = slotAt(registry, at);
    const std::size_t place = placeOf(registry, nameOf(slot));
    EntrySlot& first = registry.byName[place];
    if (first == at) {
        // The next entry, if any, becomes the first and takes over the
        // link to the last.
        first = slot.nextSame;
        if (first == kNoSlot) return emptyPlace(registry, place);
        slotAt(registry, first).previousSame = slot.previousSame;
        return;
    }
    slotAt(registry, slot.previousSame).nextSame = slot.nextSame;
    const EntrySlot after = slot.nextSame != kNoSlot ? slot.nextSame : first;
    slotAt(registry, after).previousSame = slot.previousSame;
}

void joinClient(ClientRegistry& registry, ClientRecord& record, EntrySlot at) {
    if (record.entries.last != kNoSlot) {
        slotAt(registry, record.entries.last).nextOfClient = at;
    } else {
        record.entries.first = at;
    }
    record.entries.last = at;
}

}  // namespace

AddResult add(ClientRegistry& registry, std::string_view name, Socket socket,
              ConnectionId* connection) {
    assert(registryLocked(registry));
    const RecordNumber client = recordOf(registry, socket);
    ClientRecord& record = registry.records[client];
    if (connection != nullptr) *connection = record.connection;
    if (name.size() > kMaxEntryName) return AddResult::NameTooLong;
    const std::size_t limit = registry.maxNamesPerClient;
    if (limit > 0 && record.names >= limit) {
        if (record.limitReported) return AddResult::OverLimit;
        record.limitReported = true;
        return AddResult::FirstOverLimit;
    }
    if (registry.freeSlots == kNoSlot && registry.slotsMade >= kNoSlot) return AddResult::OverLimit;
    ++record.names;
    const EntrySlot at = takeSlot(registry, name, client);
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

Socket findFirst(const ClientRegistry& registry, std::string_view name) {
    assert(registryLocked(registry));
    if (registry.names == 0) return kNoSocket;
    const EntrySlot first = registry.byName[placeOf(registry, name)];
    return first == kNoSlot ? kNoSocket : registry.records[slotAt(registry, first).client].socket;
}

bool removeSome(ClientRegistry& registry, Socket socket, std::size_t most,
                ConnectionId* connection) {
    assert(registryLocked(registry));
    *connection = 0;
    auto found = registry.clients.find(socket);
    if (found == registry.clients.end()) return true;
    ClientRecord& record = registry.records[found->second];
    SlotChain& own = record.entries;
    for (; own.first != kNoSlot && most > 0; --most) {
        const EntrySlot at = own.first;
        own.first = slotAt(registry, at).nextOfClient;
        leaveOrder(registry, at);
        leaveName(registry, at);
        releaseSlot(registry, at);
        --registry.entries;
    }
    if (own.first != kNoSlot) return false;
    *connection = record.connection;
    registry.sockets.erase(*connection);
    registry.freeRecords.push_back(found->second);
    registry.clients.erase(found);
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
        outbox.connection.socket = socket;
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

void ringEveryClient(ClientRegistry& registry) {
    assert(registryLocked(registry));
    for (auto& kept : registry.outboxes) {
        if (kept.second.waker != nullptr) wakerRing(kept.second.waker);
    }
}

std::size_t outboxCount(const ClientRegistry& registry) {
    assert(registryLocked(registry));
    return registry.outboxes.size();
}

}  // namespace peerdir
