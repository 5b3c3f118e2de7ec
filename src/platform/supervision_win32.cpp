// supervision_win32.cpp -- the supervision services on Windows: no systemd
// to notify and, as the Windows build has no metrics endpoint, no usage to
// report. Present so the interface is whole on every system.
#include "platform/supervision.h"

namespace peerdir {

bool notifyServiceManager(const std::string&) { return false; }

unsigned serviceWatchdogMillis() { return 0; }

ProcessUsage readProcessUsage() { return ProcessUsage{}; }

void prepareLibraryListener(std::intptr_t) {}

}  // namespace peerdir
