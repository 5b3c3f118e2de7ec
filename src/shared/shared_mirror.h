// shared_mirror.h -- this server's copy of every registration in the shared
// registry, kept current from one watch, so that lists, counts and the
// lookup behind a forward need no etcd round trip.
//
// The mirror thread loads every registration under the prefix at one
// revision, then applies the watch's puts and deletes from the revision
// after; when the watch's start is compacted or the watch breaks, it loads
// again. Until the first load the mirror is not ready and callers ask etcd
// as before.
//
// The mirror alone lags this server's own writes by a round trip, so the
// registry thread answers from the mirror and its own registrations
// together (mirrorView): this server's keys count only while the server
// still holds them, and those etcd has not shown back yet come last, as the
// newest.
#ifndef PEERDIR_SHARED_SHARED_MIRROR_H
#define PEERDIR_SHARED_SHARED_MIRROR_H

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

#include "etcd/etcd.h"
#include "shared/shared_registry.h"

namespace peerdir {

// What the mirror keeps of a registration: its key is the map's. About 150
// bytes a name with the key itself.
struct MirrorEntry {
    ConnectionId connection = 0;
    std::int64_t lease = 0;
    std::int64_t createRevision = 0;
};

struct SharedMirror {
    std::mutex lock;
    bool ready = false;
    std::map<std::string, MirrorEntry> byKey;
    // Registration order; the key pointers point into byKey's nodes.
    std::map<std::int64_t, const std::string*> byCreation;
};

// Replaces everything with kvs, the registrations under prefix as read at
// one revision, and marks the mirror ready.
void mirrorReplace(SharedMirror& mirror, const std::string& prefix,
                   const std::vector<EtcdKeyValue>& kvs);

// Applies one watch event on the registrations.
void mirrorApply(SharedMirror& mirror, const std::string& prefix, const EtcdWatchEvent& event);

// One registration as a lookup or a list sees it.
struct MirroredName {
    std::string key;
    std::string name;
    ConnectionId connection = 0;
    std::int64_t lease = 0;
    std::int64_t createRevision = 0;  // 0: this server's, not shown back yet
    bool here = false;                // a registration of this server's
};

// A name one of this server's clients registered, and whether etcd has it
// under the current lease: the registry thread's own record.
struct LocalRegistration {
    ConnectionId connection = 0;
    std::string name;
    std::string key;
    bool written = false;
};

// This server's registrations in the order they came, and their keys.
struct OwnRegistrations {
    const std::vector<LocalRegistration>& inOrder;
    const std::unordered_set<std::string>& keys;
};

// Every registration in registration order, as described above; false
// while the mirror is not ready. server is this server's tag.
bool mirrorView(SharedMirror& mirror, const std::string& prefix, const std::string& server,
                const OwnRegistrations& own, std::vector<MirroredName>* names);

// The earliest registration of name in that view; false when there is none
// or the mirror is not ready (*ready says which).
bool mirrorEarliest(SharedMirror& mirror, const std::string& prefix, const std::string& server,
                    const OwnRegistrations& own, const std::string& name, MirroredName* earliest,
                    bool* ready);

}  // namespace peerdir

#endif
