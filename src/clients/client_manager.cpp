// client_manager.cpp -- the per-client polling loop and its clean-up.
#include "clients/client_manager.h"

#include <algorithm>
#include <chrono>
#include <mutex>
#include <new>
#include <thread>

#include "clients/handshake.h"
#include "clients/message_handler.h"
#include "clients/outbox.h"
#include "clients/registry.h"
#include "metrics/counters.h"
#include "platform/console.h"
#include "protocol/message.h"
#include "protocol/message_reader.h"

namespace peerdir {

namespace {

using Clock = std::chrono::steady_clock;

// The least time between two reads of one client, as a polling turn's sleep
// makes it.
constexpr auto kTurnSpacing = std::chrono::milliseconds(1);

// How long a TLS client stays quiet before its thread gives back what
// OpenSSL's work left with it.
constexpr unsigned kQuietReleaseDelayMillis = 250;

// Why a connection ended; each but the stop request has a line of its own.
enum class EndKind { None, Disconnected, ReadFailed, HeaderIncomplete, Revoked, ExitRequested };

struct Ending {
    EndKind kind = EndKind::None;
    std::int32_t code = 0;  // ReadFailed: the platform's code
    bool stalled = false;   // ReadFailed: a message begun and never finished
};

Ending actOn(const ReceiveResult& r, const ClientManagerContext& context) {
    switch (r.status) {
        case ReceiveStatus::Message:
            handleMessage(r.payload.empty() ? nullptr : r.payload.data(), context,
                          static_cast<MessageType>(static_cast<std::uint32_t>(r.value)));
            return Ending{};
        case ReceiveStatus::NoData:
            return Ending{};
        case ReceiveStatus::ShortHeader:
            // Only a header that never completed gets here; the stream can
            // no longer be read in step, so the connection ends.
            return Ending{EndKind::HeaderIncomplete};
        case ReceiveStatus::Disconnected:
            return Ending{EndKind::Disconnected};
        case ReceiveStatus::SocketError:
            return Ending{EndKind::ReadFailed, r.value, r.stalled};
    }
    return Ending{EndKind::Disconnected};
}

void logEnding(const Ending& ending) {
    switch (ending.kind) {
        case EndKind::Disconnected:
            logLine("ClientManager: Client disconnected. Thread terminating...");
            break;
        case EndKind::ReadFailed:
            logText("ClientManager: Socket returned an error from recv: ");
            logSigned(ending.code);
            logEnd();
            break;
        case EndKind::HeaderIncomplete:
            logLine("ClientManager: Got an incorrect amount of data from recv.");
            break;
        case EndKind::Revoked:
            logLine("ClientManager: Client certificate revoked. Thread terminating...");
            break;
        case EndKind::None:
        case EndKind::ExitRequested:
            break;
    }
}

// The metrics' cause of an end. A connection found broken by a send ends
// as Disconnected, though the peer reset or failed rather than left.
Counter endCause(const Ending& ending, const Outbox& outbox) {
    switch (ending.kind) {
        case EndKind::Disconnected:
            return outbox.broken.load(std::memory_order_acquire) ? Counter::EndedError
                                                                 : Counter::EndedLeft;
        case EndKind::ReadFailed:
            if (ending.stalled) return Counter::EndedStalled;
            return ending.code == timedOutErrorCode() ? Counter::EndedTimeout : Counter::EndedError;
        case EndKind::HeaderIncomplete:
            return Counter::EndedStalled;
        case EndKind::Revoked:
            return Counter::EndedError;
        case EndKind::None:
        case EndKind::ExitRequested:
            break;
    }
    return Counter::EndedStop;
}

// Writes what an earlier reply left unsent. The flag is read without the
// lock, so an idle turn costs no lock at all; only the lock's holder changes
// the rest.
void finishPendingWrite(const ClientManagerContext& context, Outbox& outbox) {
    if (!outbox.hasRest.load(std::memory_order_acquire)) return;
    lockEnter(context.registryLock);
    flushOutbox(outbox);
    lockLeave(context.registryLock);
}

// True once certificates have been loaded again and the CRL they came
// with revokes this client's certificate. *seen is the load last looked at;
// a look costs one atomic read until there is a new one.
bool revokedSince(const ClientManagerContext& context, Outbox& outbox, unsigned* seen) {
    if (context.tls == nullptr) return false;
    const unsigned now = tlsServerGeneration(context.tls);
    if (now == *seen) return false;
    *seen = now;
    return tlsPeerRevoked(context.tls, outbox.connection.tls);
}

Ending pollClient(const ClientManagerContext& context, Outbox& outbox) {
    const PayloadWait wait{context.globalExit, kPayloadWaitMillis};
    const ReadSource source = readSourceOf(outbox.connection);
    unsigned seen = context.tls != nullptr ? tlsServerGeneration(context.tls) : 0;
    bool running = true;
    while (running) {
        sleepMillis(1);
        if (revokedSince(context, outbox, &seen)) return Ending{EndKind::Revoked};
        if (eventTestNow(context.globalExit)) {
            logLine("ClientManager: globalExit event was signalled or had an error. Quitting...");
            running = false;
        }
        finishPendingWrite(context, outbox);
        // A send found the connection broken: the peer has gone, and what
        // it queued before it went is not worth reading.
        if (outbox.broken.load(std::memory_order_acquire)) return Ending{EndKind::Disconnected};
        // The turn that saw globalExit still reads and handles one message.
        ReceiveResult r = receiveMessage(source, wait);
        Ending ending = actOn(r, context);
        if (ending.kind != EndKind::None) return ending;
    }
    return Ending{EndKind::ExitRequested};
}

// Sleeps until the socket or globalExit needs this thread, or there is room
// for a rest that is waiting. A wait that fails is taken as a turn's pause,
// so the loop goes on as it would when polling.
//
// OpenSSL's reads and writes run pages deeper than anything else on a
// client's thread, and leave state of their own with the thread (an error
// queue); an idle TLS client should keep neither. They are given back once
// the client has been quiet a while rather than before every sleep: giving
// back the stack flushes every core's TLB, and a busy client would only
// take both again. *releaseOwed says a give-back is due.
int awaitWork(const ClientManagerContext& context, Outbox& outbox, WakerHandle waker,
              bool* releaseOwed) {
    // Bytes OpenSSL has already taken off the socket wake no one.
    if (connectionHasPending(outbox.connection)) return kWaitReadable;
    if (outbox.connection.tls != nullptr) *releaseOwed = true;
    for (;;) {
        const bool writable = outbox.hasRest.load(std::memory_order_acquire);
        unsigned timeout = writable ? context.restRetryMillis : kWaitForever;
        if (*releaseOwed) timeout = std::min(timeout, kQuietReleaseDelayMillis);
        int found = socketWait(context.socket, writable, context.globalExit, waker, timeout);
        if (found > 0) return found;
        if (found == 0 && writable) return kWaitWritable;
        if (found == 0 && *releaseOwed) {
            threadReleaseUnusedStack();
            tlsReleaseThreadState();
            *releaseOwed = false;
            continue;
        }
        if (found < 0) {
            sleepMillis(1);
            return kWaitReadable;
        }
    }
}

// A client's reads stay at least a turn apart, however soon it sends.
void spaceTurns(Clock::time_point& lastRead) {
    sleepUntil(lastRead + kTurnSpacing);
    lastRead = Clock::now();
}

// The same turn as pollClient's, taken only when there is something to do.
// A wake for writing or a ring writes and reads nothing, so every read turn
// is one that finds data (or the peer's end) and no turn is spent empty.
Ending waitForClient(const ClientManagerContext& context, Outbox& outbox, WakerHandle waker) {
    const PayloadWait wait{context.globalExit, kPayloadWaitMillis, waker};
    const ReadSource source = readSourceOf(outbox.connection);
    unsigned seen = context.tls != nullptr ? tlsServerGeneration(context.tls) : 0;
    Clock::time_point lastRead{};
    bool releaseOwed = false;
    bool running = true;
    while (running) {
        // A reload rings every waker, so a sleeping client is looked at too.
        if (revokedSince(context, outbox, &seen)) return Ending{EndKind::Revoked};
        // Writing before sleeping leaves any rest refused, which is what
        // tells the system to report room for it.
        finishPendingWrite(context, outbox);
        if (outbox.broken.load(std::memory_order_acquire)) return Ending{EndKind::Disconnected};
        const int found = awaitWork(context, outbox, waker, &releaseOwed);
        if ((found & kWaitStopped) != 0) {
            logLine("ClientManager: globalExit event was signalled or had an error. Quitting...");
            running = false;
        }
        finishPendingWrite(context, outbox);
        if (outbox.broken.load(std::memory_order_acquire)) return Ending{EndKind::Disconnected};
        if ((found & (kWaitReadable | kWaitStopped)) == 0) continue;
        spaceTurns(lastRead);
        ReceiveResult r = receiveMessage(source, wait);
        Ending ending = actOn(r, context);
        if (ending.kind != EndKind::None) return ending;
    }
    return Ending{EndKind::ExitRequested};
}

Outbox& greetClient(const ClientManagerContext& context, WakerHandle waker, TlsSession* session) {
    lockEnter(context.registryLock);
    Outbox& outbox = outboxFor(*context.registry, context.socket);
    outbox.waker = waker;
    outbox.connection.tls = session;
    if (session != nullptr) outbox.connection.lock = lockCreate();
    sendMessage(outbox, MessageType::Welcome);
    lockLeave(context.registryLock);
    return outbox;
}

// How many of its entries a leaving client removes per hold of the lock.
// Every other client's turn needs the lock, and a crowd of clients leaving
// together (a network blip) would otherwise hold it for the whole of their
// names in turn; in parts, a forward waits for a part, not for everyone.
constexpr std::size_t kRemovalPart = 64;

// Leaving clients remove their names one client at a time. A hundred of
// them contending for the registry's lock on two cores keep it handed from
// one to the next, and each is preempted now and then while it holds it; a
// forward then waits behind them all. Queued here instead, the others sleep,
// and only one leaver at a time competes with everyone else's turns.
std::mutex g_leaving;

// Removes the client's entries a part at a time, letting others have the
// lock between parts; the last part also takes the drop count and the
// outbox. *shared is the shared registry's state.
ConnectionId removeClient(const ClientManagerContext& context, Outbox& outbox,
                          SharedRegistry** shared) {
    std::lock_guard<std::mutex> oneAtATime(g_leaving);
    for (ConnectionId connection = 0;;) {
        lockEnter(context.registryLock);
        const bool done = removeSome(*context.registry, context.socket, kRemovalPart, &connection);
        if (done) {
            endDropEpisode(outbox);
            dropOutbox(*context.registry, context.socket);
            *shared = sharedOf(*context.registry);
        }
        lockLeave(context.registryLock);
        if (done) return connection;
        std::this_thread::yield();
    }
}

// The drop count, the entries and the outbox go under the lock before the
// end line and before the socket closes: no drop goes unreported, and no
// other thread can find the socket, or write to it, once it is closed.
// The address's place is free by the time the end line says the client
// left, so a client that reconnects on reading it is served.
void releaseClient(const ClientManagerContext& context, Outbox& outbox, const Ending& ending,
                   WakerHandle waker, AddressPlace& place) {
    const Counter cause = endCause(ending, outbox);  // read before the outbox goes
    // Its session and lock, set at the greeting and never changed; the rest
    // of the connection record is the writers' while it can be found.
    TlsSession* const session = outbox.connection.tls;
    LockHandle const sessionLock = outbox.connection.lock;
    SharedRegistry* shared = nullptr;
    const ConnectionId connection = removeClient(context, outbox, &shared);
    if (shared != nullptr && connection != 0) sharedUnregisterAll(shared, connection);
    countEvent(cause);
    place.giveBack();
    logEnding(ending);
    // With the outbox gone no thread can ring the waker; it is untied from
    // the socket before the socket's number can be given to another.
    if (waker != nullptr) wakerClose(waker);
    // No writer can find the connection now, so its session needs no lock.
    if (session != nullptr) {
        tlsSessionEnd(session);
        lockDelete(sessionLock);
    }
    socketShutdownBoth(context.socket);
    socketClose(context.socket);
}

// A connection whose handshake failed was never a client: it is closed
// without an end line.
void closeUnserved(const ClientManagerContext& context) {
    socketShutdownBoth(context.socket);
    socketClose(context.socket);
}

// Greets the client, serves it until it ends and lets it go; session is
// its TLS session, or nullptr for a plain connection.
void serveSession(ClientManagerContext context, TlsSession* session, AddressPlace& place,
                  void (*onGreeted)()) {
    GrantedNames granted;
    if (session != nullptr && context.namesFromCertificate) {
        granted.names = tlsPeerNames(session);
        context.granted = &granted;
    }
    // Made before the outbox can be found, so a forward always finds it. A
    // client whose waker cannot be made is polled instead.
    WakerHandle waker = context.waitWhenIdle ? wakerCreate(context.socket) : nullptr;
    Outbox& outbox = greetClient(context, waker, session);
    if (onGreeted != nullptr) onGreeted();
    Ending ending =
        waker != nullptr ? waitForClient(context, outbox, waker) : pollClient(context, outbox);
    releaseClient(context, outbox, ending, waker, place);
}

struct HandedClient {
    ClientManagerContext context;
    TlsSession* session;
    void (*onGreeted)();
};

void ContinueClient(void* argument) {
    auto* handed = static_cast<HandedClient*>(argument);
    const HandedClient client = *handed;
    delete handed;
    AddressPlace place(client.context.addressCounts, client.context.peerAddress);
    serveSession(client.context, client.session, place, client.onGreeted);
}

// The memory OpenSSL frees during a handshake stays cached for the thread
// that freed it (glibc keeps a cache per thread that only the thread's end
// empties): some 10 KiB a client, for as long as the client stays. So a
// fresh thread greets and serves the client, and this one ends, which
// returns that memory. When no thread can be started, this one goes on.
bool goOnInFreshThread(const ClientManagerContext& context, TlsSession* session,
                       void (*onGreeted)()) {
    HandedThreads* handed = context.handedThreads;
    if (handed == nullptr) return false;
    auto* client = new (std::nothrow) HandedClient{context, session, onGreeted};
    if (client == nullptr) return false;
    // The handle is on the list before this thread ends, so whoever has
    // waited for this thread finds it there.
    lockEnter(handed->lock);
    ThreadHandle thread = threadStart(ContinueClient, client, kClientStackBytes);
    if (thread != nullptr) handed->threads.push_back(thread);
    lockLeave(handed->lock);
    if (thread == nullptr) delete client;
    return thread != nullptr;
}

}  // namespace

void serveClient(ClientManagerContext context, void (*onGreeted)()) {
    AddressPlace place(context.addressCounts, context.peerAddress);
    TlsSession* session = nullptr;
    if (context.tls != nullptr) {
        session = handshakeClient(context);
        if (session == nullptr) return closeUnserved(context);
        if (goOnInFreshThread(context, session, onGreeted)) {
            place.handOver();
            // An ended thread's stack is kept for the next thread; it should
            // not keep the pages the handshake ran through.
            threadReleaseUnusedStack();
            return;
        }
    }
    serveSession(context, session, place, onGreeted);
}

void ClientManager(void* argument) {
    auto* handed = static_cast<ClientManagerContext*>(argument);
    ClientManagerContext context = *handed;
    delete handed;
    serveClient(context, threadLowerPriority);
}

}  // namespace peerdir
