// rows_shared.cpp -- two servers sharing one registry on a one-member etcd
// that the benchmark starts itself: introductions to a client on the same
// server and on the other one, how soon a registration is listed on the
// other server, a list of a thousand names, and forwards across servers.
#include <cmath>
#include <string>
#include <vector>

#include "bench/rows.h"
#include "bench/stats.h"
#include "kit/etcd_cluster.h"
#include "protocol/message.h"

namespace peerdir {
namespace bench {

namespace {

const std::string kArea = "shared registry, two servers";
constexpr std::size_t kIntroductions = 300;
constexpr std::size_t kListings = 50;

void addMissing(const std::string& setting, const std::string& why, std::vector<Figure>& figures) {
    figures.push_back(noted(figure(kArea, setting, "not measured", kMissing, ""), why));
}

void addPercentiles(const std::string& setting, const std::vector<double>& samples, double p50Goal,
                    double p99Goal, std::vector<Figure>& figures) {
    Spread spread = spreadOf(samples);
    figures.push_back(
        noted(withGoal(figure(kArea, setting, "p50", spread.p50, "ms"), Goal::AtMost, p50Goal),
              std::to_string(spread.count) + " samples"));
    figures.push_back(
        withGoal(figure(kArea, setting, "p99", spread.p99, "ms"), Goal::AtMost, p99Goal));
}

void addIntroductions(const std::string& setting, IntroPair& pair, std::vector<Figure>& figures) {
    std::minstd_rand random(5);
    std::size_t failures = 0;
    addPercentiles(
        setting, sampleIntroductions(pair, false, kIntroductions, kReplyMillis, random, &failures),
        5, 20, figures);
}

// The names the lister is given now; its list is one write, so a name
// listed after them arrives at once or not at all.
bool listHolds(ClientConnection& lister, std::size_t before, std::vector<std::uint8_t>& buffer) {
    buffer.resize((before + 1) * kListedSize);
    if (!requestList(lister) ||
        readExactly(lister.socket, buffer.data(), before * kListedSize, deadlineAfter(kReplyMillis))
                .end != ReadEnd::Whole) {
        return false;
    }
    return readExactly(lister.socket, buffer.data() + before * kListedSize, kListedSize,
                       deadlineAfter(3))
               .end == ReadEnd::Whole;
}

// Milliseconds from a registration on one server until a list on the other
// holds it; the lister holds `listed` names before.
std::vector<double> sampleListings(ClientConnection& registrar, ClientConnection& lister,
                                   std::size_t listed) {
    std::vector<double> samples;
    std::vector<std::uint8_t> buffer;
    for (std::size_t i = 0; i < kListings; ++i, ++listed) {
        double start = nowMillis();
        if (!registerName(registrar, "r" + std::to_string(i))) break;
        while (!listHolds(lister, listed, buffer) && nowMillis() - start < kReplyMillis) {
        }
        if (nowMillis() - start >= kReplyMillis) break;
        samples.push_back(nowMillis() - start);
    }
    return samples;
}

// A thousand names, half registered on each server, listed on one.
void addLongList(const ServerUnderTest& first, const ServerUnderTest& second,
                 ClientConnection& lister, std::size_t listedBefore, std::vector<Figure>& figures) {
    const std::string setting = "1000 more names listed";
    std::vector<ClientConnection> registrars;
    const std::size_t count = listedBefore + 1000;
    if (!registerNames(first, 500, &registrars) || !registerNames(second, 500, &registrars) ||
        !awaitNames(lister, count)) {
        for (ClientConnection& c : registrars) closeConnection(c);
        return addMissing(setting, "the names could not be registered", figures);
    }
    std::vector<double> samples;
    std::vector<std::uint8_t> buffer;
    for (int i = 0; i < 50; ++i) {
        double took = timeList(lister, count, buffer);
        if (std::isnan(took)) break;
        samples.push_back(took);
    }
    // etcd's JSON gateway alone takes about 9 ms to return a thousand keys
    // on this machine.
    addPercentiles(setting, samples, 20, 50, figures);
    for (ClientConnection& c : registrars) closeConnection(c);
}

struct TwoServers {
    ServerUnderTest first;
    ServerUnderTest second;
    IntroPair local;   // asker and target on the first server
    IntroPair across;  // asker on the second, target on the first
};

bool startTwo(const BenchContext& context, const kit::EtcdCluster& cluster, TwoServers& two,
              std::string* why) {
    const EtcdEndpoint etcd = kit::memberEndpoint(cluster, 0);
    const ServerCommand shared =
        withArguments(context.server,
                      {"--registry", "etcd://" + endpointText(etcd), "--registry-prefix", "bench"});
    two.across.name = "target2";
    return startServer(shared, &two.first, why) && startServer(shared, &two.second, why) &&
           makeIntroPair(two.first, &two.local, why) &&
           makeIntroPair(two.second, two.first, &two.across, why);
}

void measureOnTwo(TwoServers& two, std::vector<Figure>& figures) {
    addIntroductions("introduction, target on the same server", two.local, figures);
    addIntroductions("introduction, target on the other server", two.across, figures);
    // Listed so far: the two targets.
    std::vector<double> listings = sampleListings(two.local.asker, two.across.asker, 2);
    addPercentiles("registration to listed on the other server", listings, 10, 20, figures);
    addLongList(two.first, two.second, two.across.asker, 2 + listings.size(), figures);
    double rate = forwardRate(two.second, two.across, 50);
    figures.push_back(
        withGoal(figure(kArea, "50 senders on the other server", "forwards", rate, "/s"),
                 Goal::AtLeast, 200));
}

}  // namespace

void measureSharedRegistry(const BenchContext& context, std::vector<Figure>& figures) {
    announce(context, kArea);
    kit::EtcdCluster cluster;
    if (!kit::startCluster(cluster, 1)) return addMissing("etcd", cluster.problem, figures);
    TwoServers two;
    std::string why;
    if (startTwo(context, cluster, two, &why)) {
        measureOnTwo(two, figures);
    } else {
        addMissing("two servers", why, figures);
    }
    closeIntroPair(two.local);
    closeIntroPair(two.across);
    stopServer(two.first);
    stopServer(two.second);
    kit::stopCluster(cluster);
}

}  // namespace bench
}  // namespace peerdir
