// The etcd access layer against three real members, one of which stops
// answering: requests and watches move on to the next endpoint, and no call
// waits past its time-out.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "etcd/etcd.h"
#include "etcd/etcd_test_support.h"
#include "kit/etcd_cluster.h"

namespace peerdir {
namespace etcd_test {
namespace {

using namespace kit;

using Clock = std::chrono::steady_clock;

constexpr unsigned kWaitMillis = 20000;

class EtcdFailoverTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { started_ = startSuiteCluster(&cluster_, 3); }
    static void TearDownTestSuite() { stopSuiteCluster(&cluster_); }
    // Every member back up before each test, whatever the last one did.
    void SetUp() override {
        ASSERT_TRUE(started_) << cluster_->problem;
        for (std::size_t i = 0; i < cluster_->members.size(); ++i) {
            if (cluster_->members[i].paused) resumeMember(*cluster_, i);
            if (cluster_->members[i].pid < 0) {
                ASSERT_TRUE(restartMember(*cluster_, i)) << cluster_->problem;
            }
        }
        leader_ = waitForLeader(*cluster_);
        ASSERT_GE(leader_, 0) << cluster_->problem;
    }
    void TearDown() override {
        for (std::size_t i = 0; i < cluster_->members.size(); ++i) {
            if (cluster_->members[i].paused) resumeMember(*cluster_, i);
        }
    }

    std::size_t follower(std::size_t nth) const {
        std::size_t seen = 0;
        for (std::size_t i = 0; i < cluster_->members.size(); ++i) {
            if (static_cast<int>(i) != leader_ && seen++ == nth) return i;
        }
        return 0;
    }

    static EtcdCluster* cluster_;
    static bool started_;
    int leader_ = -1;
};

EtcdCluster* EtcdFailoverTest::cluster_ = nullptr;
bool EtcdFailoverTest::started_ = false;

// Puts until one goes through or the wait ends: an election may refuse a
// few.
EtcdResult putWithinWait(EtcdConnection& etcd, const std::string& key) {
    EtcdResult result;
    auto deadline = Clock::now() + std::chrono::milliseconds(kWaitMillis);
    for (;;) {
        result = putKey(etcd, key, "v", 0, nullptr);
        if (result.status == EtcdStatus::Ok || Clock::now() >= deadline) return result;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

TEST_F(EtcdFailoverTest, RequestsMoveOnWhenTheMemberInUseIsKilled) {
    const std::size_t first = follower(0);
    const std::size_t leader = static_cast<std::size_t>(leader_);
    EtcdConnection etcd;
    etcd.endpoints = {memberEndpoint(*cluster_, first), memberEndpoint(*cluster_, leader),
                      memberEndpoint(*cluster_, follower(1))};
    std::int64_t revision = 0;
    ASSERT_TRUE(isOk(putKey(etcd, "failover/1", "v", 0, &revision)));
    EXPECT_EQ(etcd.current.load(), 0u);

    // A follower goes: the leader is next, so the very next call works.
    killMember(*cluster_, first);
    EXPECT_TRUE(isOk(putKey(etcd, "failover/2", "v", 0, nullptr)));
    EXPECT_EQ(etcd.current.load(), 1u);

    // Then the leader goes, with the follower back: calls work again once
    // the two left have elected one of them.
    ASSERT_TRUE(restartMember(*cluster_, first)) << cluster_->problem;
    killMember(*cluster_, leader);
    EXPECT_TRUE(isOk(putWithinWait(etcd, "failover/3")));
    EXPECT_NE(etcd.current.load(), 1u);
    bool found = false;
    EtcdKeyValue kv;
    ASSERT_TRUE(isOk(getKey(etcd, "failover/1", &found, &kv)));
    EXPECT_TRUE(found);

    // A watch that starts at the dead member moves on by itself.
    EtcdConnection watching;
    watching.endpoints = {memberEndpoint(*cluster_, leader), memberEndpoint(*cluster_, first)};
    WatchThread watch;
    startWatch(watch, watching, "failover/", revision);
    ASSERT_TRUE(waitForEvents(watch, 3));
    EXPECT_EQ(eventsSoFar(watch)[2].kv.key, "failover/3");
}

TEST_F(EtcdFailoverTest, AnEndpointThatAnswersNothingCostsOnlyItsShareOfTheTimeout) {
    const std::size_t hung = follower(0);
    pauseMember(*cluster_, hung);
    EtcdConnection etcd;
    etcd.requestTimeoutMillis = 1000;
    etcd.endpoints = {memberEndpoint(*cluster_, hung),
                      memberEndpoint(*cluster_, static_cast<std::size_t>(leader_))};
    EXPECT_TRUE(isOk(putKey(etcd, "hung/1", "v", 0, nullptr)));

    EtcdConnection nowhere;
    nowhere.requestTimeoutMillis = 1000;
    nowhere.endpoints = {memberEndpoint(*cluster_, hung), {"127.0.0.1", kNothingListensPort}};
    auto start = Clock::now();
    EtcdResult result = putKey(nowhere, "hung/2", "v", 0, nullptr);
    auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    EXPECT_TRUE(hasStatus(result, EtcdStatus::Unreachable));
    EXPECT_FALSE(result.answered);
    // The time-out with room for a loaded machine, far below httplib's own
    // time-outs (5 s to read, 300 s to connect).
    EXPECT_LT(took.count(), 4000);
    EXPECT_NE(result.detail.find(std::to_string(kNothingListensPort)), std::string::npos)
        << result.detail;
}

TEST_F(EtcdFailoverTest, AMemberThatLosesItsLeaderEndsItsWatchesAndAnswersAtOnce) {
    const std::size_t kept = follower(0);
    EtcdConnection etcd;
    etcd.watchIdleMillis = 600000;  // only the member's word can end the watch
    etcd.endpoints = {memberEndpoint(*cluster_, kept)};
    std::int64_t revision = 0;
    ASSERT_TRUE(isOk(putKey(etcd, "cut-off/1", "v", 0, &revision)));
    WatchThread watch;
    startWatch(watch, etcd, "cut-off/", revision);
    ASSERT_TRUE(waitForEvents(watch, 1));

    for (std::size_t i = 0; i < cluster_->members.size(); ++i) {
        if (i != kept) killMember(*cluster_, i);
    }
    ASSERT_TRUE(waitForWatchEnd(watch, kWaitMillis)) << "the watch stayed on a member alone";
    EXPECT_EQ(watch.result.end, WatchEnd::Broken) << watch.result.detail;
    EXPECT_EQ(watch.result.nextRevision, revision + 1);
    EtcdResult result = putKey(etcd, "cut-off/2", "v", 0, nullptr);
    EXPECT_TRUE(hasStatus(result, EtcdStatus::Unreachable));
    EXPECT_NE(result.detail.find("no leader"), std::string::npos) << result.detail;
    EXPECT_TRUE(result.answered);
}

}  // namespace
}  // namespace etcd_test
}  // namespace peerdir
