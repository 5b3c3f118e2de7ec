// etcd.h -- what the shared registry asks of etcd: a lease per server, keys
// under it, ranges in creation order, a put that holds only while another key
// is the one it was, deletes in bulk, and watches on a prefix. It speaks to
// etcd's HTTP/JSON gateway (/v3/...).
//
// Owns the HTTP connection to one of the configured endpoints, and moves on
// to the next endpoint when one does not answer. Promises: every request
// returns within the connection's request time-out, across all endpoints
// (deleteKeys makes one request per transaction); a watch returns once
// asked to stop, when its stream ends, or when its start is compacted. Every call says whether etcd
// did it, refused it (the refusals a caller acts on told apart), or could not be reached. Keys and
// values are bytes; nothing here knows what they mean. A reply, or a watch
// message, over 4 MiB or with JSON nested over 32 deep is refused unread:
// ranges that could be larger must be paged.
#ifndef PEERDIR_ETCD_ETCD_H
#define PEERDIR_ETCD_ETCD_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "etcd/etcd_codec.h"
#include "etcd/etcd_tls.h"

namespace httplib {
class ClientImpl;
}

namespace peerdir {

enum class EtcdStatus {
    Ok,             // done
    CompareFailed,  // a conditional put's guard key is gone or was re-created: nothing written
    LeaseNotFound,  // the lease expired or was revoked: grant a new one
    Compacted,      // the revision asked for was compacted away: read afresh
    Busy,           // etcd would not take it now (too many requests, or its space quota is
                    // used up: then only reads and deletes go through until an operator
                    // frees space): nothing written, try again later
    Refused,        // etcd answered with another error, or with something unreadable
    Unreachable,    // no endpoint answered within the request time-out
};

const char* etcdStatusName(EtcdStatus status);

struct EtcdResult {
    EtcdStatus status = EtcdStatus::Ok;
    // One line for a log: the endpoint and etcd's message, or why none
    // answered.
    std::string detail;
    // Some endpoint sent an answer of any kind, an error or "no leader"
    // included: etcd is there even when it could not do the request.
    bool answered = false;
    // When no endpoint answered and TLS was why on one of them: that
    // endpoint and OpenSSL's reason, for a log line.
    std::string tlsProblem = "";
};

// The way to etcd. Fill in endpoints (and the time-outs if the defaults do
// not suit) before the first call and leave them be after. Requests through
// one connection take turns on its one HTTP connection: threads may share
// it, and time spent waiting for another's request counts against a call's
// time-out. A thread that must not wait behind others (the lease's
// keep-alive) is better given a connection of its own.
struct EtcdConnection {
    std::vector<EtcdEndpoint> endpoints;
    unsigned requestTimeoutMillis = 2000;  // one request, every endpoint tried
    // A watch's stream may stay quiet this long before it counts as broken;
    // the caller then resumes it.
    unsigned watchIdleMillis = 60000;

    // For https endpoints: what etcd's certificate must chain to, and this
    // server's client certificate. Null: the system's trust store, none.
    std::shared_ptr<const EtcdTls> tls;

    std::atomic<std::size_t> current{0};        // where the next request goes first
    std::timed_mutex lock;                      // held for the whole of each request
    std::unique_ptr<httplib::ClientImpl> http;  // to endpoints[current], kept open

    EtcdConnection();
    ~EtcdConnection();
};

// --- Leases ---------------------------------------------------------------

struct EtcdLease {
    std::int64_t id = 0;
    std::int64_t ttlSeconds = 0;  // as granted: etcd raises a TTL under its minimum (2 s)
};

EtcdResult grantLease(EtcdConnection& etcd, std::int64_t ttlSeconds, EtcdLease* lease);
// Renews the lease once. ttlLeft gets the TTL it now has; LeaseNotFound (and
// ttlLeft 0) when it has expired or was revoked.
EtcdResult keepLeaseAlive(EtcdConnection& etcd, std::int64_t leaseId, std::int64_t* ttlLeft);
// Every key under the lease goes with it. LeaseNotFound when it had gone.
EtcdResult revokeLease(EtcdConnection& etcd, std::int64_t leaseId);

// --- Keys -----------------------------------------------------------------

struct EtcdKeyValue {
    std::string key;
    std::string value;  // empty in a keys-only range and in a delete event
    std::int64_t createRevision = 0;
    std::int64_t modRevision = 0;
    std::int64_t version = 0;  // 1 after the put that created it
    std::int64_t lease = 0;    // 0: none
};

// Puts value at key, under leaseId unless it is 0. revision (may be null)
// gets the revision of the put. LeaseNotFound when the lease has gone.
EtcdResult putKey(EtcdConnection& etcd, const std::string& key, const std::string& value,
                  std::int64_t leaseId, std::int64_t* revision);

// found tells whether key exists; kv gets it when it does.
EtcdResult getKey(EtcdConnection& etcd, const std::string& key, bool* found, EtcdKeyValue* kv);

// A range over the keys that start with prefix, always in creation order
// (create revision ascending: the order of registration).
struct EtcdRangeQuery {
    std::string prefix;
    std::string after;       // rangeByKey only: keys after this one; empty: from the first
    std::int64_t limit = 0;  // at most this many keys; 0: all
    std::int64_t minCreateRevision = 0;  // only keys created at or after it; 0: any
    std::int64_t revision = 0;           // read the store as it was then; 0: now
    bool keysOnly = false;               // leave the values out
};

struct EtcdRange {
    std::vector<EtcdKeyValue> kvs;
    std::int64_t revision = 0;  // the revision the range was read at (the query's, if pinned)
    bool more = false;          // the limit held keys back
};

// Compacted when query.revision has been compacted away.
EtcdResult rangeByCreation(EtcdConnection& etcd, const EtcdRangeQuery& query, EtcdRange* range);

// The query for the page after page: pinned to the revision page was read
// at, so keys put or deleted meanwhile neither show up nor drop out, and
// starting after page's last key. Meaningful only while page.more is true.
EtcdRangeQuery nextPageQuery(const EtcdRangeQuery& query, const EtcdRange& page);

// The same range in key order, which etcd serves without sorting: the way to
// read a large prefix page by page. Keys written in one transaction share a
// create revision, so pages by create revision could split them.
// minCreateRevision is ignored.
EtcdResult rangeByKey(EtcdConnection& etcd, const EtcdRangeQuery& query, EtcdRange* range);

// The key-order page after page, at the revision page was read at.
EtcdRangeQuery nextKeyPageQuery(const EtcdRangeQuery& query, const EtcdRange& page);

// deleted (may be null) gets 1 when the key was there, else 0.
EtcdResult deleteKey(EtcdConnection& etcd, const std::string& key, std::int64_t* deleted);

// etcd's limit on the operations in one transaction (its default
// --max-txn-ops).
constexpr std::size_t kEtcdMaxTxnOps = 128;

// Deletes every key in keys, kEtcdMaxTxnOps to a transaction, in order,
// each transaction a request with a time-out of its own.
// done (may be null) gets how many of keys are known deleted: all of them on
// Ok, those of the transactions that went through before a failure.
EtcdResult deleteKeys(EtcdConnection& etcd, const std::vector<std::string>& keys,
                      std::size_t* done);

struct EtcdPut {
    std::string key;
    std::string value;
    std::int64_t lease = 0;  // 0: none
};

// Puts every one of puts (at most kEtcdMaxTxnOps) in one transaction: all
// of them or none. Keys it creates share one create revision, which revision
// (may be null) gets. LeaseNotFound when a lease has gone, Busy when etcd
// would not take it now; on Unreachable the puts may or may not have landed.
EtcdResult putKeysTogether(EtcdConnection& etcd, const std::vector<EtcdPut>& puts,
                           std::int64_t* revision);

// In one transaction: if guardKey exists and was created at
// guardCreateRevision, puts value at key under leaseId (0: none). Ok when it
// did; CompareFailed when guardKey has gone or was created anew, and nothing
// was written; LeaseNotFound when leaseId has gone. revision (may be null)
// gets the revision of the put.
EtcdResult putIfCreatedAt(EtcdConnection& etcd, const std::string& guardKey,
                          std::int64_t guardCreateRevision, const std::string& key,
                          const std::string& value, std::int64_t leaseId, std::int64_t* revision);

// --- Watches ----------------------------------------------------------------

struct EtcdWatchEvent {
    bool deleted = false;  // a delete (or expiry) rather than a put
    EtcdKeyValue kv;       // after a delete: the key and the revision of the delete only
};

// Lets another thread stop a watch. Once stopped it stays stopped: every
// watch given it returns Stopped, so a loop that resumes watches ends too.
struct EtcdWatchStop {
    std::mutex lock;
    bool requested = false;
    httplib::ClientImpl* stream = nullptr;  // the watch's own connection while it is open
};

// Safe from any thread, the watch's callback included; the watch returns
// promptly, even from an idle stream. May wait for a connection being made
// (at most the request time-out).
void stopWatch(EtcdWatchStop& stop);

enum class WatchEnd {
    Stopped,    // stopWatch was called
    Broken,     // no endpoint answered, the stream broke, its member lost the leader,
                // or it was idle for watchIdleMillis
    Compacted,  // the revision to watch from is compacted: read afresh, then watch on
    Busy,       // etcd would not watch now (too many requests): resume later
    Refused,    // etcd would not watch, or sent something unreadable or too large (detail says)
};

struct EtcdWatchResult {
    WatchEnd end = WatchEnd::Broken;
    // Where to resume: one after the last revision whose events were all
    // delivered (the start revision when none were).
    std::int64_t nextRevision = 0;
    std::int64_t compactRevision = 0;  // with Compacted: the oldest revision still kept
    std::string detail;
    bool answered = false;        // some endpoint sent an HTTP answer, as in EtcdResult
    std::string tlsProblem = "";  // as in EtcdResult
};

// Watches the keys starting with prefix from startRevision (0: from now) and
// calls onEvent, on this thread, for each put and delete in revision order.
// Opens a connection of its own (the next endpoint after one that does not
// answer). Returns only as WatchEnd says; resume with nextRevision.
EtcdWatchResult watchPrefix(EtcdConnection& etcd, const std::string& prefix,
                            std::int64_t startRevision, EtcdWatchStop& stop,
                            const std::function<void(const EtcdWatchEvent&)>& onEvent);

}  // namespace peerdir

#endif
