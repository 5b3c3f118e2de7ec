// outbox.cpp -- writing whole messages, keeping the rest, and drop episodes.
#include "clients/outbox.h"

#include <algorithm>
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

void leaveWaiting(Outbox& outbox) {
    if (!outbox.waiting) return;
    OutputBudget& budget = *outbox.budget;
    (outbox.waitingBefore ? outbox.waitingBefore->waitingAfter : budget.longestWaiting) =
        outbox.waitingAfter;
    (outbox.waitingAfter ? outbox.waitingAfter->waitingBefore : budget.latestWaiting) =
        outbox.waitingBefore;
    outbox.waiting = false;
    outbox.waitingBefore = outbox.waitingAfter = nullptr;
}

// Puts the outbox at the end of the chain, as the latest to make progress,
// or takes it out when nothing in its rest can be cut.
void rejoinWaiting(Outbox& outbox) {
    if (outbox.budget == nullptr) return;
    leaveWaiting(outbox);
    if (outbox.rest.size() <= outbox.restHead) return;
    OutputBudget& budget = *outbox.budget;
    outbox.waitingBefore = budget.latestWaiting;
    (budget.latestWaiting ? budget.latestWaiting->waitingAfter : budget.longestWaiting) = &outbox;
    budget.latestWaiting = &outbox;
    outbox.waiting = true;
}

void setRestSize(Outbox& outbox, std::size_t size) {
    if (outbox.budget != nullptr)
        outbox.budget->used = outbox.budget->used - outbox.rest.size() + size;
    outbox.rest.resize(size);
    // What the budget does not count must not stay reserved either.
    outbox.rest.shrink_to_fit();
    outbox.hasRest.store(size > 0, std::memory_order_release);
}

void keepRest(Outbox& outbox, const std::uint8_t* data, std::size_t size, std::size_t head,
              std::size_t unit) {
    if (outbox.budget != nullptr) outbox.budget->used += size;
    outbox.rest.assign(data, data + size);
    outbox.restHead = head;
    outbox.restUnit = unit;
    outbox.hasRest.store(size > 0, std::memory_order_release);
    rejoinWaiting(outbox);
}

void dropSent(Outbox& outbox, std::size_t sent) {
    if (sent == 0) return;
    if (outbox.budget != nullptr) outbox.budget->used -= sent;
    outbox.rest.erase(outbox.rest.begin(), outbox.rest.begin() + static_cast<std::ptrdiff_t>(sent));
    if (outbox.rest.empty()) outbox.rest.shrink_to_fit();
    outbox.hasRest.store(!outbox.rest.empty(), std::memory_order_release);
    if (sent <= outbox.restHead) {
        outbox.restHead -= sent;
    } else {
        const std::size_t intoWhole = (sent - outbox.restHead) % outbox.restUnit;
        outbox.restHead = intoWhole == 0 ? 0 : outbox.restUnit - intoWhole;
    }
    rejoinWaiting(outbox);
}

void clearRest(Outbox& outbox) {
    leaveWaiting(outbox);
    setRestSize(outbox, 0);
    outbox.restHead = 0;
}

// The rest can never reach the client now; it is no drop of its own.
void markBroken(Outbox& outbox, int code) {
    outbox.brokenCode = code;
    clearRest(outbox);
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

// Cuts the rest back to the message the client has begun; the whole
// messages after it are dropped. Returns the bytes given back.
std::size_t cutRest(Outbox& outbox) {
    const std::size_t cut = outbox.rest.size() - outbox.restHead;
    if (cut == 0) return 0;
    setRestSize(outbox, outbox.restHead);
    leaveWaiting(outbox);
    dropWithCode(outbox, cut / outbox.restUnit, wouldBlockErrorCode());
    return cut;
}

// How many bytes of whole messages a new rest may keep beyond its head,
// of the wanted: the client's bound, then the total, for which the rests
// that have waited longest without progress are cut as far as needed.
std::size_t roomFor(Outbox& outbox, std::size_t head, std::size_t wanted) {
    OutputBudget* budget = outbox.budget;
    if (budget == nullptr) return wanted;
    const std::size_t perClient = budget->perClient > head ? budget->perClient - head : 0;
    wanted = std::min(wanted, perClient);
    if (budget->total == 0) return wanted;
    for (Outbox* other = budget->longestWaiting;
         other != nullptr && budget->used + head + wanted > budget->total;) {
        Outbox* next = other->waitingAfter;
        if (other != &outbox) cutRest(*other);
        other = next;
    }
    const std::size_t used = budget->used + head;
    return std::min(wanted, budget->total > used ? budget->total - used : 0);
}

std::size_t roundUp(std::size_t bytes, std::size_t unit) {
    return (bytes + unit - 1) / unit * unit;
}

// What a TLS send that would block took in must be offered again whole, so
// the rest can never be cut below it: it joins the head, up to the end of
// the message it falls in.
void holdCommitted(Outbox& outbox, std::size_t committed) {
    if (committed <= outbox.restHead) return;
    const std::size_t whole = roundUp(committed - outbox.restHead, outbox.restUnit);
    outbox.restHead = std::min(outbox.rest.size(), outbox.restHead + whole);
    rejoinWaiting(outbox);
}

}  // namespace

FlushResult flushOutbox(Outbox& outbox) {
    assert(guarded(outbox));
    if (outbox.broken.load(std::memory_order_relaxed)) return FlushResult::Failed;
    while (!outbox.rest.empty()) {
        int code = 0;
        std::size_t committed = 0;
        int n = connectionSend(outbox.connection, outbox.rest.data(), outbox.rest.size(), &code,
                               &committed);
        if (n < 0) {
            if (isWouldBlock(code)) {
                holdCommitted(outbox, committed);
                return FlushResult::Blocked;
            }
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
    int code = 0;
    std::size_t committed = 0;
    int n = connectionSend(outbox.connection, wire, size, &code, &committed);
    if (n < 0 && committed == 0) {
        if (!isWouldBlock(code)) markBroken(outbox, code);
        dropWithCode(outbox, count, code);
        return false;
    }
    // A TLS send that would block has taken its bytes all the same: they
    // stay as the rest's head, like a message the client has begun.
    auto sent = static_cast<std::size_t>(std::max(n, 0));
    if (sent == size) {
        endDropEpisode(outbox);
        return true;
    }
    // The messages are of one size; the first left may be partly sent.
    const std::size_t unit = size / count;
    const std::size_t intoFirst = sent % unit;
    const std::size_t begun = intoFirst == 0 ? 0 : unit - intoFirst;
    const std::size_t head = committed <= begun
                                 ? begun
                                 : std::min(size - sent, begun + roundUp(committed - begun, unit));
    const std::size_t whole = size - sent - head;
    const std::size_t kept = roomFor(outbox, head, whole) / unit * unit;
    keepRest(outbox, wire + sent, head + kept, head, unit);
    dropWithCode(outbox, (whole - kept) / unit, wouldBlockErrorCode());
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

void releaseOutbox(Outbox& outbox) {
    assert(guarded(outbox));
    clearRest(outbox);
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
