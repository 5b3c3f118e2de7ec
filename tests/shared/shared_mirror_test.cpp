// The mirror's view of the registrations: etcd's order, deletes, and this
// server's own registrations merged in while etcd has yet to show them back
// or to show their deletion.
#include "shared/shared_mirror.h"

#include <gtest/gtest.h>

#include <string>
#include <unordered_set>
#include <vector>

#include "shared/shared_keys.h"

namespace peerdir {
namespace {

EtcdKeyValue registration(const std::string& name, const std::string& server, std::uint64_t serial,
                          std::int64_t created, ConnectionId connection) {
    EtcdKeyValue kv;
    kv.key = registrationKey("p", name, server, serial);
    kv.value = encodeConnection(connection);
    kv.createRevision = created;
    kv.lease = 9;
    return kv;
}

std::vector<std::string> namesIn(SharedMirror& mirror, const OwnRegistrations& own) {
    std::vector<std::string> names;
    EXPECT_TRUE(mirrorNames(mirror, own, &names));
    return names;
}

TEST(SharedMirror, AnswersInRegistrationOrderWithThisServersOwnMergedIn) {
    SharedMirror mirror;
    LocalRegistrations local;
    LocalNames localNames;
    const std::string me = "e1";
    const std::string other = "b2";
    const OwnRegistrations own{me, local, localNames};
    std::vector<std::string> unready;
    EXPECT_FALSE(mirrorNames(mirror, own, &unready));

    // Loaded out of order, as key-ordered pages come; kept in creation order.
    mirrorReplace(mirror, "p",
                  {registration("bob", other, 2, 20, 5), registration("ann", other, 1, 10, 4)});
    // This server's "bob" is not shown back yet, and its "cat" is gone here
    // while etcd still shows it.
    const EtcdKeyValue mine = registration("bob", me, 1, 30, 7);
    local.emplace(1, LocalRegistration{7, "bob", mine.key, PutState::Written});
    localNames.emplace("bob", 1);
    mirrorApply(mirror, "p", EtcdWatchEvent{false, registration("cat", me, 2, 25, 8)});
    EXPECT_EQ(namesIn(mirror, own), (std::vector<std::string>{"ann", "bob", "bob"}));

    // The earliest "bob" is the other server's, to forward to; once it goes,
    // this server's own, not yet shown back, is the one.
    MirroredName earliest;
    bool ready = false;
    ASSERT_TRUE(mirrorEarliest(mirror, "p", own, "bob", &earliest, &ready));
    EXPECT_FALSE(earliest.here);
    EXPECT_EQ(earliest.connection, 5u);
    EXPECT_EQ(earliest.createRevision, 20);
    EXPECT_EQ(earliest.key, registrationKey("p", "bob", other, 2));
    EtcdWatchEvent gone{true, {}};
    gone.kv.key = registrationKey("p", "bob", other, 2);
    mirrorApply(mirror, "p", gone);
    ASSERT_TRUE(mirrorEarliest(mirror, "p", own, "bob", &earliest, &ready));
    EXPECT_TRUE(earliest.here);
    EXPECT_EQ(earliest.connection, 7u);
    EXPECT_FALSE(mirrorEarliest(mirror, "p", own, "cat", &earliest, &ready));
    EXPECT_TRUE(ready);

    // Shown back at last, it takes its place by creation, once.
    mirrorApply(mirror, "p", EtcdWatchEvent{false, mine});
    EXPECT_EQ(namesIn(mirror, own), (std::vector<std::string>{"ann", "bob"}));
}

// Keys written in one transaction share a create revision: key order breaks
// the tie, serial 0x10 after 0x9, and decides who is first.
TEST(SharedMirror, KeysOfOneTransactionKeepKeyOrderWhateverOrderTheyCameIn) {
    SharedMirror mirror;
    LocalRegistrations local;
    LocalNames localNames;
    const std::string me = "e1";
    const OwnRegistrations own{me, local, localNames};
    mirrorReplace(mirror, "p", {registration("zed", "c3", 0x10, 40, 2)});
    mirrorApply(mirror, "p", EtcdWatchEvent{false, registration("amy", "c3", 0x9, 40, 1)});
    mirrorApply(mirror, "p", EtcdWatchEvent{false, registration("zed", "c3", 0x9, 40, 3)});
    mirrorApply(mirror, "p", EtcdWatchEvent{false, registration("bo", "a4", 1, 39, 4)});
    EXPECT_EQ(namesIn(mirror, own), (std::vector<std::string>{"bo", "amy", "zed", "zed"}));
    MirroredName earliest;
    bool ready = false;
    ASSERT_TRUE(mirrorEarliest(mirror, "p", own, "zed", &earliest, &ready));
    EXPECT_EQ(earliest.connection, 3u);

    // A delete leaves a gap that later views skip; a re-put keeps its place.
    EtcdWatchEvent gone{true, {}};
    gone.kv.key = registrationKey("p", "amy", "c3", 0x9);
    mirrorApply(mirror, "p", gone);
    mirrorApply(mirror, "p", EtcdWatchEvent{false, registration("bo", "a4", 1, 39, 4)});
    EXPECT_EQ(namesIn(mirror, own), (std::vector<std::string>{"bo", "zed", "zed"}));
    EXPECT_EQ(mirrorSize(mirror), 3u);
}

}  // namespace
}  // namespace peerdir
