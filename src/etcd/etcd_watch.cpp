// etcd_watch.cpp -- a watch on a prefix over the gateway's /v3/watch, which
// streams one JSON object a line for as long as the connection lasts.
//
// Stopping: stopWatch shuts the watch's connection down from the other
// thread (httplib's Client::stop), which ends a read that waits on an idle
// stream at once, and the handlers below look at the flag between messages.
// While the connection is being made, Client::stop waits for that to end
// (within the connect time-out). A stop that comes between the watch
// handing over its client and httplib opening the socket is seen when the
// endpoint answers; only an endpoint that accepts connections and then says
// nothing (a stopped process) holds it until watchIdleMillis.
#include <algorithm>
#include <utility>

#include "etcd/etcd.h"
#include "etcd/etcd_http.h"

namespace peerdir {

using etcd_detail::Clock;
using etcd_detail::Json;

namespace {

// One watch message (a line) is held whole before it is parsed, so one
// longer than a reply may be ends the watch rather than grow without end.
using etcd_detail::kMaxReplyBytes;

using EventHandler = std::function<void(const EtcdWatchEvent&)>;

// One watch call's state, carried across the endpoints it tries.
struct WatchRun {
    const EventHandler* onEvent = nullptr;
    EtcdWatchStop* stop = nullptr;
    EtcdWatchResult result;
    int httpStatus = 0;
    bool created = false;   // etcd confirmed the watch on this stream
    bool finished = false;  // result is final: compacted, refused or an error line
    std::string pending;    // the start of a line still to come whole
};

bool stopRequested(EtcdWatchStop& stop) {
    std::lock_guard<std::mutex> guard(stop.lock);
    return stop.requested;
}

// False when a stop has been asked for already.
bool registerStream(EtcdWatchStop& stop, httplib::ClientImpl* stream) {
    std::lock_guard<std::mutex> guard(stop.lock);
    if (stop.requested) return false;
    stop.stream = stream;
    return true;
}

// Taken under the lock, so stopWatch never stops a client being destroyed.
void unregisterStream(EtcdWatchStop& stop) {
    std::lock_guard<std::mutex> guard(stop.lock);
    stop.stream = nullptr;
}

void finish(WatchRun& run, WatchEnd end, const std::string& detail) {
    run.finished = true;
    run.result.end = end;
    run.result.detail = detail;
}

std::int64_t headerRevision(const Json& response) {
    std::int64_t revision = 0;
    auto header = response.find("header");
    if (header != response.end()) etcd_detail::readInt64(*header, "revision", &revision);
    return revision;
}

bool readEvents(const Json& events, std::vector<EtcdWatchEvent>* parsed) {
    if (!events.is_array()) return false;
    for (const Json& item : events) {
        EtcdWatchEvent event;
        auto type = item.find("type");
        auto kv = item.find("kv");
        event.deleted = type != item.end() && *type == "DELETE";
        if (kv == item.end() || !etcd_detail::readKeyValue(*kv, &event.kv)) return false;
        parsed->push_back(event);
    }
    return true;
}

// etcd never splits one revision's events over two responses, so after a
// whole response every revision up to its last event is delivered.
void deliverEvents(WatchRun& run, const Json& events) {
    std::vector<EtcdWatchEvent> parsed;
    if (!readEvents(events, &parsed))
        return finish(run, WatchEnd::Refused, "unreadable watch event");
    for (const EtcdWatchEvent& event : parsed) (*run.onEvent)(event);
    if (!parsed.empty()) {
        run.result.nextRevision =
            std::max(run.result.nextRevision, parsed.back().kv.modRevision + 1);
    }
}

void cancelled(WatchRun& run, const Json& response) {
    std::int64_t compactRevision = 0;
    etcd_detail::readInt64(response, "compact_revision", &compactRevision);
    if (compactRevision > 0) {
        run.result.compactRevision = compactRevision;
        return finish(run, WatchEnd::Compacted,
                      "revision " + std::to_string(run.result.nextRevision) +
                          " is compacted; the oldest kept is " + std::to_string(compactRevision));
    }
    auto reason = response.find("cancel_reason");
    finish(run, WatchEnd::Refused,
           "etcd cancelled the watch" + (reason != response.end() && reason->is_string()
                                             ? ": " + reason->get<std::string>()
                                             : std::string()));
}

void handleResponse(WatchRun& run, const Json& response) {
    if (etcd_detail::readFlag(response, "canceled")) return cancelled(run, response);
    if (etcd_detail::readFlag(response, "created")) {
        run.created = true;
        // Watching from now: everything after the revision etcd is at.
        if (run.result.nextRevision <= 0) run.result.nextRevision = headerRevision(response) + 1;
    }
    auto events = response.find("events");
    if (events != response.end()) deliverEvents(run, *events);
}

WatchEnd watchEndOf(EtcdStatus status) {
    switch (status) {
        case EtcdStatus::Compacted:
            return WatchEnd::Compacted;
        case EtcdStatus::Unreachable:
            return WatchEnd::Broken;
        case EtcdStatus::Busy:
            return WatchEnd::Busy;
        default:
            return WatchEnd::Refused;
    }
}

void handleMessage(WatchRun& run, const Json& message, const std::string& where) {
    auto result = message.find("result");
    if (message.find("error") != message.end() || result == message.end() || !result->is_object()) {
        EtcdResult error = etcd_detail::errorResult(message, where);
        return finish(run, watchEndOf(error.status), error.detail);
    }
    handleResponse(run, *result);
}

void handleLine(WatchRun& run, const std::string& line, const std::string& where) {
    std::string problem = etcd_detail::overLimits(line);
    if (!problem.empty())
        return finish(run, WatchEnd::Refused, where + ": watch message " + problem);
    Json message = Json::parse(line, nullptr, false);
    if (message.is_discarded() || !message.is_object()) {
        return finish(run, WatchEnd::Refused, where + ": unreadable watch message");
    }
    handleMessage(run, message, where);
}

void tooLarge(WatchRun& run, const std::string& where) {
    finish(run, WatchEnd::Refused, where + ": watch message " + etcd_detail::tooLargeProblem());
}

// Takes a piece of the stream; false ends it. What is held never passes
// the limit by more than one piece.
bool receive(WatchRun& run, const char* data, std::size_t length, const std::string& where) {
    // pending holds no line end: only the new piece is searched for one, so
    // a long line coming in small pieces is not searched again and again.
    const std::size_t unsearched = run.pending.size();
    run.pending.append(data, length);
    std::size_t start = 0;
    for (;;) {
        std::size_t end = run.pending.find('\n', std::max(start, unsearched));
        if (end == std::string::npos || run.finished || stopRequested(*run.stop)) break;
        std::string line = run.pending.substr(start, end - start);
        start = end + 1;
        if (line.find_first_not_of(" \r\t") != std::string::npos) handleLine(run, line, where);
    }
    run.pending.erase(0, start);
    if (!run.finished && run.pending.size() > kMaxReplyBytes) tooLarge(run, where);
    return !run.finished && !stopRequested(*run.stop);
}

httplib::Error runStream(httplib::ClientImpl& http, const std::string& body, WatchRun& run,
                         const std::string& where) {
    httplib::Request request;
    request.method = "POST";
    request.path = "/v3/watch";
    request.body = body;
    request.set_header("Content-Type", "application/json");
    etcd_detail::requireLeader(request);
    request.response_handler = [&run](const httplib::Response& response) {
        run.httpStatus = response.status;
        run.result.answered = true;
        return !stopRequested(*run.stop);
    };
    request.content_receiver = [&run, &where](const char* data, std::size_t length, std::uint64_t,
                                              std::uint64_t) {
        if (run.httpStatus != 200) {
            if (run.pending.size() + length > kMaxReplyBytes) {
                tooLarge(run, where);
                return false;
            }
            run.pending.append(data, length);
            return true;
        }
        return receive(run, data, length, where);
    };
    return http.send(request).error();
}

// An answer other than 200 carries one error object, without a line end.
void readErrorAnswer(WatchRun& run, const std::string& where) {
    std::string problem = etcd_detail::overLimits(run.pending);
    if (!problem.empty())
        return finish(run, WatchEnd::Refused, where + ": watch answer " + problem);
    Json message = Json::parse(run.pending, nullptr, false);
    if (message.is_object() && message.find("error") != message.end()) {
        return handleMessage(run, message, where);
    }
    EtcdResult status = etcd_detail::statusResult(run.httpStatus, run.pending, where);
    finish(run, watchEndOf(status.status), status.detail);
}

std::string createRequest(const std::string& prefix, std::int64_t startRevision) {
    Json create = {{"key", base64Encode(etcd_detail::rangeStartKey(prefix))},
                   {"range_end", base64Encode(prefixRangeEnd(prefix))}};
    if (startRevision > 0) create["start_revision"] = etcd_detail::int64Text(startRevision);
    return Json{{"create_request", create}}.dump();
}

EtcdWatchResult stopped(WatchRun& run) {
    run.result.end = WatchEnd::Stopped;
    run.result.detail.clear();
    return run.result;
}

// One try on one endpoint. True when the call is over and run.result says
// how; false when the endpoint did not answer, so the next may be tried.
bool watchOn(const EtcdEndpoint& endpoint, const EtcdTls* tls, Clock::duration connectBudget,
             unsigned idleMillis, const std::string& body, WatchRun& run, std::string* failure) {
    std::unique_ptr<httplib::ClientImpl> http =
        etcd_detail::makeClient(endpoint, tls, connectBudget);
    http->set_read_timeout(std::chrono::milliseconds(idleMillis));
    if (!registerStream(*run.stop, http.get())) return true;
    std::string where = endpointText(endpoint);
    run.httpStatus = 0;
    run.pending.clear();
    etcd_detail::clearTlsFailure();
    httplib::Error error = runStream(*http, body, run, where);
    const std::string tlsReason =
        run.httpStatus == 0 && endpoint.tls ? etcd_detail::takeTlsFailure() : "";
    unregisterStream(*run.stop);
    if (stopRequested(*run.stop)) return true;
    if (!run.finished && run.httpStatus != 0 && run.httpStatus != 200) readErrorAnswer(run, where);
    if (run.finished && run.result.end == WatchEnd::Broken && !run.created) {
        // Unavailable before the watch was made (no leader): another member
        // may do better.
        run.finished = false;
        *failure = run.result.detail;
        return false;
    }
    if (run.finished) return true;
    *failure = where + ": " + httplib::to_string(error);
    if (!tlsReason.empty()) {
        *failure += ": " + tlsReason;
        run.result.tlsProblem = where + ": " + tlsReason;
    }
    if (!run.created) return false;
    finish(run, WatchEnd::Broken, "the watch stream from " + *failure + " ended");
    return true;
}

}  // namespace

void stopWatch(EtcdWatchStop& stop) {
    std::lock_guard<std::mutex> guard(stop.lock);
    stop.requested = true;
    if (stop.stream != nullptr) stop.stream->stop();
}

EtcdWatchResult watchPrefix(EtcdConnection& etcd, const std::string& prefix,
                            std::int64_t startRevision, EtcdWatchStop& stop,
                            const EventHandler& onEvent) {
    // The watch has a connection of its own and takes no turn on etcd.http.
    const std::vector<EtcdEndpoint>& endpoints = etcd.endpoints;
    const std::size_t first = etcd.current;
    const std::size_t count = endpoints.size();
    if (count == 0) return {WatchEnd::Refused, 0, 0, "no etcd endpoints configured"};
    WatchRun run;
    run.onEvent = &onEvent;
    run.stop = &stop;
    run.result.nextRevision = std::max<std::int64_t>(startRevision, 0);
    const std::string body = createRequest(prefix, startRevision);
    const Clock::time_point deadline =
        Clock::now() + std::chrono::milliseconds(etcd.requestTimeoutMillis);
    std::string failures;
    for (std::size_t tried = 0; tried < count && Clock::now() < deadline; ++tried) {
        const EtcdEndpoint& endpoint = endpoints[(first + tried) % count];
        Clock::duration share = (deadline - Clock::now()) / (count - tried);
        std::string failure;
        if (watchOn(endpoint, etcd.tls.get(), share, etcd.watchIdleMillis, body, run, &failure)) {
            break;
        }
        failures += (failures.empty() ? "" : "; ") + failure;
    }
    if (stopRequested(stop)) return stopped(run);
    // A TLS failure matters only while no endpoint answered at all.
    if (run.result.answered) run.result.tlsProblem.clear();
    if (!run.finished) {
        finish(run, WatchEnd::Broken,
               "no etcd endpoint answered the watch within " +
                   std::to_string(etcd.requestTimeoutMillis) + " ms (" + failures + ")");
    }
    return run.result;
}

}  // namespace peerdir
