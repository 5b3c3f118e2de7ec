// client_manager.h -- the thread that serves one connected client.
//
// It greets the client with Welcome, then polls: every turn it sleeps 1 ms,
// tests globalExit, finishes any reply the socket could not take whole,
// reads at most one message and acts on it. It ends when the client
// disconnects, a read fails or a message never completes, or after the turn
// in which globalExit was first seen; then it removes the client's registry
// entries and its outbox under the lock and only afterwards shuts the socket
// down and closes it, so no other thread can find the socket once it is
// closed.
#ifndef PEERDIR_CLIENTS_CLIENT_MANAGER_H
#define PEERDIR_CLIENTS_CLIENT_MANAGER_H

#include "clients/client_context.h"

namespace peerdir {

// Thread entry. argument is a ClientManagerContext allocated with new; the
// thread copies it first thing and deletes it, so the starter neither keeps
// nor frees it once the thread has started.
void ClientManager(void* argument);

// The body, for a context the caller keeps alive until this returns.
void serveClient(ClientManagerContext context);

}  // namespace peerdir

#endif
