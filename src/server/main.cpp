// main.cpp -- the process entry: the command line, installing or removing
// the service, then runServer under whichever host started the process.
#include <cstdio>
#include <string>
#include <vector>

#include "platform/console.h"
#include "platform/platform.h"
#include "platform/service.h"
#include "server/options.h"
#include "server/server.h"

#ifndef PEERDIR_VERSION
#error "the build passes PEERDIR_VERSION, the project's version"
#endif

namespace {

using namespace peerdir;

int reportServiceChange(bool done, const std::string& report) {
    std::fputs(("peerdir: " + report + "\n").c_str(), done ? stdout : stderr);
    return done ? kExitDone : kExitStartFailed;
}

// Without a console nobody reads standard output, so the log then goes
// beside the configuration unless --log says where.
std::string logFileFor(const ServerOptions& options, const ProcessHost& host) {
    if (!options.logFile.empty() || host.console) return options.logFile;
    return logBesideConfig(absolutePath(options.configFile));
}

// A bad command line is reported to the host too: a service made by hand
// with a wrong option then stops with status 2 and its reason in the event
// log, instead of leaving the service manager waiting for it.
int reportBadCommandLine(void* context, const ProcessHost& host) {
    const std::string line = "peerdir: " + *static_cast<const std::string*>(context);
    if (host.console) {
        std::fputs((line + "\n").c_str(), stderr);
    } else {
        logLine(line.c_str());
    }
    return kExitBadCommandLine;
}

int serveUnderHost(void* context, const ProcessHost& host) {
    const ServerOptions& options = *static_cast<const ServerOptions*>(context);
    const std::string logFile = logFileFor(options, host);
    int code = 0;
    if (!logFile.empty() && !logToFile(logFile, &code)) {
        logText(
            ("runServer: Could not open the log file " + logFile + ". Error code was: ").c_str());
        logSigned(code);
        logEnd();
        return kExitStartFailed;
    }
    int status = runServer(options);
    logToStandardOutput();
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    ServerOptions options;
    std::string problem;
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (!parseServerOptions(args, &options, &problem)) {
        return runUnderHost(reportBadCommandLine, &problem);
    }
    if (options.help) {
        std::fputs(serverUsage().c_str(), stdout);
        return kExitDone;
    }
    if (options.version) {
        std::fputs("peerdir " PEERDIR_VERSION "\n", stdout);
        return kExitDone;
    }
    options.versionText = PEERDIR_VERSION;
    std::string report;
    if (options.serviceInstall) {
        bool done =
            serviceInstall(options.serviceName, serviceArguments(args, absolutePath), &report);
        return reportServiceChange(done, report);
    }
    if (options.serviceUninstall) {
        return reportServiceChange(serviceUninstall(options.serviceName, &report), report);
    }
    return runUnderHost(serveUnderHost, &options);
}
