// supervision.h -- what the programs that watch a running server need from
// the system: the service manager's notifications, the process's own usage
// for the metrics, and a listening socket made by a library set up the way
// the server's own are.
//
// Apart from platform.h so that the core of the server keeps the small
// interface it always had; one backend per system, chosen by the build
// (supervision_posix.cpp, supervision_win32.cpp).
#ifndef PEERDIR_PLATFORM_SUPERVISION_H
#define PEERDIR_PLATFORM_SUPERVISION_H

#include <cstdint>
#include <string>

namespace peerdir {

// Sends state ("READY=1", "STATUS=...", several lines joined by "\n") to the
// service manager as one datagram to the socket named in $NOTIFY_SOCKET (a
// path, or "@" for an abstract name). False, doing nothing, when the
// variable is not set or names no usable socket, or when the send failed;
// a server not run by a service manager never notices.
bool notifyServiceManager(const std::string& state);

// How often the service manager wants to hear "WATCHDOG=1", from
// $WATCHDOG_USEC, in milliseconds; 0 when it wants nothing from this
// process (no variable, one meant for another process by $WATCHDOG_PID, or
// a value that does not parse).
unsigned serviceWatchdogMillis();

// The process's own usage, as Prometheus's standard process metrics name
// it. known is false where the system does not tell.
struct ProcessUsage {
    bool known = false;
    double cpuSeconds = 0;  // user and system time
    std::uint64_t residentBytes = 0;
    std::uint64_t openDescriptors = 0;
    std::uint64_t maxDescriptors = 0;  // the soft limit
    double startTimeSeconds = 0;       // since the Unix epoch
};
ProcessUsage readProcessUsage();

// Prepares a listening socket a library creates (the metrics endpoint's):
// its address may be bound again at once after a restart, but no second
// process may bind the same port beside it, so a scraper never reaches a
// stranger. handle is the library's socket number.
void prepareLibraryListener(std::intptr_t handle);

}  // namespace peerdir

#endif
