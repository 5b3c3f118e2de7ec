// shared_mirror.cpp -- the mirror's bookkeeping. No I/O: the mirror thread in
// shared_session.cpp feeds it.
#include "shared/shared_mirror.h"

#include <unordered_set>

#include "shared/shared_keys.h"

namespace peerdir {

namespace {

// Keys end in SERVER-SERIAL.
bool isServersKey(const std::string& key, const std::string& server) {
    const std::size_t last = key.rfind('/');
    return last != std::string::npos && key.compare(last + 1, server.size(), server) == 0 &&
           key.size() > last + 1 + server.size() && key[last + 1 + server.size()] == '-';
}

void eraseKey(SharedMirror& mirror, const std::string& key) {
    auto found = mirror.byKey.find(key);
    if (found == mirror.byKey.end()) return;
    mirror.byCreation.erase(found->second.createRevision);
    mirror.byKey.erase(found);
}

void insertKeyValue(SharedMirror& mirror, const std::string& prefix, const EtcdKeyValue& kv) {
    std::string name;
    ConnectionId connection = 0;
    if (!nameOfRegistration(prefix, kv.key, &name) || !decodeConnection(kv.value, &connection)) {
        return;
    }
    eraseKey(mirror, kv.key);
    auto placed =
        mirror.byKey.emplace(kv.key, MirrorEntry{connection, kv.lease, kv.createRevision});
    mirror.byCreation[kv.createRevision] = &placed.first->first;
}

MirroredName mirrored(const std::string& key, const std::string& prefix, const MirrorEntry& entry,
                      bool here) {
    MirroredName name{key, {}, entry.connection, entry.lease, entry.createRevision, here};
    nameOfRegistration(prefix, key, &name.name);
    return name;
}

}  // namespace

void mirrorReplace(SharedMirror& mirror, const std::string& prefix,
                   const std::vector<EtcdKeyValue>& kvs) {
    std::lock_guard<std::mutex> hold(mirror.lock);
    mirror.byKey.clear();
    mirror.byCreation.clear();
    for (const EtcdKeyValue& kv : kvs) insertKeyValue(mirror, prefix, kv);
    mirror.ready = true;
}

void mirrorApply(SharedMirror& mirror, const std::string& prefix, const EtcdWatchEvent& event) {
    std::lock_guard<std::mutex> hold(mirror.lock);
    if (event.deleted) return eraseKey(mirror, event.kv.key);
    insertKeyValue(mirror, prefix, event.kv);
}

bool mirrorView(SharedMirror& mirror, const std::string& prefix, const std::string& server,
                const OwnRegistrations& own, std::vector<MirroredName>* names) {
    std::unordered_set<std::string> shown;
    {
        std::lock_guard<std::mutex> hold(mirror.lock);
        if (!mirror.ready) return false;
        names->reserve(mirror.byCreation.size() + own.inOrder.size());
        for (const auto& created : mirror.byCreation) {
            const std::string& key = *created.second;
            const bool here = isServersKey(key, server);
            // A key of this server's that it no longer holds is on its way out.
            if (here && own.keys.count(key) == 0) continue;
            if (here) shown.insert(key);
            names->push_back(mirrored(key, prefix, mirror.byKey.find(key)->second, here));
        }
    }
    for (const LocalRegistration& r : own.inOrder) {
        if (shown.count(r.key) == 0) names->push_back({r.key, r.name, r.connection, 0, 0, true});
    }
    return true;
}

bool mirrorEarliest(SharedMirror& mirror, const std::string& prefix, const std::string& server,
                    const OwnRegistrations& own, const std::string& name, MirroredName* earliest,
                    bool* ready) {
    const std::string keys = namePrefix(prefix, name);
    bool found = false;
    {
        std::lock_guard<std::mutex> hold(mirror.lock);
        *ready = mirror.ready;
        if (!mirror.ready) return false;
        for (auto it = mirror.byKey.lower_bound(keys);
             it != mirror.byKey.end() && it->first.compare(0, keys.size(), keys) == 0; ++it) {
            const bool here = isServersKey(it->first, server);
            if (here && own.keys.count(it->first) == 0) continue;
            if (found && it->second.createRevision >= earliest->createRevision) continue;
            *earliest = mirrored(it->first, prefix, it->second, here);
            found = true;
        }
    }
    if (found) return true;
    // Not shown back yet: this server's own, oldest first.
    for (const LocalRegistration& r : own.inOrder) {
        if (r.name == name) {
            *earliest = MirroredName{r.key, r.name, r.connection, 0, 0, true};
            return true;
        }
    }
    return false;
}

}  // namespace peerdir
