// shared_registry.cpp -- the client managers' side of the shared registry,
// and the forwarder that carries their forwards to other servers.
#include "shared/shared_registry.h"

#include <algorithm>
#include <chrono>
#include <random>

#include "etcd/etcd_codec.h"
#include "etcd/etcd_tls.h"
#include "platform/platform.h"
#include "shared/shared_keys.h"
#include "shared/shared_state.h"

namespace peerdir {

namespace {

// A forward whose target's registration went between the lookup and the put
// is looked up again in etcd itself, which the mirror may lag; this many
// attempts in all.
constexpr int kForwardAttempts = 3;
// Forwards waiting for the forwarder; one that finds the queue full is
// answered from this server's own names at once.
constexpr std::size_t kForwardQueueBound = 1024;
// One forward's etcd request, every endpoint tried, ends inside the
// waiter's bound.
constexpr unsigned kForwardRequestMillis = kSharedAnswerMillis * 2 / 3;
constexpr unsigned kRequestMillis = 2000;
constexpr unsigned kMailboxIdleMillis = 15000;

// Whether the endpoints are https ones (they are all alike, or the command
// line was refused).
bool usesTls(const SharedRegistryOptions& options) {
    std::vector<EtcdEndpoint> endpoints;
    std::string problem;
    return parseEtcdEndpoints(options.endpoints, &endpoints, &problem) && endpoints[0].tls;
}

OwnRegistrations ownOf(const SharedRegistry& shared) {
    return OwnRegistrations{shared.server, shared.local, shared.localNames};
}

// ---- The forwarders --------------------------------------------------------

using Clock = std::chrono::steady_clock;

// A forward whose put did not go through is tried again, with the same key,
// until this long after it was queued: a put that landed twice is handed
// over once, as the mailbox's watch remembers the keys it handed over. The
// asker's wait ends sooner; a request that comes through later still comes
// once.
constexpr auto kForwardPersistence = std::chrono::milliseconds(3 * kSharedAnswerMillis);
constexpr auto kForwardRetry = std::chrono::milliseconds(50);

enum class Lookup { Found, NotFound, Unknown };

// The earliest registration of the name as etcd itself has it.
Lookup findInEtcd(SharedRegistry& shared, EtcdConnection& etcd, const std::string& name,
                  MirroredName* target) {
    EtcdRangeQuery query;
    query.prefix = namePrefix(shared.options.prefix, name);
    query.limit = 1;
    EtcdRange range;
    if (noteResult(shared, rangeByCreation(etcd, query, &range)) != EtcdStatus::Ok) {
        return Lookup::Unknown;
    }
    if (range.kvs.empty()) return Lookup::NotFound;
    const EtcdKeyValue& kv = range.kvs.front();
    if (!decodeConnection(kv.value, &target->connection)) return Lookup::NotFound;
    target->key = kv.key;
    target->lease = kv.lease;
    target->createRevision = kv.createRevision;
    target->here = kv.lease == currentLease(shared);
    return Lookup::Found;
}

// Puts the request in the target server's mailbox, guarded by the target's
// registration, so that a request for a registration that went is never put.
// A "lease not found" here is about the target's lease, not this server's.
EtcdStatus putInMailbox(SharedRegistry& shared, EtcdConnection& etcd, const ForwardJob& job,
                        std::uint64_t serial) {
    const MirroredName& target = job.target;
    EtcdResult put =
        putIfCreatedAt(etcd, target.key, target.createRevision,
                       mailboxKey(shared.options.prefix, target.lease, shared.server, serial),
                       encodeMailboxValue(target.connection, job.payload), target.lease, nullptr);
    return noteResult(shared, put, target.lease);
}

// Marks a put as on its way, unless the waiter gave up while nothing sent
// may have landed: then the asker has had this server's own answer, and the
// request must not arrive elsewhere as well.
bool beginPut(ForwardAnswer& answer) {
    std::lock_guard<std::mutex> hold(answer.lock);
    if (answer.abandoned && !answer.mayArrive) return false;
    answer.sending = true;
    return true;
}

// A put etcd did not answer may have landed as much as one it took.
void endPut(ForwardAnswer& answer, EtcdStatus status) {
    std::lock_guard<std::mutex> hold(answer.lock);
    answer.sending = false;
    if (status == EtcdStatus::Ok || status == EtcdStatus::Unreachable) answer.mayArrive = true;
}

// What a forward whose put never went through comes to: forwarded when one
// may have landed (then nothing more goes to anyone, so no request arrives
// twice), else unsent, and the asker is answered here.
SharedForward unlanded(ForwardAnswer& answer) {
    std::lock_guard<std::mutex> hold(answer.lock);
    return answer.mayArrive ? SharedForward::Forwarded : SharedForward::Unavailable;
}

SharedForward carryOut(SharedRegistry& shared, EtcdConnection& etcd, ForwardJob& job) {
    ForwardAnswer& answer = *job.answer;
    std::uint64_t serial = 0;
    {
        std::lock_guard<std::mutex> hold(shared.lock);
        serial = ++shared.serial;
    }
    int lookups = 0;
    while (beginPut(answer)) {
        const EtcdStatus status = putInMailbox(shared, etcd, job, serial);
        endPut(answer, status);
        if (status == EtcdStatus::Ok) return SharedForward::Forwarded;
        if (status == EtcdStatus::CompareFailed || status == EtcdStatus::LeaseNotFound) {
            // The registration, or its server's lease, went meanwhile.
            if (++lookups == kForwardAttempts) return SharedForward::NotFound;
            Lookup found = findInEtcd(shared, etcd, job.target.name, &job.target);
            if (found == Lookup::NotFound) return SharedForward::NotFound;
            if (found == Lookup::Found && job.target.here) return SharedForward::Here;
            continue;
        }
        if (Clock::now() - job.queued >= kForwardPersistence || stopRequested(shared)) break;
        pauseUnlessStopped(shared, static_cast<unsigned>(kForwardRetry.count()));
    }
    return unlanded(answer);
}

void finishJob(ForwardJob& job, SharedForward outcome) {
    std::lock_guard<std::mutex> hold(job.answer->lock);
    job.answer->outcome = outcome;
    job.answer->holder = job.target.connection;
    job.answer->done = true;
    job.answer->ready.notify_all();
}

bool takeForward(SharedRegistry& shared, ForwardJob* job) {
    std::unique_lock<std::mutex> hold(shared.lock);
    shared.forwardQueued.wait(hold,
                              [&shared] { return shared.stopping || !shared.forwardJobs.empty(); });
    if (shared.stopping) return false;
    *job = std::move(shared.forwardJobs.front());
    shared.forwardJobs.pop_front();
    return true;
}

// ---- The client managers' side ----------------------------------------------

// Queues the forward and waits for it within the bound. A forward given up
// before any put of it may have landed is answered from this server's own
// names, and never sent; one given up later may still arrive, once, and the
// asker hears nothing more.
SharedForward forwardElsewhere(SharedRegistry& shared, const MirroredName& target,
                               const std::uint8_t* payload, ConnectionId* holder) {
    ForwardJob job;
    job.target = target;
    job.queued = Clock::now();
    std::copy(payload, payload + kConnectPayloadSize, job.payload);
    auto answer = std::make_shared<ForwardAnswer>();
    job.answer = answer;
    {
        std::lock_guard<std::mutex> hold(shared.lock);
        if (shared.forwardJobs.size() >= kForwardQueueBound) return SharedForward::Unavailable;
        shared.forwardJobs.push_back(std::move(job));
    }
    shared.forwardQueued.notify_one();
    std::unique_lock<std::mutex> hold(answer->lock);
    if (!answer->ready.wait_for(hold, std::chrono::milliseconds(kSharedAnswerMillis),
                                [&answer] { return answer->done; })) {
        answer->abandoned = true;
        answer->mayArrive = answer->mayArrive || answer->sending;
        return answer->mayArrive ? SharedForward::Forwarded : SharedForward::Unavailable;
    }
    *holder = answer->holder;
    return answer->outcome;
}

// The names as the mirror and this server's own registrations have them;
// false while the mirror is not ready or etcd is lost.
bool namesOf(SharedRegistry& shared, std::vector<std::string>* names) {
    if (!shared.available.load()) return false;
    std::lock_guard<std::mutex> hold(shared.lock);
    return mirrorNames(shared.mirror, ownOf(shared), names);
}

std::string randomServerTag() {
    std::random_device entropy;
    std::uint64_t tag = static_cast<std::uint64_t>(entropy()) << 32 | entropy();
    return leaseText(static_cast<std::int64_t>(tag));
}

void startThreads(SharedRegistry& shared) {
    shared.reconcilerThread = std::thread(runReconciler, std::ref(shared));
    for (std::size_t i = 0; i < kForwarders; ++i) {
        shared.forwarderThreads[i] =
            std::thread(runForwarder, std::ref(shared), std::ref(*shared.forwards[i]));
    }
    shared.keepAliveThread = std::thread(runKeepAlive, std::ref(shared));
    shared.watchThread = std::thread(runMailboxWatch, std::ref(shared));
    shared.mirrorThread = std::thread(runMirror, std::ref(shared));
}

}  // namespace

void runForwarder(SharedRegistry& shared, EtcdConnection& etcd) {
    ForwardJob job;
    while (takeForward(shared, &job)) {
        finishJob(job, carryOut(shared, etcd, job));
        job = ForwardJob{};
    }
}

bool sharedRegistryBuilt() { return true; }

bool checkSharedRegistryEndpoints(const std::string& endpoints, std::string* problem) {
    std::vector<EtcdEndpoint> parsed;
    if (parseEtcdEndpoints(endpoints, &parsed, problem)) return true;
    *problem = "bad value \"" + endpoints + "\" for --registry: " + *problem;
    return false;
}

bool checkSharedRegistryTls(const SharedRegistryOptions& options, std::string* problem) {
    const bool given =
        !options.caFile.empty() || !options.certFile.empty() || !options.keyFile.empty();
    if (options.certFile.empty() != options.keyFile.empty()) {
        *problem = "--registry-cert and --registry-key go together";
        return false;
    }
    if (!given) return true;
    if (!usesTls(options)) {
        *problem =
            "--registry-ca, --registry-cert and --registry-key need https:// etcd endpoints "
            "in --registry";
        return false;
    }
    return true;
}

bool sharedRegistryLoadTls(SharedRegistryOptions* options, std::string* problem) {
    if (!usesTls(*options)) return true;
    options->tls = loadEtcdTls({options->caFile, options->certFile, options->keyFile}, problem);
    if (options->tls) return true;
    *problem = "registry: Could not set up TLS for etcd: " + *problem + ".";
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
    std::vector<EtcdConnection*> connections = {&shared->writes, &shared->renewals,
                                                &shared->mailbox, &shared->names};
    for (auto& forwards : shared->forwards) {
        forwards.reset(new EtcdConnection);
        connections.push_back(forwards.get());
    }
    for (EtcdConnection* etcd : connections) {
        parseEtcdEndpoints(options.endpoints, &etcd->endpoints, &problem);
        etcd->requestTimeoutMillis = kRequestMillis;
        etcd->tls = options.tls;
    }
    if (usesTls(options)) ignoreBrokenPipes();
    for (auto& forwards : shared->forwards) forwards->requestTimeoutMillis = kForwardRequestMillis;
    // A watch on a member that froze ends only after this long without a
    // word, and then resumes on the next endpoint.
    shared->mailbox.watchIdleMillis = kMailboxIdleMillis;
    shared->names.watchIdleMillis = kMailboxIdleMillis;
    joinAtStart(*shared);
    startThreads(*shared);
    return shared;
}

void sharedRegistryStop(SharedRegistry* shared) {
    {
        std::lock_guard<std::mutex> hold(shared->lock);
        shared->stopping = true;
    }
    stopMailboxWatch(*shared);
    stopWatch(shared->mirrorStop);
    shared->changed.notify_all();
    shared->forwardQueued.notify_all();
    for (std::thread* thread : {&shared->mirrorThread, &shared->reconcilerThread,
                                &shared->keepAliveThread, &shared->watchThread}) {
        thread->join();
    }
    for (std::thread& thread : shared->forwarderThreads) thread.join();
    // The names go at once rather than when the lease runs out.
    if (shared->lease != 0 && shared->available.load()) {
        revokeLease(shared->writes, shared->lease);
    }
    delete shared;
}

void sharedRegister(SharedRegistry* shared, ConnectionId connection, const std::string& name) {
    {
        std::lock_guard<std::mutex> hold(shared->lock);
        const std::uint64_t serial = ++shared->serial;
        LocalRegistration registration{
            connection, name, registrationKey(shared->options.prefix, name, shared->server, serial),
            PutState::Pending};
        shared->localNames.emplace(name, serial);
        shared->local.emplace(serial, std::move(registration));
        shared->serialsOf.emplace(connection, serial);
        shared->unsettled.insert(serial);
    }
    shared->changed.notify_all();
}

void sharedUnregisterAll(SharedRegistry* shared, ConnectionId connection) {
    bool stale = false;
    {
        std::lock_guard<std::mutex> hold(shared->lock);
        auto range = shared->serialsOf.equal_range(connection);
        for (auto it = range.first; it != range.second; ++it) {
            auto found = shared->local.find(it->second);
            if (found == shared->local.end()) continue;
            // A put that may have landed is deleted as if it had.
            if (found->second.state != PutState::Pending) {
                shared->staleKeys.push_back(found->second.key);
                stale = true;
            }
            shared->unsettled.erase(it->second);
            shared->localNames.erase({found->second.name, it->second});
            shared->local.erase(found);
        }
        shared->serialsOf.erase(range.first, range.second);
    }
    if (stale) shared->changed.notify_all();
}

SharedForward sharedForward(SharedRegistry* shared, const std::string& name,
                            const std::uint8_t* payload, ConnectionId* holder) {
    if (!shared->available.load()) return SharedForward::Unavailable;
    MirroredName earliest;
    bool ready = false;
    bool found = false;
    {
        std::lock_guard<std::mutex> hold(shared->lock);
        found = mirrorEarliest(shared->mirror, shared->options.prefix, ownOf(*shared), name,
                               &earliest, &ready);
    }
    if (!ready) return SharedForward::Unavailable;
    if (!found) return SharedForward::NotFound;
    *holder = earliest.connection;
    if (earliest.here) return SharedForward::Here;
    return forwardElsewhere(*shared, earliest, payload, holder);
}

bool sharedListNames(SharedRegistry* shared, std::vector<std::string>* names) {
    names->clear();
    return namesOf(*shared, names);
}

bool sharedNameCount(SharedRegistry* shared, std::size_t* count) {
    std::vector<std::string> names;
    if (!namesOf(*shared, &names)) return false;
    *count = names.size();
    return true;
}

SharedRegistryState sharedRegistryState(SharedRegistry* shared) {
    SharedRegistryState state;
    state.etcdUp = shared->available.load();
    state.mirrorNames = mirrorSize(shared->mirror);
    std::lock_guard<std::mutex> hold(shared->lock);
    // Only the unsettled are looked up, so the count costs what is waiting,
    // not what is registered.
    for (std::uint64_t serial : shared->unsettled) {
        auto found = shared->local.find(serial);
        if (found == shared->local.end()) continue;
        if (found->second.state == PutState::Pending) ++state.pending;
        if (found->second.state == PutState::Unknown) ++state.unknown;
    }
    state.deletesWaiting = shared->staleKeys.size();
    state.forwardsQueued = shared->forwardJobs.size();
    return state;
}

}  // namespace peerdir
