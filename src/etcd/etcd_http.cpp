// etcd_http.cpp -- one JSON request to etcd's gateway, with failover, and the
// reading of what comes back.
#include "etcd/etcd_http.h"

#include <algorithm>
#include <charconv>
#include <cstddef>
#include <limits>
#include <system_error>
#include <thread>
#include <utility>

#include "metrics/counters.h"
#include "platform/timed_lock.h"

namespace peerdir {
namespace etcd_detail {

namespace {

// Between rounds over every endpoint, when none answered.
constexpr auto kRoundPause = std::chrono::milliseconds(50);

// gRPC status codes the gateway passes on.
constexpr int kCodeNotFound = 5;
constexpr int kCodeResourceExhausted = 8;
constexpr int kCodeOutOfRange = 11;
constexpr int kCodeUnavailable = 14;

constexpr int kHttpTooManyRequests = 429;

// What one request to one endpoint brought back.
struct Exchange {
    bool answered = false;  // a status line and headers came
    int status = 0;
    bool trailers = false;  // the answer announced HTTP trailers
    bool tooLarge = false;  // the body would pass kMaxReplyBytes: the rest was not read
    std::string body;
    httplib::Error error = httplib::Error::Success;
};

void setTimeouts(httplib::ClientImpl& http, Clock::duration budget) {
    auto micros = std::chrono::duration_cast<std::chrono::microseconds>(budget).count();
    if (micros < 1000) micros = 1000;
    time_t sec = static_cast<time_t>(micros / 1000000);
    time_t usec = static_cast<time_t>(micros % 1000000);
    http.set_connection_timeout(sec, usec);
    http.set_read_timeout(sec, usec);
    http.set_write_timeout(sec, usec);
}

Exchange exchange(httplib::ClientImpl& http, const char* path, const std::string& body) {
    Exchange result;
    httplib::Request request;
    request.method = "POST";
    request.path = path;
    request.body = body;
    request.set_header("Content-Type", "application/json");
    requireLeader(request);
    request.response_handler = [&result](const httplib::Response& response) {
        result.answered = true;
        result.status = response.status;
        result.trailers = response.has_header("Trailer");
        // Announced too large: not a byte of it is read.
        result.tooLarge =
            response.get_header_value<std::uint64_t>("Content-Length") > kMaxReplyBytes;
        return !result.tooLarge;
    };
    request.content_receiver = [&result](const char* data, std::size_t length, std::uint64_t,
                                         std::uint64_t) {
        result.tooLarge = result.body.size() + length > kMaxReplyBytes;
        if (!result.tooLarge) result.body.append(data, length);
        return !result.tooLarge;
    };
    result.error = http.send(request).error();
    return result;
}

const Json* member(const Json& object, const char* name) {
    if (!object.is_object()) return nullptr;
    auto found = object.find(name);
    return found == object.end() ? nullptr : &*found;
}

// The start of text as one printable line, for a detail.
std::string firstLine(const std::string& text) {
    std::string line;
    for (char c : text.substr(0, text.find('\n'))) line.push_back(c >= 0x20 && c < 0x7f ? c : '?');
    return line.size() > 200 ? line.substr(0, 200) + "..." : line;
}

// Reads what an endpoint that answered sent. The gateway's error answers end
// with HTTP trailers, which this httplib cannot read: it reports a read error
// after the whole body has come. Such a body is taken as the answer.
EtcdResult readAnswer(const Exchange& sent, const std::string& where, Json* reply) {
    std::string problem = sent.tooLarge ? tooLargeProblem() : overLimits(sent.body);
    if (!problem.empty()) return refused(where + ": reply " + problem);
    Json parsed = Json::parse(sent.body, nullptr, false);
    bool whole = sent.error == httplib::Error::Success || (sent.trailers && !parsed.is_discarded());
    if (!whole) return {EtcdStatus::Unreachable, where + ": " + httplib::to_string(sent.error)};
    if (parsed.is_discarded() || !parsed.is_object()) {
        return statusResult(sent.status, sent.body, where);
    }
    if (member(parsed, "error") != nullptr) return errorResult(parsed, where);
    if (sent.status != 200) return statusResult(sent.status, "", where);
    // Streamed calls wrap each answer in "result".
    const Json* wrapped = member(parsed, "result");
    *reply = wrapped != nullptr ? *wrapped : parsed;
    return {};
}

// No answer came from endpoint: on a TLS one, OpenSSL may say why.
EtcdResult unanswered(const EtcdEndpoint& endpoint, const std::string& detail) {
    EtcdResult result{EtcdStatus::Unreachable, detail};
    const std::string reason = endpoint.tls ? takeTlsFailure() : "";
    if (!reason.empty()) {
        result.detail += ": " + reason;
        result.tlsProblem = endpointText(endpoint) + ": " + reason;
    }
    return result;
}

EtcdResult attempt(EtcdConnection& etcd, const char* path, const std::string& body,
                   Clock::duration budget, Json* reply) {
    const EtcdEndpoint& endpoint = etcd.endpoints[etcd.current];
    if (!etcd.http) etcd.http = makeClient(endpoint, etcd.tls.get(), budget);
    setTimeouts(*etcd.http, budget);
    clearTlsFailure();
    Exchange sent = exchange(*etcd.http, path, body);
    std::string where = endpointText(endpoint);
    if (!sent.answered) return unanswered(endpoint, where + ": " + httplib::to_string(sent.error));
    EtcdResult result = readAnswer(sent, where, reply);
    result.answered = true;
    return result;
}

}  // namespace

std::unique_ptr<httplib::ClientImpl> makeClient(const EtcdEndpoint& endpoint, const EtcdTls* tls,
                                                Clock::duration budget) {
    std::unique_ptr<httplib::ClientImpl> http =
        endpoint.tls ? makeTlsClient(endpoint, tls)
                     : std::make_unique<httplib::ClientImpl>(endpoint.host, endpoint.port);
    http->set_tcp_nodelay(true);
    http->set_keep_alive(true);
    setTimeouts(*http, budget);
    return http;
}

EtcdResult postJson(EtcdConnection& etcd, const char* path, const Json& body, Json* reply) {
    // Timed as the caller waits for it, on every path out.
    struct Timed {
        Clock::time_point start = Clock::now();
        ~Timed() {
            observeEtcdRequest(std::chrono::duration<double>(Clock::now() - start).count());
        }
    } timed;
    const Clock::time_point deadline =
        Clock::now() + std::chrono::milliseconds(etcd.requestTimeoutMillis);
    const std::size_t count = etcd.endpoints.size();
    if (count == 0) return refused("no etcd endpoints configured");
    // Not unique_lock's own timed constructor: ThreadSanitizer would not
    // see that lock taken (see lockBefore).
    if (!lockBefore(etcd.lock, deadline)) {
        return {EtcdStatus::Unreachable, "other requests held the etcd connection for the whole " +
                                             std::to_string(etcd.requestTimeoutMillis) + " ms"};
    }
    std::unique_lock<std::timed_mutex> turn(etcd.lock, std::adopt_lock);
    const std::string text = body.dump();
    std::string failures;
    std::string tlsProblem;
    bool answered = false;
    // Round after round until the time is up, each endpoint given an even
    // share of the time left in its round, so one that hangs cannot use up
    // the time the others need. A cluster electing a leader answers "no
    // leader" at once for a second or two; trying again shortly rides that
    // out instead of failing the request.
    for (std::size_t tried = 0; Clock::now() < deadline; ++tried) {
        if (tried > 0 && tried % count == 0) {
            std::this_thread::sleep_for(
                std::min<Clock::duration>(kRoundPause, deadline - Clock::now()));
            if (Clock::now() >= deadline) break;
        }
        if (etcd.current >= count) etcd.current = 0;
        Clock::duration share = (deadline - Clock::now()) / (count - tried % count);
        EtcdResult result = attempt(etcd, path, text, share, reply);
        answered = answered || result.answered;
        result.answered = answered;
        if (result.status != EtcdStatus::Unreachable) return result;
        failures += (failures.empty() ? "" : "; ") + result.detail;
        if (!result.tlsProblem.empty()) tlsProblem = result.tlsProblem;
        etcd.http.reset();
        etcd.current = (etcd.current + 1) % count;
    }
    return {EtcdStatus::Unreachable,
            "no etcd endpoint answered within " + std::to_string(etcd.requestTimeoutMillis) +
                " ms (" + failures + ")",
            answered, tlsProblem};
}

void requireLeader(httplib::Request& request) {
    request.set_header("Grpc-Metadata-hasleader", "true");
}

EtcdResult errorResult(const Json& error, const std::string& where) {
    // Unary calls: {"error": "...", "message": "...", "code": 5}. Streamed
    // calls: {"error": {"grpc_code": 5, "message": "...", ...}}.
    const Json* inner = member(error, "error");
    const Json& holder = inner != nullptr && inner->is_object() ? *inner : error;
    const Json* code =
        member(holder, inner != nullptr && inner->is_object() ? "grpc_code" : "code");
    const Json* message = member(holder, "message");
    int grpcCode = code != nullptr && code->is_number_integer() ? code->get<int>() : -1;
    std::string text = message != nullptr && message->is_string() ? message->get<std::string>()
                                                                  : firstLine(error.dump());
    EtcdResult result{EtcdStatus::Refused, where + ": " + text};
    if (grpcCode == kCodeNotFound && text.find("lease not found") != std::string::npos) {
        result.status = EtcdStatus::LeaseNotFound;
    } else if (grpcCode == kCodeOutOfRange && text.find("compacted") != std::string::npos) {
        result.status = EtcdStatus::Compacted;
    } else if (grpcCode == kCodeUnavailable) {
        result.status = EtcdStatus::Unreachable;
    } else if (grpcCode == kCodeResourceExhausted &&
               text.find("larger than max") == std::string::npos) {
        // "etcdserver: too many requests", "etcdserver: mvcc: database
        // space exceeded". gRPC says "received message larger than max"
        // with the same code for a request over etcd's size limit: that
        // one would never go through.
        result.status = EtcdStatus::Busy;
    }
    return result;
}

EtcdResult statusResult(int httpStatus, const std::string& body, const std::string& where) {
    std::string detail = where + ": HTTP " + std::to_string(httpStatus);
    if (!body.empty()) detail += ": " + firstLine(body);
    return {httpStatus == kHttpTooManyRequests ? EtcdStatus::Busy : EtcdStatus::Refused, detail};
}

std::string tooLargeProblem() {
    return "larger than the limit of " + std::to_string(kMaxReplyBytes >> 20) + " MiB";
}

std::string overLimits(const std::string& text) {
    if (text.size() > kMaxReplyBytes) return tooLargeProblem();
    // Brackets inside strings do not nest; a quote after a backslash does
    // not end the string. Malformed text is left for the parser to refuse.
    int depth = 0;
    bool inString = false;
    bool escaped = false;
    for (char c : text) {
        if (inString) {
            if (escaped) {
                escaped = false;
            } else if (c == '\\') {
                escaped = true;
            } else if (c == '"') {
                inString = false;
            }
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > kMaxReplyDepth) {
                return "nested deeper than the limit of " + std::to_string(kMaxReplyDepth) +
                       " levels";
            }
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
    return "";
}

bool readInt64(const Json& object, const char* name, std::int64_t* value) {
    const Json* field = member(object, name);
    *value = 0;
    if (field == nullptr) return true;
    if (field->is_number_integer()) {
        if (field->is_number_unsigned() &&
            field->get<std::uint64_t>() >
                static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
            return false;
        }
        *value = field->get<std::int64_t>();
        return true;
    }
    if (!field->is_string()) return false;
    const std::string& text = field->get_ref<const std::string&>();
    const char* end = text.data() + text.size();
    std::from_chars_result parsed = std::from_chars(text.data(), end, *value);
    return !text.empty() && parsed.ec == std::errc() && parsed.ptr == end;
}

bool readFlag(const Json& object, const char* name) {
    const Json* field = member(object, name);
    return field != nullptr && field->is_boolean() && field->get<bool>();
}

bool readKeyValue(const Json& object, EtcdKeyValue* kv) {
    const Json* key = member(object, "key");
    const Json* value = member(object, "value");
    if (key == nullptr || !key->is_string() || !base64Decode(key->get<std::string>(), &kv->key)) {
        return false;
    }
    kv->value.clear();
    if (value != nullptr &&
        (!value->is_string() || !base64Decode(value->get<std::string>(), &kv->value))) {
        return false;
    }
    return readInt64(object, "create_revision", &kv->createRevision) &&
           readInt64(object, "mod_revision", &kv->modRevision) &&
           readInt64(object, "version", &kv->version) && readInt64(object, "lease", &kv->lease);
}

std::string int64Text(std::int64_t value) { return std::to_string(value); }

std::string rangeStartKey(const std::string& prefix) {
    return prefix.empty() ? std::string(1, '\0') : prefix;
}

EtcdResult refused(const std::string& detail) { return {EtcdStatus::Refused, detail}; }

}  // namespace etcd_detail
}  // namespace peerdir
