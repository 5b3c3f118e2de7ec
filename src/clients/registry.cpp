// registry.cpp -- linear scans over the registration-ordered table.
#include "clients/registry.h"

#include <algorithm>

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
    ++record.names;
    registry.entries.push_back(ClientEntry{name, socket});
    return AddResult::Added;
}

Socket socketOf(const ClientRegistry& registry, ConnectionId connection) {
    assert(registryLocked(registry));
    auto found = registry.sockets.find(connection);
    return found == registry.sockets.end() ? kNoSocket : found->second;
}

std::size_t entryCount(const ClientRegistry& registry) {
    assert(registryLocked(registry));
    return registry.entries.size();
}

std::size_t nameLimitOf(const ClientRegistry& registry) {
    assert(registryLocked(registry));
    return registry.maxNamesPerClient;
}

Socket findFirst(const ClientRegistry& registry, const std::string& name) {
    assert(registryLocked(registry));
    for (const ClientEntry& entry : registry.entries) {
        if (entry.name == name) return entry.socket;
    }
    return kNoSocket;
}

ConnectionId removeAll(ClientRegistry& registry, Socket socket) {
    assert(registryLocked(registry));
    auto& entries = registry.entries;
    entries.erase(std::remove_if(entries.begin(), entries.end(),
                                 [socket](const ClientEntry& e) { return e.socket == socket; }),
                  entries.end());
    auto record = registry.clients.find(socket);
    if (record == registry.clients.end()) return 0;
    ConnectionId connection = record->second.connection;
    registry.sockets.erase(connection);
    registry.clients.erase(record);
    return connection;
}

Outbox& outboxFor(ClientRegistry& registry, Socket socket) {
    assert(registryLocked(registry));
    auto made = registry.outboxes.try_emplace(socket);
    Outbox& outbox = made.first->second;
    if (made.second) {
        outbox.socket = socket;
        outbox.guard = registry.lock;
    }
    return outbox;
}

void dropOutbox(ClientRegistry& registry, Socket socket) {
    assert(registryLocked(registry));
    registry.outboxes.erase(socket);
}

std::size_t outboxCount(const ClientRegistry& registry) {
    assert(registryLocked(registry));
    return registry.outboxes.size();
}

}  // namespace peerdir
