// Registry: registration order, duplicates, exact comparison and removal.
#include "clients/registry.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace peerdir {
namespace {

// Every registry function wants the registry's lock held by its caller.
struct LockedRegistry {
    LockHandle lock = lockCreate();
    ClientRegistry registry = makeRegistry(lock);
    LockedRegistry() { lockEnter(lock); }
    ~LockedRegistry() {
        lockLeave(lock);
        lockDelete(lock);
    }
};

std::vector<std::string> describe(const ClientRegistry& registry) {
    std::vector<std::string> seen;
    forEach(registry, [&seen](const ClientEntry& e) {
        seen.push_back(e.name + "@" + std::to_string(e.socket));
    });
    return seen;
}

TEST(Registry, FindFirstOnEmptyRegistryFindsNothing) {
    LockedRegistry locked;
    ClientRegistry& registry = locked.registry;
    EXPECT_EQ(findFirst(registry, ""), kNoSocket);
    EXPECT_EQ(findFirst(registry, "alice"), kNoSocket);
}

TEST(Registry, DuplicateNamesResolveToTheEarliestSurvivingRegistration) {
    LockedRegistry locked;
    ClientRegistry& registry = locked.registry;
    add(registry, "alice", 7);
    add(registry, "alice", 9);
    EXPECT_EQ(findFirst(registry, "alice"), 7);
    removeAll(registry, 7);
    EXPECT_EQ(findFirst(registry, "alice"), 9);
}

TEST(Registry, ComparisonIsExactBytes) {
    LockedRegistry locked;
    ClientRegistry& registry = locked.registry;
    add(registry, "Alice", 3);
    add(registry, "", 4);
    EXPECT_EQ(findFirst(registry, "alice"), kNoSocket);
    EXPECT_EQ(findFirst(registry, "Alice "), kNoSocket);
    EXPECT_EQ(findFirst(registry, "Alice"), 3);
    EXPECT_EQ(findFirst(registry, ""), 4);
}

TEST(Registry, RemoveAllTakesExactlyOneSocketsEntriesAndKeepsOrder) {
    LockedRegistry locked;
    ClientRegistry& registry = locked.registry;
    add(registry, "a", 1);
    add(registry, "b", 2);
    add(registry, "c", 1);
    add(registry, "d", 3);
    add(registry, "e", 1);
    add(registry, "f", 2);
    removeAll(registry, 1);
    EXPECT_EQ(describe(registry), (std::vector<std::string>{"b@2", "d@3", "f@2"}));
    removeAll(registry, 42);
    EXPECT_EQ(describe(registry), (std::vector<std::string>{"b@2", "d@3", "f@2"}));
}

}  // namespace
}  // namespace peerdir
