// shared_state.h -- the shared registry's state and its threads, for the
// room's own files.
//
// Four threads talk to etcd, each over an HTTP connection of its own, so a
// server holds four connections however many clients it serves:
//   - the registry thread carries out the client managers' jobs in the order
//     they came, and rejoins etcd after trouble;
//   - the keep-alive thread renews the lease at a third of its TTL;
//   - the watch thread takes requests from this server's mailbox and hands
//     them to its clients;
//   - the mirror thread keeps the mirror of every registration current, from
//     which lists, counts and lookups are answered.
// The client managers only queue jobs and wait for answers, never on etcd
// itself.
#ifndef PEERDIR_SHARED_SHARED_STATE_H
#define PEERDIR_SHARED_SHARED_STATE_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include "etcd/etcd.h"
#include "protocol/message.h"
#include "shared/shared_mirror.h"
#include "shared/shared_registry.h"

namespace peerdir {

// One client manager's wait for an answer. Whoever gives up first (the
// waiter, after kSharedAnswerMillis) marks it abandoned, so a forward the
// waiter has already answered locally is not also sent elsewhere.
struct SharedAnswer {
    std::mutex lock;
    std::condition_variable ready;
    bool done = false;
    bool abandoned = false;
    SharedForward forward = SharedForward::Unavailable;
    ConnectionId holder = 0;
    bool answered = false;  // a list or a count came from etcd
    std::vector<std::string> names;
    std::size_t count = 0;
};

enum class JobKind { Register, Unregister, Forward, List, Count, DeleteMailbox };

struct SharedJob {
    JobKind kind = JobKind::Register;
    ConnectionId connection = 0;
    std::string text;  // the name, or the mailbox key to delete
    std::uint8_t payload[kConnectPayloadSize] = {};
    std::shared_ptr<SharedAnswer> answer;
};

struct SharedRegistry {
    SharedRegistryOptions options;
    DeliverRequest deliver = nullptr;
    void* target = nullptr;
    std::string server;  // tells this run's keys from every other server's

    EtcdConnection requests;  // the registry thread's
    EtcdConnection renewals;  // the keep-alive thread's
    EtcdConnection mailbox;   // the watch thread's
    EtcdConnection names;     // the mirror thread's
    std::thread registryThread;
    std::thread keepAliveThread;
    std::thread watchThread;
    std::thread mirrorThread;

    SharedMirror mirror;
    EtcdWatchStop mirrorStop;  // the mirror's watches, stopped once for good

    // Guarded by lock:
    std::mutex lock;
    std::condition_variable changed;
    std::deque<SharedJob> jobs;
    bool stopping = false;
    bool leaseLost = false;  // the keep-alive found the lease gone
    std::int64_t lease = 0;  // 0 until one is granted
    std::int64_t ttlSeconds = 0;
    std::unique_ptr<EtcdWatchStop> watchStop;  // the watch under way, if any

    // Whether etcd answers: while it does not, requests are answered from
    // local names at once instead of waiting.
    std::atomic<bool> available{false};

    // The registry thread's own:
    std::vector<LocalRegistration> local;
    std::unordered_set<std::string> localKeys;  // the keys of local
    std::vector<std::string> staleKeys;         // to delete once etcd answers again
    std::uint64_t serial = 0;
    std::chrono::steady_clock::time_point lastRejoin{};

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

// After an EtcdStatus::Unreachable, LeaseNotFound or Ok: the bookkeeping
// every caller does. Returns the status.
EtcdStatus noteResult(SharedRegistry& shared, const EtcdResult& result);

// Grants a lease within the start-up wait and logs how the server joined.
void joinAtStart(SharedRegistry& shared);

// The registry thread's part in trouble: rejoins after an outage, and
// grants a new lease when the old one expired. Both write the local
// registrations etcd lacks.
void recoverWhenDue(SharedRegistry& shared);

// Writes every local registration that etcd lacks under the current lease;
// false when etcd stopped answering.
bool writeLocalRegistrations(SharedRegistry& shared);

void queueJob(SharedRegistry& shared, SharedJob job);

void runKeepAlive(SharedRegistry& shared);
void runMailboxWatch(SharedRegistry& shared);
void runMirror(SharedRegistry& shared);

}  // namespace peerdir

#endif
