// bench_os_win32.cpp -- the benchmark's process and machine helpers on
// Windows: CreateProcess for the server, GetProcessTimes for its CPU time,
// and its working set and address space for its memory.
#ifndef _WIN32
#error "bench_os_win32.cpp builds for Windows only; POSIX systems use bench_os_posix.cpp"
#endif

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
// winsock2.h must come before windows.h, or windows.h drags in the old
// winsock.h and the two clash.
#include <winsock2.h>
// (kept apart so that include sorting cannot reorder them)
#include <windows.h>
// (after windows.h, which it needs)
#include <psapi.h>

#include "bench/bench_os.h"

namespace peerdir {
namespace bench {

namespace {

HANDLE processOf(const ChildProcess& child) { return reinterpret_cast<HANDLE>(child.handle); }

double seconds(const FILETIME& time) {
    ULARGE_INTEGER ticks;
    ticks.LowPart = time.dwLowDateTime;
    ticks.HighPart = time.dwHighDateTime;
    return static_cast<double>(ticks.QuadPart) * 1e-7;  // 100 ns units
}

double cpuSecondsOf(HANDLE process) {
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(process, &created, &exited, &kernel, &user)) return -1;
    return seconds(kernel) + seconds(user);
}

// Every argument quoted, so paths with spaces survive; the benchmark passes
// none with quotes of their own.
std::string commandLine(const std::vector<std::string>& command) {
    std::string line;
    for (const std::string& word : command) {
        if (!line.empty()) line += ' ';
        line += '"' + word + '"';
    }
    return line;
}

// Address space that is reserved or committed, summed region by region.
double reservedBytes(HANDLE process) {
    double total = 0;
    MEMORY_BASIC_INFORMATION region;
    const char* at = nullptr;
    while (VirtualQueryEx(process, at, &region, sizeof region) == sizeof region) {
        if (region.State != MEM_FREE) total += static_cast<double>(region.RegionSize);
        const char* next = static_cast<const char*>(region.BaseAddress) + region.RegionSize;
        if (next <= at) break;
        at = next;
    }
    return total;
}

}  // namespace

bool childStart(const std::vector<std::string>& command, const std::string& dir,
                const std::string& outputFile, ChildProcess* child) {
    if (command.empty()) return false;
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE output = CreateFileA(outputFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                                CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (output == INVALID_HANDLE_VALUE) return false;
    HANDLE input = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    STARTUPINFOA startup;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input;
    startup.hStdOutput = output;
    startup.hStdError = output;
    PROCESS_INFORMATION started;
    std::string line = commandLine(command);
    // A process group of its own, so that a Ctrl+Break can be sent to it
    // alone.
    BOOL ok = CreateProcessA(nullptr, &line[0], nullptr, nullptr, TRUE, CREATE_NEW_PROCESS_GROUP,
                             nullptr, dir.c_str(), &startup, &started);
    CloseHandle(output);
    if (input != INVALID_HANDLE_VALUE) CloseHandle(input);
    if (!ok) return false;
    CloseHandle(started.hThread);
    child->id = static_cast<std::intptr_t>(started.dwProcessId);
    child->handle = reinterpret_cast<std::intptr_t>(started.hProcess);
    child->ended = false;
    return true;
}

bool childRunning(ChildProcess& child) {
    if (child.handle == 0 || child.ended) return false;
    if (WaitForSingleObject(processOf(child), 0) == WAIT_TIMEOUT) return true;
    child.ended = true;
    return false;
}

void childStop(ChildProcess& child, unsigned graceMillis) {
    if (child.handle == 0) return;
    if (childRunning(child)) {
        GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, static_cast<DWORD>(child.id));
        if (WaitForSingleObject(processOf(child), graceMillis) != WAIT_OBJECT_0) {
            TerminateProcess(processOf(child), 1);
            WaitForSingleObject(processOf(child), 10000);
        }
        child.ended = true;
    }
    CloseHandle(processOf(child));
    child.handle = 0;
}

// Windows has no documented call that stops a whole process; the
// benchmark then measures the server and the floor one after the other.
bool childPause(ChildProcess&) { return false; }
bool childResume(ChildProcess&) { return false; }

double childCpuSeconds(const ChildProcess& child) { return cpuSecondsOf(processOf(child)); }

double ownCpuSeconds() { return cpuSecondsOf(GetCurrentProcess()); }

bool childMemory(const ChildProcess& child, MemoryUse* use) {
    PROCESS_MEMORY_COUNTERS counters;
    if (!GetProcessMemoryInfo(processOf(child), &counters, sizeof counters)) return false;
    use->residentBytes = static_cast<double>(counters.WorkingSetSize);
    use->virtualBytes = reservedBytes(processOf(child));
    return true;
}

// Windows has no per-process limit on open sockets to raise.
unsigned long raiseOpenFileLimit() { return 0; }

std::string systemDescription() {
    SYSTEM_INFO info;
    GetNativeSystemInfo(&info);
    bool wide = info.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_AMD64;
    return std::string("Windows ") + (wide ? "x64" : "x86") + ", 32-bit build";
}

std::string loadAverages() { return ""; }

bool isStillConnecting(int code) {
    return code == WSAEWOULDBLOCK || code == WSAENOTCONN || code == WSAEINPROGRESS;
}

}  // namespace bench
}  // namespace peerdir
