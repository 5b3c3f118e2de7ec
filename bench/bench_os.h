// bench_os.h -- what the benchmark needs of the operating system beyond the
// platform layer: running the server as a child process and reading its CPU
// time and memory, the benchmark's own CPU time, and a few facts about the
// machine for the report.
//
// Two backends, chosen by the build like the platform layer's:
// bench_os_posix.cpp (Linux: fork/exec and /proc) and bench_os_win32.cpp.
// No operating-system type appears here.
#ifndef PEERDIR_BENCH_BENCH_OS_H
#define PEERDIR_BENCH_BENCH_OS_H

#include <cstdint>
#include <string>
#include <vector>

namespace peerdir {
namespace bench {

struct ChildProcess {
    std::intptr_t id = -1;     // the process id; -1 when none was started
    std::intptr_t handle = 0;  // the backend's handle where it needs one
    bool ended = false;
};

// Starts command[0] with the rest as arguments, in dir, with standard input
// empty and standard output and error written to outputFile. False when it
// could not be started.
bool childStart(const std::vector<std::string>& command, const std::string& dir,
                const std::string& outputFile, ChildProcess* child);

// True while the child runs; reaps it once it has ended.
bool childRunning(ChildProcess& child);

// Asks the child to stop the way an operator's Ctrl+C does, waits at most
// graceMillis for it to end, then ends it forcibly. Always reaps it.
void childStop(ChildProcess& child, unsigned graceMillis);

// Stops every thread of the child until childResume, so that something
// else can be measured without it; false where the platform cannot.
bool childPause(ChildProcess& child);
bool childResume(ChildProcess& child);

// CPU time (user and system, all threads) the child has used, in seconds;
// negative when it cannot be read.
double childCpuSeconds(const ChildProcess& child);

// CPU time this process has used, in seconds.
double ownCpuSeconds();

struct MemoryUse {
    double residentBytes = 0;
    double virtualBytes = 0;  // address space reserved, resident or not
};

// False when the figures cannot be read.
bool childMemory(const ChildProcess& child, MemoryUse* use);

// Raises this process's limit on open descriptors (and so its children's)
// as far as the system lets it; thousands of connections need it. Returns
// the limit in force afterwards, or 0 when the platform has none.
unsigned long raiseOpenFileLimit();

// Operating system, release and processor, for the report.
std::string systemDescription();

// Load averages over 1, 5 and 15 minutes as text; empty where there are none.
std::string loadAverages();

// True when code, from a receive on a socket whose non-blocking connect has
// not finished, means "not yet" rather than a failure.
bool isStillConnecting(int code);

}  // namespace bench
}  // namespace peerdir

#endif
