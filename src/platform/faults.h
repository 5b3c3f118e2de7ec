// faults.h -- the backends' side of the test hooks: one check per guarded
// call for injected faults, and the count of thread handles held. Only the
// platform backends include it.
#ifndef PEERDIR_PLATFORM_FAULTS_H
#define PEERDIR_PLATFORM_FAULTS_H

#include "platform/testing.h"

namespace peerdir {

// True when the call at point is to fail; *code is then the error it reports.
// Costs one atomic load when no fault is pending.
bool takeInjectedFault(FaultPoint point, int* code);

// Called as a thread handle is made (+1) and released (-1).
void countThreadHandles(int change);

}  // namespace peerdir

#endif
