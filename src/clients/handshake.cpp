// handshake.cpp -- the bounded handshake and the runs of its failures.
#include "clients/handshake.h"

#include <algorithm>
#include <mutex>

#include "metrics/counters.h"
#include "platform/console.h"

namespace peerdir {

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kReportInterval = std::chrono::minutes(1);

// The longest sleep on the socket between looks at the stop request.
constexpr unsigned kLongestWaitMillis = 50;

struct FailureRun {
    std::mutex mutex;
    bool open = false;
    std::size_t counted = 0;
    Clock::time_point lastReport{};
    Clock::time_point lastFailure{};
};

FailureRun g_failures;

void reportCount(FailureRun& run, Clock::time_point now) {
    if (run.counted > 0) {
        logText("ClientManager: ");
        logUnsigned(run.counted);
        logText(" more TLS handshakes failed.");
        logEnd();
    }
    run.counted = 0;
    run.lastReport = now;
}

void noteFailure(const std::string& reason) {
    countEvent(Counter::HandshakesFailed);
    std::lock_guard<std::mutex> hold(g_failures.mutex);
    FailureRun& run = g_failures;
    const Clock::time_point now = Clock::now();
    if (run.open && now - run.lastFailure >= kReportInterval) {
        reportCount(run, now);
        run.open = false;
    }
    run.lastFailure = now;
    if (!run.open) {
        logLine(
            ("ClientManager: TLS handshake failed; connection closed. Reason: " + reason).c_str());
        run.open = true;
        run.lastReport = now;
        return;
    }
    ++run.counted;
    if (now - run.lastReport >= kReportInterval) reportCount(run, now);
}

// Sleeps until the socket may let the handshake go on, the deadline
// comes, or a while has passed in which the stop request may have come.
void awaitStep(Socket s, TlsStep step, Clock::time_point deadline) {
    if (step == TlsStep::WantWrite) return sleepMillis(1);
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    const auto millis = static_cast<unsigned>(std::max<long long>(1, left.count()));
    socketWaitReadable(s, std::min(millis, kLongestWaitMillis));
}

// Done, or why not; *stopped when the stop request ended it.
TlsStep runHandshake(const ClientManagerContext& context, TlsSession* session, std::string* problem,
                     bool* stopped) {
    const Clock::time_point deadline = context.acceptedAt + kHandshakeLimit;
    for (;;) {
        TlsStep step = tlsHandshake(session, problem);
        if (step == TlsStep::Done || step == TlsStep::Failed) return step;
        if (eventTestNow(context.globalExit)) {
            *stopped = true;
            return TlsStep::Failed;
        }
        if (Clock::now() >= deadline) {
            *problem = "no handshake within 10 seconds of the connection";
            return TlsStep::Failed;
        }
        awaitStep(context.socket, step, deadline);
    }
}

}  // namespace

TlsSession* handshakeClient(const ClientManagerContext& context) {
    std::string problem;
    TlsSession* session = tlsSessionStart(context.tls, context.socket, &problem);
    if (session == nullptr) {
        noteFailure(problem);
        return nullptr;
    }
    bool stopped = false;
    if (runHandshake(context, session, &problem, &stopped) == TlsStep::Done) return session;
    tlsSessionEnd(session);
    if (!stopped) noteFailure(problem);
    return nullptr;
}

void reportHandshakeFailures() {
    std::lock_guard<std::mutex> hold(g_failures.mutex);
    reportCount(g_failures, Clock::now());
    g_failures.open = false;
}

}  // namespace peerdir
