// clients_support.h -- what the tests of the client-handling room share: a
// registry with its lock, client managers on the test's own threads, and
// the lines the send path logs.
#ifndef PEERDIR_TESTS_CLIENTS_CLIENTS_SUPPORT_H
#define PEERDIR_TESTS_CLIENTS_CLIENTS_SUPPORT_H

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "clients/client_manager.h"
#include "clients/registry.h"
#include "platform/platform.h"

namespace peerdir {
namespace testing_support {

const std::string kSendFailed = "MessageHandler: Send failed. Last error was: ";

// The line that ends a drop episode in which count messages were counted.
std::string droppedLine(std::size_t count);

// The drops a log reports: each "Send failed" line is one, and each count
// line the number it gives.
std::size_t droppedIn(const std::string& log);

// A registry and its lock, for a test's lifetime.
struct TestRegistry {
    LockHandle lock = lockCreate();
    ClientRegistry registry = makeRegistry(lock);
    ~TestRegistry() { lockDelete(lock); }
};

// Runs action with the registry's lock held.
void underLock(TestRegistry& r, const std::function<void(ClientRegistry&)>& action);

std::size_t registeredIn(TestRegistry& r);

// Registers count names over a socket of no connection, so that a list is
// far larger than a socket takes in one write.
void addNames(TestRegistry& r, std::size_t count);

// True while socket's outbox holds the unsent rest of a reply.
bool restPendingFor(TestRegistry& r, Socket socket);

// Reads what reader gets while flush() writes an outbox out, until flush()
// says it is empty and nothing more comes, or a bounded time is over.
std::vector<std::uint8_t> drainWhileFlushing(Socket reader, const std::function<bool()>& flush);

// A client manager on a thread of the test's own, at normal priority: the
// server lowers its pollers' priority, which would let a busy machine
// starve a test's client manager. nullptr when the thread could not start.
ThreadHandle startClientManager(const ClientManagerContext& context);

}  // namespace testing_support
}  // namespace peerdir

#endif
