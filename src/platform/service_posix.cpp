// service_posix.cpp -- the host on POSIX systems: always a console (or a
// service manager such as systemd, which needs nothing of the program).
#include "platform/service.h"

namespace peerdir {

int runUnderHost(ProgramEntry program, void* context) { return program(context, ProcessHost{}); }

void hostReportServing() {}

void hostReportStopProgress() {}

bool servicesSupported() { return false; }

bool serviceInstall(const std::string&, const std::vector<std::string>&, std::string* report) {
    *report = "service options are for Windows.";
    return false;
}

bool serviceUninstall(const std::string&, std::string* report) {
    *report = "service options are for Windows.";
    return false;
}

}  // namespace peerdir
