// registry.cpp -- linear scans over the registration-ordered table.
#include "clients/registry.h"

#include <algorithm>

namespace peerdir {

bool registryLocked(const ClientRegistry& registry) {
    return registry.lock != nullptr && lockIsHeld(registry.lock);
}

void add(ClientRegistry& registry, const std::string& name, Socket socket) {
    assert(registryLocked(registry));
    registry.entries.push_back(ClientEntry{name, socket});
}

std::size_t entryCount(const ClientRegistry& registry) {
    assert(registryLocked(registry));
    return registry.entries.size();
}

Socket findFirst(const ClientRegistry& registry, const std::string& name) {
    assert(registryLocked(registry));
    for (const ClientEntry& entry : registry.entries) {
        if (entry.name == name) return entry.socket;
    }
    return kNoSocket;
}

void removeAll(ClientRegistry& registry, Socket socket) {
    assert(registryLocked(registry));
    auto& entries = registry.entries;
    entries.erase(std::remove_if(entries.begin(), entries.end(),
                                 [socket](const ClientEntry& e) { return e.socket == socket; }),
                  entries.end());
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
