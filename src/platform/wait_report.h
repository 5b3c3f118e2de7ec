// wait_report.h -- what a wake of a socket's event means to the thread that
// waits on it, where the system reports each of a socket's events once
// (Windows' WSAEventSelect). Plain logic, no system calls, so that tests
// check it on every platform.
//
// Windows reports the peer's close (FD_CLOSE) once, and nothing re-arms it.
// A thread that reads one message per wake can take that report while
// messages sent before the close are still queued; once it has read them,
// no report is left to wake it, and a thread that forgot the close would
// sleep until shutdown with its client's names still registered. So the
// close is kept once seen: from then on every wait finds the socket
// readable at once, which it is (the read that reaches the end ends the
// connection). Wine reports the close again on every wake, which is why
// the fault never shows under it.
#ifndef PEERDIR_PLATFORM_WAIT_REPORT_H
#define PEERDIR_PLATFORM_WAIT_REPORT_H

#include "platform/platform.h"

namespace peerdir {

// The network events one wake reported.
struct SocketReport {
    bool read = false;
    bool close = false;
    bool write = false;
    bool accept = false;
};

// What a waiter remembers between wakes.
struct ReportMemory {
    bool closeSeen = false;
};

// True once the peer's close has been reported: the socket stays readable,
// so a wait must not sleep.
inline bool closeKept(const ReportMemory& memory) { return memory.closeSeen; }

// The kWait bits of one wake's report, for a waiter that asked for room
// when writable; remembers a close.
inline int foldReport(ReportMemory& memory, const SocketReport& report, bool writable) {
    if (report.close) memory.closeSeen = true;
    int found = 0;
    if (report.read || report.accept || closeKept(memory)) found |= kWaitReadable;
    if (writable && report.write) found |= kWaitWritable;
    return found;
}

}  // namespace peerdir

#endif
