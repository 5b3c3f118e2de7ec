// platform_posix.cpp -- the platform layer on BSD sockets and POSIX threads.
//
// It emulates what the server expects of Winsock and the Windows kernel:
// start-up reports version 2.2, clean-up closes every socket still open, a
// send never raises SIGPIPE, a freshly closed port can be bound again at once
// (Winsock's default), and events are manual-reset flags that a signal
// handler may set. An event also carries an eventfd, written once when it is
// set and never read, so a sleeping thread can include it in its poll.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#if defined(__GLIBC__)
#include <malloc.h>
#endif
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <set>
#include <thread>
#include <vector>

#include "platform/faults.h"
#include "platform/platform.h"
#include "platform/testing.h"

namespace peerdir {

struct PlatformThread {
    pthread_t id;
    std::atomic<bool> ended{false};
};

struct PlatformEvent {
    std::atomic<bool> isSet{false};
    int fd = -1;  // readable once the event is set
};

// A thread is rung by a signal sent to it alone. The signal is blocked in
// that thread except inside its ppoll, so a ring that comes while it is
// awake waits, pending, and ends its next sleep at once; it costs no
// descriptor, which keeps one descriptor per client.
struct PlatformWaker {
    int fd = -1;
    pthread_t thread{};
    sigset_t sleepingMask{};  // the thread's own mask, with the ring let through
    std::atomic<bool> rung{false};
};

struct PlatformLock {
    std::mutex mutex;
    std::atomic<std::thread::id> owner{};  // the holder, or no thread
};

namespace {

#if PEERDIR_TEST_HOOKS
// Sockets this layer opened and has not closed, so that netCleanup can
// release them the way WSACleanup does. Only tests, which run a server
// inside their own long-lived process, need that; a server's process ends
// right after netCleanup, and its end closes every socket.
std::mutex g_openSocketsMutex;
std::set<int> g_openSockets;

void trackOpen(int fd) {
    std::lock_guard<std::mutex> guard(g_openSocketsMutex);
    g_openSockets.insert(fd);
}

void trackClosed(int fd) {
    std::lock_guard<std::mutex> guard(g_openSocketsMutex);
    g_openSockets.erase(fd);
}

void closeTracked() {
    std::lock_guard<std::mutex> guard(g_openSocketsMutex);
    for (int fd : g_openSockets) close(fd);
    g_openSockets.clear();
}
#else
void trackOpen(int) {}
void trackClosed(int) {}
void closeTracked() {}
#endif

int toFd(Socket s) { return static_cast<int>(s); }

// An injected failure reports its code the way a failed call does here.
bool failsByInjection(FaultPoint point) {
    int code = 0;
    if (!takeInjectedFault(point, &code)) return false;
    errno = code;
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
    version->granted = 0x0202;
    version->highest = 0x0202;
    return 0;
}

void netCleanup() { closeTracked(); }

int lastSocketError() { return errno; }

bool isWouldBlock(int code) { return code == EAGAIN || code == EWOULDBLOCK; }

int wouldBlockErrorCode() { return EAGAIN; }

int timedOutErrorCode() { return ETIMEDOUT; }

bool localHostFirstAddress(std::uint32_t* address) {
    char name[256];
    if (gethostname(name, sizeof name) != 0) return false;
    name[sizeof name - 1] = '\0';
    return resolveIpv4(name, address);
}

void ipv4ToText(std::uint32_t address, char (&text)[16]) {
    in_addr a;
    a.s_addr = address;
    if (inet_ntop(AF_INET, &a, text, sizeof text) == nullptr) text[0] = '\0';
}

std::uint32_t ipv4FromText(const char* text) { return inet_addr(text); }

std::uint16_t hostToNet16(std::uint16_t value) { return htons(value); }
std::uint32_t hostToNet32(std::uint32_t value) { return htonl(value); }
std::uint32_t netToHost32(std::uint32_t value) { return ntohl(value); }

Socket socketCreateTcp() {
    int fd = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (fd < 0) return kNoSocket;
    trackOpen(fd);
    return fd;
}

int socketBind(Socket s, std::uint32_t address, std::uint16_t port) {
    // Winsock lets a server bind a port whose old connections sit in
    // TIME_WAIT; on POSIX that takes SO_REUSEADDR. A live listener on the
    // port still makes bind fail.
    int on = 1;
    setsockopt(toFd(s), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in sa = makeAddress(address, port);
    return bind(toFd(s), reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 ? 0 : -1;
}

int socketListen(Socket s, int backlog) {
    if (failsByInjection(FaultPoint::Listen)) return -1;
    return listen(toFd(s), backlog) == 0 ? 0 : -1;
}

int maxListenBacklog() { return SOMAXCONN; }

Socket socketAccept(Socket s) {
    if (failsByInjection(FaultPoint::Accept)) return kNoSocket;
    sockaddr_in peer;
    std::memset(&peer, 0, sizeof peer);
    socklen_t length = sizeof peer;
    int fd = accept(toFd(s), reinterpret_cast<sockaddr*>(&peer), &length);
    if (fd < 0) return kNoSocket;
    trackOpen(fd);
    noteAccepted(fd);
    return fd;
}

bool socketPeerIpv4(Socket s, std::uint32_t* address) {
    sockaddr_in peer;
    std::memset(&peer, 0, sizeof peer);
    socklen_t length = sizeof peer;
    if (getpeername(toFd(s), reinterpret_cast<sockaddr*>(&peer), &length) != 0 ||
        peer.sin_family != AF_INET)
        return false;
    *address = peer.sin_addr.s_addr;
    return true;
}

int socketConnect(Socket s, std::uint32_t address, std::uint16_t port) {
    sockaddr_in sa = makeAddress(address, port);
    return connect(toFd(s), reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 ? 0 : -1;
}

std::uint16_t socketLocalPort(Socket s) {
    sockaddr_in sa;
    std::memset(&sa, 0, sizeof sa);
    socklen_t length = sizeof sa;
    if (getsockname(toFd(s), reinterpret_cast<sockaddr*>(&sa), &length) != 0) return 0;
    return ntohs(sa.sin_port);
}

int socketSetNonBlocking(Socket s) {
    int flags = fcntl(toFd(s), F_GETFL, 0);
    if (flags < 0) return -1;
    return fcntl(toFd(s), F_SETFL, flags | O_NONBLOCK) == 0 ? 0 : -1;
}

int socketSetNoDelay(Socket s) {
    int on = 1;
    return setsockopt(toFd(s), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) == 0 ? 0 : -1;
}

int socketSetSendBuffer(Socket s, int bytes) {
    return setsockopt(toFd(s), SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes) == 0 ? 0 : -1;
}

int socketSetKeepalive(Socket s, const KeepaliveSettings& settings) {
    const int fd = toFd(s);
    const int on = 1;
    const int idle = static_cast<int>(settings.idleSeconds);
    const int interval = static_cast<int>(settings.intervalSeconds);
    const int probes = static_cast<int>(settings.probes);
    // Also bounds a zero window, so a live client that reads nothing while
    // data waits for it ends the same way.
    const unsigned userTimeout = settings.userTimeoutMillis;
    if (setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) != 0 ||
        setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle) != 0 ||
        setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval) != 0 ||
        setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes) != 0 ||
        setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &userTimeout, sizeof userTimeout) != 0) {
        return errno;
    }
    return 0;
}

bool socketReadKeepalive(Socket s, KeepaliveSettings* settings) {
    const int fd = toFd(s);
    auto read = [fd](int level, int name) {
        int value = 0;
        socklen_t size = sizeof value;
        return getsockopt(fd, level, name, &value, &size) == 0 ? static_cast<unsigned>(value) : 0u;
    };
    *settings =
        KeepaliveSettings{read(IPPROTO_TCP, TCP_KEEPIDLE), read(IPPROTO_TCP, TCP_KEEPINTVL),
                          read(IPPROTO_TCP, TCP_KEEPCNT), read(IPPROTO_TCP, TCP_USER_TIMEOUT)};
    return read(SOL_SOCKET, SO_KEEPALIVE) != 0;
}

int socketRecv(Socket s, void* buffer, std::size_t length) {
    int n = static_cast<int>(recv(toFd(s), buffer, length, 0));
    // Linux says a zero-length receive would block when nothing is queued;
    // Winsock answers 0 for any open connection, and the shutdown report
    // tells open connections apart by that answer.
    if (n < 0 && length == 0 && isWouldBlock(errno)) return 0;
    return n;
}

#if PEERDIR_TEST_HOOKS
int socketBytesPending(Socket s) {
    int pending = 0;
    return ioctl(toFd(s), FIONREAD, &pending) == 0 ? pending : -1;
}
#endif

int socketSend(Socket s, const void* buffer, std::size_t length) {
    // MSG_NOSIGNAL: a peer that has gone away makes the send fail with EPIPE
    // instead of ending the process.
    return static_cast<int>(send(toFd(s), buffer, length, MSG_NOSIGNAL));
}

int socketShutdownBoth(Socket s) { return shutdown(toFd(s), SHUT_RDWR) == 0 ? 0 : -1; }

int socketClose(Socket s) {
    trackClosed(toFd(s));
    return close(toFd(s)) == 0 ? 0 : -1;
}

// ---- Used by clients ----

namespace {

// poll takes an int; a longer wait is cut to the longest it can express
// rather than wrapping round to a negative, endless one.
int pollMillis(unsigned millis) {
    return millis > static_cast<unsigned>(INT_MAX) ? INT_MAX : static_cast<int>(millis);
}

}  // namespace

bool resolveIpv4(const char* host, std::uint32_t* address) {
    addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &found) != 0 || found == nullptr) return false;
    sockaddr_in first;
    std::memcpy(&first, found->ai_addr, sizeof first);
    freeaddrinfo(found);
    *address = first.sin_addr.s_addr;
    return true;
}

bool isConnectionRefused(int code) { return code == ECONNREFUSED; }

int socketConnectWithin(Socket s, std::uint32_t address, std::uint16_t port, unsigned millis) {
    if (socketSetNonBlocking(s) != 0) return -1;
    sockaddr_in sa = makeAddress(address, port);
    if (connect(toFd(s), reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0) return 0;
    // Interrupted by a signal, the connect goes on in the background as if it
    // were in progress.
    if (errno != EINPROGRESS && errno != EINTR) return -1;
    pollfd pfd{toFd(s), POLLOUT, 0};
    int ready = poll(&pfd, 1, pollMillis(millis));
    if (ready < 0) return -1;
    if (ready == 0) {
        errno = ETIMEDOUT;
        return -1;
    }
    int code = 0;
    socklen_t length = sizeof code;
    if (getsockopt(toFd(s), SOL_SOCKET, SO_ERROR, &code, &length) != 0) return -1;
    if (code == 0) return 0;
    errno = code;
    return -1;
}

int socketWaitReadable(Socket s, unsigned millis) {
    pollfd pfd{toFd(s), POLLIN, 0};
    int ready = poll(&pfd, 1, pollMillis(millis));
    if (ready < 0) return errno == EINTR ? 0 : -1;
    return ready > 0 ? 1 : 0;
}

int socketWaitAnyReadable(const Socket* sockets, std::size_t count, unsigned millis,
                          bool* readable) {
    std::vector<pollfd> watched(count);
    for (std::size_t i = 0; i < count; ++i) watched[i] = pollfd{toFd(sockets[i]), POLLIN, 0};
    int ready = poll(watched.data(), static_cast<nfds_t>(count), pollMillis(millis));
    if (ready < 0) return errno == EINTR ? 0 : -1;
    for (std::size_t i = 0; i < count; ++i) readable[i] = watched[i].revents != 0;
    return ready;
}

int socketShutdownSend(Socket s) { return shutdown(toFd(s), SHUT_WR) == 0 ? 0 : -1; }

// ---- Kernel ---------------------------------------------------------------

namespace {

struct ThreadStart {
    ThreadEntry entry;
    void* argument;
    PlatformThread* thread;
};

void* threadTrampoline(void* raw) {
    ThreadStart start = *static_cast<ThreadStart*>(raw);
    delete static_cast<ThreadStart*>(raw);
    start.entry(start.argument);
    start.thread->ended.store(true, std::memory_order_release);
    return nullptr;
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define PEERDIR_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define PEERDIR_SANITIZED 1
#endif
#endif

// Sanitizers pad every frame and keep state of their own on the stack.
#ifdef PEERDIR_SANITIZED
constexpr std::size_t kStackScale = 8;
#else
constexpr std::size_t kStackScale = 1;
#endif

// pthread_create reports its error as its result, not in errno.
int createThread(pthread_t* id, std::size_t stackBytes, ThreadStart* start) {
    pthread_attr_t attributes;
    int result = pthread_attr_init(&attributes);
    if (result != 0) return result;
    if (stackBytes > 0) {
        std::size_t reserve = stackBytes * kStackScale;
        long least = sysconf(_SC_THREAD_STACK_MIN);
        if (least > 0 && reserve < static_cast<std::size_t>(least)) {
            reserve = static_cast<std::size_t>(least);
        }
        result = pthread_attr_setstacksize(&attributes, reserve);
    }
    if (result == 0) result = pthread_create(id, &attributes, threadTrampoline, start);
    pthread_attr_destroy(&attributes);
    return result;
}

std::atomic<PlatformEvent*> g_shutdownEvent{nullptr};

static_assert(std::atomic<bool>::is_always_lock_free,
              "a signal handler may only touch lock-free atomics");
static_assert(std::atomic<PlatformEvent*>::is_always_lock_free,
              "a signal handler may only touch lock-free atomics");

// Only async-signal-safe work: one write and an atomic store, with errno
// kept for the code the signal interrupted. The flag comes after the write:
// whoever sees it set may close the event, and must not close the
// descriptor under a write still in progress.
void markSet(PlatformEvent* event) {
    if (event->fd >= 0) {
        const int saved = errno;
        const std::uint64_t one = 1;
        ssize_t written = write(event->fd, &one, sizeof one);
        (void)written;  // a full counter is set already
        errno = saved;
    }
    event->isSet.store(true);
}

extern "C" void onStopSignal(int) {
    PlatformEvent* event = g_shutdownEvent.load();
    if (event != nullptr) markSet(event);
}

}  // namespace

ThreadHandle threadStart(ThreadEntry entry, void* argument, std::size_t stackBytes, int* error) {
    int code = 0;
    if (takeInjectedFault(FaultPoint::ThreadStart, &code)) {
        if (error != nullptr) *error = code;
        return nullptr;
    }
    auto* thread = new (std::nothrow) PlatformThread;
    auto* start = new (std::nothrow) ThreadStart{entry, argument, thread};
    code = (thread == nullptr || start == nullptr) ? ENOMEM
                                                   : createThread(&thread->id, stackBytes, start);
    if (code != 0) {
        delete thread;
        delete start;
        if (error != nullptr) *error = code;
        return nullptr;
    }
    countThreadHandles(+1);
    return thread;
}

bool threadHasEnded(ThreadHandle thread) { return thread->ended.load(std::memory_order_acquire); }

void threadWaitAll(const ThreadHandle* threads, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) pthread_join(threads[i]->id, nullptr);
}

void threadRelease(ThreadHandle thread) {
    countThreadHandles(-1);
    delete thread;
}

#if PEERDIR_TEST_HOOKS
std::size_t currentThreadStackBytes() {
    pthread_attr_t attributes;
    if (pthread_getattr_np(pthread_self(), &attributes) != 0) return 0;
    void* low = nullptr;
    std::size_t size = 0;
    if (pthread_attr_getstack(&attributes, &low, &size) != 0) size = 0;
    pthread_attr_destroy(&attributes);
    return size;
}
#endif

// On Linux the nice value belongs to each thread, and 0 names the calling
// one; elsewhere it would lower the whole process, accept loop included.
void threadLowerPriority() {
#ifdef __linux__
    setpriority(PRIO_PROCESS, 0, 19);
#endif
}

void threadReleaseUnusedStack() {
    pthread_attr_t attributes;
    if (pthread_getattr_np(pthread_self(), &attributes) != 0) return;
    void* low = nullptr;
    std::size_t size = 0;
    const int got = pthread_attr_getstack(&attributes, &low, &size);
    pthread_attr_destroy(&attributes);
    if (got != 0) return;
    const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    volatile char here = 0;
    // What the call below this frame needs (the system call's own frame and
    // the red zone) fits in the margin.
    constexpr std::uintptr_t kMargin = 512;
    const std::uintptr_t end = (reinterpret_cast<std::uintptr_t>(&here) - kMargin) & ~(page - 1);
    const std::uintptr_t start = (reinterpret_cast<std::uintptr_t>(low) + page - 1) & ~(page - 1);
    if (end > start) madvise(reinterpret_cast<void*>(start), end - start, MADV_DONTNEED);
}

EventHandle eventCreateManualReset() {
    auto* event = new (std::nothrow) PlatformEvent;
    if (event == nullptr) return nullptr;
    event->fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (event->fd < 0) {
        delete event;
        return nullptr;
    }
    return event;
}

void eventSet(EventHandle event) { markSet(event); }

bool eventTestNow(EventHandle event) { return event->isSet.load(); }

void eventClose(EventHandle event) {
    if (g_shutdownEvent.load() == event) g_shutdownEvent.store(nullptr);
    close(event->fd);
    delete event;
}

namespace {

constexpr int kRingSignal = SIGUSR2;

extern "C" void onRingSignal(int) {}

// Without a handler the ring would end the process; with SA_RESTART unset it
// ends the ppoll it interrupts.
void installRingHandler() {
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = onRingSignal;
    sigemptyset(&action.sa_mask);
    sigaction(kRingSignal, &action, nullptr);
}

std::once_flag g_ringHandlerOnce;

timespec toTimespec(unsigned millis) {
    timespec t;
    t.tv_sec = static_cast<time_t>(millis / 1000);
    t.tv_nsec = static_cast<long>(millis % 1000) * 1000000L;
    return t;
}

int readinessOf(const pollfd& socket, bool writable) {
    int found = 0;
    if ((socket.revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) != 0) found |= kWaitReadable;
    if (writable && (socket.revents & (POLLOUT | POLLERR | POLLHUP)) != 0) found |= kWaitWritable;
    return found;
}

}  // namespace

WakerHandle wakerCreate(Socket s) {
    std::call_once(g_ringHandlerOnce, installRingHandler);
    auto* waker = new (std::nothrow) PlatformWaker;
    if (waker == nullptr) return nullptr;
    sigset_t ring;
    sigemptyset(&ring);
    sigaddset(&ring, kRingSignal);
    pthread_sigmask(SIG_BLOCK, &ring, &waker->sleepingMask);
    sigdelset(&waker->sleepingMask, kRingSignal);
    waker->fd = toFd(s);
    waker->thread = pthread_self();
    return waker;
}

namespace {

// One signal stands for every ring until the thread takes it. Only
// async-signal-safe work, so a signal handler may ring too.
void ringThread(WakerHandle waker) {
    if (!waker->rung.exchange(true, std::memory_order_acq_rel)) {
        pthread_kill(waker->thread, kRingSignal);
    }
}

}  // namespace

void wakerRing(WakerHandle waker) {
    if (pthread_equal(waker->thread, pthread_self())) return;
    ringThread(waker);
}

void wakerClose(WakerHandle waker) { delete waker; }

namespace {

std::atomic<bool> g_reloadRequested{false};
std::atomic<PlatformWaker*> g_reloadWaker{nullptr};
// Handlers between their look at g_reloadWaker and their ring; untying the
// waker waits for them, so none rings a waker that has been closed.
std::atomic<int> g_reloadRingers{0};

static_assert(std::atomic<int>::is_always_lock_free,
              "a signal handler may only touch lock-free atomics");

// The waker's own thread is rung too: the ring signal stays blocked there
// outside socketWait, so a request that lands between the thread's last
// look at the flag and its sleep still ends that sleep at once.
extern "C" void onReloadSignal(int) {
    const int saved = errno;
    g_reloadRequested.store(true);
    g_reloadRingers.fetch_add(1);
    if (PlatformWaker* waker = g_reloadWaker.load()) ringThread(waker);
    g_reloadRingers.fetch_sub(1);
    errno = saved;
}

// A write to a full log pipe that an operator's request interrupts goes on,
// so no line is lost to it.
void installRequestHandler(int signal, void (*handler)(int)) {
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = handler;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    sigaction(signal, &action, nullptr);
}

}  // namespace

void installReloadTrigger() { installRequestHandler(SIGHUP, onReloadSignal); }

#if PEERDIR_TEST_HOOKS
bool makeReloadRequest() { return raise(SIGHUP) == 0; }
#endif

bool takeReloadRequest() { return g_reloadRequested.exchange(false); }

void reloadRequestsRing(WakerHandle waker) {
    g_reloadWaker.store(waker);
    if (waker != nullptr) return;
    while (g_reloadRingers.load() != 0) std::this_thread::yield();
}

int socketWait(Socket s, bool writable, EventHandle stop, WakerHandle waker, unsigned millis) {
    pollfd watched[2] = {{toFd(s), static_cast<short>(POLLIN | (writable ? POLLOUT : 0)), 0},
                         {stop != nullptr ? stop->fd : -1, POLLIN, 0}};
    int found = waker->rung.exchange(false, std::memory_order_acq_rel) ? kWaitRung : 0;
    // A ring already taken, or the stop already set, still reports what the
    // socket has, but without sleeping.
    if (stop != nullptr && stop->isSet.load()) found |= kWaitStopped;
    timespec limit = toTimespec(found != 0 ? 0 : millis);
    const timespec* timeout = (found == 0 && millis == kWaitForever) ? nullptr : &limit;
    if (timeout == nullptr) countWaitingForever(1);
    int ready = ppoll(watched, stop != nullptr ? 2 : 1, timeout, &waker->sleepingMask);
    if (timeout == nullptr) countWaitingForever(-1);
    if (ready < 0) {
        if (errno != EINTR) return -1;
        if (waker->rung.exchange(false, std::memory_order_acq_rel)) found |= kWaitRung;
        return found;
    }
    found |= readinessOf(watched[0], writable);
    if (watched[1].revents != 0) found |= kWaitStopped;
    return found;
}

void sleepMillis(unsigned milliseconds) {
    timespec pause;
    pause.tv_sec = milliseconds / 1000;
    pause.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
    while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
    }
}

void sleepUntil(Deadline deadline) {
    while (std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_until(deadline);
}

LockHandle lockCreate() { return new (std::nothrow) PlatformLock; }
void lockEnter(LockHandle lock) {
    lock->mutex.lock();
    lock->owner.store(std::this_thread::get_id(), std::memory_order_relaxed);
}

void lockLeave(LockHandle lock) {
    lock->owner.store(std::thread::id(), std::memory_order_relaxed);
    lock->mutex.unlock();
}

// A thread finds its own id there only between its own enter and leave.
bool lockIsHeld(LockHandle lock) {
    return lock->owner.load(std::memory_order_relaxed) == std::this_thread::get_id();
}
void lockDelete(LockHandle lock) { delete lock; }

void requestShutdown() { onStopSignal(SIGTERM); }

void installShutdownTrigger(EventHandle event) {
    g_shutdownEvent.store(event);
    installRequestHandler(SIGINT, onStopSignal);
    installRequestHandler(SIGTERM, onStopSignal);
}

struct PlatformFile {
    int fd;
};

FileHandle fileOpenAppend(const char* path, int* error) {
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        *error = errno;
        return nullptr;
    }
    return new PlatformFile{fd};
}

// With O_APPEND each write lands whole at the end; one cut short by a full
// disk or a signal is finished by the next.
bool fileAppendLine(FileHandle file, const char* line, std::size_t size) {
    while (size > 0) {
        ssize_t written = write(file->fd, line, size);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        line += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

void fileClose(FileHandle file) {
    close(file->fd);
    delete file;
}

std::string absolutePath(const std::string& path) {
    if (path.empty() || path[0] == '/') return path;
    char* here = getcwd(nullptr, 0);
    if (here == nullptr) return path;
    std::string whole = std::string(here) + "/" + path;
    std::free(here);
    return whole;
}

std::size_t raiseDescriptorLimit(std::size_t wanted) {
    rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return 0;
    rlim_t target = wanted == 0 ? limit.rlim_max : static_cast<rlim_t>(wanted);
    if (limit.rlim_max != RLIM_INFINITY && target > limit.rlim_max) target = limit.rlim_max;
    if (target > limit.rlim_cur) {
        rlimit raised = limit;
        raised.rlim_cur = target;
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
    }
    return limit.rlim_cur == RLIM_INFINITY ? 0 : static_cast<std::size_t>(limit.rlim_cur);
}

void ignoreBrokenPipes() {
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, nullptr);
}

// Every thread then allocates from the one main heap. The server allocates
// only when it handles a message, so the heap's lock is seldom contended.
void prepareForManyThreads() {
#ifdef M_ARENA_MAX
    mallopt(M_ARENA_MAX, 1);
#endif
}

void releaseFreeMemory() {
#ifdef __GLIBC__
    malloc_trim(0);
#endif
}

// nanosleep already keeps to the requested time, give or take the kernel's
// timer slack (50 us by default).
void fineTimerBegin() {}
void fineTimerEnd() {}

}  // namespace peerdir
