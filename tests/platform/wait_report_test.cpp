// The wait logic of a system that reports each socket event once: a close
// that arrives behind unread messages must still end the connection.
#include "platform/wait_report.h"

#include <gtest/gtest.h>

namespace peerdir {
namespace {

// Windows' side, as it behaves: the close is reported once, with the wake
// that also reports the queued data; a read that leaves data behind reports
// the data again, and the last read reports nothing. The thread reads one
// message per readable wake, as a client's thread does, and asks the wait
// logic, as socketWait does, whether to sleep and what a wake means.
TEST(WaitReportTest, ACloseReportedOnceBehindUnreadMessagesIsKept) {
    ReportMemory memory;
    int queued = 3;
    bool closeUnreported = true;
    bool readReported = true;
    bool ended = false;
    for (int wake = 0; wake < 10 && !ended; ++wake) {
        int found = 0;
        if (closeKept(memory)) {
            found = kWaitReadable;
        } else {
            // Nothing left to report: the thread would sleep until shutdown.
            ASSERT_TRUE(readReported || closeUnreported)
                << "asleep for good: the close was lost, " << queued << " messages still queued";
            found = foldReport(memory, SocketReport{readReported, closeUnreported, false, false},
                               false);
            closeUnreported = false;
            readReported = false;
        }
        ASSERT_NE(found & kWaitReadable, 0);
        if (queued == 0) {
            ended = true;  // the read finds the end of the stream
        } else {
            readReported = --queued > 0;
        }
    }
    EXPECT_TRUE(ended);
}

TEST(WaitReportTest, RoomIsReportedOnlyToAWaiterThatAskedForIt) {
    ReportMemory memory;
    const SocketReport room{false, false, true, false};
    EXPECT_EQ(foldReport(memory, room, false), 0);
    EXPECT_EQ(foldReport(memory, room, true), kWaitWritable);
    EXPECT_FALSE(closeKept(memory));
}

}  // namespace
}  // namespace peerdir
