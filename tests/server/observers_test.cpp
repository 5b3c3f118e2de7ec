// What the health paths answer as the server goes through its phases, and
// /livez once the accept loop stops turning: that needs a hung loop, which
// no end-to-end test can make without stopping the endpoint with it.
#include "server/observers.h"

#include <gtest/gtest.h>

#include <chrono>

namespace peerdir {
namespace {

std::int64_t millisAgo(std::int64_t millis) {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count() - millis;
}

TEST(Observers, LivezFailsOnceTheAcceptLoopHasNotTurnedForFiveSeconds) {
    ServerObservers observers;
    EXPECT_TRUE(observersLive(observers).healthy) << "starting is alive";
    observersTurn(&observers);
    EXPECT_EQ(observersLive(observers).reason, "alive");
    observers.lastTurnMillis.store(millisAgo(4000));
    EXPECT_TRUE(observersLive(observers).healthy);
    observers.lastTurnMillis.store(millisAgo(7000));
    HealthAnswer stuck = observersLive(observers);
    EXPECT_FALSE(stuck.healthy);
    EXPECT_EQ(stuck.reason, "the accept loop has not turned for 7 s");
}

TEST(Observers, ReadyzIsReadyOnlyWhileServing) {
    ServerObservers observers;
    EXPECT_EQ(observersReady(observers).reason, "starting");
    EXPECT_FALSE(observersReady(observers).healthy);
    observersServing(&observers);
    EXPECT_TRUE(observersReady(observers).healthy);
    EXPECT_EQ(observersReady(observers).reason, "ready");
    observersStopping(&observers);
    EXPECT_FALSE(observersReady(observers).healthy);
    EXPECT_EQ(observersReady(observers).reason, "stopping");
}

}  // namespace
}  // namespace peerdir
