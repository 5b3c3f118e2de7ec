// The mirror's view of the registrations: etcd's order, deletes, and this
// server's own registrations merged in while etcd has yet to show them back
// or to show their deletion.
#include "shared/shared_mirror.h"

#include <gtest/gtest.h>

#include <string>
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
    std::vector<MirroredName> view;
    EXPECT_TRUE(mirrorView(mirror, "p", "me", own, &view));
    std::vector<std::string> names;
    for (const MirroredName& entry : view) names.push_back(entry.name);
    return names;
}

TEST(SharedMirror, AnswersInRegistrationOrderWithThisServersOwnMergedIn) {
    SharedMirror mirror;
    std::vector<LocalRegistration> local;
    std::unordered_set<std::string> keys;
    const OwnRegistrations own{local, keys};
    std::vector<MirroredName> unready;
    EXPECT_FALSE(mirrorView(mirror, "p", "me", own, &unready));

    // Loaded out of order, as pages may come; kept in creation order.
    mirrorReplace(mirror, "p",
                  {registration("bob", "other", 2, 20, 5), registration("ann", "other", 1, 10, 4)});
    // This server's "bob" is not shown back yet, and its "cat" is gone here
    // while etcd still shows it.
    const EtcdKeyValue mine = registration("bob", "me", 1, 30, 7);
    local.push_back(LocalRegistration{7, "bob", mine.key, true});
    keys.insert(mine.key);
    mirrorApply(mirror, "p", EtcdWatchEvent{false, registration("cat", "me", 2, 25, 8)});
    EXPECT_EQ(namesIn(mirror, own), (std::vector<std::string>{"ann", "bob", "bob"}));

    // The earliest "bob" is the other server's, to forward to; once it goes,
    // this server's own, not yet shown back, is the one.
    MirroredName earliest;
    bool ready = false;
    ASSERT_TRUE(mirrorEarliest(mirror, "p", "me", own, "bob", &earliest, &ready));
    EXPECT_FALSE(earliest.here);
    EXPECT_EQ(earliest.connection, 5u);
    EXPECT_EQ(earliest.createRevision, 20);
    EtcdWatchEvent gone{true, {}};
    gone.kv.key = registrationKey("p", "bob", "other", 2);
    mirrorApply(mirror, "p", gone);
    ASSERT_TRUE(mirrorEarliest(mirror, "p", "me", own, "bob", &earliest, &ready));
    EXPECT_TRUE(earliest.here);
    EXPECT_EQ(earliest.connection, 7u);
    EXPECT_FALSE(mirrorEarliest(mirror, "p", "me", own, "cat", &earliest, &ready));
    EXPECT_TRUE(ready);

    // Shown back at last, it takes its place by creation, once.
    mirrorApply(mirror, "p", EtcdWatchEvent{false, mine});
    EXPECT_EQ(namesIn(mirror, own), (std::vector<std::string>{"ann", "bob"}));
}

}  // namespace
}  // namespace peerdir
