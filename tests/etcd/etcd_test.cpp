// The etcd access layer against one real etcd member: leases, ranges paged
// at one revision in creation and in key order, puts in one transaction, the
// guarded put, bulk deletes and watches.
#include "etcd/etcd.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "etcd/etcd_test_support.h"
#include "kit/etcd_cluster.h"
#include "support/test_support.h"

namespace peerdir {
namespace etcd_test {
namespace {

using namespace kit;
using testing_support::kWaitMillis;

class EtcdTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { started_ = startSuiteCluster(&cluster_, 1); }
    static void TearDownTestSuite() { stopSuiteCluster(&cluster_); }
    void SetUp() override {
        // Each test under keys of its own.
        prefix_ =
            std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + "/";
        ASSERT_TRUE(started_) << cluster_->problem;
        etcd_.endpoints = clusterEndpoints(*cluster_);
    }

    std::int64_t put(const std::string& name, const std::string& value = "v",
                     std::int64_t lease = 0) {
        std::int64_t revision = 0;
        EXPECT_TRUE(isOk(putKey(etcd_, prefix_ + name, value, lease, &revision)));
        return revision;
    }
    bool exists(const std::string& name) {
        bool found = false;
        EtcdKeyValue kv;
        EXPECT_TRUE(isOk(getKey(etcd_, prefix_ + name, &found, &kv)));
        return found;
    }

    static EtcdCluster* cluster_;
    static bool started_;
    EtcdConnection etcd_;
    std::string prefix_;
};

EtcdCluster* EtcdTest::cluster_ = nullptr;
bool EtcdTest::started_ = false;

std::vector<std::string> keysOf(const std::vector<EtcdWatchEvent>& events) {
    std::vector<std::string> keys;
    for (const EtcdWatchEvent& event : events) {
        keys.push_back((event.deleted ? "-" : "+") + event.kv.key);
    }
    return keys;
}

TEST_F(EtcdTest, KeysUnderALeaseGoWhenItIsRevokedOrExpires) {
    EtcdLease lease;
    ASSERT_TRUE(isOk(grantLease(etcd_, 10, &lease)));
    EXPECT_EQ(lease.ttlSeconds, 10);
    put("revoked", "v", lease.id);
    std::int64_t ttl = 0;
    ASSERT_TRUE(isOk(keepLeaseAlive(etcd_, lease.id, &ttl)));
    EXPECT_GT(ttl, 0);
    EXPECT_LE(ttl, 10);
    ASSERT_TRUE(isOk(revokeLease(etcd_, lease.id)));
    EXPECT_FALSE(exists("revoked"));
    EtcdResult gone = keepLeaseAlive(etcd_, lease.id, &ttl);
    EXPECT_TRUE(hasStatus(gone, EtcdStatus::LeaseNotFound));
    EXPECT_TRUE(gone.answered);
    EXPECT_EQ(ttl, 0);
    gone = revokeLease(etcd_, lease.id);
    EXPECT_TRUE(hasStatus(gone, EtcdStatus::LeaseNotFound));
    EXPECT_TRUE(gone.answered);
    EXPECT_TRUE(hasStatus(putKey(etcd_, prefix_ + "late", "v", lease.id, nullptr),
                          EtcdStatus::LeaseNotFound));

    // No keep-alive: the key goes by itself once the TTL has run out.
    EtcdLease shortLease;
    ASSERT_TRUE(isOk(grantLease(etcd_, 2, &shortLease)));
    put("expires", "v", shortLease.id);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMillis);
    while (exists("expires") && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_FALSE(exists("expires"));
    EXPECT_TRUE(hasStatus(keepLeaseAlive(etcd_, shortLease.id, &ttl), EtcdStatus::LeaseNotFound));
}

// The benchmark waits on this count: a count that strayed past its prefix,
// or read the gateway's missing zero as a failure, would end its waits
// early or never.
TEST_F(EtcdTest, KeysAreCountedUnderTheirPrefixOnlyAndNoneIsZero) {
    std::int64_t count = -1;
    ASSERT_TRUE(countKeys(*cluster_, prefix_ + "a/", &count)) << cluster_->problem;
    EXPECT_EQ(count, 0);
    for (const char* name : {"a/1", "a/2", "a/3", "ab", "b/1"}) put(name);
    ASSERT_TRUE(countKeys(*cluster_, prefix_ + "a/", &count)) << cluster_->problem;
    EXPECT_EQ(count, 3);
    ASSERT_TRUE(countKeys(*cluster_, prefix_, &count)) << cluster_->problem;
    EXPECT_EQ(count, 5);
}

TEST_F(EtcdTest, RangeListsKeysInCreationOrderPageByPageAtOneRevision) {
    // Created in an order that is not the keys' own.
    const std::vector<std::string> names = {"m", "c", "x", "a", "q", "b", "z"};
    for (const std::string& name : names) put(name);
    EtcdRangeQuery query;
    query.prefix = prefix_;
    query.limit = 3;
    query.keysOnly = true;
    std::vector<std::string> listed;
    std::vector<EtcdRange> pages;
    for (int page = 0; page < 10; ++page) {
        EtcdRange range;
        ASSERT_TRUE(isOk(rangeByCreation(etcd_, query, &range)));
        for (const EtcdKeyValue& kv : range.kvs) {
            listed.push_back(kv.key.substr(prefix_.size()));
            EXPECT_EQ(kv.value, "");
        }
        pages.push_back(range);
        if (page == 0) {
            // Changes after the first page must not show in the list.
            put("new");
            std::int64_t deleted = 0;
            ASSERT_TRUE(isOk(deleteKey(etcd_, prefix_ + "b", &deleted)));
            EXPECT_EQ(deleted, 1);
        }
        if (!range.more) break;
        query = nextPageQuery(query, range);
    }
    EXPECT_EQ(listed, names);
    ASSERT_EQ(pages.size(), 3u);
    EXPECT_EQ(pages[2].kvs.size(), 1u);
    EXPECT_EQ(pages[0].revision, pages[2].revision);

    // A fresh range sees the changes, with the values.
    EtcdRangeQuery fresh;
    fresh.prefix = prefix_;
    EtcdRange now;
    ASSERT_TRUE(isOk(rangeByCreation(etcd_, fresh, &now)));
    ASSERT_EQ(now.kvs.size(), names.size());
    EXPECT_EQ(now.kvs.back().key, prefix_ + "new");
    EXPECT_EQ(now.kvs.back().value, "v");
}

std::string everyByte() {
    std::string bytes;
    for (int i = 0; i < 256; ++i) bytes.push_back(static_cast<char>(i));
    return bytes;
}

TEST_F(EtcdTest, KeysPutTogetherShareACreateRevisionAndPageByKeyAtOneRevision) {
    // Twelve keys in three transactions, each transaction's keys spread over
    // the key order, so pages by key cut through creation revisions. Keys
    // and values carry every byte there is, at every length modulo 3.
    const std::string bytes = everyByte();
    auto keyOf = [this](int i) { return prefix_ + std::string{static_cast<char>(i * 23), '\xff'}; };
    std::vector<std::int64_t> revisions;
    for (int t = 0; t < 3; ++t) {
        std::vector<EtcdPut> puts;
        for (int i = t; i < 12; i += 3) puts.push_back({keyOf(i), bytes.substr(i), 0});
        std::int64_t revision = 0;
        ASSERT_TRUE(isOk(putKeysTogether(etcd_, puts, &revision)));
        revisions.push_back(revision);
    }
    EXPECT_LT(revisions[0], revisions[1]);
    EXPECT_LT(revisions[1], revisions[2]);

    EtcdRangeQuery query;
    query.prefix = prefix_;
    query.limit = 5;
    std::vector<EtcdKeyValue> listed;
    std::vector<EtcdRange> pages;
    for (int page = 0; page < 10; ++page) {
        EtcdRange range;
        ASSERT_TRUE(isOk(rangeByKey(etcd_, query, &range)));
        listed.insert(listed.end(), range.kvs.begin(), range.kvs.end());
        pages.push_back(range);
        if (page == 0) {
            // A key after this page and a key still to come: neither change
            // shows in the list.
            put(std::string{static_cast<char>(200)});
            ASSERT_TRUE(isOk(deleteKey(etcd_, keyOf(10), nullptr)));
        }
        if (!range.more) break;
        query = nextKeyPageQuery(query, range);
    }
    ASSERT_EQ(pages.size(), 3u);
    EXPECT_EQ(pages[0].revision, pages[2].revision);
    ASSERT_EQ(listed.size(), 12u);
    for (int i = 0; i < 12; ++i) {
        EXPECT_EQ(listed[i].key, keyOf(i));
        EXPECT_EQ(listed[i].value, bytes.substr(i));
        EXPECT_EQ(listed[i].createRevision, revisions[i % 3]);
        EXPECT_EQ(listed[i].version, 1);
    }

    // All or nothing: a lease that has gone fails the whole transaction.
    EtcdLease lease;
    ASSERT_TRUE(isOk(grantLease(etcd_, 10, &lease)));
    ASSERT_TRUE(isOk(revokeLease(etcd_, lease.id)));
    EXPECT_TRUE(hasStatus(
        putKeysTogether(etcd_, {{prefix_ + "free", "v", 0}, {prefix_ + "leased", "v", lease.id}},
                        nullptr),
        EtcdStatus::LeaseNotFound));
    EXPECT_FALSE(exists("free"));
    EXPECT_TRUE(hasStatus(putKeysTogether(etcd_, {}, nullptr), EtcdStatus::Refused));
    EXPECT_TRUE(hasStatus(
        putKeysTogether(etcd_, std::vector<EtcdPut>(kEtcdMaxTxnOps + 1, {prefix_ + "x", "v", 0}),
                        nullptr),
        EtcdStatus::Refused));
}

TEST_F(EtcdTest, GuardedPutHoldsOnlyWhileTheGuardKeyIsTheOneItWas) {
    std::int64_t created = put("reg/alice", "server-1");
    EtcdLease mailbox;
    ASSERT_TRUE(isOk(grantLease(etcd_, 10, &mailbox)));
    std::int64_t revision = 0;
    ASSERT_TRUE(isOk(putIfCreatedAt(etcd_, prefix_ + "reg/alice", created, prefix_ + "msg/1",
                                    std::string("req\0uest", 8), mailbox.id, &revision)));
    EXPECT_GT(revision, created);
    bool found = false;
    EtcdKeyValue message;
    ASSERT_TRUE(isOk(getKey(etcd_, prefix_ + "msg/1", &found, &message)));
    ASSERT_TRUE(found);
    EXPECT_EQ(message.value, std::string("req\0uest", 8));
    EXPECT_EQ(message.lease, mailbox.id);
    EXPECT_EQ(message.createRevision, revision);

    // Alice leaves and comes back: a request meant for her first
    // registration must not reach the second.
    ASSERT_TRUE(isOk(deleteKey(etcd_, prefix_ + "reg/alice", nullptr)));
    EXPECT_TRUE(hasStatus(putIfCreatedAt(etcd_, prefix_ + "reg/alice", created, prefix_ + "msg/2",
                                         "r", mailbox.id, nullptr),
                          EtcdStatus::CompareFailed));
    std::int64_t recreated = put("reg/alice", "server-2");
    EXPECT_TRUE(hasStatus(putIfCreatedAt(etcd_, prefix_ + "reg/alice", created, prefix_ + "msg/2",
                                         "r", mailbox.id, nullptr),
                          EtcdStatus::CompareFailed));
    EXPECT_FALSE(exists("msg/2"));

    // The receiving server's lease has gone.
    ASSERT_TRUE(isOk(revokeLease(etcd_, mailbox.id)));
    EXPECT_TRUE(hasStatus(putIfCreatedAt(etcd_, prefix_ + "reg/alice", recreated, prefix_ + "msg/3",
                                         "r", mailbox.id, nullptr),
                          EtcdStatus::LeaseNotFound));
}

TEST_F(EtcdTest, DeleteKeysTakesMoreKeysThanOneTransactionHolds) {
    std::vector<std::string> keys;
    for (int i = 0; i < 300; ++i) {
        keys.push_back(prefix_ + std::to_string(i));
        put(std::to_string(i));
    }
    std::size_t done = 0;
    ASSERT_TRUE(isOk(deleteKeys(etcd_, keys, &done)));
    EXPECT_EQ(done, keys.size());
    EtcdRangeQuery query;
    query.prefix = prefix_;
    EtcdRange left;
    ASSERT_TRUE(isOk(rangeByCreation(etcd_, query, &left)));
    EXPECT_TRUE(left.kvs.empty());
}

// Threads may share one connection: they take turns on its one HTTP
// connection. Under ThreadSanitizer a turn it could not see would show here
// as a race on that connection.
TEST_F(EtcdTest, ThreadsSharingOneConnectionTakeTurnsOnIt) {
    constexpr int kThreads = 3;
    constexpr int kPutsEach = 20;
    std::atomic<int> failed{0};
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([this, t, &failed] {
            for (int i = 0; i < kPutsEach; ++i) {
                const std::string key = prefix_ + std::to_string(t) + "/" + std::to_string(i);
                if (putKey(etcd_, key, "v", 0, nullptr).status != EtcdStatus::Ok) ++failed;
            }
        });
    }
    for (std::thread& writer : writers) writer.join();
    EXPECT_EQ(failed.load(), 0);
    EtcdRangeQuery query;
    query.prefix = prefix_;
    query.keysOnly = true;
    EtcdRange written;
    ASSERT_TRUE(isOk(rangeByCreation(etcd_, query, &written)));
    EXPECT_EQ(written.kvs.size(), static_cast<std::size_t>(kThreads * kPutsEach));
}

TEST_F(EtcdTest, WatchDeliversInOrderStopsWhenIdleAndResumesWhereItStopped) {
    etcd_.watchIdleMillis = 600000;  // an idle stream stays open: only a stop ends it
    std::int64_t before = put("before");
    WatchThread first;
    startWatch(first, etcd_, prefix_, before + 1);
    put("a", "1");
    put("b", "2");
    std::int64_t last = put("c", "3");
    ASSERT_TRUE(waitForEvents(first, 3));
    ASSERT_TRUE(stopAndJoin(first, kWaitMillis)) << "a stop did not end an idle watch";
    EXPECT_EQ(first.result.end, WatchEnd::Stopped);
    EXPECT_EQ(first.result.nextRevision, last + 1);
    std::vector<EtcdWatchEvent> events = eventsSoFar(first);
    EXPECT_EQ(keysOf(events), (std::vector<std::string>{"+" + prefix_ + "a", "+" + prefix_ + "b",
                                                        "+" + prefix_ + "c"}));
    EXPECT_EQ(events[2].kv.value, "3");
    EXPECT_EQ(events[2].kv.modRevision, last);

    // Whatever happened while nobody watched comes next, once.
    put("d");
    ASSERT_TRUE(isOk(deleteKey(etcd_, prefix_ + "a", nullptr)));
    WatchThread second;
    startWatch(second, etcd_, prefix_, first.result.nextRevision);
    ASSERT_TRUE(waitForEvents(second, 2));
    put("e");
    ASSERT_TRUE(waitForEvents(second, 3));
    ASSERT_TRUE(stopAndJoin(second, kWaitMillis));
    EXPECT_EQ(
        keysOf(eventsSoFar(second)),
        (std::vector<std::string>{"+" + prefix_ + "d", "-" + prefix_ + "a", "+" + prefix_ + "e"}));

    // A stop handle stays stopped.
    EtcdWatchResult again =
        watchPrefix(etcd_, prefix_, 0, second.stop, [](const EtcdWatchEvent&) {});
    EXPECT_EQ(again.end, WatchEnd::Stopped);
}

TEST_F(EtcdTest, WatchFromACompactedRevisionSaysSo) {
    std::int64_t first = put("k", "1");
    std::int64_t second = put("k", "2");
    ASSERT_TRUE(compactCluster(*cluster_, second)) << cluster_->problem;
    WatchThread watch;
    startWatch(watch, etcd_, prefix_, first);
    ASSERT_TRUE(waitForWatchEnd(watch, kWaitMillis));
    EXPECT_EQ(watch.result.end, WatchEnd::Compacted) << watch.result.detail;
    EXPECT_EQ(watch.result.compactRevision, second);
    EXPECT_TRUE(eventsSoFar(watch).empty());

    EtcdRangeQuery query;
    query.prefix = prefix_;
    query.revision = first;
    EtcdRange range;
    EXPECT_TRUE(hasStatus(rangeByCreation(etcd_, query, &range), EtcdStatus::Compacted));
}

}  // namespace
}  // namespace etcd_test
}  // namespace peerdir
