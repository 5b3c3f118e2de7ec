// machine.h -- what the benchmark reads of the machine it runs on: CPU time
// (the server's and its own), the open-file limit, and a few facts for the
// report. Linux only, like the benchmark.
#ifndef PEERDIR_BENCH_MACHINE_H
#define PEERDIR_BENCH_MACHINE_H

#include <string>

#include "kit/process.h"

namespace peerdir {
namespace bench {

// CPU time (user and system, all threads) the child has used, in seconds;
// negative when it cannot be read.
double childCpuSeconds(const kit::ChildProcess& child);

// CPU time this process has used, in seconds; negative when unreadable.
double ownCpuSeconds();

// Raises this process's limit on open descriptors (and so its children's)
// as far as the system lets it; thousands of connections need it. Returns
// the limit in force afterwards, or 0 when it cannot be read.
unsigned long raiseOpenFileLimit();

// Operating system, release and processor, for the report.
std::string systemDescription();

// Load averages over 1, 5 and 15 minutes as text; empty where there are none.
std::string loadAverages();

}  // namespace bench
}  // namespace peerdir

#endif
