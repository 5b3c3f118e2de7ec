// etcd_test_support.cpp -- result checks and watch threads for the etcd tests.
#include "etcd/etcd_test_support.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace peerdir {
namespace etcd_test {

namespace {

// Long enough for a loaded machine; the waits end as soon as they can.
constexpr unsigned kJoinMillis = 20000;

bool waitDone(WatchThread& watch, unsigned millis) {
    std::unique_lock<std::mutex> hold(watch.lock);
    return watch.changed.wait_for(hold, std::chrono::milliseconds(millis),
                                  [&watch] { return watch.done; });
}

void join(WatchThread& watch) {
    if (watch.thread.joinable()) watch.thread.join();
}

}  // namespace

::testing::AssertionResult hasStatus(const EtcdResult& result, EtcdStatus status) {
    if (result.status == status) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "expected " << etcdStatusName(status) << ", got "
                                         << etcdStatusName(result.status) << ": " << result.detail;
}

WatchThread::~WatchThread() {
    if (!thread.joinable()) return;
    if (!stopAndJoin(*this, kJoinMillis)) {
        // A watch still running over this record cannot be left behind.
        std::fprintf(stderr, "a watch did not stop within %u ms\n", kJoinMillis);
        std::abort();
    }
}

void startWatch(WatchThread& watch, EtcdConnection& etcd, const std::string& prefix,
                std::int64_t startRevision) {
    watch.thread = std::thread([&watch, &etcd, prefix, startRevision] {
        EtcdWatchResult result =
            watchPrefix(etcd, prefix, startRevision, watch.stop, [&watch](const EtcdWatchEvent& e) {
                std::lock_guard<std::mutex> hold(watch.lock);
                watch.events.push_back(e);
                watch.changed.notify_all();
            });
        std::lock_guard<std::mutex> hold(watch.lock);
        watch.result = result;
        watch.done = true;
        watch.changed.notify_all();
    });
}

bool waitForEvents(WatchThread& watch, std::size_t count) {
    std::unique_lock<std::mutex> hold(watch.lock);
    return watch.changed.wait_for(hold, std::chrono::milliseconds(kJoinMillis), [&] {
        return watch.events.size() >= count || watch.done;
    }) && watch.events.size() >= count;
}

bool waitForWatchEnd(WatchThread& watch, unsigned millis) {
    bool ended = waitDone(watch, millis);
    if (ended) join(watch);
    return ended;
}

bool stopAndJoin(WatchThread& watch, unsigned millis) {
    stopWatch(watch.stop);
    return waitForWatchEnd(watch, millis);
}

std::vector<EtcdWatchEvent> eventsSoFar(WatchThread& watch) {
    std::lock_guard<std::mutex> hold(watch.lock);
    return watch.events;
}

bool startSuiteCluster(kit::EtcdCluster** cluster, std::size_t size,
                       const std::vector<std::string>& memberOptions) {
    *cluster = new kit::EtcdCluster;
    (*cluster)->memberOptions = memberOptions;
    return kit::startCluster(**cluster, size);
}

void stopSuiteCluster(kit::EtcdCluster** cluster) {
    delete *cluster;
    *cluster = nullptr;
}

}  // namespace etcd_test
}  // namespace peerdir
