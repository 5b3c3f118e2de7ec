// rows_shared.cpp -- two servers sharing one registry on an etcd that the
// benchmark starts itself, on loopback. On a one-member etcd: introductions
// to a client on the same server and on the other one, how soon a
// registration is listed on the other server, a list of a thousand names,
// forwards across servers, and registrations per second. On a fresh one:
// 100,000 names, a list's time and each server's memory per name. On a
// three-member etcd whose leader is killed: the longest any client's request
// waited through the kill and the election.
#include <algorithm>
#include <atomic>
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
// The prefix the servers are given, and where under it their registrations
// are (one key per name registered).
const std::string kPrefix = "bench";
const std::string kRegistrationKeys = kPrefix + "/names/";

void addMissing(const std::string& setting, const std::string& why, std::vector<Figure>& figures) {
    figures.push_back(noted(figure(kArea, setting, "not measured", kMissing, ""), why));
}

// With a goal of at most limit, unless limit is NaN (no goal).
Figure atMost(Figure f, double limit) {
    return std::isnan(limit) ? f : withGoal(f, Goal::AtMost, limit);
}

void addPercentiles(const std::string& setting, const std::vector<double>& samples, double p50Goal,
                    double p99Goal, std::vector<Figure>& figures) {
    Spread spread = spreadOf(samples);
    figures.push_back(noted(atMost(figure(kArea, setting, "p50", spread.p50, "ms"), p50Goal),
                            std::to_string(spread.count) + " samples"));
    figures.push_back(atMost(figure(kArea, setting, "p99", spread.p99, "ms"), p99Goal));
}

ServerCommand registryCommand(const BenchContext& context, const kit::EtcdCluster& cluster) {
    std::string endpoints;
    for (const EtcdEndpoint& endpoint : kit::clusterEndpoints(cluster)) {
        endpoints += (endpoints.empty() ? "etcd://" : ",") + endpointText(endpoint);
    }
    return withArguments(context.server, {"--registry", endpoints, "--registry-prefix", kPrefix});
}

std::string countText(std::size_t count) { return std::to_string(count); }

// ---- On a one-member etcd ---------------------------------------------------

struct TwoServers {
    ServerUnderTest first;
    ServerUnderTest second;
    IntroPair local;   // asker and target on the first server
    IntroPair across;  // asker on the second, target on the first
};

bool startTwo(const BenchContext& context, const kit::EtcdCluster& cluster, TwoServers& two,
              std::string* why) {
    const ServerCommand shared = registryCommand(context, cluster);
    two.across.name = "target2";
    return startServer(shared, &two.first, why) && startServer(shared, &two.second, why) &&
           makeIntroPair(two.first, &two.local, why) &&
           makeIntroPair(two.second, two.first, &two.across, why);
}

void addIntroductions(const std::string& setting, IntroPair& pair, double p50Goal, double p99Goal,
                      std::vector<Figure>& figures) {
    std::minstd_rand random(5);
    std::size_t failures = 0;
    addPercentiles(
        setting, sampleIntroductions(pair, false, kIntroductions, kReplyMillis, random, &failures),
        p50Goal, p99Goal, figures);
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
        closeAll(registrars);
        return addMissing(setting, "the names could not be registered", figures);
    }
    std::vector<double> samples;
    std::vector<std::uint8_t> buffer;
    for (int i = 0; i < 50; ++i) {
        double took = timeList(lister, count, buffer);
        if (std::isnan(took)) break;
        samples.push_back(took);
    }
    // Answered from the server's own copy of the registry: as quick as the
    // plain server's list of as many names.
    addPercentiles(setting, samples, kMissing, 3, figures);
    closeAll(registrars);
}

// Many clients registering hundreds of names at once on one server, timed
// until the other server lists every one of them.
constexpr std::size_t kRateClients = 20;
constexpr std::size_t kRateNamesEach = 500;
constexpr unsigned kRateMillis = 60000;
// A poll's list is complete once this long passes without a byte.
constexpr unsigned kPollQuietMillis = 20;

void addRegistrationRate(const TwoServers& two, std::vector<Figure>& figures) {
    const std::string setting = countText(kRateClients) + " clients registering " +
                                countText(kRateNamesEach) + " names each at once";
    const std::size_t total = kRateClients * kRateNamesEach;
    std::vector<ClientConnection> clients;
    if (!connectClients(two.first, kRateClients, &clients)) {
        closeAll(clients);
        return addMissing(setting, "the clients could not connect", figures);
    }
    const double start = nowMillis();
    bool sent = sendNames(clients, kRateNamesEach, "b");
    ListReply listed;
    while (sent && listed.matching < total && nowMillis() - start < kRateMillis) {
        listed = listOnce(two.second, "b", total, kPollQuietMillis);
    }
    const double seconds = (nowMillis() - start) / 1000;
    closeAll(clients);
    if (!sent) return addMissing(setting, "the names could not be sent", figures);
    std::string note =
        "from the first registration sent until a list on the other server held all " +
        countText(total) + " (asked again and again, each on a connection of its own)";
    if (listed.matching < total) {
        note = "not reached within " + countText(kRateMillis / 1000) +
               " s: " + countText(listed.matching) + " of " + countText(total) +
               " listed on the other server; the rate is of those";
    }
    figures.push_back(noted(withGoal(figure(kArea, setting, "registrations",
                                            static_cast<double>(listed.matching) / seconds, "/s"),
                                     Goal::AtLeast, 5000),
                            note));
    figures.push_back(figure(kArea, setting, "all listed after", seconds * 1000, "ms"));
}

void measureOnTwo(TwoServers& two, std::vector<Figure>& figures) {
    addIntroductions("introduction, target on the same server", two.local, 5, 20, figures);
    addIntroductions("introduction, target on the other server", two.across, 1.5, 5, figures);
    // Listed so far: the two targets.
    std::vector<double> listings = sampleListings(two.local.asker, two.across.asker, 2);
    addPercentiles("registration to listed on the other server", listings, 5, kMissing, figures);
    addLongList(two.first, two.second, two.across.asker, 2 + listings.size(), figures);
    double rate = forwardRate(two.second, two.across, 50);
    figures.push_back(
        withGoal(figure(kArea, "50 senders on the other server", "forwards", rate, "/s"),
                 Goal::AtLeast, 200));
    addRegistrationRate(two, figures);
}

void measureOneMember(const BenchContext& context, std::vector<Figure>& figures) {
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

// ---- 100,000 names ----------------------------------------------------------

// The server's default limit of names per client, and few enough clients
// for a modest count of descriptors.
constexpr std::size_t kCrowdClients = 100;
constexpr std::size_t kCrowdNamesEach = 1000;
constexpr std::size_t kCrowdNames = kCrowdClients * kCrowdNamesEach;
constexpr unsigned kCrowdMillis = 60000;
constexpr unsigned kCrowdSettleMillis = 1000;
constexpr int kCrowdLists = 20;
constexpr unsigned kCrowdQuietMillis = 500;

struct Crowd {
    ServerUnderTest holder;  // where the clients registered the names
    ServerUnderTest other;   // holds none of them itself
    std::vector<ClientConnection> clients;
    kit::MemoryUse holderBefore, otherBefore, holderAfter, otherAfter, otherListed;
    std::int64_t inEtcd = 0;
    double etcdMillis = 0;  // from the first registration sent
    std::vector<double> lists;
    std::size_t listedFirst = 0;
    std::size_t listedLast = 0;
};

// Polls etcd's count of registrations (cheap, and it leaves the servers
// alone) until every name is there or the time is up.
void awaitInEtcd(kit::EtcdCluster& cluster, Crowd& crowd, double start) {
    while (nowMillis() - start < kCrowdMillis) {
        std::int64_t count = 0;
        if (kit::countKeys(cluster, kRegistrationKeys, &count)) crowd.inEtcd = count;
        if (crowd.inEtcd >= static_cast<std::int64_t>(kCrowdNames)) break;
        sleepMillis(100);
    }
    crowd.etcdMillis = nowMillis() - start;
}

// Every list is on a connection of its own. What stays resident after them
// is read separately: a list of 100,000 names builds its reply in memory,
// and the heap may keep that after it is freed.
void timeCrowdLists(Crowd& crowd) {
    const double start = nowMillis();
    for (int i = 0; i < kCrowdLists && nowMillis() - start < kCrowdMillis; ++i) {
        ListReply reply = listOnce(crowd.other, "m", kCrowdNames, kCrowdQuietMillis);
        if (!reply.asked || reply.names == 0) break;
        if (i == 0) crowd.listedFirst = reply.names;
        crowd.listedLast = reply.names;
        crowd.lists.push_back(reply.millis);
    }
}

// The memory of both servers is read before the names come (with the
// clients already connected, so only the names make the difference) and a
// second after etcd holds them, before the other server has made a list.
bool fillCrowd(kit::EtcdCluster& cluster, Crowd& crowd, std::string* why) {
    if (!connectClients(crowd.holder, kCrowdClients, &crowd.clients)) {
        *why = "the clients could not connect";
        return false;
    }
    sleepMillis(kCrowdSettleMillis);
    if (!kit::readMemoryUse(crowd.holder.process, &crowd.holderBefore) ||
        !kit::readMemoryUse(crowd.other.process, &crowd.otherBefore)) {
        *why = "the servers' memory could not be read";
        return false;
    }
    const double start = nowMillis();
    if (!sendNames(crowd.clients, kCrowdNamesEach, "m")) {
        *why = "the names could not be sent";
        return false;
    }
    awaitInEtcd(cluster, crowd, start);
    sleepMillis(kCrowdSettleMillis);
    bool read = kit::readMemoryUse(crowd.holder.process, &crowd.holderAfter) &&
                kit::readMemoryUse(crowd.other.process, &crowd.otherAfter);
    timeCrowdLists(crowd);
    read = read && kit::readMemoryUse(crowd.other.process, &crowd.otherListed);
    if (!read) *why = "the servers' memory could not be read";
    return read;
}

void addGrowth(const std::string& setting, const std::string& which, double before, double after,
               double names, double perNameGoal, std::vector<Figure>& figures) {
    figures.push_back(
        figure(kArea, setting, "resident growth, " + which, (after - before) / kKiB / kKiB, "MiB"));
    figures.push_back(atMost(
        figure(kArea, setting, "per name, " + which, (after - before) / names, "B"), perNameGoal));
}

void addCrowdFigures(const Crowd& crowd, std::vector<Figure>& figures) {
    const std::string setting = countText(kCrowdClients) + " clients x " +
                                countText(kCrowdNamesEach) + " names on one server";
    const bool reached = crowd.inEtcd >= static_cast<std::int64_t>(kCrowdNames);
    const double names = static_cast<double>(std::max<std::int64_t>(crowd.inEtcd, 1));
    const std::string count = countText(static_cast<std::size_t>(crowd.inEtcd));
    figures.push_back(noted(figure(kArea, setting, "all in etcd after",
                                   reached ? crowd.etcdMillis / 1000 : kMissing, "s"),
                            reached ? "from the first registration sent"
                                    : "not reached within " + countText(kCrowdMillis / 1000) +
                                          " s: " + count + " of " + countText(kCrowdNames) +
                                          " in etcd; the figures below are of those"));
    figures.push_back(
        figure(kArea, setting, "registrations", names / (crowd.etcdMillis / 1000), "/s"));
    Spread spread = spreadOf(crowd.lists);
    figures.push_back(
        noted(figure(kArea, setting, "list on the other server, p50", spread.p50, "ms"),
              countText(spread.count) + " lists, each on a connection of its own; " +
                  countText(crowd.listedFirst) + " names in the first, " +
                  countText(crowd.listedLast) + " in the last"));
    figures.push_back(figure(kArea, setting, "list on the other server, p99", spread.p99, "ms"));
    addGrowth(setting, "server holding none", crowd.otherBefore.residentBytes,
              crowd.otherAfter.residentBytes, names, 200, figures);
    figures.back() =
        noted(figures.back(), "read " + countText(kCrowdSettleMillis) + " ms after etcd held " +
                                  count + " names, before any list there");
    figures.push_back(
        figure(kArea, setting, "per name after the lists, server holding none",
               (crowd.otherListed.residentBytes - crowd.otherBefore.residentBytes) / names, "B"));
    addGrowth(setting, "server holding them", crowd.holderBefore.residentBytes,
              crowd.holderAfter.residentBytes, names, kMissing, figures);
}

void measureCrowd(const BenchContext& context, std::vector<Figure>& figures) {
    const std::string setting = countText(kCrowdNames) + " names";
    announce(context, kArea + ", " + setting);
    kit::EtcdCluster cluster;
    if (!kit::startCluster(cluster, 1)) return addMissing(setting, cluster.problem, figures);
    const ServerCommand command = registryCommand(context, cluster);
    Crowd crowd;
    std::string why;
    if (startServer(command, &crowd.holder, &why) && startServer(command, &crowd.other, &why) &&
        fillCrowd(cluster, crowd, &why)) {
        addCrowdFigures(crowd, figures);
    } else {
        addMissing(setting, why, figures);
    }
    // The servers go first, so no client's close waits on a server that is
    // still busy with the names.
    stopServer(crowd.holder);
    stopServer(crowd.other);
    closeAll(crowd.clients);
    kit::stopCluster(cluster);
}

// ---- A three-member etcd whose leader is killed --------------------------------

// Clients on both servers go on registering, listing and introducing
// across the servers from before the kill until well after the election.
constexpr unsigned kWarmMillis = 2000;
constexpr unsigned kAfterKillMillis = 8000;
// The longest a client manager waits for etcd before it answers from its
// own server's names.
constexpr double kClientManagerWaitMillis = 1500;
// An introducer stops waiting for an answer this long after its request,
// past the client manager's bound, and goes on with the next; one that
// comes later still is counted with its full wait.
constexpr unsigned kGiveUpMillis = 2000;
// A lister's request with no answer this long after it was sent counts as
// unanswered, and ends that lister.
constexpr unsigned kUnansweredMillis = 5000;
constexpr unsigned kRoundPauseMillis = 5;
constexpr std::size_t kIntroducersEachWay = 3;
constexpr std::size_t kMaxRounds = 20000;  // below 65536: each introduction's port is its round
constexpr std::size_t kNamesPerLister = 150;
// A ConnectRequest for a name nobody has, sent after each list: its
// NameNotFound marks where the list ended.
const char kMarkerName[] = "nobody-here";

struct Wait {
    double sentAt = 0;
    double millis = 0;
};

// What became of an introduction, by its port.
enum class Fate : std::uint8_t { Unsent, Introduced, NotFound, GivenUp };

struct ThroughKill {
    std::atomic<bool> stop{false};
    double endBy = 0;  // no round starts after this, whatever else happens
};

// One client's requests: an introducer's across the servers, or a lister's
// registrations, lists and lookups on its own server.
struct Worker {
    ThroughKill* run = nullptr;
    IntroPair* pair = nullptr;
    ClientConnection* lister = nullptr;
    std::string stem;  // the lister's names
    std::vector<Wait> waits;
    std::vector<Fate> fates = std::vector<Fate>(kMaxRounds + 1, Fate::Unsent);
    std::vector<double> sentAt = std::vector<double>(kMaxRounds + 1, 0.0);
    std::size_t givenUp = 0;              // introductions not answered (yet)
    std::vector<double> listsUnanswered;  // when the lister's last round was sent
    std::size_t notFound = 0;             // introductions answered NameNotFound
    std::size_t late = 0;                 // introduced after they were given up
    std::size_t twice = 0;                // PeerRequests for an introduction already made
    std::size_t afterNotFound = 0;        // PeerRequests for one answered NameNotFound
};

bool goesOn(const Worker& w, std::size_t round) {
    return round <= kMaxRounds && !w.run->stop.load() && nowMillis() < w.run->endBy;
}

enum class Answer { Introduced, NotFound, None };

// A PeerRequest for another request than the one awaited: one given up on,
// now answered after all, or one that had its answer already (or was never
// asked for).
void takeLate(Worker& w, std::uint16_t port) {
    switch (port < w.fates.size() ? w.fates[port] : Fate::Unsent) {
        case Fate::GivenUp:
            w.waits.push_back({w.sentAt[port], nowMillis() - w.sentAt[port]});
            w.fates[port] = Fate::Introduced;
            --w.givenUp;
            ++w.late;
            break;
        case Fate::NotFound:
            ++w.afterNotFound;
            break;
        default:
            ++w.twice;
    }
}

// Takes what has come on c; Answer::None once it has nothing more whole.
Answer takeMessages(Worker& w, ClientConnection& c, std::uint16_t port, bool* broken) {
    ServerMessage message;
    while (readServerMessage(c, 0, &message)) {
        if (message.type == MessageType::NameNotFound) return Answer::NotFound;
        if (message.type != MessageType::PeerRequest) continue;
        if (message.port == port) return Answer::Introduced;
        takeLate(w, message.port);
    }
    *broken = c.error != ClientError::TimedOut;
    return Answer::None;
}

// The PeerRequest carrying port at the target, or a NameNotFound at the
// asker, whichever comes first before until. The server answers a client's
// requests in order and within its bound, so a NameNotFound is this
// request's.
Answer awaitAnswer(Worker& w, std::uint16_t port, double until) {
    IntroPair& pair = *w.pair;
    const Socket sockets[2] = {pair.target.socket, pair.asker.socket};
    bool broken = false;
    while (!broken && nowMillis() < until) {
        bool readable[2] = {false, false};
        const auto left = static_cast<unsigned>(until - nowMillis()) + 1;
        if (socketWaitAnyReadable(sockets, 2, left, readable) < 0) return Answer::None;
        Answer answer = Answer::None;
        if (readable[0]) answer = takeMessages(w, pair.target, port, &broken);
        if (answer == Answer::None && readable[1])
            answer = takeMessages(w, pair.asker, port, &broken);
        if (answer != Answer::None) return answer;
    }
    return Answer::None;
}

void introduceThroughKill(void* raw) {
    Worker& w = *static_cast<Worker*>(raw);
    for (std::size_t round = 1; goesOn(w, round); ++round) {
        const auto port = static_cast<std::uint16_t>(round);
        const double sent = nowMillis();
        w.sentAt[port] = sent;
        w.fates[port] = Fate::GivenUp;
        ++w.givenUp;
        if (!requestConnect(w.pair->asker, w.pair->name, "127.0.0.1", port)) return;
        Answer answer = awaitAnswer(w, port, sent + kGiveUpMillis);
        if (answer == Answer::None) continue;
        --w.givenUp;
        w.fates[port] = answer == Answer::NotFound ? Fate::NotFound : Fate::Introduced;
        if (answer == Answer::NotFound) ++w.notFound;
        w.waits.push_back({sent, nowMillis() - sent});
        sleepMillis(kRoundPauseMillis);
    }
    // Port 0 is never asked for: whatever still comes is late.
    awaitAnswer(w, 0, nowMillis() + kGiveUpMillis);
}

// A round's replies: the list, whose last name sets *listEnd, then the
// marker's NameNotFound. False when they did not come in time.
bool awaitListRound(Worker& w, double sent, ReplyTally& tally, double* listEnd) {
    std::uint8_t chunk[4096];
    const std::size_t markers = tally.notFound;
    *listEnd = sent;
    while (tally.notFound == markers && !tally.lost) {
        int n = socketRecv(w.lister->socket, chunk, sizeof chunk);
        if (n > 0) {
            const std::size_t names = tally.names;
            tallyReplies(tally, chunk, static_cast<std::size_t>(n));
            if (tally.names > names) *listEnd = nowMillis();
            continue;
        }
        const double left = sent + kUnansweredMillis - nowMillis();
        if (n == 0 || !isWouldBlock(lastSocketError()) || left <= 0) return false;
        socketWaitReadable(w.lister->socket, static_cast<unsigned>(left) + 1);
    }
    return !tally.lost;
}

// Each round registers a new name (up to kNamesPerLister), asks for the
// list and then for the marker: the registration's own handling shows in
// the list's wait, as the server takes one request per turn.
void listThroughKill(void* raw) {
    Worker& w = *static_cast<Worker*>(raw);
    ReplyTally tally;
    for (std::size_t round = 1; goesOn(w, round); ++round) {
        const double sent = nowMillis();
        const bool asked =
            (round > kNamesPerLister || registerName(*w.lister, w.stem + countText(round))) &&
            requestList(*w.lister) && requestConnect(*w.lister, kMarkerName, "127.0.0.1", 1);
        double listEnd = 0;
        if (!asked || !awaitListRound(w, sent, tally, &listEnd)) {
            // Whatever comes later would be read as this round's.
            w.listsUnanswered.push_back(sent);
            return;
        }
        w.waits.push_back({sent, listEnd - sent});
        w.waits.push_back({listEnd, nowMillis() - listEnd});
        sleepMillis(kRoundPauseMillis);
    }
}

struct KillRig {
    ServerUnderTest first;
    ServerUnderTest second;
    // Askers on the first server with targets on the second, then the
    // other way round.
    std::vector<IntroPair> pairs = std::vector<IntroPair>(2 * kIntroducersEachWay);
    ClientConnection listers[2];
};

bool startRig(const BenchContext& context, const kit::EtcdCluster& cluster, KillRig& rig,
              std::string* why) {
    const ServerCommand command = registryCommand(context, cluster);
    if (!startServer(command, &rig.first, why) || !startServer(command, &rig.second, why)) {
        return false;
    }
    for (std::size_t i = 0; i < rig.pairs.size(); ++i) {
        const bool toSecond = i < kIntroducersEachWay;
        rig.pairs[i].name = (toSecond ? "on-second-" : "on-first-") + countText(i);
        if (!makeIntroPair(toSecond ? rig.first : rig.second, toSecond ? rig.second : rig.first,
                           &rig.pairs[i], why)) {
            return false;
        }
    }
    rig.listers[0] = connectToServer(rig.first.addressText, rig.first.port);
    rig.listers[1] = connectToServer(rig.second.addressText, rig.second.port);
    if (rig.listers[0].error != ClientError::None || rig.listers[1].error != ClientError::None) {
        *why = "the listers could not connect";
        return false;
    }
    return true;
}

void stopRig(KillRig& rig) {
    for (IntroPair& pair : rig.pairs) closeIntroPair(pair);
    for (ClientConnection& lister : rig.listers) closeConnection(lister);
    stopServer(rig.first);
    stopServer(rig.second);
}

struct KillOutcome {
    int killed = -1;
    int elected = -1;
    double killedAt = 0;
    double electedAfter = 0;  // ms from the kill
};

// Kills the leader once the workers have run a while, waits for the next
// one, and lets the workers go on for kAfterKillMillis after the kill.
KillOutcome killLeader(kit::EtcdCluster& cluster) {
    KillOutcome outcome;
    sleepMillis(kWarmMillis);
    outcome.killed = kit::waitForLeader(cluster);
    outcome.killedAt = nowMillis();
    if (outcome.killed < 0) return outcome;
    kit::killMember(cluster, static_cast<std::size_t>(outcome.killed));
    outcome.elected = kit::waitForLeader(cluster);
    outcome.electedAfter = nowMillis() - outcome.killedAt;
    const double left = outcome.killedAt + kAfterKillMillis - nowMillis();
    if (left > 0) sleepMillis(static_cast<unsigned>(left));
    return outcome;
}

// Milliseconds from the kill, as a list of text.
std::string sentTimes(const std::vector<double>& sentAt, double killedAt) {
    std::string text;
    for (double sent : sentAt) {
        text += (text.empty() ? "" : ", ") + std::to_string(std::lround(sent - killedAt));
    }
    return text;
}

// Which requests went unanswered, and when they were sent.
std::string unansweredText(const std::vector<Worker>& workers, double killedAt) {
    std::vector<double> introductions, lists;
    for (const Worker& w : workers) {
        for (std::size_t port = 1; port < w.fates.size(); ++port) {
            if (w.fates[port] == Fate::GivenUp) introductions.push_back(w.sentAt[port]);
        }
        lists.insert(lists.end(), w.listsUnanswered.begin(), w.listsUnanswered.end());
    }
    if (introductions.empty() && lists.empty()) return "none went unanswered";
    std::string text;
    if (!introductions.empty()) {
        text = countText(introductions.size()) + " introductions never answered (sent at " +
               sentTimes(introductions, killedAt) + " ms from the kill)";
    }
    if (!lists.empty()) {
        text += std::string(text.empty() ? "" : "; ") + countText(lists.size()) +
                " lists unanswered within " + countText(kUnansweredMillis / 1000) + " s (sent at " +
                sentTimes(lists, killedAt) + " ms from the kill)";
    }
    return text;
}

std::string killNote(const std::vector<Worker>& workers, std::size_t answered, double killedAt) {
    std::size_t notFound = 0, late = 0, twice = 0, afterNotFound = 0;
    for (const Worker& w : workers) {
        notFound += w.notFound;
        late += w.late;
        twice += w.twice;
        afterNotFound += w.afterNotFound;
    }
    std::string note = countText(answered) + " requests answered (lists, lookups, introductions " +
                       "across) from " + countText(workers.size()) + " clients; " +
                       unansweredText(workers, killedAt) + "; " + countText(notFound) +
                       " introductions answered NameNotFound";
    if (late > 0) {
        note += "; " + countText(late) + " introductions came after " +
                countText(kGiveUpMillis / 1000) + " s";
    }
    if (afterNotFound > 0) {
        note += "; " + countText(afterNotFound) + " introductions came after a NameNotFound";
    }
    if (twice > 0) note += "; " + countText(twice) + " PeerRequests came twice";
    return note;
}

void addKillFigures(const std::string& setting, const std::vector<Worker>& workers,
                    const KillOutcome& outcome, std::vector<Figure>& figures) {
    std::vector<double> all, before, introductions, lists;
    for (const Worker& w : workers) {
        for (const Wait& wait : w.waits) {
            all.push_back(wait.millis);
            (w.pair != nullptr ? introductions : lists).push_back(wait.millis);
            if (wait.sentAt + wait.millis < outcome.killedAt) before.push_back(wait.millis);
        }
    }
    figures.push_back(
        noted(withGoal(figure(kArea, setting, "longest wait", spreadOf(all).max, "ms"),
                       Goal::AtMost, kClientManagerWaitMillis),
              killNote(workers, all.size(), outcome.killedAt)));
    figures.push_back(
        figure(kArea, setting, "longest introduction", spreadOf(introductions).max, "ms"));
    figures.push_back(figure(kArea, setting, "longest list or lookup", spreadOf(lists).max, "ms"));
    figures.push_back(
        figure(kArea, setting, "longest wait before the kill", spreadOf(before).max, "ms"));
    figures.push_back(noted(figure(kArea, setting, "new leader after", outcome.electedAfter, "ms"),
                            "m" + std::to_string(outcome.killed) + " killed, m" +
                                std::to_string(outcome.elected) + " leads"));
}

std::vector<Worker> workersFor(KillRig& rig, ThroughKill& run) {
    std::vector<Worker> workers(rig.pairs.size() + 2);
    for (std::size_t i = 0; i < rig.pairs.size(); ++i) workers[i].pair = &rig.pairs[i];
    workers[rig.pairs.size()].lister = &rig.listers[0];
    workers[rig.pairs.size()].stem = "k1-";
    workers[rig.pairs.size() + 1].lister = &rig.listers[1];
    workers[rig.pairs.size() + 1].stem = "k2-";
    for (Worker& w : workers) w.run = &run;
    return workers;
}

void runThroughKill(kit::EtcdCluster& cluster, KillRig& rig, const std::string& setting,
                    std::vector<Figure>& figures) {
    ThroughKill run;
    run.endBy = nowMillis() + kWarmMillis + 2 * kit::kClusterWaitMillis + kAfterKillMillis;
    std::vector<Worker> workers = workersFor(rig, run);
    std::vector<ThreadHandle> threads;
    for (Worker& w : workers) {
        ThreadHandle t =
            threadStart(w.pair != nullptr ? introduceThroughKill : listThroughKill, &w);
        if (t != nullptr) threads.push_back(t);
    }
    KillOutcome outcome;
    if (threads.size() == workers.size()) outcome = killLeader(cluster);
    run.stop = true;
    threadWaitAll(threads.data(), threads.size());
    for (ThreadHandle t : threads) threadRelease(t);
    if (threads.size() != workers.size()) return addMissing(setting, "no threads", figures);
    if (outcome.killed < 0 || outcome.elected < 0) {
        return addMissing(setting, cluster.problem, figures);
    }
    addKillFigures(setting, workers, outcome, figures);
}

void measureLeaderKill(const BenchContext& context, std::vector<Figure>& figures) {
    const std::string setting = "3-member etcd, its leader killed";
    announce(context, kArea + ", " + setting);
    kit::EtcdCluster cluster;
    if (!kit::startCluster(cluster, 3)) return addMissing(setting, cluster.problem, figures);
    KillRig rig;
    std::string why;
    if (startRig(context, cluster, rig, &why)) {
        runThroughKill(cluster, rig, setting, figures);
    } else {
        addMissing(setting, why, figures);
    }
    stopRig(rig);
    kit::stopCluster(cluster);
}

}  // namespace

void measureSharedRegistry(const BenchContext& context, std::vector<Figure>& figures) {
    announce(context, kArea);
    measureOneMember(context, figures);
    measureCrowd(context, figures);
    measureLeaderKill(context, figures);
}

}  // namespace bench
}  // namespace peerdir
