// message_handler.cpp -- registration, listing and forwarding.
//
// Every registry access and every message written here happens with
// registryLock held, so replies for one client never interleave on its socket
// and a found socket cannot be closed while a PeerRequest is written to it.
// Holding the lock while sending is safe: every socket is non-blocking; but
// the lock is never held while asking the shared registry, which may wait on
// etcd. Each reply goes out in one write (a whole list included), so no small
// write waits for the client to acknowledge the one before it.
#include "clients/message_handler.h"

#include <string>
#include <vector>

#include "clients/outbox.h"
#include "clients/registry.h"
#include "metrics/counters.h"
#include "platform/console.h"

namespace peerdir {

namespace {

// The shared registry's state when the mode is on; constant once the
// server runs, but kept with what the lock guards.
SharedRegistry* sharedFor(const ClientManagerContext& context) {
    lockEnter(context.registryLock);
    SharedRegistry* shared = sharedOf(*context.registry);
    lockLeave(context.registryLock);
    return shared;
}

// With names from certificates, only a name the client's certificate
// grants, byte for byte, is registered. The first other one a connection
// sends is logged, without the name: it is the client's text, not ours.
bool granted(const ClientManagerContext& context, const std::string& name) {
    GrantedNames* granted = context.granted;
    if (granted == nullptr) return true;
    for (const std::string& allowed : granted->names) {
        if (allowed == name) return true;
    }
    if (!granted->ignoredReported) {
        granted->ignoredReported = true;
        logLine(
            "MessageHandler: Client sent a name its certificate does not grant; such names are "
            "ignored.");
    }
    return false;
}

void registerName(const std::uint8_t* payload, const ClientManagerContext& context) {
    NamePayload request = decodeNamePayload(payload);
    std::string name;
    if (!readTextField(request.name, kNameFieldSize, &name)) return;
    if (!granted(context, name)) return;
    ConnectionId connection = 0;
    lockEnter(context.registryLock);
    AddResult added = add(*context.registry, name, context.socket, &connection);
    const std::size_t limit = nameLimitOf(*context.registry);
    SharedRegistry* shared = sharedOf(*context.registry);
    lockLeave(context.registryLock);
    if (added == AddResult::Added && shared != nullptr) {
        sharedRegister(shared, connection, name);
    }
    if (added != AddResult::Added) countEvent(Counter::NamesIgnored);
    if (added == AddResult::FirstOverLimit) {
        logText("MessageHandler: Client reached its limit of ");
        logUnsigned(limit);
        logText(" names; further names are ignored.");
        logEnd();
    }
}

// The list goes out in one write, or is dropped whole by the outbox's rules.
void sendList(const ClientManagerContext& context, const std::vector<std::uint8_t>& wire,
              std::size_t count) {
    if (count == 0) return;
    sendMessages(outboxFor(*context.registry, context.socket), wire.data(), wire.size(), count);
}

// A client that has not taken its last reply would only have the list
// dropped, so it is not built: its names are counted as dropped at once.
void sendLocalNameList(const ClientManagerContext& context) {
    lockEnter(context.registryLock);
    ClientRegistry& registry = *context.registry;
    std::size_t count = entryCount(registry);
    Outbox& outbox = outboxFor(registry, context.socket);
    if (count > 0 && !readyForMore(outbox)) {
        dropMessages(outbox, count);
    } else {
        std::vector<std::uint8_t> wire;
        wire.reserve(count * (kHeaderSize + kNamePayloadSize));
        forEach(registry,
                [&wire](const ClientEntry& entry) { appendClientName(wire, entry.name); });
        sendList(context, wire, count);
    }
    lockLeave(context.registryLock);
}

bool readyForList(const ClientManagerContext& context) {
    lockEnter(context.registryLock);
    bool ready = readyForMore(outboxFor(*context.registry, context.socket));
    lockLeave(context.registryLock);
    return ready;
}

// Every name on every server sharing the registry; while etcd does not
// answer, this server's own.
void sendSharedNameList(const ClientManagerContext& context, SharedRegistry* shared) {
    std::size_t count = 0;
    if (!readyForList(context) && sharedNameCount(shared, &count)) {
        lockEnter(context.registryLock);
        dropMessages(outboxFor(*context.registry, context.socket), count);
        lockLeave(context.registryLock);
        return;
    }
    std::vector<std::string> names;
    if (!sharedListNames(shared, &names)) return sendLocalNameList(context);
    std::vector<std::uint8_t> wire;
    for (const std::string& name : names) appendClientName(wire, name);
    lockEnter(context.registryLock);
    sendList(context, wire, names.size());
    lockLeave(context.registryLock);
}

void sendNameList(const ClientManagerContext& context) {
    SharedRegistry* shared = sharedFor(context);
    if (shared == nullptr) return sendLocalNameList(context);
    sendSharedNameList(context, shared);
}

// The forward as it goes out: the request's texts rewritten with zeros after
// their NULs, and its port bytes unchanged. False for a field without a NUL.
bool buildForward(const std::uint8_t* payload, std::string* name,
                  std::uint8_t (&wire)[kConnectPayloadSize]) {
    ConnectPayload request = decodeConnectPayload(payload);
    std::string address;
    if (!readTextField(request.name, kNameFieldSize, name) ||
        !readTextField(request.address, kAddressFieldSize, &address)) {
        return false;
    }
    ConnectPayload forward;
    writeTextField(*name, forward.name, kNameFieldSize);
    writeTextField(address, forward.address, kAddressFieldSize);
    forward.port[0] = request.port[0];
    forward.port[1] = request.port[1];
    encodeConnectPayload(forward, wire);
    return true;
}

// Writes the PeerRequest to target, or NameNotFound to the sender when
// there is no target. The caller holds the lock.
void answerLocally(const ClientManagerContext& context, Socket target,
                   const std::uint8_t (&wire)[kConnectPayloadSize]) {
    if (target != kNoSocket) {
        bool sent =
            sendMessage(outboxFor(*context.registry, target), MessageType::PeerRequest, wire);
        countEvent(sent ? Counter::ConnectForwarded : Counter::ConnectDropped);
    } else {
        sendMessage(outboxFor(*context.registry, context.socket), MessageType::NameNotFound);
        countEvent(Counter::ConnectNotFound);
    }
}

void forwardLocally(const ClientManagerContext& context, const std::string& name,
                    const std::uint8_t (&wire)[kConnectPayloadSize]) {
    lockEnter(context.registryLock);
    answerLocally(context, findFirst(*context.registry, name), wire);
    lockLeave(context.registryLock);
}

// The earliest registrant anywhere gets the request. One of this server's
// clients that left meanwhile is replaced by the earliest one left here.
void forwardShared(const ClientManagerContext& context, SharedRegistry* shared,
                   const std::string& name, const std::uint8_t (&wire)[kConnectPayloadSize]) {
    ConnectionId holder = 0;
    SharedForward outcome = sharedForward(shared, name, wire, &holder);
    if (outcome == SharedForward::Forwarded) return countEvent(Counter::ConnectForwarded);
    if (outcome == SharedForward::Unavailable) return forwardLocally(context, name, wire);
    lockEnter(context.registryLock);
    Socket target = kNoSocket;
    if (outcome == SharedForward::Here) {
        target = socketOf(*context.registry, holder);
        if (target == kNoSocket) target = findFirst(*context.registry, name);
    }
    answerLocally(context, target, wire);
    lockLeave(context.registryLock);
}

void forwardConnectRequest(const std::uint8_t* payload, const ClientManagerContext& context) {
    std::string name;
    std::uint8_t wire[kConnectPayloadSize];
    if (!buildForward(payload, &name, wire)) return countEvent(Counter::ConnectDropped);
    SharedRegistry* shared = sharedFor(context);
    if (shared == nullptr) return forwardLocally(context, name, wire);
    forwardShared(context, shared, name, wire);
}

}  // namespace

void deliverForwardedRequest(void* registry, ConnectionId connection, const std::uint8_t* payload) {
    auto& local = *static_cast<ClientRegistry*>(registry);
    lockEnter(lockOf(local));
    Socket target = socketOf(local, connection);
    if (target != kNoSocket)
        sendMessage(outboxFor(local, target), MessageType::PeerRequest, payload);
    lockLeave(lockOf(local));
}

void handleMessage(const std::uint8_t* payload, const ClientManagerContext& context,
                   MessageType type) {
    switch (type) {
        case MessageType::ClientName:
            countEvent(Counter::RequestRegistration);
            registerName(payload, context);
            break;
        case MessageType::ListRequest:
            countEvent(Counter::RequestList);
            sendNameList(context);
            break;
        case MessageType::ConnectRequest:
            countEvent(Counter::RequestConnect);
            forwardConnectRequest(payload, context);
            break;
        default:
            // Welcome, PeerRequest, NameNotFound and unknown types ask for
            // nothing.
            break;
    }
}

}  // namespace peerdir
