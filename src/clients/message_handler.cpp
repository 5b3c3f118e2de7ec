// message_handler.cpp -- registration, listing and forwarding.
//
// Every registry access and every message written here happens with
// registryLock held, so replies for one client never interleave on its socket
// and a found socket cannot be closed while a PeerRequest is written to it.
// Holding the lock while sending is safe: every socket is non-blocking. Each
// reply goes out in one write (a whole list included), so no small write
// waits for the client to acknowledge the one before it.
#include "clients/message_handler.h"

#include <string>
#include <vector>

#include "clients/outbox.h"
#include "clients/registry.h"
#include "platform/console.h"

namespace peerdir {

namespace {

void registerName(const std::uint8_t* payload, const ClientManagerContext& context) {
    NamePayload request = decodeNamePayload(payload);
    std::string name;
    if (!readTextField(request.name, kNameFieldSize, &name)) return;
    lockEnter(context.registryLock);
    AddResult added = add(*context.registry, name, context.socket);
    const std::size_t limit = nameLimitOf(*context.registry);
    lockLeave(context.registryLock);
    if (added == AddResult::FirstOverLimit) {
        logText("MessageHandler: Client reached its limit of ");
        logUnsigned(limit);
        logText(" names; further names are ignored.");
        logEnd();
    }
}

// One ClientName message per entry, in registration order.
std::vector<std::uint8_t> encodeNameList(const ClientRegistry& registry) {
    std::vector<std::uint8_t> wire;
    wire.reserve(entryCount(registry) * (kHeaderSize + kNamePayloadSize));
    forEach(registry, [&wire](const ClientEntry& entry) {
        NamePayload reply;
        writeTextField(entry.name, reply.name, kNameFieldSize);
        std::uint8_t payload[kNamePayloadSize];
        encodeNamePayload(reply, payload);
        appendMessage(wire, MessageType::ClientName, payload);
    });
    return wire;
}

// A client that has not taken its last reply would only have the list
// dropped, so it is not built: its names are counted as dropped at once.
void sendNameList(const ClientManagerContext& context) {
    lockEnter(context.registryLock);
    ClientRegistry& registry = *context.registry;
    std::size_t count = entryCount(registry);
    Outbox& outbox = outboxFor(registry, context.socket);
    if (count > 0 && !readyForMore(outbox)) {
        dropMessages(outbox, count);
    } else if (count > 0) {
        std::vector<std::uint8_t> wire = encodeNameList(registry);
        sendMessages(outbox, wire.data(), wire.size(), count);
    }
    lockLeave(context.registryLock);
}

void forwardConnectRequest(const std::uint8_t* payload, const ClientManagerContext& context) {
    ConnectPayload request = decodeConnectPayload(payload);
    std::string name;
    std::string address;
    if (!readTextField(request.name, kNameFieldSize, &name) ||
        !readTextField(request.address, kAddressFieldSize, &address)) {
        return;
    }
    ConnectPayload forward;
    writeTextField(name, forward.name, kNameFieldSize);
    writeTextField(address, forward.address, kAddressFieldSize);
    forward.port[0] = request.port[0];
    forward.port[1] = request.port[1];
    std::uint8_t wire[kConnectPayloadSize];
    encodeConnectPayload(forward, wire);

    lockEnter(context.registryLock);
    Socket target = findFirst(*context.registry, name);
    if (target != kNoSocket) {
        sendMessage(outboxFor(*context.registry, target), MessageType::PeerRequest, wire);
    } else {
        sendMessage(outboxFor(*context.registry, context.socket), MessageType::NameNotFound);
    }
    lockLeave(context.registryLock);
}

}  // namespace

void handleMessage(const std::uint8_t* payload, const ClientManagerContext& context,
                   MessageType type) {
    switch (type) {
        case MessageType::ClientName:
            registerName(payload, context);
            break;
        case MessageType::ListRequest:
            sendNameList(context);
            break;
        case MessageType::ConnectRequest:
            forwardConnectRequest(payload, context);
            break;
        default:
            // Welcome, PeerRequest, NameNotFound and unknown types ask for
            // nothing.
            break;
    }
}

}  // namespace peerdir
