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
            logLine("ClientManager: Got an incorrect amount of data from recv.");
            return TurnOutcome::KeepGoing;
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

void pollClient(const ClientManagerContext& context) {
    const PayloadWait wait{context.globalExit, kPayloadWaitMillis};
    bool running = true;
    while (running) {
        sleepMillis(1);
        if (eventTestNow(context.globalExit)) {
            logLine("ClientManager: globalExit event was signalled or had an error. Quitting...");
            running = false;
        }
        // The turn that saw globalExit still reads and handles one message.
        ReceiveResult r = receiveMessage(context.socket, wait);
        if (actOn(r, context) == TurnOutcome::Leave) return;
    }
}

void releaseClient(const ClientManagerContext& context) {
    lockEnter(context.registryLock);
    removeAll(*context.registry, context.socket);
    lockLeave(context.registryLock);
    socketShutdownBoth(context.socket);
    socketClose(context.socket);
}

}  // namespace

void serveClient(ClientManagerContext context) {
    // Nobody can have registered this socket yet, so Welcome needs no lock.
    sendMessage(context.socket, MessageType::Welcome);
    pollClient(context);
    releaseClient(context);
}

void ClientManager(void* argument) {
    auto* handed = static_cast<ClientManagerContext*>(argument);
    ClientManagerContext context = *handed;
    delete handed;
    serveClient(context);
}

}  // namespace peerdir
