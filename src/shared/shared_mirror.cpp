// shared_mirror.cpp -- the mirror's bookkeeping. No I/O: the mirror thread in
// shared_session.cpp feeds it.
#include "shared/shared_mirror.h"

#include <algorithm>
#include <unordered_set>

#include "shared/shared_keys.h"

namespace peerdir {

namespace {

constexpr std::size_t kWordBytes = 8;

void putWord(std::uint64_t value, std::string& out) {
    for (int shift = 56; shift >= 0; shift -= 8) {
        out.push_back(static_cast<char>((value >> shift) & 0xFF));
    }
}

std::uint64_t takeWord(const std::string& text, std::size_t at) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < kWordBytes; ++i) {
        value = value << 8 | static_cast<unsigned char>(text[at + i]);
    }
    return value;
}

// The tag is the hex text of a 64-bit number without leading zeros, as every
// server writes it; one in any other form cannot be kept compactly.
bool tagValue(const std::string& server, std::uint64_t* value) {
    if (server.empty() || server.size() > 16) return false;
    *value = 0;
    for (char c : server) {
        const int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
        if (digit < 0) return false;
        *value = *value << 4 | static_cast<std::uint64_t>(digit);
    }
    return leaseText(static_cast<std::int64_t>(*value)) == server;
}

// NAME \0 TAG SERIAL. Names hold no NUL, and within one server's keys the
// serials sort as their hex does, so keys of one transaction sort here as
// they do in etcd.
bool compactKey(const std::string& prefix, const std::string& key, std::string* compact) {
    RegistrationParts parts;
    std::uint64_t tag = 0;
    if (!parseRegistrationKey(prefix, key, &parts) || !tagValue(parts.server, &tag)) return false;
    if (parts.name.find('\0') != std::string::npos) return false;
    compact->assign(parts.name);
    compact->push_back('\0');
    putWord(tag, *compact);
    putWord(parts.serial, *compact);
    return true;
}

std::string nameOf(const std::string& compact) {
    return compact.substr(0, compact.size() - 2 * kWordBytes - 1);
}
std::string tagOf(const std::string& compact) {
    return leaseText(static_cast<std::int64_t>(takeWord(compact, compact.size() - 2 * kWordBytes)));
}
std::uint64_t serialOf(const std::string& compact) {
    return takeWord(compact, compact.size() - kWordBytes);
}

bool placedBefore(const MirrorPlace& a, const MirrorPlace& b) {
    if (a.createRevision != b.createRevision) return a.createRevision < b.createRevision;
    return *a.key < *b.key;
}

void sweepGaps(SharedMirror& mirror) {
    auto& order = mirror.order;
    order.erase(std::remove_if(order.begin(), order.end(),
                               [](const MirrorPlace& p) { return p.key == nullptr; }),
                order.end());
    mirror.gaps = 0;
}

// Sorted, without gaps: how a view or a delete wants it.
void settleOrder(SharedMirror& mirror) {
    if (mirror.gaps > 0) sweepGaps(mirror);
    if (!mirror.sorted) std::sort(mirror.order.begin(), mirror.order.end(), placedBefore);
    mirror.sorted = true;
}

void leaveOrder(SharedMirror& mirror, const std::string* key, std::int64_t createRevision) {
    if (!mirror.sorted) settleOrder(mirror);
    auto& order = mirror.order;
    auto at =
        std::lower_bound(order.begin(), order.end(), createRevision,
                         [](const MirrorPlace& p, std::int64_t r) { return p.createRevision < r; });
    for (; at != order.end() && at->createRevision == createRevision; ++at) {
        if (at->key != key) continue;
        at->key = nullptr;
        if (++mirror.gaps > order.size() / 2) sweepGaps(mirror);
        return;
    }
}

void joinOrder(SharedMirror& mirror, const std::string* key, std::int64_t createRevision) {
    MirrorPlace place{createRevision, key};
    auto& order = mirror.order;
    // New registrations come in revision order, so nearly always this appends.
    if (mirror.sorted && !order.empty() &&
        (order.back().key == nullptr || !placedBefore(order.back(), place))) {
        mirror.sorted = false;
    }
    order.push_back(place);
}

void eraseKey(SharedMirror& mirror, const std::string& compact) {
    auto found = mirror.byKey.find(compact);
    if (found == mirror.byKey.end()) return;
    leaveOrder(mirror, &found->first, found->second.createRevision);
    mirror.byKey.erase(found);
}

void insertKeyValue(SharedMirror& mirror, const std::string& prefix, const EtcdKeyValue& kv) {
    std::string compact;
    ConnectionId connection = 0;
    if (!compactKey(prefix, kv.key, &compact) || !decodeConnection(kv.value, &connection)) return;
    auto found = mirror.byKey.find(compact);
    if (found != mirror.byKey.end() && found->second.createRevision == kv.createRevision) {
        found->second = MirrorEntry{kv.createRevision, kv.lease, connection};
        return;
    }
    eraseKey(mirror, compact);
    auto placed = mirror.byKey.emplace(std::move(compact),
                                       MirrorEntry{kv.createRevision, kv.lease, connection});
    joinOrder(mirror, &placed.first->first, kv.createRevision);
}

MirroredName mirrored(const std::string& prefix, const std::string& compact,
                      const MirrorEntry& entry, bool here) {
    MirroredName name;
    name.name = nameOf(compact);
    name.key = registrationKey(prefix, name.name, tagOf(compact), serialOf(compact));
    name.connection = entry.connection;
    name.lease = entry.lease;
    name.createRevision = entry.createRevision;
    name.here = here;
    return name;
}

MirroredName ownName(const std::pair<const std::uint64_t, LocalRegistration>& own) {
    const LocalRegistration& r = own.second;
    return MirroredName{r.key, r.name, r.connection, 0, 0, true};
}

// Whether a mirrored key is this server's, and then whether it still holds it.
bool isHere(const std::string& compact, const OwnRegistrations& own, bool* held) {
    if (tagOf(compact) != own.server) return false;
    *held = own.bySerial.count(serialOf(compact)) > 0;
    return true;
}

}  // namespace

void mirrorReplace(SharedMirror& mirror, const std::string& prefix,
                   const std::vector<EtcdKeyValue>& kvs) {
    std::lock_guard<std::mutex> hold(mirror.lock);
    mirror.byKey.clear();
    mirror.order.clear();
    mirror.order.reserve(kvs.size());
    mirror.sorted = true;
    mirror.gaps = 0;
    for (const EtcdKeyValue& kv : kvs) insertKeyValue(mirror, prefix, kv);
    mirror.order.shrink_to_fit();
    mirror.ready = true;
}

void mirrorApply(SharedMirror& mirror, const std::string& prefix, const EtcdWatchEvent& event) {
    std::lock_guard<std::mutex> hold(mirror.lock);
    if (!event.deleted) return insertKeyValue(mirror, prefix, event.kv);
    std::string compact;
    if (compactKey(prefix, event.kv.key, &compact)) eraseKey(mirror, compact);
}

std::size_t mirrorSize(SharedMirror& mirror) {
    std::lock_guard<std::mutex> hold(mirror.lock);
    return mirror.byKey.size();
}

namespace {

// Calls onName(compact key or null, entry or null, own registration or null)
// for every registration in registration order: the mirror's first, then
// this server's own not shown back yet.
template <typename OnName>
bool visitInOrder(SharedMirror& mirror, const OwnRegistrations& own, OnName onName) {
    std::unordered_set<std::uint64_t> shown;
    {
        std::lock_guard<std::mutex> hold(mirror.lock);
        if (!mirror.ready) return false;
        settleOrder(mirror);
        for (const MirrorPlace& place : mirror.order) {
            bool held = false;
            const bool here = isHere(*place.key, own, &held);
            // A key of this server's that it no longer holds is on its way out.
            if (here && !held) continue;
            if (here) shown.insert(serialOf(*place.key));
            onName(place.key, &mirror.byKey.find(*place.key)->second, here, nullptr);
        }
    }
    for (const auto& r : own.bySerial) {
        if (shown.count(r.first) == 0) onName(nullptr, nullptr, true, &r);
    }
    return true;
}

}  // namespace

bool mirrorNames(SharedMirror& mirror, const OwnRegistrations& own,
                 std::vector<std::string>* names) {
    return visitInOrder(mirror, own,
                        [&](const std::string* key, const MirrorEntry*, bool,
                            const std::pair<const std::uint64_t, LocalRegistration>* r) {
                            names->push_back(r != nullptr ? r->second.name : nameOf(*key));
                        });
}

bool mirrorEarliest(SharedMirror& mirror, const std::string& prefix, const OwnRegistrations& own,
                    const std::string& name, MirroredName* earliest, bool* ready) {
    const std::string first = name + '\0';
    bool found = false;
    {
        std::lock_guard<std::mutex> hold(mirror.lock);
        *ready = mirror.ready;
        if (!mirror.ready) return false;
        const std::string* best = nullptr;
        const MirrorEntry* bestEntry = nullptr;
        bool bestHere = false;
        for (auto it = mirror.byKey.lower_bound(first);
             it != mirror.byKey.end() && it->first.compare(0, first.size(), first) == 0; ++it) {
            bool held = false;
            const bool here = isHere(it->first, own, &held);
            if (here && !held) continue;
            // Keys iterate in key order, so the first of a revision is its tie's winner.
            if (best != nullptr && it->second.createRevision >= bestEntry->createRevision) continue;
            best = &it->first;
            bestEntry = &it->second;
            bestHere = here;
        }
        if (best != nullptr) {
            *earliest = mirrored(prefix, *best, *bestEntry, bestHere);
            found = true;
        }
    }
    if (found) return true;
    // Not shown back yet: this server's own, the oldest of that name.
    auto oldest = own.byName.lower_bound({name, 0});
    if (oldest == own.byName.end() || oldest->first != name) return false;
    auto r = own.bySerial.find(oldest->second);
    if (r == own.bySerial.end()) return false;
    *earliest = ownName(*r);
    return true;
}

}  // namespace peerdir
