// bench_os_posix.cpp -- the benchmark's process and machine helpers on Linux:
// fork/exec for the server, its CPU clock, and /proc for its memory.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "bench/bench_os.h"

namespace peerdir {
namespace bench {

namespace {

// Only async-signal-safe calls between fork and exec.
[[noreturn]] void execInChild(const std::vector<char*>& argv, const char* dir, int output) {
    int input = open("/dev/null", O_RDONLY);
    if (input < 0 || dup2(input, 0) < 0 || dup2(output, 1) < 0 || dup2(output, 2) < 0) _exit(126);
    if (chdir(dir) != 0) _exit(126);
    execvp(argv[0], argv.data());
    _exit(127);
}

bool waitEnded(ChildProcess& child, unsigned millis) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(millis);
    while (childRunning(child)) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// A "Name:   1234 kB" line of /proc/<pid>/status, in bytes; 0 when absent.
double statusField(const std::string& status, const std::string& name) {
    std::size_t at = status.find("\n" + name + ":");
    if (at == std::string::npos) return 0;
    std::istringstream line(status.substr(at + name.size() + 2));
    double kib = 0;
    line >> kib;
    return kib * 1024;
}

}  // namespace

bool childStart(const std::vector<std::string>& command, const std::string& dir,
                const std::string& outputFile, ChildProcess* child) {
    if (command.empty()) return false;
    std::vector<char*> argv;
    for (const std::string& word : command) argv.push_back(const_cast<char*>(word.c_str()));
    argv.push_back(nullptr);
    int output = open(outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (output < 0) return false;
    pid_t pid = fork();
    if (pid == 0) execInChild(argv, dir.c_str(), output);
    close(output);
    if (pid < 0) return false;
    child->id = pid;
    child->ended = false;
    return true;
}

bool childRunning(ChildProcess& child) {
    if (child.id <= 0 || child.ended) return false;
    int status = 0;
    pid_t done = waitpid(static_cast<pid_t>(child.id), &status, WNOHANG);
    if (done == 0) return true;
    child.ended = true;
    return false;
}

void childStop(ChildProcess& child, unsigned graceMillis) {
    if (!childRunning(child)) return;
    kill(static_cast<pid_t>(child.id), SIGINT);
    kill(static_cast<pid_t>(child.id), SIGCONT);  // in case it was paused
    if (waitEnded(child, graceMillis)) return;
    kill(static_cast<pid_t>(child.id), SIGKILL);
    waitEnded(child, 10000);
}

bool childPause(ChildProcess& child) {
    return childRunning(child) && kill(static_cast<pid_t>(child.id), SIGSTOP) == 0;
}

bool childResume(ChildProcess& child) {
    return childRunning(child) && kill(static_cast<pid_t>(child.id), SIGCONT) == 0;
}

double childCpuSeconds(const ChildProcess& child) {
    clockid_t clock;
    if (clock_getcpuclockid(static_cast<pid_t>(child.id), &clock) != 0) return -1;
    timespec used;
    if (clock_gettime(clock, &used) != 0) return -1;
    return static_cast<double>(used.tv_sec) + static_cast<double>(used.tv_nsec) * 1e-9;
}

double ownCpuSeconds() {
    timespec used;
    if (clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &used) != 0) return -1;
    return static_cast<double>(used.tv_sec) + static_cast<double>(used.tv_nsec) * 1e-9;
}

bool childMemory(const ChildProcess& child, MemoryUse* use) {
    std::ifstream file("/proc/" + std::to_string(child.id) + "/status");
    if (!file) return false;
    std::stringstream text;
    text << "\n" << file.rdbuf();
    use->residentBytes = statusField(text.str(), "VmRSS");
    use->virtualBytes = statusField(text.str(), "VmSize");
    return use->virtualBytes > 0;
}

unsigned long raiseOpenFileLimit() {
    rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
    if (limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
        getrlimit(RLIMIT_NOFILE, &limit);
    }
    return static_cast<unsigned long>(limit.rlim_cur);
}

std::string systemDescription() {
    utsname name;
    if (uname(&name) != 0) return "unknown system";
    return std::string(name.sysname) + " " + name.release + " " + name.machine;
}

std::string loadAverages() {
    std::ifstream file("/proc/loadavg");
    std::string one, five, fifteen;
    if (!(file >> one >> five >> fifteen)) return "";
    return one + " " + five + " " + fifteen;
}

bool isStillConnecting(int code) {
    return code == EAGAIN || code == EWOULDBLOCK || code == EINPROGRESS;
}

}  // namespace bench
}  // namespace peerdir
