// outbox.h -- the send path: what one connection still owes its client, and
// what it could not be given.
//
// Every write is whole messages. When the socket takes only part of one, the
// rest waits in the outbox and goes out before anything else on that
// connection, so a client never receives part of a message followed by
// another; the client manager writes it out at its next turns. A write goes
// on until the socket refuses more, so the system knows the writer waits for
// room (Windows tells of room only after a refusal). A client manager that
// sleeps between turns gives its outbox a waker, which is rung when another
// thread leaves a rest, so that it wakes to write it.
//
// A message that cannot be written while a rest is pending, or that the
// socket refuses, is dropped. Drops come in episodes, so a client that does
// not read costs a line, not a flood: the first drop of an episode is logged
// with "MessageHandler: Send failed. Last error was: " and the code, unless a
// drop to the same client was logged less than a second before (then it is
// counted too); later drops are counted; when the episode ends (the rest went
// out, a later send went through whole, or the connection ends) one line
// gives the count, if there is one. A rest thrown away because the
// connection broke or ended is not a drop.
//
// What waits is bounded, for each client and for all together. The kernel's
// share is held to a fixed send buffer per client (set as it is accepted);
// the process's share, the rests, to an OutputBudget: a rest beyond its
// client's bound is cut at a message boundary, and its later messages
// dropped by the rules above (a list counts one message per name). When all
// rests together would pass the total, the rests that have gone longest
// without any progress give way first, cut the same way, so that clients
// that never read cannot crowd out one that does.
//
// A send that fails with anything but would-block marks the connection
// broken: nothing more is written to it, and its client manager ends it.
//
// Over TLS the same rules hold, with one more: a write that would block has
// still taken the bytes it was offered into a record, which must be offered
// again before anything else. They are kept as the rest's head, as a
// message the client has begun is, so no bound ever cuts them.
//
// Locking rule: everything here except the two atomic flags is guarded by
// guard, the lock that serialises all writes to client sockets (the
// registry's lock), so no write reaches a socket its owner has closed
// meanwhile; builds with assertions check it on every call.
#ifndef PEERDIR_CLIENTS_OUTBOX_H
#define PEERDIR_CLIENTS_OUTBOX_H

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "clients/connection.h"
#include "platform/platform.h"
#include "protocol/message.h"

namespace peerdir {

struct Outbox;

// Every outbox of one server shares one budget; a rest can only be cut while
// more than its first message is left (the message the client is partway
// through must end whole). The outboxes whose rests can be cut are chained
// from the one that has waited longest since it last made progress.
constexpr std::size_t kDefaultClientPendingBytes = std::size_t{8} << 20;
constexpr std::size_t kDefaultTotalPendingBytes = std::size_t{24} << 20;

struct OutputBudget {
    std::size_t perClient = kDefaultClientPendingBytes;
    std::size_t total = kDefaultTotalPendingBytes;  // 0: no limit
    std::size_t used = 0;                           // bytes in all rests
    Outbox* longestWaiting = nullptr;
    Outbox* latestWaiting = nullptr;
};

struct Outbox {
    // What the outbox writes to; it lives here, so that every write to a
    // client, plain or TLS, finds it as "this connection".
    Connection connection;
    OutputBudget* budget = nullptr;  // nullptr: a test's outbox, unbounded
    LockHandle guard = nullptr;
    std::vector<std::uint8_t> rest;
    // The rest is restHead bytes of a message the client has begun, then
    // whole messages of restUnit bytes each.
    std::size_t restHead = 0;
    std::size_t restUnit = 0;
    // The chain of the budget's outboxes whose rests can be cut.
    bool waiting = false;
    Outbox* waitingBefore = nullptr;
    Outbox* waitingAfter = nullptr;
    // Rung when a rest is left; nullptr for an owner that looks every turn.
    WakerHandle waker = nullptr;
    // Mirrors !rest.empty(), and broken mirrors brokenCode != 0, so that the
    // connection's owner can look without the lock.
    std::atomic<bool> hasRest{false};
    std::atomic<bool> broken{false};
    int brokenCode = 0;
    // The open drop episode, if any: the drops counted and not yet reported.
    bool episodeOpen = false;
    std::size_t counted = 0;
    // When a drop to this client was last logged; the epoch when never.
    std::chrono::steady_clock::time_point lastLogged{};
};

enum class FlushResult {
    Done,     // nothing is left to write
    Blocked,  // the socket is full; what is left stays for later
    Failed,   // the connection is broken; what was left is thrown away
};

// Writes as much of the rest as the socket takes. Writing the last of it
// ends an open drop episode.
FlushResult flushOutbox(Outbox& outbox);

// True when a new message could be written now: the connection is not
// broken and no rest is left once the socket has taken what it will.
bool readyForMore(Outbox& outbox);

// Drops count messages that will never be written, by the episode rules
// above: for a connection that is broken or still has a rest pending.
void dropMessages(Outbox& outbox, std::size_t count);

// Sends count whole messages of one size, already encoded in wire, in one
// write, unless the outbox is not ready for more or the socket refuses them:
// then they are dropped. Whatever part of wire the socket does not take stays
// as the rest, as far as the budget allows; the messages past that are
// dropped. True when the messages were written or kept, in whole or in part.
bool sendMessages(Outbox& outbox, const std::uint8_t* wire, std::size_t size, std::size_t count);

// One message as one write, by the rules of sendMessages.
bool sendMessage(Outbox& outbox, MessageType type, const std::uint8_t* payload = nullptr);

// Gives back what the outbox's rest held in its budget; its owner calls it
// before the outbox is forgotten.
void releaseOutbox(Outbox& outbox);

// Ends the open drop episode, logging the count line if anything was
// counted. The connection's owner calls it as the connection ends, before
// the connection's own end line.
void endDropEpisode(Outbox& outbox);

// Messages dropped by this process so far, logged and counted alike.
unsigned long long droppedMessageTotal();

}  // namespace peerdir

#endif
