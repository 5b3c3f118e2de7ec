// shared_mirror.h -- this server's copy of every registration in the shared
// registry, kept current from one watch, so that lists, counts and the
// lookup behind a forward need no etcd round trip.
//
// The mirror thread loads every registration under the prefix at one
// revision, then applies the watch's puts and deletes from the revision
// after; when the watch's start is compacted or the watch breaks, it loads
// again. Until the first load the mirror is not ready and callers answer
// from this server's own names.
//
// Order is etcd's: by create revision, and among keys written in one
// transaction (which share it) by key, which every server reads alike. The
// mirror alone lags this server's own writes by a round trip, so callers
// answer from the mirror and this server's own registrations together
// (mirrorNames, mirrorEarliest): this server's keys count only while it still holds them, and
// those etcd has not shown back yet come last, as the newest.
//
// A registration costs well under 200 bytes here: the key is kept in a
// compact form (the name's bytes, the server's tag and the serial in
// binary), and the order is a sorted array of pointers into the key map.
#ifndef PEERDIR_SHARED_SHARED_MIRROR_H
#define PEERDIR_SHARED_SHARED_MIRROR_H

#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "etcd/etcd.h"
#include "shared/shared_registry.h"

namespace peerdir {

struct MirrorEntry {
    std::int64_t createRevision = 0;
    std::int64_t lease = 0;
    ConnectionId connection = 0;
};

// One place in registration order; key points into byKey's node, and is
// null once that registration has gone (a gap, swept out later).
struct MirrorPlace {
    std::int64_t createRevision = 0;
    const std::string* key = nullptr;
};

struct SharedMirror {
    std::mutex lock;
    bool ready = false;
    std::map<std::string, MirrorEntry> byKey;  // compact keys: NAME \0 TAG SERIAL
    std::vector<MirrorPlace> order;
    bool sorted = true;
    std::size_t gaps = 0;
};

// Replaces everything with kvs, the registrations under prefix as read at
// one revision, and marks the mirror ready.
void mirrorReplace(SharedMirror& mirror, const std::string& prefix,
                   const std::vector<EtcdKeyValue>& kvs);

// Applies one watch event on the registrations.
void mirrorApply(SharedMirror& mirror, const std::string& prefix, const EtcdWatchEvent& event);

// How many registrations the mirror holds.
std::size_t mirrorSize(SharedMirror& mirror);

// One registration as a lookup or a list sees it.
struct MirroredName {
    std::string key;  // the key in etcd
    std::string name;
    ConnectionId connection = 0;
    std::int64_t lease = 0;
    std::int64_t createRevision = 0;  // 0: this server's, not shown back yet
    bool here = false;                // a registration of this server's
};

// Where a registration of this server's stands with etcd. A put whose
// answer never came may have landed: its key counts as written, and is
// deleted, until a later answer settles it.
enum class PutState { Pending, Unknown, Written };

// A name one of this server's clients registered: the reconciler's desired
// state, keyed by its serial (registration order).
struct LocalRegistration {
    ConnectionId connection = 0;
    std::string name;
    std::string key;
    PutState state = PutState::Pending;
};
using LocalRegistrations = std::map<std::uint64_t, LocalRegistration>;

// The same registrations by name and then serial, so that the earliest of a
// name is found without walking the others: the first at or after
// {name, 0}.
using LocalNames = std::set<std::pair<std::string, std::uint64_t>>;

// This server's tag and its registrations, which the caller keeps still
// while a view is taken.
struct OwnRegistrations {
    const std::string& server;
    const LocalRegistrations& bySerial;
    const LocalNames& byName;
};

// Every name in registration order, as described above; false while the
// mirror is not ready.
bool mirrorNames(SharedMirror& mirror, const OwnRegistrations& own,
                 std::vector<std::string>* names);

// The earliest registration of name in that order; false when there is none
// or the mirror is not ready (*ready says which).
bool mirrorEarliest(SharedMirror& mirror, const std::string& prefix, const OwnRegistrations& own,
                    const std::string& name, MirroredName* earliest, bool* ready);

}  // namespace peerdir

#endif
