// client_thread.h -- a client manager on a thread of the test's own, at
// normal priority: the server lowers its pollers' priority, which would let
// a busy machine starve a test's client manager.
#ifndef PEERDIR_TESTS_CLIENTS_CLIENT_THREAD_H
#define PEERDIR_TESTS_CLIENTS_CLIENT_THREAD_H

#include "clients/client_manager.h"
#include "platform/platform.h"

namespace peerdir {
namespace testing_support {

inline void serveOnThread(void* argument) {
    auto* context = static_cast<ClientManagerContext*>(argument);
    ClientManagerContext copy = *context;
    delete context;
    serveClient(copy);
}

// nullptr when the thread could not start.
inline ThreadHandle startClientManager(const ClientManagerContext& context) {
    auto* handed = new ClientManagerContext(context);
    ThreadHandle thread = threadStart(serveOnThread, handed);
    if (thread == nullptr) delete handed;
    return thread;
}

}  // namespace testing_support
}  // namespace peerdir

#endif
