// platform_win32.cpp -- the platform layer on Winsock 2.2 and the Windows kernel.
//
// Each function is a thin call into the real API; the server was written
// against these calls, so nothing here emulates anything. Beyond keepalive, no
// socket option is set: Winsock's defaults (a port in TIME_WAIT may be bound
// again, a send to a vanished peer just fails) are what the server expects.
#ifndef _WIN32
#error "platform_win32.cpp builds for Windows only; POSIX systems use platform_posix.cpp"
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
#include <timeapi.h>
// (after winsock2.h, which it needs)
#include <mstcpip.h>

#include <atomic>
#include <climits>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "platform/faults.h"
#include "platform/platform.h"
#include "platform/testing.h"
#include "platform/wait_report.h"

namespace peerdir {

struct PlatformThread {
    HANDLE handle;
};

struct PlatformEvent {
    HANDLE handle;
};

// CRITICAL_SECTION may not be moved once initialised, so it lives on the heap
// inside this record and only the record's address travels.
struct PlatformLock {
    CRITICAL_SECTION section;
    std::atomic<DWORD> owner{0};  // 0 is never a thread's id
};

namespace {

// SOCKET is 32 bits wide on 32-bit Windows and 64 bits on 64-bit Windows
// (it is a pointer-sized handle); Socket is pointer-sized too, so either
// build carries every handle through unchanged.
static_assert(sizeof(Socket) >= sizeof(SOCKET), "a Socket must hold any SOCKET value");

Socket fromNative(SOCKET s) { return s == INVALID_SOCKET ? kNoSocket : static_cast<Socket>(s); }

SOCKET toNative(Socket s) { return s == kNoSocket ? INVALID_SOCKET : static_cast<SOCKET>(s); }

// recv and send take an int length; a larger request is cut to what fits
// rather than wrapping round to a negative number.
int clampLength(std::size_t length) {
    return length > static_cast<std::size_t>(INT_MAX) ? INT_MAX : static_cast<int>(length);
}

// An injected failure reports its code the way a failed socket call does.
bool failsByInjection(FaultPoint point) {
    int code = 0;
    if (!takeInjectedFault(point, &code)) return false;
    WSASetLastError(code);
    return true;
}

sockaddr_in makeAddress(std::uint32_t address, std::uint16_t port) {
    sockaddr_in sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_port = port;
    sa.sin_addr.s_addr = address;
    return sa;
}

}  // namespace

int netStartup(NetVersion* version) {
    WSADATA data;
    std::memset(&data, 0, sizeof data);
    int result = WSAStartup(0x0202, &data);
    if (result != 0) return result;
    version->granted = data.wVersion;
    version->highest = data.wHighVersion;
    return 0;
}

// WSACleanup itself resets and releases every socket still open once the
// last start-up is undone, so nothing is tracked here.
void netCleanup() { WSACleanup(); }

int lastSocketError() { return WSAGetLastError(); }

bool isWouldBlock(int code) { return code == WSAEWOULDBLOCK; }

int wouldBlockErrorCode() { return WSAEWOULDBLOCK; }

int timedOutErrorCode() { return WSAETIMEDOUT; }

namespace {

// The first IPv4 address of a lookup's result; false when it has none.
bool firstIpv4(const hostent* host, std::uint32_t* address) {
    if (host == nullptr || host->h_addrtype != AF_INET || host->h_length != 4 ||
        host->h_addr_list == nullptr || host->h_addr_list[0] == nullptr) {
        return false;
    }
    std::memcpy(address, host->h_addr_list[0], 4);
    return true;
}

}  // namespace

bool localHostFirstAddress(std::uint32_t* address) { return firstIpv4(gethostbyname(""), address); }

void ipv4ToText(std::uint32_t address, char (&text)[16]) {
    in_addr a;
    a.s_addr = address;
    // inet_ntoa returns a per-thread buffer that the next call overwrites;
    // copy it out at once.
    const char* dotted = inet_ntoa(a);
    text[0] = '\0';
    if (dotted == nullptr) return;
    std::strncpy(text, dotted, sizeof text - 1);
    text[sizeof text - 1] = '\0';
}

std::uint32_t ipv4FromText(const char* text) { return inet_addr(text); }

std::uint16_t hostToNet16(std::uint16_t value) { return htons(value); }
std::uint32_t hostToNet32(std::uint32_t value) { return htonl(value); }
std::uint32_t netToHost32(std::uint32_t value) { return ntohl(value); }

Socket socketCreateTcp() {
    return fromNative(WSASocketA(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, 0));
}

int socketBind(Socket s, std::uint32_t address, std::uint16_t port) {
    sockaddr_in sa = makeAddress(address, port);
    return bind(toNative(s), reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 ? 0 : -1;
}

int socketListen(Socket s, int backlog) {
    if (failsByInjection(FaultPoint::Listen)) return -1;
    return listen(toNative(s), backlog) == 0 ? 0 : -1;
}

int maxListenBacklog() { return SOMAXCONN; }

Socket socketAccept(Socket s) {
    if (failsByInjection(FaultPoint::Accept)) return kNoSocket;
    sockaddr_in peer;
    std::memset(&peer, 0, sizeof peer);
    int length = sizeof peer;
    Socket accepted = fromNative(accept(toNative(s), reinterpret_cast<sockaddr*>(&peer), &length));
    if (accepted != kNoSocket) noteAccepted(accepted);
    return accepted;
}

bool socketPeerIpv4(Socket s, std::uint32_t* address) {
    sockaddr_in peer;
    std::memset(&peer, 0, sizeof peer);
    int length = sizeof peer;
    if (getpeername(toNative(s), reinterpret_cast<sockaddr*>(&peer), &length) != 0 ||
        peer.sin_family != AF_INET)
        return false;
    *address = peer.sin_addr.s_addr;
    return true;
}

int socketConnect(Socket s, std::uint32_t address, std::uint16_t port) {
    sockaddr_in sa = makeAddress(address, port);
    return connect(toNative(s), reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 ? 0 : -1;
}

std::uint16_t socketLocalPort(Socket s) {
    sockaddr_in sa;
    std::memset(&sa, 0, sizeof sa);
    int length = sizeof sa;
    if (getsockname(toNative(s), reinterpret_cast<sockaddr*>(&sa), &length) != 0) return 0;
    return ntohs(sa.sin_port);
}

int socketSetNonBlocking(Socket s) {
    u_long on = 1;
    return ioctlsocket(toNative(s), FIONBIO, &on) == 0 ? 0 : -1;
}

int socketSetSendBuffer(Socket s, int bytes) {
    return setsockopt(toNative(s), SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&bytes),
                      sizeof bytes) == 0
               ? 0
               : -1;
}

int socketSetNoDelay(Socket s) {
    BOOL on = TRUE;
    return setsockopt(toNative(s), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on),
                      sizeof on) == 0
               ? 0
               : -1;
}

// Windows 10 1703 and later take a probe count, and every Windows a bound on
// retransmission; older headers name neither. A system without them keeps
// its own (10 probes; about 2 minutes of retransmission), which is no reason
// to refuse the rest.
constexpr int kTcpMaxRetransmitSeconds = 5;  // TCP_MAXRT
constexpr int kTcpKeepCount = 16;            // TCP_KEEPCNT

int socketSetKeepalive(Socket s, const KeepaliveSettings& settings) {
    tcp_keepalive values{};
    values.onoff = 1;
    values.keepalivetime = settings.idleSeconds * 1000UL;
    values.keepaliveinterval = settings.intervalSeconds * 1000UL;
    DWORD returned = 0;
    if (WSAIoctl(toNative(s), SIO_KEEPALIVE_VALS, &values, sizeof values, nullptr, 0, &returned,
                 nullptr, nullptr) != 0) {
        return WSAGetLastError();
    }
    // Unlike Linux's user time-out, this bounds unacknowledged data only: a
    // zero window from a live client that reads nothing is not bounded.
    const DWORD probes = settings.probes;
    const DWORD retransmit = (settings.userTimeoutMillis + 999) / 1000;
    setsockopt(toNative(s), IPPROTO_TCP, kTcpKeepCount, reinterpret_cast<const char*>(&probes),
               sizeof probes);
    setsockopt(toNative(s), IPPROTO_TCP, kTcpMaxRetransmitSeconds,
               reinterpret_cast<const char*>(&retransmit), sizeof retransmit);
    return 0;
}

// Windows reports whether keepalive is on, but not the times it was given.
bool socketReadKeepalive(Socket s, KeepaliveSettings* settings) {
    *settings = KeepaliveSettings{};
    BOOL on = FALSE;
    int size = sizeof on;
    return getsockopt(toNative(s), SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<char*>(&on), &size) ==
               0 &&
           on != FALSE;
}

int socketRecv(Socket s, void* buffer, std::size_t length) {
    int n = recv(toNative(s), static_cast<char*>(buffer), clampLength(length), 0);
    // Windows answers a zero-length receive on an open connection with 0;
    // Wine says it would block when nothing is queued. The shutdown report
    // tells open connections apart by that answer, so both give 0.
    if (n < 0 && length == 0 && isWouldBlock(WSAGetLastError())) return 0;
    return n;
}

#if PEERDIR_TEST_HOOKS
int socketBytesPending(Socket s) {
    u_long pending = 0;
    if (ioctlsocket(toNative(s), FIONREAD, &pending) != 0) return -1;
    return pending > static_cast<u_long>(INT_MAX) ? INT_MAX : static_cast<int>(pending);
}
#endif

int socketSend(Socket s, const void* buffer, std::size_t length) {
    return send(toNative(s), static_cast<const char*>(buffer), clampLength(length), 0);
}

int socketShutdownBoth(Socket s) { return shutdown(toNative(s), SD_BOTH) == 0 ? 0 : -1; }

int socketClose(Socket s) { return closesocket(toNative(s)) == 0 ? 0 : -1; }

// ---- Used by clients ----

namespace {

timeval toTimeval(unsigned millis) {
    timeval limit;
    limit.tv_sec = static_cast<long>(millis / 1000);
    limit.tv_usec = static_cast<long>(millis % 1000) * 1000L;
    return limit;
}

}  // namespace

bool resolveIpv4(const char* host, std::uint32_t* address) {
    // Dotted text is taken as it is: gethostbyname is only sure to resolve
    // names.
    std::uint32_t dotted = inet_addr(host);
    if (dotted != INADDR_NONE || std::strcmp(host, "255.255.255.255") == 0) {
        *address = dotted;
        return true;
    }
    return firstIpv4(gethostbyname(host), address);
}

bool isConnectionRefused(int code) { return code == WSAECONNREFUSED; }

int socketConnectWithin(Socket s, std::uint32_t address, std::uint16_t port, unsigned millis) {
    if (socketSetNonBlocking(s) != 0) return -1;
    sockaddr_in sa = makeAddress(address, port);
    if (connect(toNative(s), reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0) return 0;
    if (WSAGetLastError() != WSAEWOULDBLOCK) return -1;
    // A non-blocking connect reports success as writable and failure in the
    // exception set, with the reason in SO_ERROR.
    fd_set writable;
    fd_set failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(toNative(s), &writable);
    FD_SET(toNative(s), &failed);
    timeval limit = toTimeval(millis);
    int ready = select(0, nullptr, &writable, &failed, &limit);
    if (ready == SOCKET_ERROR) return -1;
    if (ready == 0) {
        WSASetLastError(WSAETIMEDOUT);
        return -1;
    }
    if (!FD_ISSET(toNative(s), &failed)) return 0;
    int code = 0;
    int length = sizeof code;
    getsockopt(toNative(s), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&code), &length);
    WSASetLastError(code != 0 ? code : WSAECONNREFUSED);
    return -1;
}

int socketWaitReadable(Socket s, unsigned millis) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(toNative(s), &readable);
    timeval limit = toTimeval(millis);
    int ready = select(0, &readable, nullptr, nullptr, &limit);
    if (ready == SOCKET_ERROR) return -1;
    return ready > 0 ? 1 : 0;
}

// WSAPoll rather than select: select takes at most FD_SETSIZE (64) sockets.
int socketWaitAnyReadable(const Socket* sockets, std::size_t count, unsigned millis,
                          bool* readable) {
    std::vector<WSAPOLLFD> watched(count);
    for (std::size_t i = 0; i < count; ++i) {
        watched[i].fd = toNative(sockets[i]);
        watched[i].events = POLLRDNORM;
        watched[i].revents = 0;
    }
    int limit = millis > static_cast<unsigned>(INT_MAX) ? INT_MAX : static_cast<int>(millis);
    int ready = WSAPoll(watched.data(), static_cast<ULONG>(count), limit);
    if (ready == SOCKET_ERROR) return -1;
    for (std::size_t i = 0; i < count; ++i) readable[i] = watched[i].revents != 0;
    return ready;
}

int socketShutdownSend(Socket s) { return shutdown(toNative(s), SD_SEND) == 0 ? 0 : -1; }

// ---- Kernel ---------------------------------------------------------------

namespace {

struct ThreadStart {
    ThreadEntry entry;
    void* argument;
};

DWORD WINAPI threadTrampoline(LPVOID raw) {
    ThreadStart start = *static_cast<ThreadStart*>(raw);
    delete static_cast<ThreadStart*>(raw);
    start.entry(start.argument);
    return 0;
}

// Waits for at most MAXIMUM_WAIT_OBJECTS handles at once. Should the combined
// wait fail (a bad handle in the list), each handle is waited for on its own,
// so that no live thread is left running behind the caller's back.
void waitAllChunk(const ThreadHandle* threads, DWORD count) {
    HANDLE handles[MAXIMUM_WAIT_OBJECTS];
    for (DWORD i = 0; i < count; ++i) handles[i] = threads[i]->handle;
    if (WaitForMultipleObjects(count, handles, TRUE, INFINITE) != WAIT_FAILED) return;
    for (DWORD i = 0; i < count; ++i) WaitForSingleObject(handles[i], INFINITE);
}

// The event the console-control handler sets. The handler runs on a thread
// of its own, so it may take a lock; holding g_shutdownGuard while it calls
// SetEvent keeps eventClose from releasing the handle under it.
SRWLOCK g_shutdownGuard = SRWLOCK_INIT;
PlatformEvent* g_shutdownEvent = nullptr;
std::atomic<bool> g_handlerInstalled{false};

// How long the close-window handler holds the process open. Windows ends the
// process as soon as that handler returns, so it waits here while the main
// thread runs the shutdown; the process ends earlier once main returns.
constexpr DWORD kCloseGraceMillis = 4000;

BOOL WINAPI onConsoleControl(DWORD type) {
    if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT && type != CTRL_CLOSE_EVENT) {
        return FALSE;
    }
    requestShutdown();
    if (type == CTRL_CLOSE_EVENT) Sleep(kCloseGraceMillis);
    return TRUE;
}

}  // namespace

ThreadHandle threadStart(ThreadEntry entry, void* argument, std::size_t stackBytes, int* error) {
    int code = 0;
    if (takeInjectedFault(FaultPoint::ThreadStart, &code)) {
        if (error != nullptr) *error = code;
        return nullptr;
    }
    auto* thread = new (std::nothrow) PlatformThread{nullptr};
    auto* start = new (std::nothrow) ThreadStart{entry, argument};
    code = ERROR_NOT_ENOUGH_MEMORY;
    if (thread != nullptr && start != nullptr) {
        // Without the reservation flag the size would only be committed up
        // front, and every thread would still reserve the executable's
        // default (2 MiB for a mingw build) of a 32-bit address space.
        DWORD flags = stackBytes > 0 ? STACK_SIZE_PARAM_IS_A_RESERVATION : 0;
        thread->handle = CreateThread(nullptr, stackBytes, threadTrampoline, start, flags, nullptr);
        if (thread->handle == nullptr) code = static_cast<int>(GetLastError());
    }
    if (thread == nullptr || start == nullptr || thread->handle == nullptr) {
        delete thread;
        delete start;
        if (error != nullptr) *error = code;
        return nullptr;
    }
    countThreadHandles(+1);
    return thread;
}

bool threadHasEnded(ThreadHandle thread) {
    return WaitForSingleObject(thread->handle, 0) == WAIT_OBJECT_0;
}

void threadWaitAll(const ThreadHandle* threads, std::size_t count) {
    while (count > 0) {
        DWORD chunk =
            count > MAXIMUM_WAIT_OBJECTS ? MAXIMUM_WAIT_OBJECTS : static_cast<DWORD>(count);
        waitAllChunk(threads, chunk);
        threads += chunk;
        count -= chunk;
    }
}

void threadRelease(ThreadHandle thread) {
    countThreadHandles(-1);
    CloseHandle(thread->handle);
    delete thread;
}

#if PEERDIR_TEST_HOOKS
// The stack is one reservation: the regions that share its allocation base,
// from that base up.
std::size_t currentThreadStackBytes() {
    MEMORY_BASIC_INFORMATION region;
    int local = 0;
    if (VirtualQuery(&local, &region, sizeof region) == 0) return 0;
    void* base = region.AllocationBase;
    std::size_t size = 0;
    auto* at = static_cast<char*>(base);
    while (VirtualQuery(at, &region, sizeof region) != 0 && region.AllocationBase == base) {
        size += region.RegionSize;
        at += region.RegionSize;
    }
    return size;
}
#endif

void threadLowerPriority() {}

void threadReleaseUnusedStack() {}

void releaseFreeMemory() {}

// Winsock sockets are kernel handles without a per-process cap to raise.
std::size_t raiseDescriptorLimit(std::size_t) { return 0; }

EventHandle eventCreateManualReset() {
    auto* event = new (std::nothrow) PlatformEvent{nullptr};
    if (event == nullptr) return nullptr;
    event->handle = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (event->handle == nullptr) {
        delete event;
        return nullptr;
    }
    return event;
}

void eventSet(EventHandle event) { SetEvent(event->handle); }

bool eventTestNow(EventHandle event) {
    return WaitForSingleObject(event->handle, 0) != WAIT_TIMEOUT;
}

void eventClose(EventHandle event) {
    AcquireSRWLockExclusive(&g_shutdownGuard);
    if (g_shutdownEvent == event) g_shutdownEvent = nullptr;
    ReleaseSRWLockExclusive(&g_shutdownGuard);
    CloseHandle(event->handle);
    delete event;
}

// A socket's own event, which WSAEventSelect sets for its network events and
// another thread sets to ring. Accepted sockets inherit the listening
// socket's selection, so each waiting thread selects its own event at once.
struct PlatformWaker {
    WSAEVENT event = WSA_INVALID_EVENT;
    SOCKET socket = INVALID_SOCKET;
    DWORD thread = 0;
    ReportMemory reports;  // the close, once reported (wait_report.h)
};

WakerHandle wakerCreate(Socket s) {
    auto* waker = new (std::nothrow) PlatformWaker;
    if (waker == nullptr) return nullptr;
    waker->event = WSACreateEvent();
    waker->socket = toNative(s);
    waker->thread = GetCurrentThreadId();
    if (waker->event == WSA_INVALID_EVENT ||
        WSAEventSelect(waker->socket, waker->event, FD_READ | FD_WRITE | FD_CLOSE | FD_ACCEPT) !=
            0) {
        if (waker->event != WSA_INVALID_EVENT) WSACloseEvent(waker->event);
        delete waker;
        return nullptr;
    }
    return waker;
}

void wakerRing(WakerHandle waker) {
    if (waker->thread != GetCurrentThreadId()) WSASetEvent(waker->event);
}

void wakerClose(WakerHandle waker) {
    WSAEventSelect(waker->socket, nullptr, 0);
    WSACloseEvent(waker->event);
    delete waker;
}

int socketWait(Socket s, bool writable, EventHandle stop, WakerHandle waker, unsigned millis) {
    // Windows reports a close once; a socket whose close was seen stays
    // readable, and no report will come to end a sleep.
    if (closeKept(waker->reports)) {
        return kWaitReadable | (stop != nullptr && eventTestNow(stop) ? kWaitStopped : 0);
    }
    WSAEVENT events[2] = {waker->event, stop != nullptr ? stop->handle : nullptr};
    const DWORD count = stop != nullptr ? 2 : 1;
    const bool forever = millis == kWaitForever;
    if (forever) countWaitingForever(1);
    DWORD woke =
        WSAWaitForMultipleEvents(count, events, FALSE, forever ? WSA_INFINITE : millis, FALSE);
    if (forever) countWaitingForever(-1);
    if (woke == WSA_WAIT_FAILED) return -1;
    int found = (stop != nullptr && eventTestNow(stop)) ? kWaitStopped : 0;
    if (woke == WSA_WAIT_TIMEOUT) return found;
    // Taking the network events resets the event; a set event without any
    // was a ring.
    WSANETWORKEVENTS network{};
    if (WSAEnumNetworkEvents(toNative(s), waker->event, &network) != 0) return -1;
    const long got = network.lNetworkEvents;
    found |= foldReport(waker->reports,
                        SocketReport{(got & FD_READ) != 0, (got & FD_CLOSE) != 0,
                                     (got & FD_WRITE) != 0, (got & FD_ACCEPT) != 0},
                        writable);
    if (woke == WSA_WAIT_EVENT_0 && network.lNetworkEvents == 0) found |= kWaitRung;
    return found;
}

void sleepMillis(unsigned milliseconds) { Sleep(milliseconds); }

// Sleep counts whole milliseconds, and the C++ library's sleeps of less than
// one return at once here, so what is left is rounded up to whole ones.
void sleepUntil(Deadline deadline) {
    for (auto now = std::chrono::steady_clock::now(); now < deadline;
         now = std::chrono::steady_clock::now()) {
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now);
        Sleep(static_cast<DWORD>(left.count()));
    }
}

LockHandle lockCreate() {
    auto* lock = new (std::nothrow) PlatformLock;
    if (lock != nullptr) InitializeCriticalSection(&lock->section);
    return lock;
}

void lockEnter(LockHandle lock) {
    EnterCriticalSection(&lock->section);
    lock->owner.store(GetCurrentThreadId(), std::memory_order_relaxed);
}

void lockLeave(LockHandle lock) {
    lock->owner.store(0, std::memory_order_relaxed);
    LeaveCriticalSection(&lock->section);
}

// Only the holder itself can see its own id there.
bool lockIsHeld(LockHandle lock) {
    return lock->owner.load(std::memory_order_relaxed) == GetCurrentThreadId();
}

void lockDelete(LockHandle lock) {
    DeleteCriticalSection(&lock->section);
    delete lock;
}

// Windows has no reload request: a service's controls and the console's
// events are stop requests only.
void installReloadTrigger() {}

bool takeReloadRequest() { return false; }

void reloadRequestsRing(WakerHandle) {}

#if PEERDIR_TEST_HOOKS
bool makeReloadRequest() { return false; }
#endif

void requestShutdown() {
    AcquireSRWLockShared(&g_shutdownGuard);
    if (g_shutdownEvent != nullptr) SetEvent(g_shutdownEvent->handle);
    ReleaseSRWLockShared(&g_shutdownGuard);
}

void installShutdownTrigger(EventHandle event) {
    AcquireSRWLockExclusive(&g_shutdownGuard);
    g_shutdownEvent = event;
    ReleaseSRWLockExclusive(&g_shutdownGuard);
    // Registering twice would run the handler twice per key press.
    if (!g_handlerInstalled.exchange(true) && !SetConsoleCtrlHandler(onConsoleControl, TRUE)) {
        g_handlerInstalled.store(false);
    }
}

struct PlatformFile {
    HANDLE handle;
};

// Append-only access makes every write land whole at the end of the file,
// whoever else writes to it; the sharing lets an operator read the log, and
// a rotation rename it, while the server has it open.
FileHandle fileOpenAppend(const char* path, int* error) {
    HANDLE handle =
        CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        *error = static_cast<int>(GetLastError());
        return nullptr;
    }
    return new PlatformFile{handle};
}

// The line's LF becomes CR LF, as the console's text mode writes it, and the
// whole line goes out in one write.
bool fileAppendLine(FileHandle file, const char* line, std::size_t size) {
    std::string text(line, size);
    if (!text.empty() && text.back() == '\n' && (size < 2 || line[size - 2] != '\r')) {
        text.insert(text.size() - 1, 1, '\r');
    }
    DWORD written = 0;
    return WriteFile(file->handle, text.data(), static_cast<DWORD>(text.size()), &written,
                     nullptr) != FALSE &&
           written == text.size();
}

void fileClose(FileHandle file) {
    CloseHandle(file->handle);
    delete file;
}

std::string absolutePath(const std::string& path) {
    DWORD needed = GetFullPathNameA(path.c_str(), 0, nullptr, nullptr);
    if (path.empty() || needed == 0) return path;
    std::string whole(needed, '\0');
    DWORD length = GetFullPathNameA(path.c_str(), needed, &whole[0], nullptr);
    if (length == 0 || length >= needed) return path;
    whole.resize(length);
    return whole;
}

// Every thread already allocates from the one process heap.
void prepareForManyThreads() {}

void ignoreBrokenPipes() {}

// The system keeps the finest period any process asks for, and drops the
// request when the process ends, so a server that is killed cannot leave the
// machine's timer fast.
void fineTimerBegin() { timeBeginPeriod(1); }
void fineTimerEnd() { timeEndPeriod(1); }

}  // namespace peerdir
