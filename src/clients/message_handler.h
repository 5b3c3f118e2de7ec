// message_handler.h -- carries out one whole message from a client.
#ifndef PEERDIR_CLIENTS_MESSAGE_HANDLER_H
#define PEERDIR_CLIENTS_MESSAGE_HANDLER_H

#include <cstdint>

#include "clients/client_context.h"
#include "protocol/message.h"

namespace peerdir {

// ClientName registers the name for the sender; ListRequest sends the sender
// one ClientName per entry, in registration order; ConnectRequest forwards a
// PeerRequest to the first registrant of the name, or answers NameNotFound.
// Every other type is ignored. payload holds payloadSizeFor(type) bytes (none
// for types without one) and stays the caller's.
//
// A name or address field with no NUL inside its width has no valid text:
// such a message is dropped whole, with nothing registered, sent or logged.
//
// Takes the context's registryLock itself; the caller must not hold it.
void handleMessage(const std::uint8_t* payload, const ClientManagerContext& context,
                   MessageType type);

// Hands a request forwarded by another server (through the shared
// registry) to this server's client on connection, as a PeerRequest; does
// nothing when that client has left. registry is the ClientRegistry.
void deliverForwardedRequest(void* registry, ConnectionId connection, const std::uint8_t* payload);

}  // namespace peerdir

#endif
