// service.h -- how the process is hosted: from a console, or by the
// system's service manager; and installing and removing the server as a
// service.
//
// The program runs the same way under either host. It tells the host two
// things, both of which do nothing under a console: that it serves (its
// listening socket is up), and that its shutdown moves on. Under a service
// manager the host turns them into the status the manager watches, sends
// the manager's stop request to the same event as Ctrl+C, and writes the
// start, the stop request and a failed start to the system's event log.
// Only Windows has such a host here (service_win32.cpp); elsewhere the
// process always runs from a console (service_posix.cpp).
#ifndef PEERDIR_PLATFORM_SERVICE_H
#define PEERDIR_PLATFORM_SERVICE_H

#include <string>
#include <vector>

namespace peerdir {

// What the program learns of its host.
struct ProcessHost {
    // False when nobody watches standard output or answers on standard
    // input: the service manager started the process.
    bool console = true;
};

// The program's entry under a host: returns the process's exit status.
using ProgramEntry = int (*)(void* context, const ProcessHost& host);

// Runs program(context, host) under the host that started the process and
// returns its exit status. Under a service manager the program runs on a
// thread the manager's dispatcher starts, and its status becomes the
// service's exit code once it returns.
int runUnderHost(ProgramEntry program, void* context);

// The program serves: its listening socket is up. The host reports the
// service as running and accepting stop requests.
void hostReportServing();

// The program's shutdown has moved on (another batch of clients released),
// so a service manager waiting for the stop sees progress instead of
// giving up on a server with thousands of clients.
void hostReportStopProgress();

// True where the process can be installed as a service: Windows only.
bool servicesSupported();

// Registers the service name, started at boot, restarted after a failure,
// running this executable with arguments. True with *report one line
// saying what was done; false with *report one line saying why not.
bool serviceInstall(const std::string& name, const std::vector<std::string>& arguments,
                    std::string* report);

// Stops the service name if it runs, waiting for it to stop, then removes
// it. *report as for serviceInstall.
bool serviceUninstall(const std::string& name, std::string* report);

}  // namespace peerdir

#endif
