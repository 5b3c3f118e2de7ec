// Registry: registration order, duplicates, exact comparison and removal.
#include "clients/registry.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "clients/clients_support.h"

namespace peerdir {
namespace {

// Every registry function wants the registry's lock held by its caller.
class RegistryTest : public ::testing::Test {
  protected:
    void SetUp() override { lockEnter(held_.lock); }
    void TearDown() override { lockLeave(held_.lock); }

    // "name@socket" for every entry, in order.
    std::vector<std::string> entries() {
        std::vector<std::string> seen;
        forEach(registry_, [&seen](const ClientEntry& e) {
            seen.push_back(std::string(e.name) + "@" + std::to_string(e.socket));
        });
        return seen;
    }

    void addAll(const std::vector<std::pair<const char*, Socket>>& added) {
        for (const auto& entry : added) add(registry_, entry.first, entry.second);
    }

    testing_support::TestRegistry held_;
    ClientRegistry& registry_ = held_.registry;
};

TEST_F(RegistryTest, FindFirstOnEmptyRegistryFindsNothing) {
    EXPECT_EQ(findFirst(registry_, ""), kNoSocket);
    EXPECT_EQ(findFirst(registry_, "alice"), kNoSocket);
}

TEST_F(RegistryTest, DuplicateNamesResolveToTheEarliestSurvivingRegistration) {
    addAll({{"alice", 7}, {"alice", 9}});
    EXPECT_EQ(findFirst(registry_, "alice"), 7);
    removeAll(registry_, 7);
    EXPECT_EQ(findFirst(registry_, "alice"), 9);
}

TEST_F(RegistryTest, ComparisonIsExactBytes) {
    addAll({{"Alice", 3}, {"", 4}});
    for (const char* other : {"alice", "Alice ", "Alic"}) {
        EXPECT_EQ(findFirst(registry_, other), kNoSocket) << other;
    }
    EXPECT_EQ(findFirst(registry_, "Alice"), 3);
    EXPECT_EQ(findFirst(registry_, ""), 4);
}

// Entries keep their names in place and their sockets by the client's record:
// every byte of a full field must survive, and so must a socket number of
// any width; a name longer than that is refused whole, never cut short.
TEST_F(RegistryTest, EntriesKeepFullFieldNamesAndWideSocketsExactly) {
    const Socket wide = std::numeric_limits<Socket>::max();
    const std::string full(kMaxEntryName, 'x');
    std::string lastDiffers = full;
    lastDiffers.back() = '\xff';
    const std::string withNul("a\0b", 3);
    add(registry_, full, wide);
    add(registry_, lastDiffers, 2);
    add(registry_, withNul, wide);
    const std::string wideText = std::to_string(wide);
    EXPECT_EQ(entries(), (std::vector<std::string>{full + "@" + wideText, lastDiffers + "@2",
                                                   withNul + "@" + wideText}));
    EXPECT_EQ(findFirst(registry_, full), wide);
    EXPECT_EQ(findFirst(registry_, lastDiffers), 2);
    EXPECT_EQ(findFirst(registry_, withNul), wide);
    EXPECT_EQ(findFirst(registry_, full.substr(1)), kNoSocket);
    EXPECT_EQ(findFirst(registry_, "a"), kNoSocket);

    EXPECT_EQ(add(registry_, full + "y", 2), AddResult::NameTooLong);
    EXPECT_EQ(entryCount(registry_), 3u);
    EXPECT_EQ(findFirst(registry_, full), wide);
}

TEST_F(RegistryTest, RemoveAllTakesExactlyOneSocketsEntriesAndKeepsOrder) {
    addAll({{"a", 1}, {"b", 2}, {"c", 1}, {"d", 3}, {"e", 1}, {"f", 2}});
    removeAll(registry_, 1);
    const std::vector<std::string> left{"b@2", "d@3", "f@2"};
    EXPECT_EQ(entries(), left);
    removeAll(registry_, 42);
    EXPECT_EQ(entries(), left);
}

TEST_F(RegistryTest, EachSocketRegistersUpToItsLimitAndRepeatsCount) {
    registry_.maxNamesPerClient = 2;
    EXPECT_EQ(add(registry_, "a", 1), AddResult::Added);
    EXPECT_EQ(add(registry_, "a", 1), AddResult::Added);
    EXPECT_EQ(add(registry_, "b", 2), AddResult::Added);
    EXPECT_EQ(add(registry_, "c", 1), AddResult::FirstOverLimit);
    EXPECT_EQ(add(registry_, "d", 1), AddResult::OverLimit);
    EXPECT_EQ(entries(), (std::vector<std::string>{"a@1", "a@1", "b@2"}));
    // A later connection on the same socket number starts afresh.
    removeAll(registry_, 1);
    EXPECT_EQ(add(registry_, "e", 1), AddResult::Added);
}

// The indexes by name and by client must answer as a plain list would, at a
// scale where the index grows several times over and probes collide: many
// duplicates, clients leaving between registrations, first holders leaving.
TEST_F(RegistryTest, IndexedLookupsAndRemovalsAgreeWithAPlainListAtScale) {
    std::vector<std::pair<std::string, Socket>> model;
    std::minstd_rand random(31);
    auto check = [&](const char* when) {
        std::vector<std::string> expected;
        for (const auto& e : model) expected.push_back(e.first + "@" + std::to_string(e.second));
        ASSERT_EQ(entries(), expected) << when;
        ASSERT_EQ(entryCount(registry_), model.size()) << when;
        for (int n = 0; n < 400; ++n) {
            const std::string name = "n" + std::to_string(n);
            Socket first = kNoSocket;
            for (const auto& e : model) {
                if (e.first == name) {
                    first = e.second;
                    break;
                }
            }
            ASSERT_EQ(findFirst(registry_, name), first) << when << ": " << name;
        }
    };
    for (int round = 0; round < 30; ++round) {
        for (int i = 0; i < 300; ++i) {
            // 400 names over 60 sockets: most names are held several times.
            const std::string name = "n" + std::to_string(random() % 400);
            const Socket socket = static_cast<Socket>(random() % 60);
            add(registry_, name, socket);
            model.emplace_back(name, socket);
        }
        // The holder of the earliest entry leaves, and two others at random.
        for (Socket leaver : {model.front().second, static_cast<Socket>(random() % 60),
                              static_cast<Socket>(random() % 60)}) {
            removeAll(registry_, leaver);
            model.erase(std::remove_if(model.begin(), model.end(),
                                       [leaver](const auto& e) { return e.second == leaver; }),
                        model.end());
        }
        check("after a round of leaves");
    }
    for (Socket s = 0; s < 60; ++s) removeAll(registry_, s);
    model.clear();
    check("once everyone left");
    // Slots freed by leavers are used again, in the order of the new entries.
    addAll({{"n1", 3}, {"n2", 4}, {"n1", 4}});
    EXPECT_EQ(entries(), (std::vector<std::string>{"n1@3", "n2@4", "n1@4"}));
    EXPECT_EQ(findFirst(registry_, "n1"), 3);
}

// A leaving client removes its entries in parts: between parts the registry
// holds exactly the entries not yet removed, and the last part returns the
// connection's number and forgets it.
TEST_F(RegistryTest, RemovalInPartsLeavesAConsistentRegistryBetweenParts) {
    ConnectionId number = 0;
    add(registry_, "a", 1, &number);
    addAll({{"b", 2}, {"a", 2}, {"c", 1}, {"d", 1}});
    ConnectionId connection = 99;
    EXPECT_FALSE(removeSome(registry_, 1, 2, &connection));
    EXPECT_EQ(connection, 0u);
    EXPECT_EQ(entries(), (std::vector<std::string>{"b@2", "a@2", "d@1"}));
    EXPECT_EQ(findFirst(registry_, "a"), 2);
    EXPECT_EQ(socketOf(registry_, number), 1);
    EXPECT_TRUE(removeSome(registry_, 1, 2, &connection));
    EXPECT_EQ(connection, number);
    EXPECT_EQ(entries(), (std::vector<std::string>{"b@2", "a@2"}));
    EXPECT_EQ(socketOf(registry_, number), kNoSocket);
}

TEST_F(RegistryTest, AnOutboxIsMadeOnceAndGoesWithItsConnection) {
    Outbox& first = outboxFor(registry_, 5);
    EXPECT_EQ(&outboxFor(registry_, 5), &first);
    EXPECT_EQ(first.guard, held_.lock);
    dropOutbox(registry_, 5);
    EXPECT_EQ(outboxCount(registry_), 0u);
}

}  // namespace
}  // namespace peerdir
