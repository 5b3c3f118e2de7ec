// main.cpp -- the process entry: the command line, then runServer.
#include <cstdio>
#include <string>
#include <vector>

#include "server/options.h"
#include "server/server.h"

#ifndef PEERDIR_VERSION
#error "the build passes PEERDIR_VERSION, the project's version"
#endif

int main(int argc, char** argv) {
    using namespace peerdir;
    ServerOptions options;
    std::string problem;
    if (!parseServerOptions(std::vector<std::string>(argv + 1, argv + argc), &options, &problem)) {
        std::fputs(("peerdir: " + problem + "\n").c_str(), stderr);
        return kExitBadCommandLine;
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
    return runServer(options);
}
