// testing.h -- hooks into the platform layer that exist for tests alone.
//
// The server never calls these. They let a test make a healthy system fail
// on demand, see how much a reader has taken, and check what the server
// asked of the kernel for its threads, instead of sleeping and guessing.
// They exist only in the platform layer the tests link (see faults.h); a
// shipped program that called one would not link.
#ifndef PEERDIR_PLATFORM_TESTING_H
#define PEERDIR_PLATFORM_TESTING_H

#include <cstddef>
#include <vector>

#include "platform/platform.h"

namespace peerdir {

// Operations whose failure tests can ask for: a healthy system does not fail
// them on demand, yet the server must survive each failure.
enum class FaultPoint { Listen, Accept, ThreadStart, Count };

// Makes the next count calls of the operation fail, each reporting code as
// the platform's error. The check costs one atomic load per call.
void injectFault(FaultPoint point, unsigned count, int code);

// Count of bytes that have arrived on s and not yet been read, or -1.
int socketBytesPending(Socket s);

// The sockets accepted since the last call, oldest first: up to 1,024, so a
// test that never asks keeps no more.
std::vector<Socket> takeAcceptedSockets();

// Threads asleep in socketWait with no time limit, now: an idle client's
// thread in wait mode, once it has nothing left to do.
std::size_t threadsWaitingForever();

// Thread handles started and not yet released, in the whole process.
std::size_t threadHandlesHeld();

// Makes the operator's reload request from the calling thread, as SIGHUP
// does, once installReloadTrigger has run. False where the platform has no
// such request.
bool makeReloadRequest();

// The address space reserved for the calling thread's stack, in bytes; 0
// when the platform cannot tell.
std::size_t currentThreadStackBytes();

}  // namespace peerdir

#endif
