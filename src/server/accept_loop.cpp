// accept_loop.cpp -- accepting connections, one client manager thread each,
// and the shutdown sequence.
//
// The main thread alone touches connections and clientThreads. It never uses
// the registry while client managers run, and releases the registry, its lock
// and globalExit only after every client manager has ended.
#include <vector>

#include "clients/client_context.h"
#include "clients/client_manager.h"
#include "clients/registry.h"
#include "net/network.h"
#include "platform/console.h"
#include "server/server.h"

namespace peerdir {

namespace {

struct ServerState {
    std::vector<Socket> connections;
    std::vector<ThreadHandle> clientThreads;
    ClientRegistry* registry = nullptr;
    LockHandle registryLock = nullptr;
    EventHandle globalExit = nullptr;
};

void startClientManager(ServerState& state, Socket client) {
    state.connections.push_back(client);
    // Each thread gets a context of its own on the heap and frees it once it
    // has copied it, so later connections cannot disturb it.
    auto* context =
        new ClientManagerContext{state.registry, state.registryLock, state.globalExit, client};
    ThreadHandle thread = threadStart(ClientManager, context);
    if (thread == nullptr) {
        delete context;
        return;
    }
    state.clientThreads.push_back(thread);
}

void acceptUntilExit(ServerState& state, Socket listenSocket) {
    if (eventTestNow(state.globalExit)) return;
    for (;;) {
        Socket s = listenForConnections(listenSocket);
        if (s == kNoSocket || s == listenSocket) {
            // The listening socket comes back after a listen or accept error
            // (a peer that reset before being accepted, say). It is no new
            // connection; wait like an empty poll and try again.
            sleepMillis(1);
        } else {
            startClientManager(state, s);
        }
        if (eventTestNow(state.globalExit)) return;
    }
}

// Reports every accepted socket that is still open: only one that no client
// manager served can be.
void probeConnections(const std::vector<Socket>& connections) {
    for (std::size_t i = 0; i < connections.size(); ++i) {
        Socket s = connections[i];
        char none = 0;
        if (socketRecv(s, &none, 0) == 0) {
            logText("WARNING: Socket number ");
            logUnsigned(i);
            logText("was not shut down before server shutdown!");
            logEnd();
            socketShutdownBoth(s);
            socketRecv(s, &none, 0);
        }
        logText("WSAGetLastError returned: ");
        logSigned(lastSocketError());
        logEnd();
    }
}

}  // namespace

void acceptAndServe(Socket listenSocket, EventHandle globalExit) {
    ServerState state;
    state.registry = new ClientRegistry;
    state.registryLock = lockCreate();
    state.globalExit = globalExit;

    acceptUntilExit(state, listenSocket);

    threadWaitAll(state.clientThreads.data(), state.clientThreads.size());
    probeConnections(state.connections);

    netCleanup();
    eventClose(state.globalExit);
    lockDelete(state.registryLock);
    delete state.registry;
    for (ThreadHandle thread : state.clientThreads) threadRelease(thread);
}

}  // namespace peerdir
