// fake_gateway.h -- an HTTP server on loopback that answers as a test says,
// in place of etcd's gateway: for answers a real member cannot be made to
// give on demand (too much, too deep, "busy", silence at a chosen moment).
#ifndef PEERDIR_TESTS_KIT_FAKE_GATEWAY_H
#define PEERDIR_TESTS_KIT_FAKE_GATEWAY_H

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>

#include "etcd/etcd_codec.h"

namespace peerdir {
namespace kit {

using Answer = std::function<void(const httplib::Request&, httplib::Response&)>;

// An HTTP server on a free loopback port that answers every POST as answer
// says, on its own thread until the record goes.
struct FakeGateway {
    httplib::Server server;
    std::thread thread;
    int port = 0;
    std::mutex lock;
    Answer answer;  // under lock: the server's threads read it
    // Of the answer being streamed: the bytes gone out, and whether it is over.
    std::atomic<std::size_t> streamed{0};
    std::atomic<bool> streamOver{false};

    FakeGateway() {
        server.Post(".*", [this](const httplib::Request& request, httplib::Response& response) {
            Answer now;
            {
                std::lock_guard<std::mutex> hold(lock);
                now = answer;
            }
            now(request, response);
        });
        port = server.bind_to_any_port("127.0.0.1");
        if (port > 0) thread = std::thread([this] { server.listen_after_bind(); });
    }
    ~FakeGateway() {
        // A stop before the server runs would be lost, and the join hang.
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (thread.joinable() && !server.is_running() &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        server.stop();
        if (thread.joinable()) thread.join();
    }
    EtcdEndpoint endpoint() const { return {"127.0.0.1", static_cast<std::uint16_t>(port)}; }
    void answerWith(Answer next) {
        std::lock_guard<std::mutex> hold(lock);
        answer = std::move(next);
    }
};

}  // namespace kit
}  // namespace peerdir

#endif
