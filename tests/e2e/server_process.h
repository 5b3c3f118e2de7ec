// server_process.h -- runs the real server binary as a child process with
// pipes on its standard input and output, for the end-to-end tests.
//
// The binary is PEERDIR_SERVER from the environment, or the one this build
// made; PEERDIR_SERVER_LAUNCHER, when set, is a program to start it through
// (wine, for the Windows executable). Every wait is bounded.
#ifndef PEERDIR_TESTS_E2E_SERVER_PROCESS_H
#define PEERDIR_TESTS_E2E_SERVER_PROCESS_H

#include <cstddef>
#include <string>
#include <vector>

namespace peerdir {
namespace e2e {

// Long enough for a server started under Wine on a loaded machine; waits
// end as soon as what they wait for comes.
constexpr unsigned kProcessWaitMillis = 60000;

struct ServerProcess {
    int pid = -1;
    int input = -1;   // the server's standard input
    int output = -1;  // the server's standard output
    std::string log;  // everything it wrote so far, with CR LF turned into LF
    bool exited = false;
    int exitStatus = -1;  // the exit code, or 128 + signal
    // When not 0, the server starts with its address space capped at this.
    unsigned addressSpaceLimitMiB = 0;
    // When not 0, the output pipe starts full but for this many bytes, so
    // the server is held in the write that would go past them until the
    // test reads. The filler never shows in log.
    std::size_t outputRoom = 0;
    std::size_t fillerLeft = 0;
};

// A fresh directory under the system's temporary directory.
std::string makeTempDirectory();
void removeDirectory(const std::string& path);
void writeFile(const std::string& path, const std::string& content);

// Starts the server with dir as its working directory.
bool startServer(ServerProcess& server, const std::string& dir);

// Starts binary with args in dir, through launcher unless it is empty. With
// mergeErrors its standard error goes into the same pipe as its output.
bool startProgram(ServerProcess& process, const std::string& dir, const std::string& binary,
                  const std::string& launcher, const std::vector<std::string>& args,
                  bool mergeErrors);

void writeInput(ServerProcess& server, const std::string& text);
void closeInput(ServerProcess& server);

// Reads output until the log contains needle (true) or the wait ends.
bool waitForLog(ServerProcess& server, const std::string& needle,
                unsigned millis = kProcessWaitMillis);

// True once the output pipe is full (bounded wait): with outputRoom set, the
// server has written exactly that much and waits in its next write.
bool waitUntilOutputFull(ServerProcess& server);

// Takes what the server has written so far, without waiting, so that a
// test making many connections never lets the server block on a full pipe.
void drainLog(ServerProcess& server);

// Reads output until the process has ended and its output is closed.
bool waitForExit(ServerProcess& server, unsigned millis = kProcessWaitMillis);

// Asks the server to stop the way an operator's Ctrl+C does.
void interrupt(ServerProcess& server);

// Asks the server to stop the way a service manager does (SIGTERM).
void terminate(ServerProcess& server);

// Kills and reaps the process if it still runs; closes the pipes.
void stopServer(ServerProcess& server);

}  // namespace e2e
}  // namespace peerdir

#endif
