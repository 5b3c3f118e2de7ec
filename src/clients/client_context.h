// client_context.h -- what each client manager thread is handed.
#ifndef PEERDIR_CLIENTS_CLIENT_CONTEXT_H
#define PEERDIR_CLIENTS_CLIENT_CONTEXT_H

#include "clients/registry.h"
#include "platform/platform.h"

namespace peerdir {

// The registry, its lock and globalExit are shared by every client manager;
// the socket is this client's own. A thread copies the context before doing
// anything else, so the original only has to live until then.
struct ClientManagerContext {
    ClientRegistry* registry;
    LockHandle registryLock;
    EventHandle globalExit;
    Socket socket;
    // Between turns, sleep in the kernel until there is something to do,
    // instead of looking every millisecond.
    bool waitWhenIdle = false;
};

}  // namespace peerdir

#endif
