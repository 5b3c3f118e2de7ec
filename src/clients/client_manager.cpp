// client_manager.cpp -- the per-client polling loop and its clean-up.
#include "clients/client_manager.h"

#include "clients/message_handler.h"
#include "clients/registry.h"
#include "platform/console.h"
#include "protocol/message.h"
#include "protocol/message_reader.h"

namespace peerdir {

namespace {

enum class TurnOutcome { KeepGoing, Leave };

TurnOutcome actOn(const ReceiveResult& r, const ClientManagerContext& context) {
    switch (r.status) {
        case ReceiveStatus::Message:
            handleMessage(r.payload.empty() ? nullptr : r.payload.data(), context,
                          static_cast<MessageType>(static_cast<std::uint32_t>(r.value)));
            return TurnOutcome::KeepGoing;
        case ReceiveStatus::NoData:
            return TurnOutcome::KeepGoing;
        case ReceiveStatus::ShortHeader:
            // Only a header that never completed gets here; the stream can
            // no longer be read in step, so the connection ends.
            logLine("ClientManager: Got an incorrect amount of data from recv.");
            return TurnOutcome::Leave;
        case ReceiveStatus::Disconnected:
            logLine("ClientManager: Client disconnected. Thread terminating...");
            return TurnOutcome::Leave;
        case ReceiveStatus::SocketError:
            logText("ClientManager: Socket returned an error from recv: ");
            logSigned(r.value);
            logEnd();
            return TurnOutcome::Leave;
    }
    return TurnOutcome::Leave;
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

void pollClient(const ClientManagerContext& context, Outbox& outbox) {
    const PayloadWait wait{context.globalExit, kPayloadWaitMillis};
    bool running = true;
    while (running) {
        sleepMillis(1);
        if (eventTestNow(context.globalExit)) {
            logLine("ClientManager: globalExit event was signalled or had an error. Quitting...");
            running = false;
        }
        finishPendingWrite(context, outbox);
        // The turn that saw globalExit still reads and handles one message.
        ReceiveResult r = receiveMessage(context.socket, wait);
        if (actOn(r, context) == TurnOutcome::Leave) return;
    }
}

Outbox& greetClient(const ClientManagerContext& context) {
    lockEnter(context.registryLock);
    Outbox& outbox = outboxFor(*context.registry, context.socket, context.registryLock);
    sendMessage(outbox, MessageType::Welcome);
    lockLeave(context.registryLock);
    return outbox;
}

// The entries and the outbox go under the lock before the socket closes, so
// no other thread can find the socket, or write to it, once it is closed.
void releaseClient(const ClientManagerContext& context) {
    lockEnter(context.registryLock);
    removeAll(*context.registry, context.socket);
    dropOutbox(*context.registry, context.socket);
    lockLeave(context.registryLock);
    socketShutdownBoth(context.socket);
    socketClose(context.socket);
}

}  // namespace

void serveClient(ClientManagerContext context) {
    Outbox& outbox = greetClient(context);
    // Polling yields to accepting and greeting: when thousands of idle
    // clients keep every core busy, new connections are still welcomed at
    // once instead of after every poller's turn.
    threadLowerPriority();
    pollClient(context, outbox);
    releaseClient(context);
}

void ClientManager(void* argument) {
    auto* handed = static_cast<ClientManagerContext*>(argument);
    ClientManagerContext context = *handed;
    delete handed;
    serveClient(context);
}

}  // namespace peerdir
