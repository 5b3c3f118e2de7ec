// etcd.cpp -- leases, keys, ranges and transactions over the gateway.
#include "etcd/etcd.h"

#include <algorithm>

#include "etcd/etcd_http.h"

namespace peerdir {

using etcd_detail::int64Text;
using etcd_detail::Json;
using etcd_detail::postJson;
using etcd_detail::rangeStartKey;
using etcd_detail::readFlag;
using etcd_detail::readInt64;
using etcd_detail::readKeyValue;
using etcd_detail::refused;

namespace {

// A failure read from an answer etcd did send, so the result says it
// answered.
EtcdResult answeredWith(EtcdStatus status, const std::string& detail) {
    return {status, detail, true};
}

EtcdResult unreadable(const char* what) {
    return answeredWith(EtcdStatus::Refused,
                        std::string("etcd sent an unreadable ") + what + " reply");
}

bool readHeaderRevision(const Json& reply, std::int64_t* revision) {
    auto header = reply.find("header");
    if (header == reply.end()) return false;
    return readInt64(*header, "revision", revision) && *revision > 0;
}

Json putOperation(const std::string& key, const std::string& value, std::int64_t leaseId) {
    Json put = {{"key", base64Encode(key)}, {"value", base64Encode(value)}};
    if (leaseId != 0) put["lease"] = int64Text(leaseId);
    return put;
}

bool readKeyValues(const Json& reply, std::vector<EtcdKeyValue>* kvs) {
    auto found = reply.find("kvs");
    if (found == reply.end()) return true;
    if (!found->is_array()) return false;
    for (const Json& item : *found) {
        EtcdKeyValue kv;
        if (!readKeyValue(item, &kv)) return false;
        kvs->push_back(kv);
    }
    return true;
}

}  // namespace

EtcdConnection::EtcdConnection() = default;
EtcdConnection::~EtcdConnection() = default;

const char* etcdStatusName(EtcdStatus status) {
    // In the order of EtcdStatus.
    static const char* const kNames[] = {"Ok",   "CompareFailed", "LeaseNotFound", "Compacted",
                                         "Busy", "Refused",       "Unreachable"};
    auto index = static_cast<std::size_t>(status);
    return index < sizeof kNames / sizeof kNames[0] ? kNames[index] : "?";
}

EtcdResult grantLease(EtcdConnection& etcd, std::int64_t ttlSeconds, EtcdLease* lease) {
    if (ttlSeconds <= 0)
        return refused("a lease needs a positive TTL, not " + int64Text(ttlSeconds));
    Json reply;
    EtcdResult result = postJson(etcd, "/v3/lease/grant", {{"TTL", int64Text(ttlSeconds)}}, &reply);
    if (result.status != EtcdStatus::Ok) return result;
    auto error = reply.find("error");
    if (error != reply.end() && error->is_string() && !error->get<std::string>().empty()) {
        return answeredWith(EtcdStatus::Refused,
                            "etcd granted no lease: " + error->get<std::string>());
    }
    EtcdLease granted;
    if (!readInt64(reply, "ID", &granted.id) || !readInt64(reply, "TTL", &granted.ttlSeconds) ||
        granted.id == 0) {
        return unreadable("lease grant");
    }
    *lease = granted;
    return result;
}

EtcdResult keepLeaseAlive(EtcdConnection& etcd, std::int64_t leaseId, std::int64_t* ttlLeft) {
    *ttlLeft = 0;
    Json reply;
    EtcdResult result = postJson(etcd, "/v3/lease/keepalive", {{"ID", int64Text(leaseId)}}, &reply);
    if (result.status != EtcdStatus::Ok) return result;
    std::int64_t ttl = 0;
    if (!readInt64(reply, "TTL", &ttl)) return unreadable("keep-alive");
    // etcd answers a lease it no longer has with no TTL rather than an error.
    if (ttl <= 0) {
        return answeredWith(EtcdStatus::LeaseNotFound,
                            "lease " + int64Text(leaseId) + " has expired");
    }
    *ttlLeft = ttl;
    return result;
}

EtcdResult revokeLease(EtcdConnection& etcd, std::int64_t leaseId) {
    Json reply;
    return postJson(etcd, "/v3/lease/revoke", {{"ID", int64Text(leaseId)}}, &reply);
}

EtcdResult putKey(EtcdConnection& etcd, const std::string& key, const std::string& value,
                  std::int64_t leaseId, std::int64_t* revision) {
    Json reply;
    EtcdResult result = postJson(etcd, "/v3/kv/put", putOperation(key, value, leaseId), &reply);
    if (result.status != EtcdStatus::Ok) return result;
    std::int64_t putAt = 0;
    if (!readHeaderRevision(reply, &putAt)) return unreadable("put");
    if (revision != nullptr) *revision = putAt;
    return result;
}

EtcdResult getKey(EtcdConnection& etcd, const std::string& key, bool* found, EtcdKeyValue* kv) {
    *found = false;
    Json reply;
    EtcdResult result = postJson(etcd, "/v3/kv/range", {{"key", base64Encode(key)}}, &reply);
    if (result.status != EtcdStatus::Ok) return result;
    std::vector<EtcdKeyValue> kvs;
    if (!readKeyValues(reply, &kvs) || kvs.size() > 1) return unreadable("range");
    if (!kvs.empty()) *kv = kvs.front();
    *found = !kvs.empty();
    return result;
}

namespace {

// What every range asks: keys from start to the prefix's end, and the
// query's limit, pinned revision and keys-only choice.
Json rangeRequest(const std::string& start, const EtcdRangeQuery& query) {
    Json request = {{"key", base64Encode(start)},
                    {"range_end", base64Encode(prefixRangeEnd(query.prefix))},
                    {"keys_only", query.keysOnly}};
    if (query.limit > 0) request["limit"] = int64Text(query.limit);
    if (query.revision > 0) request["revision"] = int64Text(query.revision);
    return request;
}

EtcdResult postRange(EtcdConnection& etcd, const Json& request, const EtcdRangeQuery& query,
                     EtcdRange* range) {
    Json reply;
    EtcdResult result = postJson(etcd, "/v3/kv/range", request, &reply);
    if (result.status != EtcdStatus::Ok) return result;
    EtcdRange read;
    if (!readKeyValues(reply, &read.kvs) || !readHeaderRevision(reply, &read.revision)) {
        return unreadable("range");
    }
    // etcd's header gives the newest revision even when an older one was
    // read; the pages after this one must stay at the one read.
    if (query.revision > 0) read.revision = query.revision;
    read.more = readFlag(reply, "more");
    *range = read;
    return result;
}

}  // namespace

EtcdResult rangeByCreation(EtcdConnection& etcd, const EtcdRangeQuery& query, EtcdRange* range) {
    Json request = rangeRequest(rangeStartKey(query.prefix), query);
    request["sort_order"] = "ASCEND";
    request["sort_target"] = "CREATE";
    if (query.minCreateRevision > 0) {
        request["min_create_revision"] = int64Text(query.minCreateRevision);
    }
    return postRange(etcd, request, query, range);
}

EtcdResult rangeByKey(EtcdConnection& etcd, const EtcdRangeQuery& query, EtcdRange* range) {
    const std::string start =
        query.after.empty() ? rangeStartKey(query.prefix) : query.after + '\0';
    return postRange(etcd, rangeRequest(start, query), query, range);
}

EtcdRangeQuery nextKeyPageQuery(const EtcdRangeQuery& query, const EtcdRange& page) {
    EtcdRangeQuery next = query;
    next.revision = page.revision;
    if (!page.kvs.empty()) next.after = page.kvs.back().key;
    return next;
}

EtcdRangeQuery nextPageQuery(const EtcdRangeQuery& query, const EtcdRange& page) {
    EtcdRangeQuery next = query;
    next.revision = page.revision;
    if (!page.kvs.empty()) next.minCreateRevision = page.kvs.back().createRevision + 1;
    return next;
}

EtcdResult deleteKey(EtcdConnection& etcd, const std::string& key, std::int64_t* deleted) {
    Json reply;
    EtcdResult result = postJson(etcd, "/v3/kv/deleterange", {{"key", base64Encode(key)}}, &reply);
    if (result.status != EtcdStatus::Ok) return result;
    std::int64_t count = 0;
    if (!readInt64(reply, "deleted", &count)) return unreadable("delete");
    if (deleted != nullptr) *deleted = count;
    return result;
}

EtcdResult deleteKeys(EtcdConnection& etcd, const std::vector<std::string>& keys,
                      std::size_t* done) {
    std::size_t deleted = 0;
    EtcdResult result;
    while (deleted < keys.size() && result.status == EtcdStatus::Ok) {
        std::size_t batch = std::min(kEtcdMaxTxnOps, keys.size() - deleted);
        Json operations = Json::array();
        for (std::size_t i = deleted; i < deleted + batch; ++i) {
            operations.push_back({{"request_delete_range", {{"key", base64Encode(keys[i])}}}});
        }
        Json reply;
        result = postJson(etcd, "/v3/kv/txn", {{"success", operations}}, &reply);
        if (result.status == EtcdStatus::Ok) deleted += batch;
    }
    if (done != nullptr) *done = deleted;
    return result;
}

EtcdResult putKeysTogether(EtcdConnection& etcd, const std::vector<EtcdPut>& puts,
                           std::int64_t* revision) {
    if (puts.empty() || puts.size() > kEtcdMaxTxnOps) {
        return refused("a transaction takes 1 to " + std::to_string(kEtcdMaxTxnOps) +
                       " puts, not " + std::to_string(puts.size()));
    }
    Json operations = Json::array();
    for (const EtcdPut& put : puts) {
        operations.push_back({{"request_put", putOperation(put.key, put.value, put.lease)}});
    }
    Json reply;
    EtcdResult result = postJson(etcd, "/v3/kv/txn", {{"success", operations}}, &reply);
    if (result.status != EtcdStatus::Ok) return result;
    std::int64_t putAt = 0;
    if (!readHeaderRevision(reply, &putAt)) return unreadable("transaction");
    if (revision != nullptr) *revision = putAt;
    return result;
}

EtcdResult putIfCreatedAt(EtcdConnection& etcd, const std::string& guardKey,
                          std::int64_t guardCreateRevision, const std::string& key,
                          const std::string& value, std::int64_t leaseId, std::int64_t* revision) {
    // etcd reads create revision 0 as "the key does not exist", which would
    // turn the guard around.
    if (guardCreateRevision <= 0) {
        return refused("a guard's create revision must be positive, not " +
                       int64Text(guardCreateRevision));
    }
    Json compare = {{"key", base64Encode(guardKey)},
                    {"target", "CREATE"},
                    {"result", "EQUAL"},
                    {"create_revision", int64Text(guardCreateRevision)}};
    Json success = Json::array();
    success.push_back({{"request_put", putOperation(key, value, leaseId)}});
    Json request = {{"compare", Json::array({compare})}, {"success", success}};
    Json reply;
    EtcdResult result = postJson(etcd, "/v3/kv/txn", request, &reply);
    if (result.status != EtcdStatus::Ok) return result;
    std::int64_t putAt = 0;
    if (!readHeaderRevision(reply, &putAt)) return unreadable("transaction");
    if (!readFlag(reply, "succeeded")) {
        return answeredWith(EtcdStatus::CompareFailed, "the guard key is gone or was created anew");
    }
    if (revision != nullptr) *revision = putAt;
    return result;
}

}  // namespace peerdir
