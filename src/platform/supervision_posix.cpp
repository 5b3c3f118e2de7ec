// supervision_posix.cpp -- systemd's notification datagram, the process's
// usage from /proc and getrusage, and the metrics listener's options.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/supervision.h"

namespace peerdir {

namespace {

// The notification socket's address: a path, or after "@" an abstract name
// (which starts with a NUL on the wire). False when the text cannot be one.
bool notifyAddress(const char* text, sockaddr_un* address, socklen_t* length) {
    const std::size_t size = std::strlen(text);
    if (size < 2 || (text[0] != '/' && text[0] != '@') || size >= sizeof(address->sun_path))
        return false;
    std::memset(address, 0, sizeof(*address));
    address->sun_family = AF_UNIX;
    std::memcpy(address->sun_path, text, size);
    if (text[0] == '@') address->sun_path[0] = '\0';
    *length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + size);
    return true;
}

// Whole decimal digits only; false for anything else or an overflow.
bool parseDecimal(const char* text, unsigned long long* value) {
    if (text == nullptr || *text == '\0') return false;
    unsigned long long number = 0;
    for (const char* at = text; *at != '\0'; ++at) {
        if (*at < '0' || *at > '9') return false;
        const unsigned long long next = number * 10 + static_cast<unsigned>(*at - '0');
        if (next / 10 != number) return false;
        number = next;
    }
    *value = number;
    return true;
}

// Linux 6.2 and later give the count as the directory's size, at once;
// older kernels list the directory, which takes a millisecond per
// thousand descriptors.
std::uint64_t countOpenDescriptors() {
    struct stat directory {};
    if (stat("/proc/self/fd", &directory) == 0 && directory.st_size > 0)
        return static_cast<std::uint64_t>(directory.st_size);
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) return 0;
    std::uint64_t count = 0;
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] != '.') ++count;
    }
    closedir(dir);
    // The directory's own descriptor was open while it was read.
    return count > 0 ? count - 1 : 0;
}

// The system's boot time, in seconds since the epoch ("btime" in /proc/stat).
double bootTimeSeconds() {
    std::ifstream stat("/proc/stat");
    std::string key;
    double value = 0;
    while (stat >> key) {
        if (key == "btime" && stat >> value) return value;
        stat.ignore(1 << 20, '\n');
    }
    return 0;
}

// The process's start, from field 22 of /proc/self/stat (clock ticks after
// boot). The command name in field 2 may hold blanks and parentheses, so
// the fields are counted from its closing parenthesis.
double processStartSeconds() {
    std::ifstream file("/proc/self/stat");
    std::string line;
    if (!std::getline(file, line)) return 0;
    std::size_t close = line.rfind(')');
    if (close == std::string::npos) return 0;
    std::istringstream fields(line.substr(close + 1));
    std::string field;
    for (int number = 3; number <= 22 && fields >> field; ++number) {
        if (number < 22) continue;
        unsigned long long ticks = 0;
        long perSecond = sysconf(_SC_CLK_TCK);
        if (!parseDecimal(field.c_str(), &ticks) || perSecond <= 0) return 0;
        return bootTimeSeconds() + static_cast<double>(ticks) / static_cast<double>(perSecond);
    }
    return 0;
}

std::uint64_t residentBytes() {
    std::ifstream statm("/proc/self/statm");
    unsigned long long size = 0, resident = 0;
    if (!(statm >> size >> resident)) return 0;
    return resident * static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
}

}  // namespace

bool notifyServiceManager(const std::string& state) {
    const char* path = std::getenv("NOTIFY_SOCKET");
    sockaddr_un address;
    socklen_t length = 0;
    if (path == nullptr || !notifyAddress(path, &address, &length)) return false;
    int s = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) return false;
    ssize_t sent = sendto(s, state.data(), state.size(), MSG_NOSIGNAL,
                          reinterpret_cast<const sockaddr*>(&address), length);
    int code = errno;
    close(s);
    errno = code;
    return sent == static_cast<ssize_t>(state.size());
}

unsigned serviceWatchdogMillis() {
    unsigned long long micros = 0, pid = 0;
    if (!parseDecimal(std::getenv("WATCHDOG_USEC"), &micros) || micros == 0) return 0;
    const char* owner = std::getenv("WATCHDOG_PID");
    if (owner != nullptr &&
        (!parseDecimal(owner, &pid) || pid != static_cast<unsigned long long>(getpid())))
        return 0;
    const unsigned long long millis = micros / 1000;
    return millis == 0 ? 1u : millis > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<unsigned>(millis);
}

ProcessUsage readProcessUsage() {
    ProcessUsage usage;
    // The kernel sums every thread's time for either call, but this one
    // does it several times faster than getrusage with 20,000 threads.
    timespec cpu{};
    if (clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu) == 0) {
        usage.cpuSeconds = static_cast<double>(cpu.tv_sec) + static_cast<double>(cpu.tv_nsec) / 1e9;
    }
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0) usage.maxDescriptors = limit.rlim_cur;
    usage.residentBytes = residentBytes();
    usage.openDescriptors = countOpenDescriptors();
    // Reading /proc/self/stat also sums every thread's time; the start
    // never changes, so it is read once.
    static const double startTime = processStartSeconds();
    usage.startTimeSeconds = startTime;
    usage.known = true;
    return usage;
}

void prepareLibraryListener(std::intptr_t handle) {
    const int s = static_cast<int>(handle);
    int on = 1;
    // SO_REUSEADDR alone: a restart binds at once over connections left in
    // TIME_WAIT. SO_REUSEPORT is what the library would add, and would let a
    // second server share the port, each scrape reaching one of them.
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    fcntl(s, F_SETFD, fcntl(s, F_GETFD) | FD_CLOEXEC);
}

}  // namespace peerdir
