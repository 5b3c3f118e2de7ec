// server_process.cpp -- child process plumbing on POSIX for the end-to-end
// tests. The tests drive the server from Linux whichever build it is.
#include "e2e/server_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <vector>

#ifndef PEERDIR_DEFAULT_SERVER
#error "PEERDIR_DEFAULT_SERVER must name the server binary"
#endif

namespace peerdir {
namespace e2e {

namespace {

using Clock = std::chrono::steady_clock;

std::string envOr(const char* name, const std::string& fallback) {
    const char* value = std::getenv(name);
    return value != nullptr && value[0] != '\0' ? value : fallback;
}

void closeFd(int& fd) {
    if (fd >= 0) close(fd);
    fd = -1;
}

// Takes what is in the pipe now, without waiting. False at end of output.
bool drainOutput(ServerProcess& server) {
    char buffer[4096];
    for (;;) {
        ssize_t n = read(server.output, buffer, sizeof buffer);
        if (n > 0) {
            for (ssize_t i = 0; i < n; ++i) {
                if (server.fillerLeft > 0) {
                    --server.fillerLeft;
                } else if (buffer[i] != '\r') {
                    server.log.push_back(buffer[i]);
                }
            }
            continue;
        }
        if (n == 0) return false;
        return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
    }
}

void reap(ServerProcess& server, int options) {
    if (server.exited || server.pid < 0) return;
    int status = 0;
    if (waitpid(server.pid, &status, options) == server.pid) {
        server.exited = true;
        server.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
}

// Waits for output (or its end) for up to millis; returns false once the
// output has ended.
bool pump(ServerProcess& server, int millis) {
    if (server.output < 0) return false;
    pollfd pfd{server.output, POLLIN, 0};
    poll(&pfd, 1, millis);
    if (!drainOutput(server)) {
        closeFd(server.output);
        return false;
    }
    return true;
}

// Fills the pipe but for outputRoom bytes. Small writes merge into the pipe's
// last page, so the room is exact.
bool fillOutputPipe(ServerProcess& process, int writeEnd) {
    int capacity = fcntl(writeEnd, F_GETPIPE_SZ);
    if (capacity <= 0 || static_cast<std::size_t>(capacity) <= process.outputRoom) return false;
    std::vector<char> filler(static_cast<std::size_t>(capacity) - process.outputRoom, '#');
    if (write(writeEnd, filler.data(), filler.size()) != static_cast<ssize_t>(filler.size())) {
        return false;
    }
    process.fillerLeft = filler.size();
    return true;
}

}  // namespace

bool waitUntilOutputFull(ServerProcess& server) {
    int capacity = fcntl(server.output, F_GETPIPE_SZ);
    auto deadline = Clock::now() + std::chrono::milliseconds(kProcessWaitMillis);
    while (Clock::now() < deadline) {
        int queued = 0;
        if (ioctl(server.output, FIONREAD, &queued) == 0 && queued >= capacity) return true;
        poll(nullptr, 0, 1);
    }
    return false;
}

std::string makeTempDirectory() {
    std::string pattern = envOr("TMPDIR", "/tmp") + "/peerdir-e2e-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) == nullptr) return "";
    return buffer.data();
}

void removeDirectory(const std::string& path) {
    if (path.empty()) return;
    std::remove((path + "/config.txt").c_str());
    rmdir(path.c_str());
}

void writeFile(const std::string& path, const std::string& content) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << content;
}

bool startServer(ServerProcess& server, const std::string& dir) {
    return startProgram(server, dir, envOr("PEERDIR_SERVER", PEERDIR_DEFAULT_SERVER),
                        envOr("PEERDIR_SERVER_LAUNCHER", ""), {}, false);
}

bool startProgram(ServerProcess& process, const std::string& dir, const std::string& binary,
                  const std::string& launcher, const std::vector<std::string>& args,
                  bool mergeErrors) {
    // The argument vector is built before fork: the child may only make
    // async-signal-safe calls.
    std::vector<const char*> argv;
    if (!launcher.empty()) argv.push_back(launcher.c_str());
    argv.push_back(binary.c_str());
    for (const std::string& arg : args) argv.push_back(arg.c_str());
    argv.push_back(nullptr);
    const rlim_t capBytes = static_cast<rlim_t>(process.addressSpaceLimitMiB) << 20;
    int toChild[2];
    int fromChild[2];
    if (pipe(toChild) != 0) return false;
    if (pipe(fromChild) != 0) {
        close(toChild[0]);
        close(toChild[1]);
        return false;
    }
    if (process.outputRoom > 0 && !fillOutputPipe(process, fromChild[1])) {
        for (int fd : {toChild[0], toChild[1], fromChild[0], fromChild[1]}) close(fd);
        return false;
    }
    pid_t pid = fork();
    if (pid == 0) {
        // Only async-signal-safe calls between fork and exec.
        dup2(toChild[0], 0);
        dup2(fromChild[1], 1);
        if (mergeErrors) dup2(fromChild[1], 2);
        close(toChild[0]);
        close(toChild[1]);
        close(fromChild[0]);
        close(fromChild[1]);
        if (chdir(dir.c_str()) != 0) _exit(126);
        if (capBytes > 0) {
            rlimit cap;
            cap.rlim_cur = cap.rlim_max = capBytes;
            if (setrlimit(RLIMIT_AS, &cap) != 0) _exit(125);
        }
        execvp(argv[0], const_cast<char* const*>(argv.data()));
        _exit(127);
    }
    close(toChild[0]);
    close(fromChild[1]);
    if (pid < 0) {
        close(toChild[1]);
        close(fromChild[0]);
        return false;
    }
    process.pid = pid;
    process.input = toChild[1];
    process.output = fromChild[0];
    fcntl(process.output, F_SETFL, fcntl(process.output, F_GETFL) | O_NONBLOCK);
    fcntl(process.input, F_SETFD, FD_CLOEXEC);
    fcntl(process.output, F_SETFD, FD_CLOEXEC);
    return true;
}

void writeInput(ServerProcess& server, const std::string& text) {
    if (server.input < 0) return;
    // A server that has already gone must not take the test down with it.
    signal(SIGPIPE, SIG_IGN);
    ssize_t ignored = write(server.input, text.data(), text.size());
    (void)ignored;
}

void closeInput(ServerProcess& server) { closeFd(server.input); }

bool waitForLog(ServerProcess& server, const std::string& needle, unsigned millis) {
    auto deadline = Clock::now() + std::chrono::milliseconds(millis);
    for (;;) {
        if (server.log.find(needle) != std::string::npos) return true;
        if (Clock::now() >= deadline) return false;
        if (!pump(server, 20)) {
            return server.log.find(needle) != std::string::npos;
        }
    }
}

void drainLog(ServerProcess& server) { pump(server, 0); }

bool waitForExit(ServerProcess& server, unsigned millis) {
    auto deadline = Clock::now() + std::chrono::milliseconds(millis);
    while (Clock::now() < deadline) {
        bool open = pump(server, 20);
        reap(server, WNOHANG);
        if (server.exited && !open) return true;
        if (server.exited) {
            // Take what is left; a grandchild holding the pipe must not keep
            // the test waiting.
            pump(server, 50);
            closeFd(server.output);
            return true;
        }
    }
    return false;
}

void interrupt(ServerProcess& server) {
    if (server.pid > 0 && !server.exited) kill(server.pid, SIGINT);
}

void terminate(ServerProcess& server) {
    if (server.pid > 0 && !server.exited) kill(server.pid, SIGTERM);
}

void stopServer(ServerProcess& server) {
    if (server.pid > 0 && !server.exited) {
        kill(server.pid, SIGKILL);
        reap(server, 0);
    }
    closeFd(server.input);
    closeFd(server.output);
}

}  // namespace e2e
}  // namespace peerdir
