// client_manager.h -- the thread that serves one connected client.
//
// It greets the client with Welcome, then polls: every turn it sleeps 1 ms,
// tests globalExit, finishes any reply the socket could not take whole,
// reads at most one message and acts on it. With waitWhenIdle it takes the
// same turns, but sleeps in the kernel between them until the socket is
// readable, a waiting rest can be written (another thread that leaves one
// rings the outbox's waker), or globalExit is set; reads stay at least 1 ms
// apart, so a burst is still handled one message a millisecond. It ends when the client
// disconnects, a read fails or a message never completes, or after the turn
// in which globalExit was first seen; then it removes the client's registry
// entries and its outbox under the lock and only afterwards shuts the socket
// down and closes it, so no other thread can find the socket once it is
// closed. The place its client holds under the limit per address is given
// back before the end line, and whichever way serveClient ends.
#ifndef PEERDIR_CLIENTS_CLIENT_MANAGER_H
#define PEERDIR_CLIENTS_CLIENT_MANAGER_H

#include "clients/client_context.h"

namespace peerdir {

// The server's thread entry. argument is a ClientManagerContext allocated
// with new; the thread copies it first thing and deletes it, so the starter
// neither keeps nor frees it once the thread has started. Once its client
// is greeted, the thread lowers its own priority: polling yields to
// accepting and greeting, so when thousands of idle clients keep every core
// busy, new connections are still welcomed at once instead of after every
// poller's turn.
void ClientManager(void* argument);

// The body, at the calling thread's priority. onGreeted, when given, runs
// once the Welcome has been sent.
void serveClient(ClientManagerContext context, void (*onGreeted)() = nullptr);

}  // namespace peerdir

#endif
