// clients_support.cpp -- helpers for the client-handling tests.
#include "clients/clients_support.h"

#include <chrono>

namespace peerdir {
namespace testing_support {

std::string droppedLine(std::size_t count) {
    return "MessageHandler: " + std::to_string(count) +
           " more messages to this client were dropped.\n";
}

std::size_t droppedIn(const std::string& log) {
    std::size_t dropped = 0;
    std::size_t at = 0;
    while (at < log.size()) {
        std::size_t end = log.find('\n', at);
        const std::string line = log.substr(at, end - at);
        if (line.rfind(kSendFailed, 0) == 0) ++dropped;
        const std::string counted = "MessageHandler: ";
        if (line.find(" more messages to this client were dropped.") != std::string::npos) {
            dropped += std::stoul(line.substr(counted.size()));
        }
        at = end == std::string::npos ? log.size() : end + 1;
    }
    return dropped;
}

void underLock(TestRegistry& r, const std::function<void(ClientRegistry&)>& action) {
    lockEnter(r.lock);
    action(r.registry);
    lockLeave(r.lock);
}

std::size_t registeredIn(TestRegistry& r) {
    std::size_t count = 0;
    underLock(r, [&count](ClientRegistry& registry) { count = entryCount(registry); });
    return count;
}

void addNames(TestRegistry& r, std::size_t count) {
    underLock(r, [count](ClientRegistry& registry) {
        for (std::size_t i = 0; i < count; ++i) add(registry, "n" + std::to_string(i), 1 << 30);
    });
}

bool restPendingFor(TestRegistry& r, Socket socket) {
    bool pending = false;
    underLock(r, [&](ClientRegistry& registry) {
        auto found = registry.outboxes.find(socket);
        pending = found != registry.outboxes.end() && !found->second.rest.empty();
    });
    return pending;
}

std::vector<std::uint8_t> drainWhileFlushing(Socket reader, const std::function<bool()>& flush) {
    std::vector<std::uint8_t> got;
    std::vector<std::uint8_t> chunk(65536);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < deadline) {
        bool empty = flush();
        int n = socketRecv(reader, chunk.data(), chunk.size());
        if (n > 0) {
            got.insert(got.end(), chunk.begin(), chunk.begin() + n);
        } else if (empty) {
            break;
        } else {
            sleepMillis(1);
        }
    }
    return got;
}

namespace {

void serveOnThread(void* argument) {
    auto* handed = static_cast<ClientManagerContext*>(argument);
    ClientManagerContext context = *handed;
    delete handed;
    serveClient(context);
}

}  // namespace

ThreadHandle startClientManager(const ClientManagerContext& context) {
    auto* handed = new ClientManagerContext(context);
    ThreadHandle thread = threadStart(serveOnThread, handed);
    if (thread == nullptr) delete handed;
    return thread;
}

}  // namespace testing_support
}  // namespace peerdir
