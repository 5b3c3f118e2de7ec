// shared_state.h -- the shared registry's state and its threads, for the
// room's own files.
//
// Eight threads talk to etcd, each over an HTTP connection of its own, so a
// server holds eight connections however many clients it serves:
//   - the reconciler makes etcd hold what this server's clients registered
//     (the desired state, in `local`): puts in transactions of up to 128,
//     deletes likewise, retries what failed, and rejoins after trouble;
//   - kForwarders forwarders carry out the forwards to clients of other
//     servers, the only requests a client manager waits for; several, so
//     that one put held up by an election does not hold up the rest;
//   - the keep-alive thread renews the lease at a third of its TTL;
//   - the watch thread takes requests from this server's mailbox and hands
//     them to its clients;
//   - the mirror thread keeps the mirror of every registration current.
// Registrations, lists, counts and lookups are answered on the client
// manager's own thread from the mirror and `local`, with no wait on etcd.
#ifndef PEERDIR_SHARED_SHARED_STATE_H
#define PEERDIR_SHARED_SHARED_STATE_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "etcd/etcd.h"
#include "protocol/message.h"
#include "shared/shared_mirror.h"
#include "shared/shared_registry.h"

namespace peerdir {

// One client manager's wait for a forward, shared with the forwarder that
// carries it out. Whoever comes first settles it: a waiter that gives up
// after kSharedAnswerMillis before any put may have landed has the asker
// answered from this server's own names, and the forwarder then sends
// nothing more; one that gives up later says forwarded, since the request
// may arrive. So no request is both answered here and delivered there.
struct ForwardAnswer {
    std::mutex lock;
    std::condition_variable ready;
    bool sending = false;  // a put is on its way to etcd
    // A put went through or went unanswered, or the waiter said forwarded
    // while one was on its way: the request may arrive, so it is carried
    // through to the end.
    bool mayArrive = false;
    bool abandoned = false;
    bool done = false;
    SharedForward outcome = SharedForward::Unavailable;
    ConnectionId holder = 0;  // with Here
};

struct ForwardJob {
    MirroredName target;  // the earliest registration, another server's
    std::chrono::steady_clock::time_point queued{};
    std::uint8_t payload[kConnectPayloadSize] = {};
    std::shared_ptr<ForwardAnswer> answer;
};

constexpr std::size_t kForwarders = 4;

struct SharedRegistry {
    SharedRegistryOptions options;
    DeliverRequest deliver = nullptr;
    void* target = nullptr;
    std::string server;  // tells this run's keys from every other server's

    EtcdConnection writes;    // the reconciler's
    EtcdConnection renewals;  // the keep-alive thread's
    EtcdConnection mailbox;   // the watch thread's
    EtcdConnection names;     // the mirror thread's
    std::thread reconcilerThread;
    // The forwarders' own, each with a deadline inside the waiters' bound.
    std::unique_ptr<EtcdConnection> forwards[kForwarders];
    std::thread forwarderThreads[kForwarders];
    std::thread keepAliveThread;
    std::thread watchThread;
    std::thread mirrorThread;

    SharedMirror mirror;
    EtcdWatchStop mirrorStop;  // the mirror's watches, stopped once for good

    // Guarded by lock:
    std::mutex lock;
    std::condition_variable changed;  // work for the reconciler, or the stop
    std::condition_variable forwardQueued;
    bool stopping = false;
    bool leaseLost = false;  // the keep-alive found the lease gone
    std::int64_t lease = 0;  // 0 until one is granted
    std::int64_t ttlSeconds = 0;
    // The mailbox watch under way, if any. Shared, so that it is stopped
    // after the lock is let go: a stop waits for a connect under way.
    std::shared_ptr<EtcdWatchStop> watchStop;
    LocalRegistrations local;                                        // the desired state
    LocalNames localNames;                                           // local by name
    std::unordered_multimap<ConnectionId, std::uint64_t> serialsOf;  // local by connection
    std::set<std::uint64_t> unsettled;  // serials in local not known written
    std::deque<std::string> staleKeys;  // to delete: gone registrations, handed-over mail
    std::deque<ForwardJob> forwardJobs;
    std::uint64_t serial = 0;

    // Whether etcd is there: while it is not, requests are answered from
    // local names at once instead of waiting.
    std::atomic<bool> available{false};
    // When etcd's silence began, in steady-clock milliseconds; 0 while some
    // endpoint answers anything. It counts as lost only after a long silence.
    std::atomic<std::int64_t> silentSinceMillis{0};

    // Whether a TLS failure with etcd has been logged since an endpoint last
    // answered: one line for each such episode, not one per request.
    std::atomic<bool> tlsFailing{false};

    // The reconciler's own:
    std::chrono::steady_clock::time_point lastRejoin{};
    std::chrono::steady_clock::time_point retryAfter{};  // after a refused or failed write

    // The watch thread's own: mailbox keys already handed over, oldest first.
    std::unordered_set<std::string> delivered;
    std::deque<std::string> deliveredOrder;
};

std::int64_t currentLease(SharedRegistry& shared);
bool stopRequested(SharedRegistry& shared);

// Waits until millis pass or a stop is requested; false on the stop.
bool pauseUnlessStopped(SharedRegistry& shared, unsigned millis);

// etcd stopped answering: one line, and local service until it is back.
void markLost(SharedRegistry& shared);

// The bookkeeping after every request: an answer of any kind shows etcd is
// there; Unreachable marks it lost only after a silence of kLostAfterMillis;
// LeaseNotFound asks for a new lease when leaseUsed, the lease the request
// named, is this server's current one (a forward names its target's lease,
// and a late answer may name one already replaced). Returns the status.
EtcdStatus noteResult(SharedRegistry& shared, const EtcdResult& result, std::int64_t leaseUsed = 0);

// A TLS failure with etcd (tlsProblem, the endpoint and OpenSSL's reason)
// logs one line, the first of its episode; an answer from etcd ends the
// episode.
void noteTlsProblem(SharedRegistry& shared, const std::string& tlsProblem, bool answered);

// Stops the mailbox watch under way, if any, without holding the lock while
// it waits.
void stopMailboxWatch(SharedRegistry& shared);

// Grants a lease within the start-up wait and logs how the server joined.
void joinAtStart(SharedRegistry& shared);

// The reconciler's part in trouble: rejoins after an outage, and grants a
// new lease when the old one expired. Both leave every registration to be
// written again.
void recoverWhenDue(SharedRegistry& shared);

void runReconciler(SharedRegistry& shared);
void runForwarder(SharedRegistry& shared, EtcdConnection& etcd);
void runKeepAlive(SharedRegistry& shared);
void runMailboxWatch(SharedRegistry& shared);
void runMirror(SharedRegistry& shared);

// A key to delete once etcd answers; the reconciler batches them.
void queueStaleKey(SharedRegistry& shared, std::string key);

}  // namespace peerdir

#endif
