// process.h -- a program run by the tests or the benchmark as a child
// process on Linux: started in a directory of its own, its output read from
// a pipe or a file, stopped the way an operator or a service manager stops
// it, and its memory read from /proc.
//
// Every wait is bounded by a deadline and ends as soon as what it waits for
// comes. Nothing here is part of the programs peerdir ships.
#ifndef PEERDIR_TESTS_KIT_PROCESS_H
#define PEERDIR_TESTS_KIT_PROCESS_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace peerdir {
namespace kit {

// Long enough for a server started under Wine on a loaded machine; waits
// end as soon as what they wait for comes.
constexpr unsigned kProcessWaitMillis = 60000;

// Where a child's output goes.
enum class OutputTo {
    Pipe,            // standard output to a pipe read into log; standard error stays ours
    PipeWithErrors,  // standard output and error to the same pipe
    File,            // both to outputFile, read into log only when asked; input empty
};

struct ChildProcess {
    int pid = -1;
    int input = -1;   // the child's standard input (a pipe), or -1
    int output = -1;  // the read end of its output pipe, or -1
    std::string outputFile;
    std::uint64_t fileRead = 0;  // bytes of outputFile already in log
    std::string log;             // its output read so far, CR LF as LF
    bool exited = false;
    int exitStatus = -1;  // the exit code, or 128 + the signal
    // When not 0, the child starts with its address space capped at this.
    unsigned addressSpaceLimitMiB = 0;
    // When not 0, the child starts with these limits on open descriptors.
    unsigned descriptorSoftLimit = 0;
    unsigned descriptorHardLimit = 0;
    // When not 0, the output pipe starts full but for this many bytes, so
    // the child is held in the write that would go past them until the pipe
    // is read. The filler never shows in log.
    std::size_t outputRoom = 0;
    std::size_t fillerLeft = 0;
};

// {launcher, binary} from the environment variables named, or {fallback}
// when binaryVariable is unset; a launcher (wine, for a Windows build) only
// when launcherVariable is set.
std::vector<std::string> commandFromEnvironment(const char* binaryVariable,
                                                const char* launcherVariable,
                                                const std::string& fallback);

// Starts command[0] with the rest as its arguments, in dir. For
// OutputTo::File, process.outputFile names the file. False when it could not
// be started; nothing is left open then.
bool startProgram(ChildProcess& process, const std::string& dir,
                  const std::vector<std::string>& command, OutputTo output);

void writeInput(ChildProcess& process, const std::string& text);
void closeInput(ChildProcess& process);

// Takes what the child has written so far into log, without waiting, so
// that a test making many connections never lets the child block on a full
// pipe.
void drainLog(ChildProcess& process);

// Reads output until log contains needle (true), the output ends or millis
// run out.
bool waitForLog(ChildProcess& process, const std::string& needle,
                unsigned millis = kProcessWaitMillis);

// Reads output until log contains needle count times (true), the output
// ends or millis run out.
bool waitForLogCount(ChildProcess& process, const std::string& needle, std::size_t count,
                     unsigned millis = kProcessWaitMillis);

// Waits for the whole line of log that begins with label and returns the
// rest of it; empty when it does not come within millis.
std::string lineAfter(ChildProcess& process, const std::string& label,
                      unsigned millis = kProcessWaitMillis);

// True once the output pipe is full (bounded wait): with outputRoom set, the
// child has written exactly that much and waits in its next write.
bool waitUntilOutputFull(ChildProcess& process);

// True while the child runs; reaps it once it has ended.
bool isRunning(ChildProcess& process);

// Reads output until the child has ended and its output is closed; false
// when millis run out first.
bool waitForExit(ChildProcess& process, unsigned millis = kProcessWaitMillis);

// Asks the child to stop the way an operator's Ctrl+C does.
void interrupt(ChildProcess& process);

// Asks the child to stop the way a service manager does (SIGTERM).
void terminate(ChildProcess& process);

// Asks the child to reload the way `systemctl reload` does (SIGHUP).
void hangUp(ChildProcess& process);

// Asks the child to stop with request (interrupt or terminate) and waits
// for it to end as waitForExit does. Where PEERDIR_E2E_REPEAT_STOP is set
// (the ThreadSanitizer leg), a request left unanswered for 5 s is made once
// more: see process.cpp.
bool stopAndWait(ChildProcess& process, void (*request)(ChildProcess&),
                 unsigned millis = kProcessWaitMillis);

// Stops every thread of the child until resumeProcess; false when it has
// ended.
bool pauseProcess(ChildProcess& process);
bool resumeProcess(ChildProcess& process);

// Kills the child if it still runs and reaps it (a bounded wait); closes
// the pipes.
void stopProgram(ChildProcess& process);

// Interrupts the child (resuming it if paused), waits at most graceMillis
// for it to end, then kills it. Always reaps it.
void stopGently(ChildProcess& process, unsigned graceMillis);

struct MemoryUse {
    double residentBytes = 0;
    double virtualBytes = 0;  // address space reserved, resident or not
};

// The child's memory from /proc; false when it cannot be read.
bool readMemoryUse(const ChildProcess& process, MemoryUse* use);

// The count of the child's memory mappings (each thread stack it keeps is
// two: the stack and its guard page); 0 when it cannot be read.
std::size_t mappingCount(const ChildProcess& process);

}  // namespace kit
}  // namespace peerdir

#endif
