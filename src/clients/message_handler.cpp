// message_handler.cpp -- registration, listing and forwarding.
//
// Every registry access and every message written here happens with
// registryLock held, so replies for one client never interleave on its socket
// and a found socket cannot be closed while a PeerRequest is written to it.
// Holding the lock while sending is safe: every socket is non-blocking.
#include "clients/message_handler.h"

#include <string>

#include "clients/registry.h"

namespace peerdir {

namespace {

void registerName(const std::uint8_t* payload, const ClientManagerContext& context) {
    NamePayload request = decodeNamePayload(payload);
    std::string name;
    if (!readTextField(request.name, kNameFieldSize, &name)) return;
    lockEnter(context.registryLock);
    add(*context.registry, name, context.socket);
    lockLeave(context.registryLock);
}

void sendNameList(const ClientManagerContext& context) {
    lockEnter(context.registryLock);
    forEach(*context.registry, [&context](const ClientEntry& entry) {
        NamePayload reply;
        writeTextField(entry.name, reply.name, kNameFieldSize);
        std::uint8_t wire[kNamePayloadSize];
        encodeNamePayload(reply, wire);
        sendMessage(context.socket, MessageType::ClientName, wire);
    });
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
        sendMessage(target, MessageType::PeerRequest, wire);
    } else {
        sendMessage(context.socket, MessageType::NameNotFound);
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
