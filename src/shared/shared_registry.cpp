// shared_registry.cpp -- the client managers' side of the shared registry,
// and the registry thread that carries out their jobs against etcd.
#include "shared/shared_registry.h"

#include <algorithm>
#include <chrono>
#include <random>

#include "etcd/etcd_codec.h"
#include "shared/shared_keys.h"
#include "shared/shared_state.h"

namespace peerdir {

namespace {

// A forward whose target's registration vanished between the lookup and the
// put is looked up again, this many times in all.
constexpr int kForwardAttempts = 3;
// Names per page of a list, so a large registry never needs one huge
// response.
constexpr std::int64_t kListPage = 2000;
// A list whose pinned revision is compacted away while it pages is started
// again, this many times in all.
constexpr int kListAttempts = 3;
constexpr unsigned kMailboxIdleMillis = 15000;

// Queues a job and waits for its answer; nullptr when none came in time.
std::shared_ptr<SharedAnswer> ask(SharedRegistry& shared, SharedJob job) {
    auto answer = std::make_shared<SharedAnswer>();
    job.answer = answer;
    queueJob(shared, std::move(job));
    std::unique_lock<std::mutex> hold(answer->lock);
    if (answer->ready.wait_for(hold, std::chrono::milliseconds(kSharedAnswerMillis),
                               [&answer] { return answer->done; })) {
        return answer;
    }
    answer->abandoned = true;
    return nullptr;
}

void finish(SharedJob& job, const std::function<void(SharedAnswer&)>& fill) {
    std::lock_guard<std::mutex> hold(job.answer->lock);
    fill(*job.answer);
    job.answer->done = true;
    job.answer->ready.notify_all();
}

bool abandoned(const SharedJob& job) {
    std::lock_guard<std::mutex> hold(job.answer->lock);
    return job.answer->abandoned;
}

// ---- The registry thread's jobs ------------------------------------------

void registerLocally(SharedRegistry& shared, const SharedJob& job) {
    LocalRegistration registration{job.connection, job.text, {}, false};
    registration.key =
        registrationKey(shared.options.prefix, job.text, shared.server, ++shared.serial);
    if (shared.available.load()) {
        EtcdResult put = putKey(shared.requests, registration.key, encodeConnection(job.connection),
                                currentLease(shared), nullptr);
        registration.written = noteResult(shared, put) == EtcdStatus::Ok;
    }
    shared.localKeys.insert(registration.key);
    shared.local.push_back(registration);
}

void unregisterLocally(SharedRegistry& shared, const SharedJob& job) {
    std::vector<std::string> keys;
    auto leaving = std::stable_partition(
        shared.local.begin(), shared.local.end(),
        [&job](const LocalRegistration& r) { return r.connection != job.connection; });
    for (auto it = leaving; it != shared.local.end(); ++it) {
        shared.localKeys.erase(it->key);
        if (it->written) keys.push_back(it->key);
    }
    shared.local.erase(leaving, shared.local.end());
    if (keys.empty()) return;
    std::size_t done = 0;
    if (shared.available.load()) noteResult(shared, deleteKeys(shared.requests, keys, &done));
    shared.staleKeys.insert(shared.staleKeys.end(), keys.begin() + static_cast<long>(done),
                            keys.end());
}

OwnRegistrations ownOf(const SharedRegistry& shared) {
    return OwnRegistrations{shared.local, shared.localKeys};
}

// The earliest registration of the name as the mirror has it: Here,
// Forwarded with *kv, or NotFound; Unavailable while the mirror is not
// ready.
SharedForward findInMirror(SharedRegistry& shared, const std::string& name, EtcdKeyValue* kv,
                           ConnectionId* holder) {
    MirroredName earliest;
    bool ready = false;
    if (!mirrorEarliest(shared.mirror, shared.options.prefix, shared.server, ownOf(shared), name,
                        &earliest, &ready)) {
        return ready ? SharedForward::NotFound : SharedForward::Unavailable;
    }
    *holder = earliest.connection;
    if (earliest.here) return SharedForward::Here;
    kv->key = earliest.key;
    kv->createRevision = earliest.createRevision;
    kv->lease = earliest.lease;
    kv->value = encodeConnection(earliest.connection);
    return SharedForward::Forwarded;
}

// The earliest registration of the name anywhere, or NotFound.
SharedForward findEarliest(SharedRegistry& shared, const std::string& name, EtcdKeyValue* kv) {
    EtcdRangeQuery query;
    query.prefix = namePrefix(shared.options.prefix, name);
    query.limit = 1;
    EtcdRange range;
    if (noteResult(shared, rangeByCreation(shared.requests, query, &range)) != EtcdStatus::Ok) {
        return SharedForward::Unavailable;
    }
    if (range.kvs.empty()) return SharedForward::NotFound;
    *kv = range.kvs.front();
    return SharedForward::Forwarded;
}

// One attempt: Here, NotFound or Forwarded when settled; Unavailable when
// etcd did not answer; a CompareFailed retry shows as NotFound with *again.
// The first attempt looks in the mirror; one whose registration had gone
// meanwhile looks again in etcd itself, which the mirror may lag.
SharedForward tryForward(SharedRegistry& shared, SharedJob& job, std::uint64_t serial,
                         bool fromMirror, ConnectionId* holder, bool* again) {
    EtcdKeyValue kv;
    SharedForward found = SharedForward::Unavailable;
    if (fromMirror) found = findInMirror(shared, job.text, &kv, holder);
    if (found == SharedForward::Here || found == SharedForward::NotFound) return found;
    if (found == SharedForward::Unavailable) found = findEarliest(shared, job.text, &kv);
    if (found != SharedForward::Forwarded) return found;
    if (!decodeConnection(kv.value, holder)) return SharedForward::NotFound;
    if (kv.lease == currentLease(shared)) return SharedForward::Here;
    if (abandoned(job)) return SharedForward::Unavailable;
    const std::string mailKey = mailboxKey(shared.options.prefix, kv.lease, shared.server, serial);
    EtcdResult put = putIfCreatedAt(shared.requests, kv.key, kv.createRevision, mailKey,
                                    encodeMailboxValue(*holder, job.payload), kv.lease, nullptr);
    EtcdStatus status = put.status;
    if (status == EtcdStatus::Unreachable) noteResult(shared, put);
    if (status == EtcdStatus::Ok) return SharedForward::Forwarded;
    if (status == EtcdStatus::Unreachable) return SharedForward::Unavailable;
    // The registration, or its server's lease, went meanwhile.
    *again = status == EtcdStatus::CompareFailed || status == EtcdStatus::LeaseNotFound;
    return SharedForward::NotFound;
}

void forward(SharedRegistry& shared, SharedJob& job) {
    SharedForward outcome = SharedForward::Unavailable;
    ConnectionId holder = 0;
    // One key for every attempt at this request: a put retried after a
    // time-out overwrites itself instead of adding a second message.
    const std::uint64_t serial = ++shared.serial;
    for (int attempt = 0; attempt < kForwardAttempts && shared.available.load(); ++attempt) {
        bool again = false;
        outcome = tryForward(shared, job, serial, attempt == 0, &holder, &again);
        if (!again) break;
    }
    finish(job, [outcome, holder](SharedAnswer& a) {
        a.forward = outcome;
        a.holder = holder;
    });
}

// Every registration's key, a page at a time, all read at one revision.
bool readAllRegistrations(SharedRegistry& shared, bool keysOnly, std::vector<EtcdKeyValue>* kvs) {
    for (int attempt = 0; attempt < kListAttempts; ++attempt) {
        kvs->clear();
        EtcdRangeQuery query;
        query.prefix = registrationsPrefix(shared.options.prefix);
        query.limit = kListPage;
        query.keysOnly = keysOnly;
        EtcdRange page;
        EtcdStatus status = EtcdStatus::Ok;
        do {
            if (!page.kvs.empty()) query = nextPageQuery(query, page);
            page = EtcdRange{};
            status = noteResult(shared, rangeByCreation(shared.requests, query, &page));
            kvs->insert(kvs->end(), page.kvs.begin(), page.kvs.end());
        } while (status == EtcdStatus::Ok && page.more);
        if (status == EtcdStatus::Ok) return true;
        if (status != EtcdStatus::Compacted) return false;
    }
    return false;
}

// The names as the mirror and this server's own registrations have them;
// false while the mirror is not ready.
bool listFromMirror(SharedRegistry& shared, std::vector<std::string>* names) {
    std::vector<MirroredName> view;
    if (!mirrorView(shared.mirror, shared.options.prefix, shared.server, ownOf(shared), &view)) {
        return false;
    }
    names->reserve(view.size());
    for (MirroredName& entry : view) names->push_back(std::move(entry.name));
    return true;
}

void list(SharedRegistry& shared, SharedJob& job) {
    std::vector<std::string> names;
    bool read = shared.available.load() && listFromMirror(shared, &names);
    if (!read) {
        std::vector<EtcdKeyValue> kvs;
        read = shared.available.load() && readAllRegistrations(shared, true, &kvs);
        for (const EtcdKeyValue& kv : kvs) {
            std::string name;
            if (nameOfRegistration(shared.options.prefix, kv.key, &name)) names.push_back(name);
        }
    }
    finish(job, [&](SharedAnswer& a) {
        a.answered = read;
        a.count = names.size();
        if (job.kind == JobKind::List) a.names.swap(names);
    });
}

void deleteMailboxKey(SharedRegistry& shared, const SharedJob& job) {
    if (!shared.available.load() ||
        noteResult(shared, deleteKey(shared.requests, job.text, nullptr)) != EtcdStatus::Ok) {
        shared.staleKeys.push_back(job.text);
    }
}

void runJob(SharedRegistry& shared, SharedJob& job) {
    switch (job.kind) {
        case JobKind::Register:
            return registerLocally(shared, job);
        case JobKind::Unregister:
            return unregisterLocally(shared, job);
        case JobKind::Forward:
            return forward(shared, job);
        case JobKind::List:
        case JobKind::Count:
            return list(shared, job);
        case JobKind::DeleteMailbox:
            return deleteMailboxKey(shared, job);
    }
}

// The next job, or none after a second without one (or once stopping), so
// that recovery gets its turn.
bool takeJob(SharedRegistry& shared, SharedJob* job) {
    std::unique_lock<std::mutex> hold(shared.lock);
    shared.changed.wait_for(hold, std::chrono::seconds(1), [&shared] {
        return shared.stopping || shared.leaseLost || !shared.jobs.empty();
    });
    if (shared.stopping || shared.jobs.empty()) return false;
    *job = std::move(shared.jobs.front());
    shared.jobs.pop_front();
    return true;
}

void runRegistry(SharedRegistry& shared) {
    while (!stopRequested(shared)) {
        recoverWhenDue(shared);
        SharedJob job;
        if (takeJob(shared, &job)) runJob(shared, job);
    }
}

std::string randomServerTag() {
    std::random_device entropy;
    std::uint64_t tag = static_cast<std::uint64_t>(entropy()) << 32 | entropy();
    return leaseText(static_cast<std::int64_t>(tag));
}

}  // namespace

bool sharedRegistryBuilt() { return true; }

bool checkSharedRegistryEndpoints(const std::string& endpoints, std::string* problem) {
    std::vector<EtcdEndpoint> parsed;
    if (parseEtcdEndpoints(endpoints, &parsed, problem)) return true;
    *problem = "bad value \"" + endpoints + "\" for --registry: " + *problem;
    return false;
}

SharedRegistry* sharedRegistryStart(const SharedRegistryOptions& options, DeliverRequest deliver,
                                    void* target) {
    auto* shared = new SharedRegistry;
    shared->options = options;
    shared->deliver = deliver;
    shared->target = target;
    shared->server = randomServerTag();
    std::string problem;
    for (EtcdConnection* etcd :
         {&shared->requests, &shared->renewals, &shared->mailbox, &shared->names}) {
        parseEtcdEndpoints(options.endpoints, &etcd->endpoints, &problem);
    }
    // A watch on a member that froze ends only after this long without a
    // word, and then resumes on the next endpoint.
    shared->mailbox.watchIdleMillis = kMailboxIdleMillis;
    shared->names.watchIdleMillis = kMailboxIdleMillis;
    joinAtStart(*shared);
    shared->registryThread = std::thread(runRegistry, std::ref(*shared));
    shared->keepAliveThread = std::thread(runKeepAlive, std::ref(*shared));
    shared->watchThread = std::thread(runMailboxWatch, std::ref(*shared));
    shared->mirrorThread = std::thread(runMirror, std::ref(*shared));
    return shared;
}

void sharedRegistryStop(SharedRegistry* shared) {
    {
        std::lock_guard<std::mutex> hold(shared->lock);
        shared->stopping = true;
        if (shared->watchStop) stopWatch(*shared->watchStop);
    }
    stopWatch(shared->mirrorStop);
    shared->changed.notify_all();
    shared->mirrorThread.join();
    shared->registryThread.join();
    shared->keepAliveThread.join();
    shared->watchThread.join();
    // The names go at once rather than when the lease runs out.
    if (shared->lease != 0 && shared->available.load())
        revokeLease(shared->requests, shared->lease);
    delete shared;
}

void sharedRegister(SharedRegistry* shared, ConnectionId connection, const std::string& name) {
    SharedJob job;
    job.kind = JobKind::Register;
    job.connection = connection;
    job.text = name;
    queueJob(*shared, std::move(job));
}

void sharedUnregisterAll(SharedRegistry* shared, ConnectionId connection) {
    SharedJob job;
    job.kind = JobKind::Unregister;
    job.connection = connection;
    queueJob(*shared, std::move(job));
}

SharedForward sharedForward(SharedRegistry* shared, const std::string& name,
                            const std::uint8_t* payload, ConnectionId* holder) {
    if (!shared->available.load()) return SharedForward::Unavailable;
    SharedJob job;
    job.kind = JobKind::Forward;
    job.text = name;
    std::copy(payload, payload + kConnectPayloadSize, job.payload);
    std::shared_ptr<SharedAnswer> answer = ask(*shared, std::move(job));
    if (answer == nullptr) return SharedForward::Unavailable;
    *holder = answer->holder;
    return answer->forward;
}

bool sharedListNames(SharedRegistry* shared, std::vector<std::string>* names) {
    if (!shared->available.load()) return false;
    SharedJob job;
    job.kind = JobKind::List;
    std::shared_ptr<SharedAnswer> answer = ask(*shared, std::move(job));
    if (answer == nullptr || !answer->answered) return false;
    names->swap(answer->names);
    return true;
}

bool sharedNameCount(SharedRegistry* shared, std::size_t* count) {
    if (!shared->available.load()) return false;
    SharedJob job;
    job.kind = JobKind::Count;
    std::shared_ptr<SharedAnswer> answer = ask(*shared, std::move(job));
    if (answer == nullptr || !answer->answered) return false;
    *count = answer->count;
    return true;
}

}  // namespace peerdir
