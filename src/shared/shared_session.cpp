// shared_session.cpp -- the shared registry's standing with etcd: joining,
// the lease and its renewal, losing etcd and coming back, the reconciler
// that writes this server's registrations, the mailbox watch that hands
// forwarded requests to this server's clients, and the mirror's thread.
#include <chrono>

#include "platform/console.h"
#include "shared/shared_keys.h"
#include "shared/shared_state.h"

namespace peerdir {

namespace {

using Clock = std::chrono::steady_clock;

// How long the start waits for an endpoint to answer before serving its own
// clients only.
constexpr auto kJoinWait = std::chrono::seconds(10);
constexpr unsigned kJoinRetryMillis = 500;
// While etcd is lost, how often the reconciler asks whether it is back.
constexpr auto kRejoinInterval = std::chrono::seconds(1);
// etcd counts as lost once no endpoint has answered anything for this long.
// A cluster electing a leader answers "no leader" at once, and an election
// takes a few seconds at most; only a silence longer than that, from every
// member, is an outage.
constexpr std::int64_t kLostAfterMillis = 4000;
// After a write etcd refused or did not answer, before the next try.
constexpr auto kWriteRetry = std::chrono::milliseconds(250);
// After a watch breaks, before it is resumed.
constexpr unsigned kWatchRetryMillis = 200;
// Registrations per page when the mirror loads, so a large registry never
// needs one huge response.
constexpr std::int64_t kMirrorPage = 2000;
// Mailbox keys remembered as handed over, against a retried put.
constexpr std::size_t kDeliveredMemory = 8192;

std::int64_t nowMillis() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch())
        .count();
}

void logRegistryLine(const std::string& text) { logLine(("registry: " + text).c_str()); }

// Every registration is to be written again, under a new lease; keys of the
// old one went with it.
void forgetWrites(SharedRegistry& shared) {
    for (auto& entry : shared.local) {
        entry.second.state = PutState::Pending;
        shared.unsettled.insert(entry.first);
    }
    shared.staleKeys.clear();
}

void setLease(SharedRegistry& shared, const EtcdLease& lease) {
    {
        std::lock_guard<std::mutex> hold(shared.lock);
        shared.lease = lease.id;
        shared.ttlSeconds = lease.ttlSeconds;
        shared.leaseLost = false;
        forgetWrites(shared);
    }
    // The mailbox moves with the lease: the watch starts again on the new one.
    stopMailboxWatch(shared);
}

bool grant(SharedRegistry& shared) {
    EtcdLease lease;
    EtcdResult granted = grantLease(shared.writes, shared.options.leaseTtlSeconds, &lease);
    noteResult(shared, granted);
    if (granted.status != EtcdStatus::Ok) return false;
    setLease(shared, lease);
    return true;
}

void comeBack(SharedRegistry& shared) {
    shared.silentSinceMillis.store(0);
    shared.available.store(true);
    logRegistryLine("Shared registry is back.");
}

// While lost: back once a renewal, or failing that a new lease, goes
// through. The reconciler then writes what etcd lacks.
void tryRejoin(SharedRegistry& shared) {
    std::int64_t ttl = 0;
    std::int64_t lease = currentLease(shared);
    EtcdStatus renewed = EtcdStatus::LeaseNotFound;
    if (lease != 0) renewed = keepLeaseAlive(shared.writes, lease, &ttl).status;
    if (renewed != EtcdStatus::Ok && renewed != EtcdStatus::LeaseNotFound) return;
    if (renewed != EtcdStatus::Ok && !grant(shared)) return;
    {
        // Unknown puts of the outage are settled by writing them again.
        std::lock_guard<std::mutex> hold(shared.lock);
        for (auto& entry : shared.local) {
            if (entry.second.state == PutState::Unknown) shared.unsettled.insert(entry.first);
        }
    }
    comeBack(shared);
}

bool leaseLost(SharedRegistry& shared) {
    std::lock_guard<std::mutex> hold(shared.lock);
    return shared.leaseLost;
}

// ---- The reconciler ---------------------------------------------------------

struct Batch {
    std::vector<std::uint64_t> serials;
    std::vector<EtcdPut> puts;
    std::int64_t lease = 0;
};

// Up to a transaction's worth of registrations not known written. They count
// as Unknown from here until etcd's answer: a client leaving meanwhile has
// its key deleted, whatever the answer.
Batch takeWrites(SharedRegistry& shared) {
    Batch batch;
    std::lock_guard<std::mutex> hold(shared.lock);
    batch.lease = shared.lease;
    for (std::uint64_t serial : shared.unsettled) {
        if (batch.puts.size() == kEtcdMaxTxnOps) break;
        LocalRegistration& r = shared.local.at(serial);
        r.state = PutState::Unknown;
        batch.serials.push_back(serial);
        batch.puts.push_back(EtcdPut{r.key, encodeConnection(r.connection), shared.lease});
    }
    return batch;
}

void settleWrites(SharedRegistry& shared, const Batch& batch, EtcdStatus status) {
    std::lock_guard<std::mutex> hold(shared.lock);
    for (std::uint64_t serial : batch.serials) {
        auto found = shared.local.find(serial);
        if (found == shared.local.end()) continue;
        if (status == EtcdStatus::Ok) {
            found->second.state = PutState::Written;
            shared.unsettled.erase(serial);
        } else if (status != EtcdStatus::Unreachable) {
            // etcd answered and wrote none of it.
            found->second.state = PutState::Pending;
        }
    }
}

// One transaction of puts; false when there was nothing to write or the
// write failed.
bool writeOnce(SharedRegistry& shared) {
    Batch batch = takeWrites(shared);
    if (batch.puts.empty()) return false;
    EtcdStatus status =
        noteResult(shared, putKeysTogether(shared.writes, batch.puts, nullptr), batch.lease);
    settleWrites(shared, batch, status);
    return status == EtcdStatus::Ok;
}

bool deleteOnce(SharedRegistry& shared) {
    std::vector<std::string> keys;
    {
        std::lock_guard<std::mutex> hold(shared.lock);
        for (std::size_t i = 0; i < shared.staleKeys.size() && i < kEtcdMaxTxnOps; ++i) {
            keys.push_back(shared.staleKeys[i]);
        }
    }
    if (keys.empty()) return false;
    std::size_t done = 0;
    EtcdStatus status = noteResult(shared, deleteKeys(shared.writes, keys, &done));
    std::lock_guard<std::mutex> hold(shared.lock);
    // Only the reconciler takes from the front, and a new lease empties it.
    for (std::size_t i = 0; i < done && !shared.staleKeys.empty(); ++i) {
        if (shared.staleKeys.front() != keys[i]) break;
        shared.staleKeys.pop_front();
    }
    return status == EtcdStatus::Ok;
}

bool workWaiting(SharedRegistry& shared) {
    if (shared.stopping) return true;
    if (Clock::now() < shared.retryAfter) return false;
    return shared.leaseLost ||
           (shared.available.load() && (!shared.unsettled.empty() || !shared.staleKeys.empty()));
}

// Until there is something to write, a second at most, so that rejoining
// gets its turn; not past a pending retry.
void waitForWork(SharedRegistry& shared) {
    std::unique_lock<std::mutex> hold(shared.lock);
    auto until = Clock::now() + kRejoinInterval;
    if (shared.retryAfter > Clock::now() && shared.retryAfter < until) until = shared.retryAfter;
    shared.changed.wait_until(hold, until, [&shared] { return workWaiting(shared); });
}

void reconcileOnce(SharedRegistry& shared) {
    if (!shared.available.load() || Clock::now() < shared.retryAfter) return;
    const bool wrote = writeOnce(shared);
    const bool deleted = deleteOnce(shared);
    std::lock_guard<std::mutex> hold(shared.lock);
    const bool more = !shared.unsettled.empty() || !shared.staleKeys.empty();
    if (more && !wrote && !deleted) shared.retryAfter = Clock::now() + kWriteRetry;
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
// the reconciler delete it.
void takeFromMailbox(SharedRegistry& shared, const EtcdKeyValue& kv) {
    ConnectionId connection = 0;
    std::uint8_t payload[kConnectPayloadSize];
    if (!remembered(shared, kv.key) && decodeMailboxValue(kv.value, &connection, payload)) {
        shared.deliver(shared.target, connection, payload);
    }
    queueStaleKey(shared, kv.key);
}

// What the mailbox holds now, a page at a time in key order (each sending
// server's requests in the order it sent them); the revision to watch from,
// or 0 when etcd did not answer.
std::int64_t readMailbox(SharedRegistry& shared, const std::string& prefix) {
    EtcdRangeQuery query;
    query.prefix = prefix;
    query.limit = kMirrorPage;
    EtcdRange page;
    std::int64_t revision = 0;
    do {
        if (!page.kvs.empty()) query = nextKeyPageQuery(query, page);
        page = EtcdRange{};
        if (noteResult(shared, rangeByKey(shared.mailbox, query, &page)) != EtcdStatus::Ok) {
            return 0;
        }
        if (revision == 0) revision = page.revision;
        for (const EtcdKeyValue& kv : page.kvs) takeFromMailbox(shared, kv);
    } while (page.more);
    return revision + 1;
}

// A fresh stop for the watch about to start; nullptr once stopping.
EtcdWatchStop* newWatchStop(SharedRegistry& shared, std::int64_t* lease) {
    std::lock_guard<std::mutex> hold(shared.lock);
    if (shared.stopping) return nullptr;
    shared.watchStop = std::make_shared<EtcdWatchStop>();
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
        noteTlsProblem(shared, watched.tlsProblem, watched.answered);
        from = watched.end == WatchEnd::Compacted ? 0 : watched.nextRevision;
        if (!pauseUnlessStopped(shared, kWatchRetryMillis)) return;
    }
}

// ---- The mirror -------------------------------------------------------------

// Every registration, read a page at a time in key order at one revision,
// into the mirror; the revision to watch from, or 0 when etcd did not answer.
std::int64_t loadMirror(SharedRegistry& shared, const std::string& prefix) {
    EtcdRangeQuery query;
    query.prefix = prefix;
    query.limit = kMirrorPage;
    std::vector<EtcdKeyValue> kvs;
    EtcdRange page;
    std::int64_t revision = 0;
    do {
        if (!page.kvs.empty()) query = nextKeyPageQuery(query, page);
        page = EtcdRange{};
        if (noteResult(shared, rangeByKey(shared.names, query, &page)) != EtcdStatus::Ok) return 0;
        if (revision == 0) revision = page.revision;
        kvs.insert(kvs.end(), page.kvs.begin(), page.kvs.end());
    } while (page.more);
    mirrorReplace(shared.mirror, shared.options.prefix, kvs);
    return revision + 1;
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

void noteTlsProblem(SharedRegistry& shared, const std::string& tlsProblem, bool answered) {
    if (answered) {
        shared.tlsFailing.store(false);
    } else if (!tlsProblem.empty() && !shared.tlsFailing.exchange(true)) {
        logRegistryLine("TLS with etcd failed: " + tlsProblem + ".");
    }
}

EtcdStatus noteResult(SharedRegistry& shared, const EtcdResult& result, std::int64_t leaseUsed) {
    noteTlsProblem(shared, result.tlsProblem, result.answered);
    std::atomic<std::int64_t>& silentSince = shared.silentSinceMillis;
    if (result.answered) {
        silentSince.store(0);
    } else if (result.status == EtcdStatus::Unreachable) {
        // The request itself waited unanswered for up to its time-out.
        std::int64_t began = nowMillis() - shared.writes.requestTimeoutMillis;
        std::int64_t none = 0;
        silentSince.compare_exchange_strong(none, began);
        if (nowMillis() - silentSince.load() >= kLostAfterMillis) markLost(shared);
    }
    if (result.status == EtcdStatus::LeaseNotFound && leaseUsed != 0) {
        bool ours = false;
        {
            std::lock_guard<std::mutex> hold(shared.lock);
            ours = leaseUsed == shared.lease;
            if (ours) shared.leaseLost = true;
        }
        if (ours) shared.changed.notify_all();
    }
    return result.status;
}

void stopMailboxWatch(SharedRegistry& shared) {
    std::shared_ptr<EtcdWatchStop> watch;
    {
        std::lock_guard<std::mutex> hold(shared.lock);
        watch = shared.watchStop;
    }
    if (watch) stopWatch(*watch);
}

void joinAtStart(SharedRegistry& shared) {
    const auto deadline = Clock::now() + kJoinWait;
    bool joined = grant(shared);
    while (!joined && Clock::now() < deadline) {
        pauseUnlessStopped(shared, kJoinRetryMillis);
        joined = grant(shared);
    }
    if (!joined) {
        // Nothing is lost at start-up: the reconciler goes on trying.
        shared.available.store(false);
        logRegistryLine("No etcd endpoint answered (" + shared.options.endpoints +
                        "); serving this server's clients only.");
        return;
    }
    shared.silentSinceMillis.store(0);
    shared.available.store(true);
    logRegistryLine("Shared registry on etcd at " + shared.options.endpoints + ", prefix " +
                    shared.options.prefix + ", lease " + leaseText(shared.lease) + ", TTL " +
                    std::to_string(shared.ttlSeconds) + " s.");
}

void recoverWhenDue(SharedRegistry& shared) {
    if (!shared.available.load()) {
        auto now = Clock::now();
        if (now - shared.lastRejoin < kRejoinInterval) return;
        shared.lastRejoin = now;
        tryRejoin(shared);
    } else if (leaseLost(shared) && Clock::now() >= shared.retryAfter) {
        if (!grant(shared)) {
            shared.retryAfter = Clock::now() + kWriteRetry;
            return;
        }
        logRegistryLine("Lease expired; registrations written again under lease " +
                        leaseText(currentLease(shared)) + ".");
    }
}

void queueStaleKey(SharedRegistry& shared, std::string key) {
    {
        std::lock_guard<std::mutex> hold(shared.lock);
        shared.staleKeys.push_back(std::move(key));
    }
    shared.changed.notify_all();
}

void runReconciler(SharedRegistry& shared) {
    while (!stopRequested(shared)) {
        recoverWhenDue(shared);
        reconcileOnce(shared);
        waitForWork(shared);
    }
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
        noteResult(shared, keepLeaseAlive(shared.renewals, lease, &left), lease);
    }
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
        noteTlsProblem(shared, watched.tlsProblem, watched.answered);
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
