// faults.h -- the backends' side of the test hooks: one check per guarded
// call for injected faults, the counts of thread handles held and of threads
// asleep without a time limit, and the sockets accepted. Only the platform
// backends include it.
//
// The hooks exist in the test build alone. The build compiles the platform
// layer twice: once as the shipped programs link it, where every check
// below is an empty inline function the compiler removes, and once with
// PEERDIR_TEST_HOOKS=1 for the programs whose CMake target sets the
// PEERDIR_TEST_HOOKS property (the test drivers). A new hook follows the
// same pattern: declared in testing.h for the tests, its backend side here
// with an empty version for the shipped build, and its state in testing.cpp.
#ifndef PEERDIR_PLATFORM_FAULTS_H
#define PEERDIR_PLATFORM_FAULTS_H

#include "platform/testing.h"

namespace peerdir {

#if PEERDIR_TEST_HOOKS

// True when the call at point is to fail; *code is then the error it reports.
// Costs one atomic load when no fault is pending.
bool takeInjectedFault(FaultPoint point, int* code);

// Called with every socket accepted.
void noteAccepted(Socket s);

// Called as a thread goes to sleep in socketWait with no time limit (+1)
// and wakes (-1).
void countWaitingForever(int change);

// Called as a thread handle is made (+1) and released (-1).
void countThreadHandles(int change);

#else

inline bool takeInjectedFault(FaultPoint, int*) { return false; }
inline void noteAccepted(Socket) {}
inline void countWaitingForever(int) {}
inline void countThreadHandles(int) {}

#endif

}  // namespace peerdir

#endif
