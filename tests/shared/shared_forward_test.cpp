// A forward to another server's client, from the asker's wait to the
// mailbox put, and a new lease's restart of the mailbox watch, against a
// fake gateway that answers each put as the test says: busy, the target's
// lease gone, or fine. A real etcd cannot be made to refuse one put and take
// the next on cue.
#include <gtest/gtest.h>

#include <chrono>
#include <cstddef>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kit/fake_gateway.h"
#include "shared/shared_keys.h"
#include "shared/shared_state.h"
#include "support/test_support.h"

namespace peerdir {
namespace {

constexpr std::int64_t kOwnLease = 0x11;
constexpr std::int64_t kTargetLease = 0x22;
constexpr ConnectionId kTargetConnection = 7;
constexpr std::int64_t kNewLease = 0x33;

enum class PutAnswer { Ok, Busy, LeaseGone, LateBusy };

class SharedForwardTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_GT(fake_.port, 0);
        fake_.answerWith([this](const httplib::Request& request, httplib::Response& response) {
            answer(request, response);
        });
        etcd_.endpoints = {fake_.endpoint()};
        shared_.writes.endpoints = etcd_.endpoints;
        shared_.options.prefix = "p";
        shared_.server = "e1";
        shared_.lease = kOwnLease;
        shared_.available = true;
        // One name, held by a client of another server.
        EtcdKeyValue bob;
        bob.key = registrationKey("p", "bob", "b2", 1);
        bob.value = encodeConnection(kTargetConnection);
        bob.createRevision = 3;
        bob.lease = kTargetLease;
        mirrorReplace(shared_.mirror, "p", {bob});
    }

    void TearDown() override {
        stopForwarder();
        // Closed before the fake goes, which would wait for it otherwise.
        shared_.writes.http.reset();
    }

    void startForwarder() {
        forwarder_ = std::thread(runForwarder, std::ref(shared_), std::ref(etcd_));
    }

    void stopForwarder() {
        if (!forwarder_.joinable()) return;
        {
            std::lock_guard<std::mutex> hold(shared_.lock);
            shared_.stopping = true;
        }
        shared_.forwardQueued.notify_all();
        shared_.changed.notify_all();
        forwarder_.join();
    }

    // The mailbox puts are answered in the script's order, its last answer
    // from then on.
    void script(std::vector<PutAnswer> answers) {
        std::lock_guard<std::mutex> hold(lock_);
        script_ = std::move(answers);
    }

    std::size_t putsSeen() {
        std::lock_guard<std::mutex> hold(lock_);
        return puts_;
    }

    SharedForward forwardToBob() {
        std::uint8_t payload[kConnectPayloadSize] = {};
        ConnectionId holder = 0;
        return sharedForward(&shared_, "bob", payload, &holder);
    }

    bool queueEmpty() {
        std::lock_guard<std::mutex> hold(shared_.lock);
        return shared_.forwardJobs.empty();
    }

    SharedRegistry shared_;

  private:
    void answer(const httplib::Request& request, httplib::Response& response) {
        if (request.path == "/v3/lease/grant") {
            response.set_content(R"({"ID":"51","TTL":"10"})", "application/json");
            return;
        }
        if (request.path != "/v3/kv/txn") {
            // A look-up in etcd itself: nobody holds the name any more.
            response.set_content(R"({"header":{"revision":"9"}})", "application/json");
            return;
        }
        PutAnswer now = PutAnswer::Ok;
        {
            std::lock_guard<std::mutex> hold(lock_);
            if (!script_.empty()) now = script_[std::min(puts_, script_.size() - 1)];
            ++puts_;
        }
        if (now == PutAnswer::LateBusy) {
            // Still under way when the asker's wait ends.
            std::this_thread::sleep_for(std::chrono::milliseconds(kSharedAnswerMillis + 300));
        }
        switch (now) {
            case PutAnswer::Ok:
                response.set_content(R"({"header":{"revision":"9"},"succeeded":true})",
                                     "application/json");
                break;
            case PutAnswer::Busy:
            case PutAnswer::LateBusy:
                response.status = 429;
                response.set_content(
                    R"({"error":"etcdserver: too many requests","code":8,"message":"etcdserver: too many requests"})",
                    "application/json");
                break;
            case PutAnswer::LeaseGone:
                response.status = 404;
                response.set_content(
                    R"({"error":"etcdserver: requested lease not found","code":5,"message":"etcdserver: requested lease not found"})",
                    "application/json");
                break;
        }
    }

    kit::FakeGateway fake_;
    EtcdConnection etcd_;
    std::thread forwarder_;
    std::mutex lock_;
    std::vector<PutAnswer> script_;
    std::size_t puts_ = 0;
};

// As during an election: the first puts are refused, a later one lands
// inside the asker's wait.
TEST_F(SharedForwardTest, AForwardRefusedAtFirstIsTriedAgainUntilItLands) {
    script({PutAnswer::Busy, PutAnswer::Busy, PutAnswer::Ok});
    startForwarder();
    EXPECT_EQ(forwardToBob(), SharedForward::Forwarded);
    EXPECT_EQ(putsSeen(), 3u);
}

// Puts etcd refused landed nowhere: when the forwarder gives up (here as
// the server stops), the asker is answered here, as while etcd is lost,
// instead of hearing nothing.
TEST_F(SharedForwardTest, AForwardThatNeverLandedIsAnsweredHere) {
    script({PutAnswer::Busy});
    startForwarder();
    std::future<SharedForward> asked =
        std::async(std::launch::async, [this] { return forwardToBob(); });
    ASSERT_TRUE(testing_support::waitUntil([this] { return putsSeen() >= 2; }));
    stopForwarder();
    EXPECT_EQ(asked.get(), SharedForward::Unavailable);
}

// A put under way when the asker's wait ended may land: the asker hears
// nothing more, so the forward is carried through rather than dropped.
TEST_F(SharedForwardTest, AForwardWhosePutWasUnderWayIsCarriedThrough) {
    script({PutAnswer::LateBusy, PutAnswer::Ok});
    startForwarder();
    EXPECT_EQ(forwardToBob(), SharedForward::Forwarded);
    EXPECT_TRUE(testing_support::waitUntil([this] { return putsSeen() == 2; }));
}

// The asker was answered here before the forwarder got to the job: sending
// it now would deliver the request a second time, elsewhere.
TEST_F(SharedForwardTest, AForwardGivenUpBeforeItsPutIsNeverSent) {
    EXPECT_EQ(forwardToBob(), SharedForward::Unavailable);
    startForwarder();
    ASSERT_TRUE(testing_support::waitUntil([this] { return queueEmpty(); }));
    stopForwarder();
    EXPECT_EQ(putsSeen(), 0u);
}

// "Lease not found" to a put under the target's lease says the target went,
// not that this server lost its own lease.
TEST_F(SharedForwardTest, TheTargetsLeaseGoneLeavesThisServersLeaseAlone) {
    script({PutAnswer::LeaseGone});
    startForwarder();
    EXPECT_EQ(forwardToBob(), SharedForward::NotFound);
    std::lock_guard<std::mutex> hold(shared_.lock);
    EXPECT_FALSE(shared_.leaseLost);
}

// Stopping the mailbox watch may wait for a connection being made. A new
// lease stops it without holding the state's lock meanwhile, so no client's
// turn waits on etcd. Holding the stop's own lock stands in for that wait.
TEST_F(SharedForwardTest, ANewLeaseStopsTheMailboxWatchWithoutHoldingTheStatesLock) {
    testing_support::LogCapture log;
    auto watch = std::make_shared<EtcdWatchStop>();
    shared_.watchStop = watch;
    shared_.leaseLost = true;
    std::unique_lock<std::mutex> stopping(watch->lock);
    std::thread granting([this] { recoverWhenDue(shared_); });
    EXPECT_TRUE(testing_support::waitUntil([this] {
        std::unique_lock<std::mutex> hold(shared_.lock, std::try_to_lock);
        return hold.owns_lock() && shared_.lease == kNewLease;
    }));
    stopping.unlock();
    granting.join();
    EXPECT_TRUE(watch->requested);
    EXPECT_TRUE(log.waitFor("registry: Lease expired; registrations written again under lease "))
        << log.text();
}

}  // namespace
}  // namespace peerdir
