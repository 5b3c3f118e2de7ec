// etcd_http.h -- inside the etcd room: one JSON request to the gateway with
// failover over the endpoints, the reading of its answers, and the reading
// of key-value records. Not for callers outside src/etcd/.
#ifndef PEERDIR_ETCD_ETCD_HTTP_H
#define PEERDIR_ETCD_ETCD_HTTP_H

#include <httplib.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "etcd/etcd.h"
#include "etcd/etcd_tls.h"

namespace peerdir {
namespace etcd_detail {

using Clock = std::chrono::steady_clock;
using Json = nlohmann::json;

// The most a reply (or one watch message) may hold, and how deeply its JSON
// may nest: our replies need about six levels. Anything beyond is refused
// before it is parsed, so a broken or hostile endpoint can neither make us
// hold a huge body nor build a tree deep enough to exhaust the stack when it
// is copied or printed.
constexpr std::size_t kMaxReplyBytes = 4u << 20;
constexpr int kMaxReplyDepth = 32;

// Posts body to path, starting at etcd.current and moving on to the next
// endpoint while one does not answer, each given a share of what is left of
// the request time-out, which starts before the wait for etcd.lock. On Ok,
// reply holds etcd's answer.
EtcdResult postJson(EtcdConnection& etcd, const char* path, const Json& body, Json* reply);

// A client for endpoint with Nagle's algorithm off (a put waits 40 ms for a
// delayed acknowledgement otherwise) and every time-out set to budget. An
// https endpoint gets a TLS client, whatever tls holds (null: the system's
// trust store, no client certificate): never a clear-text one.
std::unique_ptr<httplib::ClientImpl> makeClient(const EtcdEndpoint& endpoint, const EtcdTls* tls,
                                                Clock::duration budget);

// The TLS client for an https endpoint (etcd_tls.cpp).
std::unique_ptr<httplib::ClientImpl> makeTlsClient(const EtcdEndpoint& endpoint,
                                                   const EtcdTls* tls);

// OpenSSL's reason for the last TLS failure on this thread ("" when there
// was none), for a request that got no answer. Cleared before each request.
void clearTlsFailure();
std::string takeTlsFailure();

// Marks a request as wanting a member that has a leader. The gateway passes
// the header on as gRPC metadata; a member cut off from its cluster then
// answers "no leader" at once, and ends a watch stream it serves, instead of
// holding requests until they time out and watches silent for ever.
void requireLeader(httplib::Request& request);

// etcd's error answer (either of the gateway's two shapes) as a result.
// Unavailable (no leader, a timed-out proposal) comes back as Unreachable:
// another member may do better. ResourceExhausted (too many requests, space
// used up) comes back as Busy, but for gRPC's refusal of a message over its
// size limit, which no retry cures.
EtcdResult errorResult(const Json& error, const std::string& where);

// The answer for an HTTP status that came without a JSON error: Busy for
// 429 (too many requests), else Refused. body may show in the detail.
EtcdResult statusResult(int httpStatus, const std::string& body, const std::string& where);

// Why text must not be parsed, in a few words ("larger than the limit of
// 4 MiB"), or "" when it is within kMaxReplyBytes and kMaxReplyDepth.
std::string overLimits(const std::string& text);
std::string tooLargeProblem();

// An int64 field; the gateway writes them as strings. 0 when absent.
bool readInt64(const Json& object, const char* name, std::int64_t* value);

// A boolean field; the gateway leaves false ones out.
bool readFlag(const Json& object, const char* name);

// A key-value as the gateway writes it (base64 key and value).
bool readKeyValue(const Json& object, EtcdKeyValue* kv);

std::string int64Text(std::int64_t value);

// The first key of a prefix's range: etcd takes no empty key, and "\0" up
// to "\0" is every key.
std::string rangeStartKey(const std::string& prefix);

EtcdResult refused(const std::string& detail);

}  // namespace etcd_detail
}  // namespace peerdir

#endif
