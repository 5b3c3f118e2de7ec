// registry.cpp -- linear scans over the registration-ordered table.
#include "clients/registry.h"

#include <algorithm>

namespace peerdir {

void add(ClientRegistry& registry, const std::string& name, Socket socket) {
    registry.entries.push_back(ClientEntry{name, socket});
}

Socket findFirst(const ClientRegistry& registry, const std::string& name) {
    for (const ClientEntry& entry : registry.entries) {
        if (entry.name == name) return entry.socket;
    }
    return kNoSocket;
}

void removeAll(ClientRegistry& registry, Socket socket) {
    auto& entries = registry.entries;
    entries.erase(std::remove_if(entries.begin(), entries.end(),
                                 [socket](const ClientEntry& e) { return e.socket == socket; }),
                  entries.end());
}

Outbox& outboxFor(ClientRegistry& registry, Socket socket, LockHandle guard) {
    Outbox& outbox = registry.outboxes.try_emplace(socket).first->second;
    outbox.socket = socket;
    outbox.guard = guard;
    return outbox;
}

void dropOutbox(ClientRegistry& registry, Socket socket) { registry.outboxes.erase(socket); }

}  // namespace peerdir
