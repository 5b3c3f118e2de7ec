// What the etcd access layer does at the edges: a real member whose space
// quota is used up, and a fake gateway on loopback that answers too much,
// too deep, or "busy" in the shapes etcd and proxies use.
#include <gtest/gtest.h>
#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "etcd/etcd.h"
#include "etcd/etcd_test_support.h"
#include "kit/etcd_cluster.h"
#include "kit/fake_gateway.h"

namespace peerdir {
namespace etcd_test {
namespace {

using namespace kit;
using Clock = std::chrono::steady_clock;

::testing::AssertionResult isOneLineNaming(const std::string& detail, const std::string& what) {
    if (detail.find('\n') == std::string::npos && detail.find(what) != std::string::npos) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "\"" << what << "\" not on one line in: " << detail;
}

// --- A member whose quota is used up -----------------------------------------

class EtcdQuotaTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        started_ = startSuiteCluster(&cluster_, 1, {"--quota-backend-bytes=1000000"});
    }
    static void TearDownTestSuite() { stopSuiteCluster(&cluster_); }
    void SetUp() override {
        ASSERT_TRUE(started_) << cluster_->problem;
        etcd_.endpoints = clusterEndpoints(*cluster_);
    }

    static EtcdCluster* cluster_;
    static bool started_;
    EtcdConnection etcd_;
};

EtcdCluster* EtcdQuotaTest::cluster_ = nullptr;
bool EtcdQuotaTest::started_ = false;

TEST_F(EtcdQuotaTest, PutsAreBusyOnceTheSpaceIsUsedUpWhileReadsAndDeletesGoOn) {
    const std::string value(200000, 'v');
    EtcdResult full;
    int stored = 0;
    for (; stored < 50; ++stored) {
        full = putKey(etcd_, "fill/" + std::to_string(stored), value, 0, nullptr);
        if (full.status != EtcdStatus::Ok) break;
    }
    ASSERT_GT(stored, 0);
    // The put that would pass the quota, and every one after it.
    EXPECT_TRUE(hasStatus(full, EtcdStatus::Busy));
    EXPECT_TRUE(full.answered);
    EXPECT_TRUE(isOneLineNaming(full.detail, endpointText(etcd_.endpoints[0])));
    EXPECT_TRUE(isOneLineNaming(full.detail, "etcdserver: mvcc: database space exceeded"));
    EXPECT_TRUE(hasStatus(putKey(etcd_, "small", "v", 0, nullptr), EtcdStatus::Busy));
    std::int64_t revision = 0;
    EXPECT_TRUE(hasStatus(putKeysTogether(etcd_, {{"a", "1", 0}, {"b", "2", 0}}, &revision),
                          EtcdStatus::Busy));
    EXPECT_EQ(revision, 0);
    EtcdLease lease;
    EXPECT_TRUE(hasStatus(grantLease(etcd_, 10, &lease), EtcdStatus::Busy));

    bool found = false;
    EtcdKeyValue kv;
    ASSERT_TRUE(isOk(getKey(etcd_, "fill/0", &found, &kv)));
    EXPECT_TRUE(found);
    EXPECT_TRUE(isOk(deleteKey(etcd_, "fill/0", nullptr)));

    // gRPC refuses a request over its size limit with the same code as a
    // full quota; that one is no use retrying.
    EtcdResult huge = putKey(etcd_, "huge", std::string(2200000, 'h'), 0, nullptr);
    EXPECT_TRUE(hasStatus(huge, EtcdStatus::Refused));
    EXPECT_TRUE(isOneLineNaming(huge.detail, "larger than max"));
}

// --- A fake gateway ------------------------------------------------------------

class EtcdGatewayTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_GT(fake_.port, 0);
        etcd_.endpoints = {fake_.endpoint()};
        etcd_.watchIdleMillis = 5000;
    }
    // The fake's answer to every request: body with status.
    void answerWith(int status, const std::string& body) {
        fake_.answerWith([status, body](const httplib::Request&, httplib::Response& response) {
            response.status = status;
            response.set_content(body, "application/json");
        });
    }
    // The same, but sent in chunks without a length, as etcd's gateway does;
    // when endless, body goes on with 'x' until the client stops reading
    // (or 64 MiB).
    void streamWith(int status, const std::string& body, bool endless = false) {
        fake_.streamed = 0;
        fake_.streamOver = false;
        const std::size_t total = endless ? std::size_t{64} << 20 : body.size();
        FakeGateway* fake = &fake_;
        fake_.answerWith([=](const httplib::Request&, httplib::Response& response) {
            response.status = status;
            response.set_chunked_content_provider(
                "application/json",
                [=](std::size_t offset, httplib::DataSink& sink) {
                    if (offset >= total) {
                        sink.done();
                        return true;
                    }
                    std::string piece =
                        offset < body.size()
                            ? body.substr(offset, 65536)
                            : std::string(std::min<std::size_t>(65536, total - offset), 'x');
                    if (!sink.write(piece.data(), piece.size())) return false;
                    fake->streamed = offset + piece.size();
                    return true;
                },
                [fake](bool) { fake->streamOver = true; });
        });
    }
    // How much of an endless answer went out before the client stopped
    // reading it.
    std::size_t streamedBeforeTheEnd() {
        auto deadline = Clock::now() + std::chrono::seconds(20);
        while (!fake_.streamOver && Clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        EXPECT_TRUE(fake_.streamOver);
        return fake_.streamed;
    }
    EtcdWatchResult watch() {
        EtcdWatchStop stop;
        return watchPrefix(etcd_, "p/", 1, stop, [](const EtcdWatchEvent&) {});
    }
    std::string where() const { return endpointText(fake_.endpoint()); }

    FakeGateway fake_;
    EtcdConnection etcd_;
};

std::string putReply(const std::string& extra) {
    return R"({"header":{"revision":"7"})" + extra + "}";
}

std::string nested(std::size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); }

// Far over the limit, yet far short of the endless answer's 64 MiB: the
// client stopped reading soon after the limit.
constexpr std::size_t kReadAtMost = 32u << 20;

TEST_F(EtcdGatewayTest, RepliesAndWatchMessagesOverFourMiBAreRefusedNamingTheEndpoint) {
    const std::string pad(5u << 20, 'x');
    const std::string problem = ": reply larger than the limit of 4 MiB";
    answerWith(200, putReply(R"(,"pad":")" + pad + "\""));
    EtcdResult result = putKey(etcd_, "k", "v", 0, nullptr);
    EXPECT_TRUE(hasStatus(result, EtcdStatus::Refused));
    EXPECT_TRUE(isOneLineNaming(result.detail, where() + problem));
    streamWith(200, R"({"header":{"revision":"7"},"pad":")", true);
    result = putKey(etcd_, "k", "v", 0, nullptr);
    EXPECT_TRUE(hasStatus(result, EtcdStatus::Refused));
    EXPECT_TRUE(isOneLineNaming(result.detail, where() + problem));
    EXPECT_LT(streamedBeforeTheEnd(), kReadAtMost);
    // Just under the limit is an answer like any other.
    answerWith(200, putReply(R"(,"pad":")" + pad.substr(0, (4u << 20) - 100) + "\""));
    std::int64_t revision = 0;
    EXPECT_TRUE(isOk(putKey(etcd_, "k", "v", 0, &revision)));
    EXPECT_EQ(revision, 7);

    const std::string created = R"({"result":{"header":{"revision":"7"},"created":true}})";
    streamWith(200, created + "\n" + R"({"result":{"pad":")", true);
    EtcdWatchResult watched = watch();
    EXPECT_EQ(watched.end, WatchEnd::Refused) << watched.detail;
    EXPECT_TRUE(isOneLineNaming(watched.detail,
                                where() + ": watch message larger than the limit of 4 MiB"));
    EXPECT_LT(streamedBeforeTheEnd(), kReadAtMost);
    answerWith(500, R"({"error":")" + pad + "\"}");
    watched = watch();
    EXPECT_EQ(watched.end, WatchEnd::Refused) << watched.detail;
    EXPECT_TRUE(isOneLineNaming(watched.detail, where()));
}

TEST_F(EtcdGatewayTest, JsonNestedTooDeepIsRefusedBeforeItIsParsed) {
    answerWith(200, putReply(R"(,"x":)" + nested(100000)));
    EtcdResult result = putKey(etcd_, "k", "v", 0, nullptr);
    EXPECT_TRUE(hasStatus(result, EtcdStatus::Refused));
    EXPECT_TRUE(isOneLineNaming(result.detail,
                                where() + ": reply nested deeper than the limit of 32 levels"));
    // The same in an error answer, which is printed into the detail.
    answerWith(400, R"({"error":)" + nested(100000) + "}");
    EXPECT_TRUE(hasStatus(putKey(etcd_, "k", "v", 0, nullptr), EtcdStatus::Refused));

    // Brackets in strings do not nest, an escaped quote does not end one,
    // and an escaped backslash does not hide the quote after it.
    answerWith(200, putReply(R"(,"s":"\"[{)" + std::string(100, '[') + R"(\\","x":)" + nested(30)));
    std::int64_t revision = 0;
    EXPECT_TRUE(isOk(putKey(etcd_, "k", "v", 0, &revision)));
    EXPECT_EQ(revision, 7);
    answerWith(200, putReply(R"(,"s":"\\","x":)" + nested(40)));
    EXPECT_TRUE(hasStatus(putKey(etcd_, "k", "v", 0, nullptr), EtcdStatus::Refused));

    streamWith(200, R"({"result":{"header":{"revision":"7"},"created":true,"x":)" + nested(100000) +
                        "}}\n");
    EtcdWatchResult watched = watch();
    EXPECT_EQ(watched.end, WatchEnd::Refused) << watched.detail;
    EXPECT_TRUE(isOneLineNaming(watched.detail, where() + ": watch message nested deeper"));
}

TEST_F(EtcdGatewayTest, BusyInEveryShapeIsToldApartFromRefused) {
    // A streamed call's error shape: the keep-alive.
    streamWith(200, R"({"error":{"grpc_code":8,"http_code":429,"message":"etcdserver: too many )"
                    R"(requests","http_status":"Too Many Requests"}})");
    std::int64_t ttl = 0;
    EtcdResult result = keepLeaseAlive(etcd_, 1, &ttl);
    EXPECT_TRUE(hasStatus(result, EtcdStatus::Busy));
    EXPECT_TRUE(isOneLineNaming(result.detail, where() + ": etcdserver: too many requests"));
    // A 429 from something in between, with no JSON.
    fake_.answerWith([](const httplib::Request&, httplib::Response& response) {
        response.status = 429;
        response.set_content("slow down", "text/plain");
    });
    result = putKey(etcd_, "k", "v", 0, nullptr);
    EXPECT_TRUE(hasStatus(result, EtcdStatus::Busy));
    EXPECT_TRUE(isOneLineNaming(result.detail, where() + ": HTTP 429: slow down"));
    EXPECT_EQ(watch().end, WatchEnd::Busy);
    // Another code in the same shape stays a refusal.
    answerWith(400, R"({"error":"etcdserver: bad","message":"etcdserver: bad","code":3})");
    EXPECT_TRUE(hasStatus(putKey(etcd_, "k", "v", 0, nullptr), EtcdStatus::Refused));

    // A watch told in its stream, and one told before it.
    streamWith(200, R"({"error":{"grpc_code":8,"message":"etcdserver: too many requests"}})"
                    "\n");
    EtcdWatchResult watched = watch();
    EXPECT_EQ(watched.end, WatchEnd::Busy) << watched.detail;
    EXPECT_TRUE(isOneLineNaming(watched.detail, where() + ": etcdserver: too many requests"));
    answerWith(429, R"({"error":"etcdserver: too many requests","code":8})");
    EXPECT_EQ(watch().end, WatchEnd::Busy);
}

TEST_F(EtcdGatewayTest, AnsweredSaysWhetherAnyEndpointSentAnHttpAnswer) {
    EtcdConnection nowhere;
    nowhere.requestTimeoutMillis = 300;
    nowhere.endpoints = {{"127.0.0.1", kNothingListensPort}};
    EtcdResult result = putKey(nowhere, "k", "v", 0, nullptr);
    EXPECT_TRUE(hasStatus(result, EtcdStatus::Unreachable));
    EXPECT_FALSE(result.answered);
    EtcdWatchStop stop;
    EtcdWatchResult watched = watchPrefix(nowhere, "p/", 1, stop, [](const EtcdWatchEvent&) {});
    EXPECT_EQ(watched.end, WatchEnd::Broken);
    EXPECT_FALSE(watched.answered);

    // "No leader" from one, nothing from the other, which is tried last:
    // no endpoint could do it, but etcd is there.
    answerWith(503,
               R"({"error":"etcdserver: no leader","message":"etcdserver: no leader","code":14})");
    nowhere.endpoints.insert(nowhere.endpoints.begin(), fake_.endpoint());
    result = putKey(nowhere, "k", "v", 0, nullptr);
    EXPECT_TRUE(hasStatus(result, EtcdStatus::Unreachable));
    EXPECT_TRUE(isOneLineNaming(result.detail, "no leader"));
    EXPECT_TRUE(result.answered);
    nowhere.current = 0;
    watched = watchPrefix(nowhere, "p/", 1, stop, [](const EtcdWatchEvent&) {});
    EXPECT_EQ(watched.end, WatchEnd::Broken);
    EXPECT_TRUE(watched.answered);
}

}  // namespace
}  // namespace etcd_test
}  // namespace peerdir
