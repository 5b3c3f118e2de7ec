// outbox.cpp -- writing whole messages, keeping the rest, and drop episodes.
#include "clients/outbox.h"

#include <cassert>

#include "platform/console.h"

namespace peerdir {

namespace {

using Clock = std::chrono::steady_clock;

// A client that reads in bursts starts an episode every time it stops
// reading; one logged drop a second keeps that to two lines a second.
constexpr auto kLogInterval = std::chrono::seconds(1);

std::atomic<unsigned long long> g_dropped{0};

// An outbox made outside a registry (a test's) has no guard to check.
[[maybe_unused]] bool guarded(const Outbox& outbox) {
    return outbox.guard == nullptr || lockIsHeld(outbox.guard);
}

void keepRest(Outbox& outbox, const std::uint8_t* data, std::size_t size) {
    outbox.rest.assign(data, data + size);
    outbox.hasRest.store(size > 0, std::memory_order_release);
}

void dropSent(Outbox& outbox, std::size_t sent) {
    outbox.rest.erase(outbox.rest.begin(), outbox.rest.begin() + static_cast<std::ptrdiff_t>(sent));
    outbox.hasRest.store(!outbox.rest.empty(), std::memory_order_release);
}

// The rest can never reach the client now; it is no drop of its own.
void markBroken(Outbox& outbox, int code) {
    outbox.brokenCode = code;
    keepRest(outbox, nullptr, 0);
    outbox.broken.store(true, std::memory_order_release);
}

// The code a drop reports: why the connection broke, or would-block while a
// rest is pending or the socket refused the write.
int dropCode(const Outbox& outbox) {
    return outbox.broken.load(std::memory_order_relaxed) ? outbox.brokenCode
                                                         : wouldBlockErrorCode();
}

void dropWithCode(Outbox& outbox, std::size_t count, int code) {
    assert(guarded(outbox));
    if (count == 0) return;
    g_dropped.fetch_add(count, std::memory_order_relaxed);
    if (!outbox.episodeOpen) {
        outbox.episodeOpen = true;
        const Clock::time_point now = Clock::now();
        if (outbox.lastLogged == Clock::time_point{} || now - outbox.lastLogged >= kLogInterval) {
            logText("MessageHandler: Send failed. Last error was: ");
            logSigned(code);
            logEnd();
            outbox.lastLogged = now;
            --count;
        }
    }
    outbox.counted += count;
}

}  // namespace

FlushResult flushOutbox(Outbox& outbox) {
    assert(guarded(outbox));
    if (outbox.broken.load(std::memory_order_relaxed)) return FlushResult::Failed;
    while (!outbox.rest.empty()) {
        int n = socketSend(outbox.socket, outbox.rest.data(), outbox.rest.size());
        if (n < 0) {
            int code = lastSocketError();
            if (isWouldBlock(code)) return FlushResult::Blocked;
            markBroken(outbox, code);
            return FlushResult::Failed;
        }
        dropSent(outbox, static_cast<std::size_t>(n));
    }
    endDropEpisode(outbox);
    return FlushResult::Done;
}

bool readyForMore(Outbox& outbox) { return flushOutbox(outbox) == FlushResult::Done; }

void dropMessages(Outbox& outbox, std::size_t count) {
    dropWithCode(outbox, count, dropCode(outbox));
}

bool sendMessages(Outbox& outbox, const std::uint8_t* wire, std::size_t size, std::size_t count) {
    if (!readyForMore(outbox)) {
        dropMessages(outbox, count);
        return false;
    }
    int n = socketSend(outbox.socket, wire, size);
    if (n < 0) {
        int code = lastSocketError();
        if (!isWouldBlock(code)) markBroken(outbox, code);
        dropWithCode(outbox, count, code);
        return false;
    }
    auto sent = static_cast<std::size_t>(n);
    if (sent == size) {
        endDropEpisode(outbox);
        return true;
    }
    keepRest(outbox, wire + sent, size - sent);
    // The writer may be another client's thread, forwarding: the owner,
    // asleep, must wake to write the rest once there is room.
    if (flushOutbox(outbox) == FlushResult::Blocked && outbox.waker != nullptr) {
        wakerRing(outbox.waker);
    }
    return true;
}

bool sendMessage(Outbox& outbox, MessageType type, const std::uint8_t* payload) {
    std::uint8_t message[kMaxMessageSize];
    std::size_t size = encodeMessage(type, payload, message);
    return sendMessages(outbox, message, size, 1);
}

void endDropEpisode(Outbox& outbox) {
    assert(guarded(outbox));
    if (!outbox.episodeOpen) return;
    if (outbox.counted > 0) {
        logText("MessageHandler: ");
        logUnsigned(outbox.counted);
        logText(" more messages to this client were dropped.");
        logEnd();
    }
    outbox.episodeOpen = false;
    outbox.counted = 0;
}

unsigned long long droppedMessageTotal() { return g_dropped.load(std::memory_order_relaxed); }

}  // namespace peerdir
