// shared_session.cpp -- the shared registry's standing with etcd: joining,
// the lease and its renewal, losing etcd and coming back, and the mailbox
// watch that hands forwarded requests to this server's clients.
#include <chrono>

#include "platform/console.h"
#include "shared/shared_keys.h"
#include "shared/shared_state.h"

namespace peerdir {

namespace {

// How long the start waits for an endpoint to answer before serving its own
// clients only.
constexpr auto kJoinWait = std::chrono::seconds(10);
constexpr unsigned kJoinRetryMillis = 500;
// While etcd is lost, how often the registry thread asks whether it is back.
constexpr auto kRejoinInterval = std::chrono::seconds(1);
// After a watch breaks, before it is resumed.
constexpr unsigned kWatchRetryMillis = 200;
// Registrations per page when the mirror loads, so a large registry never
// needs one huge response.
constexpr std::int64_t kMirrorPage = 2000;
// Mailbox keys remembered as handed over, against a retried put.
constexpr std::size_t kDeliveredMemory = 8192;

void logRegistryLine(const std::string& text) { logLine(("registry: " + text).c_str()); }

void setLease(SharedRegistry& shared, const EtcdLease& lease) {
    std::lock_guard<std::mutex> hold(shared.lock);
    shared.lease = lease.id;
    shared.ttlSeconds = lease.ttlSeconds;
    shared.leaseLost = false;
    // The mailbox moves with the lease: the watch starts again on the new one.
    if (shared.watchStop) stopWatch(*shared.watchStop);
}

bool grant(SharedRegistry& shared) {
    EtcdLease lease;
    EtcdResult granted = grantLease(shared.requests, shared.options.leaseTtlSeconds, &lease);
    if (granted.status != EtcdStatus::Ok) {
        // At start-up nothing is lost yet: only a lease once held can be.
        if (shared.lease != 0) markLost(shared);
        return false;
    }
    setLease(shared, lease);
    for (LocalRegistration& registration : shared.local) registration.written = false;
    // Keys under the old lease went with it.
    shared.staleKeys.clear();
    return true;
}

bool deleteStaleKeys(SharedRegistry& shared) {
    if (shared.staleKeys.empty()) return true;
    std::size_t done = 0;
    EtcdResult deleted = deleteKeys(shared.requests, shared.staleKeys, &done);
    shared.staleKeys.erase(shared.staleKeys.begin(),
                           shared.staleKeys.begin() + static_cast<long>(done));
    return deleted.status == EtcdStatus::Ok;
}

void comeBack(SharedRegistry& shared) {
    shared.available.store(true);
    logRegistryLine("Shared registry is back.");
}

// While lost: back once a renewal, or failing that a new lease, goes
// through and the local registrations are written.
void tryRejoin(SharedRegistry& shared) {
    std::int64_t ttl = 0;
    std::int64_t lease = currentLease(shared);
    EtcdStatus renewed = EtcdStatus::LeaseNotFound;
    if (lease != 0) renewed = keepLeaseAlive(shared.requests, lease, &ttl).status;
    if (renewed == EtcdStatus::Unreachable) return;
    if (renewed != EtcdStatus::Ok && !grant(shared)) return;
    if (!writeLocalRegistrations(shared) || !deleteStaleKeys(shared)) return;
    comeBack(shared);
}

// The lease expired while etcd answered (a stall longer than its TTL).
void regrant(SharedRegistry& shared) {
    if (!grant(shared)) return;
    if (!writeLocalRegistrations(shared)) return;
    logRegistryLine("Lease expired; registrations written again under lease " +
                    leaseText(currentLease(shared)) + ".");
}

bool leaseLost(SharedRegistry& shared) {
    std::lock_guard<std::mutex> hold(shared.lock);
    return shared.leaseLost;
}

// ---- The mailbox ----------------------------------------------------------

bool remembered(SharedRegistry& shared, const std::string& key) {
    if (shared.delivered.count(key) > 0) return true;
    shared.delivered.insert(key);
    shared.deliveredOrder.push_back(key);
    if (shared.deliveredOrder.size() > kDeliveredMemory) {
        shared.delivered.erase(shared.deliveredOrder.front());
        shared.deliveredOrder.pop_front();
    }
    return false;
}

// Hands the request to its client, once however often it is put, and has
// the registry thread delete it.
void takeFromMailbox(SharedRegistry& shared, const EtcdKeyValue& kv) {
    ConnectionId connection = 0;
    std::uint8_t payload[kConnectPayloadSize];
    if (!remembered(shared, kv.key) && decodeMailboxValue(kv.value, &connection, payload)) {
        shared.deliver(shared.target, connection, payload);
    }
    SharedJob job;
    job.kind = JobKind::DeleteMailbox;
    job.text = kv.key;
    queueJob(shared, std::move(job));
}

// What the mailbox holds now; the revision to watch from, or 0 when etcd
// did not answer.
std::int64_t readMailbox(SharedRegistry& shared, const std::string& prefix) {
    EtcdRangeQuery query;
    query.prefix = prefix;
    EtcdRange range;
    if (rangeByCreation(shared.mailbox, query, &range).status != EtcdStatus::Ok) return 0;
    for (const EtcdKeyValue& kv : range.kvs) takeFromMailbox(shared, kv);
    return range.revision + 1;
}

// A fresh stop for the watch about to start; nullptr once stopping.
EtcdWatchStop* newWatchStop(SharedRegistry& shared, std::int64_t* lease) {
    std::lock_guard<std::mutex> hold(shared.lock);
    if (shared.stopping) return nullptr;
    shared.watchStop.reset(new EtcdWatchStop);
    *lease = shared.lease;
    return shared.watchStop.get();
}

// Watches one lease's mailbox until the lease changes or the server stops.
// A watch that breaks resumes from its last revision plus one; one whose
// revision was compacted reads the mailbox again.
void watchOneLease(SharedRegistry& shared, EtcdWatchStop& stop, std::int64_t lease) {
    const std::string prefix = mailboxPrefix(shared.options.prefix, lease);
    std::int64_t from = 0;
    for (;;) {
        if (from == 0) from = readMailbox(shared, prefix);
        if (from == 0) {
            if (!pauseUnlessStopped(shared, kWatchRetryMillis)) return;
            continue;
        }
        EtcdWatchResult watched =
            watchPrefix(shared.mailbox, prefix, from, stop, [&shared](const EtcdWatchEvent& event) {
                if (!event.deleted) takeFromMailbox(shared, event.kv);
            });
        if (watched.end == WatchEnd::Stopped) return;
        from = watched.end == WatchEnd::Compacted ? 0 : watched.nextRevision;
        if (!pauseUnlessStopped(shared, kWatchRetryMillis)) return;
    }
}

}  // namespace

std::int64_t currentLease(SharedRegistry& shared) {
    std::lock_guard<std::mutex> hold(shared.lock);
    return shared.lease;
}

bool stopRequested(SharedRegistry& shared) {
    std::lock_guard<std::mutex> hold(shared.lock);
    return shared.stopping;
}

bool pauseUnlessStopped(SharedRegistry& shared, unsigned millis) {
    std::unique_lock<std::mutex> hold(shared.lock);
    return !shared.changed.wait_for(hold, std::chrono::milliseconds(millis),
                                    [&shared] { return shared.stopping; });
}

void markLost(SharedRegistry& shared) {
    if (shared.available.exchange(false)) {
        logRegistryLine("Lost the shared registry; serving this server's clients only.");
    }
}

EtcdStatus noteResult(SharedRegistry& shared, const EtcdResult& result) {
    if (result.status == EtcdStatus::Unreachable) markLost(shared);
    if (result.status == EtcdStatus::LeaseNotFound) {
        std::lock_guard<std::mutex> hold(shared.lock);
        shared.leaseLost = true;
    }
    return result.status;
}

void joinAtStart(SharedRegistry& shared) {
    const auto deadline = std::chrono::steady_clock::now() + kJoinWait;
    bool joined = grant(shared);
    while (!joined && std::chrono::steady_clock::now() < deadline) {
        pauseUnlessStopped(shared, kJoinRetryMillis);
        joined = grant(shared);
    }
    if (!joined) {
        logRegistryLine("No etcd endpoint answered (" + shared.options.endpoints +
                        "); serving this server's clients only.");
        return;
    }
    shared.available.store(true);
    logRegistryLine("Shared registry on etcd at " + shared.options.endpoints + ", prefix " +
                    shared.options.prefix + ", lease " + leaseText(shared.lease) + ", TTL " +
                    std::to_string(shared.ttlSeconds) + " s.");
}

void recoverWhenDue(SharedRegistry& shared) {
    if (!shared.available.load()) {
        auto now = std::chrono::steady_clock::now();
        if (now - shared.lastRejoin < kRejoinInterval) return;
        shared.lastRejoin = now;
        tryRejoin(shared);
    } else if (leaseLost(shared)) {
        regrant(shared);
    }
}

bool writeLocalRegistrations(SharedRegistry& shared) {
    const std::int64_t lease = currentLease(shared);
    for (LocalRegistration& registration : shared.local) {
        if (registration.written) continue;
        EtcdResult put = putKey(shared.requests, registration.key,
                                encodeConnection(registration.connection), lease, nullptr);
        if (noteResult(shared, put) != EtcdStatus::Ok) return false;
        registration.written = true;
    }
    return true;
}

void queueJob(SharedRegistry& shared, SharedJob job) {
    {
        std::lock_guard<std::mutex> hold(shared.lock);
        shared.jobs.push_back(std::move(job));
    }
    shared.changed.notify_all();
}

void runKeepAlive(SharedRegistry& shared) {
    for (;;) {
        std::int64_t ttl = 0;
        {
            std::lock_guard<std::mutex> hold(shared.lock);
            ttl = shared.ttlSeconds > 0 ? shared.ttlSeconds : shared.options.leaseTtlSeconds;
        }
        if (!pauseUnlessStopped(shared, static_cast<unsigned>(ttl * 1000 / 3))) return;
        std::int64_t lease = currentLease(shared);
        if (lease == 0 || !shared.available.load()) continue;
        std::int64_t left = 0;
        EtcdStatus renewed = noteResult(shared, keepLeaseAlive(shared.renewals, lease, &left));
        if (renewed == EtcdStatus::LeaseNotFound) shared.changed.notify_all();
    }
}

// Every registration, read a page at a time at one revision, into the
// mirror; the revision to watch from, or 0 when etcd did not answer.
std::int64_t loadMirror(SharedRegistry& shared, const std::string& prefix) {
    EtcdRangeQuery query;
    query.prefix = prefix;
    query.limit = kMirrorPage;
    std::vector<EtcdKeyValue> kvs;
    EtcdRange page;
    std::int64_t revision = 0;
    do {
        if (!page.kvs.empty()) query = nextPageQuery(query, page);
        page = EtcdRange{};
        if (rangeByCreation(shared.names, query, &page).status != EtcdStatus::Ok) return 0;
        if (revision == 0) revision = page.revision;
        kvs.insert(kvs.end(), page.kvs.begin(), page.kvs.end());
    } while (page.more);
    mirrorReplace(shared.mirror, shared.options.prefix, kvs);
    return revision + 1;
}

void runMirror(SharedRegistry& shared) {
    const std::string prefix = registrationsPrefix(shared.options.prefix);
    std::int64_t from = 0;
    for (;;) {
        if (from == 0) from = loadMirror(shared, prefix);
        if (from == 0) {
            if (!pauseUnlessStopped(shared, kWatchRetryMillis)) return;
            continue;
        }
        EtcdWatchResult watched = watchPrefix(
            shared.names, prefix, from, shared.mirrorStop, [&shared](const EtcdWatchEvent& event) {
                mirrorApply(shared.mirror, shared.options.prefix, event);
            });
        if (watched.end == WatchEnd::Stopped) return;
        from = watched.end == WatchEnd::Compacted ? 0 : watched.nextRevision;
        if (!pauseUnlessStopped(shared, kWatchRetryMillis)) return;
    }
}

void runMailboxWatch(SharedRegistry& shared) {
    for (;;) {
        std::int64_t lease = 0;
        EtcdWatchStop* stop = newWatchStop(shared, &lease);
        if (stop == nullptr) return;
        if (lease == 0) {
            if (!pauseUnlessStopped(shared, kWatchRetryMillis)) return;
            continue;
        }
        watchOneLease(shared, *stop, lease);
    }
}

}  // namespace peerdir
