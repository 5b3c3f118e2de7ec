// faults.h -- the backends' side of fault injection: one check per guarded
// call. Only the platform backends include it.
#ifndef PEERDIR_PLATFORM_FAULTS_H
#define PEERDIR_PLATFORM_FAULTS_H

#include "platform/platform.h"

namespace peerdir {

// True when the call at point is to fail; *code is then the error it reports.
// Costs one atomic load when no fault is pending.
bool takeInjectedFault(FaultPoint point, int* code);

}  // namespace peerdir

#endif
