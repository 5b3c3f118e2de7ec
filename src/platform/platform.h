// platform.h -- the operating-system services peerdir relies on.
//
// One declaration per socket or kernel operation the server uses. Exactly one
// backend implements them, chosen by the build: platform_posix.cpp (BSD
// sockets, pthreads) or platform_win32.cpp (Winsock 2.2 and the Windows
// kernel). No operating-system type appears here, so nothing outside this
// directory needs an operating-system header.
//
// Error codes are the platform's own and pass through unchanged, because the
// log prints them. The one condition callers must recognise, "the call would
// block", is tested only through isWouldBlock().
#ifndef PEERDIR_PLATFORM_PLATFORM_H
#define PEERDIR_PLATFORM_PLATFORM_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

namespace peerdir {

// A TCP socket handle. kNoSocket (-1) stands for "no socket" wherever a
// function returns one.
using Socket = std::intptr_t;
constexpr Socket kNoSocket = -1;

// ---- Sockets library ------------------------------------------------------

// Version words as the sockets library reports them: major number in the low
// byte, minor number in the high byte.
struct NetVersion {
    std::uint16_t granted;
    std::uint16_t highest;
};

// Starts the sockets library asking for version 2.2. Returns 0 on success and
// fills *version, or the start-up call's own error number.
int netStartup(NetVersion* version);

// Releases the library, closing every socket this layer opened that is still
// open (the listening one included).
void netCleanup();

// The calling thread's last socket error code.
int lastSocketError();

// True when code means "the operation would block" on this platform.
bool isWouldBlock(int code);

// The platform's code for "the operation would block", for reports about a
// send that was refused without a call of its own failing.
int wouldBlockErrorCode();

// The platform's code for "the operation timed out".
int timedOutErrorCode();

// Looks up the local host (the empty host name) and stores its first IPv4
// address, in network byte order, in *address. False when the lookup yields
// no IPv4 address.
bool localHostFirstAddress(std::uint32_t* address);

// Dotted text of an IPv4 address given in network byte order. The result is
// at most 15 characters.
void ipv4ToText(std::uint32_t address, char (&text)[16]);

// Parses dotted text into an address in network byte order.
std::uint32_t ipv4FromText(const char* text);

std::uint16_t hostToNet16(std::uint16_t value);
std::uint32_t hostToNet32(std::uint32_t value);
std::uint32_t netToHost32(std::uint32_t value);

// An IPv4 TCP stream socket, or kNoSocket.
Socket socketCreateTcp();

// Binds to address and port, both in network byte order. 0 or -1.
int socketBind(Socket s, std::uint32_t address, std::uint16_t port);

// 0 or -1. Repeating it on a listening socket succeeds and changes nothing.
int socketListen(Socket s, int backlog);

// The largest backlog the platform accepts (SOMAXCONN).
int maxListenBacklog();

// Accepts one pending connection, or returns kNoSocket (would-block when
// nothing is pending on a non-blocking socket). The peer address is read into
// a zeroed 16-byte buffer and not returned.
Socket socketAccept(Socket s);

// The IPv4 address of the peer s is connected to, in network byte order.
// False when the system cannot tell (the peer has already gone, say).
bool socketPeerIpv4(Socket s, std::uint32_t* address);

// Connects s to address and port (network byte order). 0 or -1. The server
// never connects; tests and tools use it to play clients.
int socketConnect(Socket s, std::uint32_t address, std::uint16_t port);

// The port s is bound to, in host byte order; 0 on failure. Tests use it to
// find the port the system chose for a bind to port 0.
std::uint16_t socketLocalPort(Socket s);

// Switches s to non-blocking mode. 0 or -1.
int socketSetNonBlocking(Socket s);

// Turns off Nagle's algorithm on s, so a small write goes out at once
// instead of waiting for the peer to acknowledge the previous one. 0 or -1.
int socketSetNoDelay(Socket s);

// Fixes the kernel's send buffer of s at bytes, in place of one the system
// grows as it sees fit (Linux counts its own bookkeeping on top, up to
// twice as much). 0 or -1.
int socketSetSendBuffer(Socket s, int bytes);

// How the kernel finds a peer that vanished without a FIN or RST: after
// idleSeconds of quiet a first probe, then one every intervalSeconds, and
// the connection ends after probes unanswered; data sent and not
// acknowledged (or not read, behind a zero window) for userTimeoutMillis
// ends it too, where the platform can bound that. The ended connection's
// next receive fails with timedOutErrorCode().
struct KeepaliveSettings {
    unsigned idleSeconds = 0;
    unsigned intervalSeconds = 0;
    unsigned probes = 0;
    unsigned userTimeoutMillis = 0;
};

// Turns keepalive on for s with these settings. 0, or the platform's error
// code of the first setting it refused.
int socketSetKeepalive(Socket s, const KeepaliveSettings& settings);

// Reads back what s carries: true when keepalive is on, with each field the
// platform can report filled in and the others left 0.
bool socketReadKeepalive(Socket s, KeepaliveSettings* settings);

// Count of bytes read (at most length), 0 when the peer has closed, -1 on
// failure. A zero-length receive on an open connection returns 0 at once,
// as Winsock's does, whether or not data is waiting.
int socketRecv(Socket s, void* buffer, std::size_t length);

// Count of bytes written, or -1 on failure. A send to a peer that has closed
// or reset the connection fails with -1; it never ends the process.
int socketSend(Socket s, const void* buffer, std::size_t length);

// Shuts s down in both directions. 0 or -1.
int socketShutdownBoth(Socket s);

// Releases the handle. 0 or -1.
int socketClose(Socket s);

// ---- Used by clients ----

// Resolves host, a host name or dotted text, to its first IPv4 address in
// network byte order. False when it yields none.
bool resolveIpv4(const char* host, std::uint32_t* address);

// True when code means "nothing accepts connections at that address and port".
bool isConnectionRefused(int code);

// Switches s to non-blocking mode and connects it to address and port
// (network byte order), waiting at most millis. 0 when connected; -1 with
// the failure in lastSocketError(), which is timedOutErrorCode() when the
// time ran out. s stays non-blocking either way.
int socketConnectWithin(Socket s, std::uint32_t address, std::uint16_t port, unsigned millis);

// Waits at most millis for s to become readable (data, or the peer's close).
// 1 readable, 0 not (yet): the wait may end early, when a stop signal
// arrives, so callers loop on their own deadline. -1 on failure.
int socketWaitReadable(Socket s, unsigned millis);

// Waits at most millis until one or more of count sockets is readable (data,
// the peer's close, or a failed connect) and sets readable[i] for each, in
// one call however many there are, so a program holding thousands of
// connections need not try each. The count that are readable; 0 when none
// is (yet), as the wait may end early like socketWaitReadable's; -1 on
// failure.
int socketWaitAnyReadable(const Socket* sockets, std::size_t count, unsigned millis,
                          bool* readable);

// Ends sending on s, so the peer reads the end of the stream, while s can
// still receive. 0 or -1.
int socketShutdownSend(Socket s);

// ---- Kernel ---------------------------------------------------------------

struct PlatformThread;
struct PlatformEvent;
struct PlatformLock;
using ThreadHandle = PlatformThread*;
using EventHandle = PlatformEvent*;
using LockHandle = PlatformLock*;

using ThreadEntry = void (*)(void* argument);

// Starts a thread running entry(argument) at once, reserving stackBytes of
// address space for its stack (0: the platform's default; sanitizer builds
// reserve more, as their frames are larger). nullptr on failure, with the
// platform's error code in *error when error is not nullptr.
ThreadHandle threadStart(ThreadEntry entry, void* argument, std::size_t stackBytes = 0,
                         int* error = nullptr);

// True once the thread has ended, so that waiting for it returns at once.
// Never waits itself.
bool threadHasEnded(ThreadHandle thread);

// Returns once every thread in the list has ended. There is no limit on the
// count.
void threadWaitAll(const ThreadHandle* threads, std::size_t count);

// Releases a thread handle. The thread must have ended.
void threadRelease(ThreadHandle thread);

// Lowers the calling thread's scheduling priority as far as any thread may
// without privileges. On a machine with too little CPU for every polling
// thread, the threads still at normal priority (the accept loop, and a new
// client manager until it has greeted its client) then get the CPU first,
// instead of each getting one share among thousands. On Linux, where the
// priority is a share of the CPU, the thread still runs beside busy
// programs; Windows priorities are strict, a lowered thread would wait for
// every busy program on the machine, so there it does nothing.
void threadLowerPriority();

// Gives the system back the pages of the calling thread's stack that lie
// below the caller's frame. Work that once ran deep on a long-lived thread
// (a TLS handshake) otherwise keeps those pages resident for the thread's
// whole life; they come back, zeroed, if the stack grows there again.
// Nothing where the system has no such call.
void threadReleaseUnusedStack();

// A manual-reset event, initially not set, that socketWait can include.
// nullptr on failure.
EventHandle eventCreateManualReset();

// Sets the event. Safe to call from a signal or console-control handler.
void eventSet(EventHandle event);

// Zero-time-out test: true when the event is set or the test itself failed;
// false only for the time-out result.
bool eventTestNow(EventHandle event);

void eventClose(EventHandle event);

void sleepMillis(unsigned milliseconds);

// A moment on the monotonic clock by which a bounded wait must end.
using Deadline = std::chrono::steady_clock::time_point;

// The moment millis milliseconds from now.
Deadline deadlineAfter(unsigned millis);

// Whole milliseconds from now until deadline; 0 once it has come. Waits
// that take a time-out in milliseconds are given this, so a wait made of
// several calls ends at the deadline, not one time-out after each call.
unsigned millisUntil(Deadline deadline);

// Sleeps until deadline has come, never returning before it, however little
// is left: where the system sleeps in whole milliseconds, less than one is
// slept as one.
void sleepUntil(Deadline deadline);

// A lock that one thread takes at a time; no thread takes it twice.
LockHandle lockCreate();
void lockEnter(LockHandle lock);
void lockLeave(LockHandle lock);
void lockDelete(LockHandle lock);

// True when the calling thread holds lock. Meant for assertions that a
// locking rule is kept.
bool lockIsHeld(LockHandle lock);

// Makes the operator's stop request (Ctrl+C and the like) set event.
void installShutdownTrigger(EventHandle event);

// Sets the event installed by installShutdownTrigger, as the operator's stop
// request does; nothing when none is installed. Safe from any thread.
void requestShutdown();

// Makes the operator's reload request (SIGHUP, as `systemctl reload` sends
// it) a request that takeReloadRequest reports, where it would otherwise
// end the process. Where the system has no such request (Windows), none is
// ever reported.
void installReloadTrigger();

// True when a reload was requested since the last call; several requests
// before a call count as one. Safe from any thread.
bool takeReloadRequest();

// ---- Waiting in the kernel ------------------------------------------------
//
// A thread that serves one socket can sleep until that socket, the stop
// event or another thread needs it, instead of looking every millisecond.

struct PlatformWaker;
using WakerHandle = PlatformWaker*;

// Ties s's readiness to a waker that other threads can ring. Made by the
// thread that will wait on s, before any other thread can find it, and
// closed by that thread before s is closed. nullptr on failure.
WakerHandle wakerCreate(Socket s);

// Wakes the waker's thread from its socketWait, or makes its next one
// return at once. Any thread may ring it while the waker is open; the
// waiting thread's own ringing does nothing, as it is awake.
void wakerRing(WakerHandle waker);

void wakerClose(WakerHandle waker);

// While waker is tied to them, reload requests ring it, so a thread asleep
// in socketWait on it takes the request at once. nullptr unties it, and
// returns only once no request is ringing it any more, so the waker may be
// closed after. One waker at a time; made and untied by its own thread.
void reloadRequestsRing(WakerHandle waker);

constexpr unsigned kWaitForever = 0xFFFFFFFFu;

// What socketWait found; several may come together.
constexpr int kWaitReadable = 1;  // data, the peer's end, or a connection to accept
constexpr int kWaitWritable = 2;  // asked for, and s takes data again
constexpr int kWaitStopped = 4;   // stop is set
constexpr int kWaitRung = 8;      // another thread rang waker

// Sleeps until s is readable, or with writable until it takes data again,
// or stop is set, or waker (the one made for s) is rung, or millis pass
// (kWaitForever: no time-out). The kWait bits of what it found, 0 when the
// time ran out or a signal ended the wait early (callers loop on their own
// deadline), -1 on failure. On Windows "takes data again" is told only
// after a send to s failed with would-block, so a writer keeps writing
// until one does.
int socketWait(Socket s, bool writable, EventHandle stop, WakerHandle waker, unsigned millis);

// ---- Files ---------------------------------------------------------------

struct PlatformFile;
using FileHandle = PlatformFile*;

// Opens path for appending, creating it when missing, so that others may
// read it (and a rotation may rename it) while it grows. nullptr on failure,
// with the platform's error code in *error.
FileHandle fileOpenAppend(const char* path, int* error);

// Appends one line, given with a plain LF at its end, in one write at the
// end of the file, so lines from several writers never mix; Windows writes
// the line end as CR LF. False on failure.
bool fileAppendLine(FileHandle file, const char* line, std::size_t size);

void fileClose(FileHandle file);

// path made absolute against the working directory, as the system would
// resolve it; path itself when the system cannot.
std::string absolutePath(const std::string& path);

// ---- Process --------------------------------------------------------------

// Raises the process's limit on open descriptors (sockets among them)
// toward wanted, as far as the hard limit allows, and returns the limit then
// in force; wanted 0 asks for the hard limit itself. Returns 0 where the
// platform sets no such limit, or sets none on this process.
std::size_t raiseDescriptorLimit(std::size_t wanted);

// Readies the process for thousands of threads; call it before starting
// any. glibc's allocator would otherwise give threads up to eight heaps per
// core, each reserving 64 MiB of address space, which would cost a server
// with a hundred clients megabytes of address space per client. Elsewhere
// it does nothing.
void prepareForManyThreads();

// Gives the system back the free memory inside the heap, not only at its
// end. Many threads that allocated at once (TLS handshakes) leave free runs
// between memory still in use, which the heap otherwise keeps resident for
// ever. It holds the heap's lock while it runs: call it seldom. Nothing
// where the allocator has no such call.
void releaseFreeMemory();

// Makes a write to a connection its peer has closed fail with an error
// instead of ending the process with SIGPIPE, for writes the server does not
// make itself (a TLS library writes with plain write(), which has no
// MSG_NOSIGNAL). Elsewhere it does nothing: Windows has no such signal.
void ignoreBrokenPipes();

// Asks that a 1 ms sleep last about 1 ms until the matching fineTimerEnd.
// Windows otherwise rounds every sleep up to a whole timer tick (15.6 ms by
// default), which would make each polling turn fifteen times longer than
// intended. Elsewhere sleeps are fine already and these do nothing.
void fineTimerBegin();
void fineTimerEnd();

}  // namespace peerdir

#endif
