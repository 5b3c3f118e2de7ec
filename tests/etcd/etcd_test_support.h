// etcd_test_support.h -- what the tests against real etcd share: results
// shown with their detail, and a watch run on a thread of its own.
#ifndef PEERDIR_TESTS_ETCD_ETCD_TEST_SUPPORT_H
#define PEERDIR_TESTS_ETCD_ETCD_TEST_SUPPORT_H

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "etcd/etcd.h"
#include "kit/etcd_cluster.h"

namespace peerdir {
namespace etcd_test {

// A cluster of size members kept for a whole test suite, made in its
// SetUpTestSuite and gone in its TearDownTestSuite, each member started with
// memberOptions too. False when it did not start; *cluster then says why.
bool startSuiteCluster(kit::EtcdCluster** cluster, std::size_t size,
                       const std::vector<std::string>& memberOptions = {});
void stopSuiteCluster(kit::EtcdCluster** cluster);

// Passes when result has status, and shows etcd's detail when it has not.
::testing::AssertionResult hasStatus(const EtcdResult& result, EtcdStatus status);
inline ::testing::AssertionResult isOk(const EtcdResult& result) {
    return hasStatus(result, EtcdStatus::Ok);
}

// A watch on a thread of its own that keeps what it is given. The
// destructor stops and joins it (bounded), so a failed assertion leaves no
// thread behind.
struct WatchThread {
    EtcdWatchStop stop;
    std::mutex lock;
    std::condition_variable changed;
    std::vector<EtcdWatchEvent> events;
    bool done = false;
    EtcdWatchResult result;
    std::thread thread;

    WatchThread() = default;
    WatchThread(const WatchThread&) = delete;
    WatchThread& operator=(const WatchThread&) = delete;
    ~WatchThread();
};

void startWatch(WatchThread& watch, EtcdConnection& etcd, const std::string& prefix,
                std::int64_t startRevision);
// True once count events have come (bounded wait).
bool waitForEvents(WatchThread& watch, std::size_t count);
// True when the watch returns by itself within millis.
bool waitForWatchEnd(WatchThread& watch, unsigned millis);
// Asks the watch to stop; true when it has returned within millis.
bool stopAndJoin(WatchThread& watch, unsigned millis);
std::vector<EtcdWatchEvent> eventsSoFar(WatchThread& watch);

}  // namespace etcd_test
}  // namespace peerdir

#endif
