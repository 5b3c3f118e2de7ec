// machine.cpp -- CPU clocks, resource limits, uname and /proc/loadavg.
#include "bench/machine.h"

#include <sys/resource.h>
#include <sys/utsname.h>
#include <time.h>

#include <fstream>

namespace peerdir {
namespace bench {

namespace {

double secondsOf(clockid_t clock) {
    timespec used;
    if (clock_gettime(clock, &used) != 0) return -1;
    return static_cast<double>(used.tv_sec) + static_cast<double>(used.tv_nsec) * 1e-9;
}

}  // namespace

double childCpuSeconds(const kit::ChildProcess& child) {
    clockid_t clock;
    if (clock_getcpuclockid(child.pid, &clock) != 0) return -1;
    return secondsOf(clock);
}

double ownCpuSeconds() { return secondsOf(CLOCK_PROCESS_CPUTIME_ID); }

constexpr rlim_t kWantedOpenFiles = 65536;

unsigned long raiseOpenFileLimit() {
    rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
    // The largest rows hold tens of thousands of sockets; a privileged run
    // may raise the hard limit itself.
    if (limit.rlim_max < kWantedOpenFiles) {
        rlimit raised{kWantedOpenFiles, kWantedOpenFiles};
        setrlimit(RLIMIT_NOFILE, &raised);
        getrlimit(RLIMIT_NOFILE, &limit);
    }
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

}  // namespace bench
}  // namespace peerdir
