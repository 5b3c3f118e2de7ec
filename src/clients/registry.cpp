// registry.cpp -- linear scans over the registration-ordered table.
#include "clients/registry.h"

#include <algorithm>

namespace peerdir {

bool registryLocked(const ClientRegistry& registry) {
    return registry.lock != nullptr && lockIsHeld(registry.lock);
}

AddResult add(ClientRegistry& registry, const std::string& name, Socket socket) {
    assert(registryLocked(registry));
    NameCount& count = registry.nameCounts[socket];
    const std::size_t limit = registry.maxNamesPerClient;
    if (limit > 0 && count.names >= limit) {
        if (count.limitReported) return AddResult::OverLimit;
        count.limitReported = true;
        return AddResult::FirstOverLimit;
    }
    ++count.names;
    registry.entries.push_back(ClientEntry{name, socket});
    return AddResult::Added;
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

void removeAll(ClientRegistry& registry, Socket socket) {
    assert(registryLocked(registry));
    auto& entries = registry.entries;
    entries.erase(std::remove_if(entries.begin(), entries.end(),
                                 [socket](const ClientEntry& e) { return e.socket == socket; }),
                  entries.end());
    registry.nameCounts.erase(socket);
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
