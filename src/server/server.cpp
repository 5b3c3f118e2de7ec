// server.cpp -- start-up: network, configuration with its retry prompt, the
// limits, and the listening socket.
#include "server/server.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <string>

#include "config/config.h"
#include "net/network.h"
#include "platform/console.h"
#include "platform/service.h"
#include "server/observers.h"

namespace peerdir {

namespace {

enum class RetryAnswer { TryAgain, Stop, NoInput };

RetryAnswer askToRetry() {
    logLine("Could not read config file.");
    logLine("Try again? (y/n)");
    logText(":");
    std::string word;
    if (!readAnswerWord(&word)) {
        // Without input the question can never be answered; asking again
        // would loop for ever.
        logEnd();
        logLine("runServer: No answer could be read from standard input. Exiting.");
        return RetryAnswer::NoInput;
    }
    if (word[0] == 'n' || word[0] == 'N') return RetryAnswer::Stop;
    return RetryAnswer::TryAgain;
}

// TryAgain once the file is read; otherwise how the operator answered.
RetryAnswer obtainConfig(const std::string& fileName, ServerConfig* config) {
    for (;;) {
        *config = loadConfig(fileName);
        if (config->loaded) return RetryAnswer::TryAgain;
        RetryAnswer answer = askToRetry();
        if (answer != RetryAnswer::TryAgain) return answer;
    }
}

// Each client holds a descriptor, so the descriptor limit is raised to
// serve the client limit, and the client limit lowered where the system
// will not allow that many: a server short of descriptors fails accepts and
// leaves clients waiting unanswered.
std::uint32_t clientLimitFor(std::uint32_t asked) {
    std::size_t wanted = asked == 0 ? 0 : asked + kDescriptorReserve;
    return effectiveClientLimit(asked, raiseDescriptorLimit(wanted));
}

void reportClientLimits(const ServerLimits& limits) {
    if (limits.maxClients != 0 && limits.maxClients != kDefaultMaxClients) {
        logText("runServer: Serving at most ");
        logUnsigned(limits.maxClients);
        logText(" clients at once.");
        logEnd();
    }
    if (limits.maxClientsPerAddress != 0) {
        logText("runServer: Serving at most ");
        logUnsigned(limits.maxClientsPerAddress);
        logText(" clients at once from one address.");
        logEnd();
    }
}

std::size_t pendingOutputBytes(std::uint32_t mib) {
    const std::uint64_t bytes = std::uint64_t{mib} << 20;
    return static_cast<std::size_t>(
        std::min<std::uint64_t>(bytes, std::numeric_limits<std::size_t>::max()));
}

// The whole of runServer's work. It ends on several paths; runServer
// releases the fine timer after any of them.
int serve(const ServerOptions& options) {
    // From here on SIGHUP is a reload request, taken by the accept loop once
    // it runs, never the end of the process it would be by default.
    installReloadTrigger();
    // Without the network library nothing below can work; its failure has
    // been logged.
    if (!initializeWinsock()) return kExitStartFailed;
    // The registry's TLS files are read before anything is served: a
    // server that could never reach etcd must not start as if it could.
    SharedRegistryOptions sharedOptions = options.shared;
    std::string problem;
    if (!sharedRegistryLoadTls(&sharedOptions, &problem)) {
        logLine(problem.c_str());
        return kExitStartFailed;
    }
    ServerConfig config;
    RetryAnswer answer = obtainConfig(options.configFile, &config);
    if (answer == RetryAnswer::Stop) return kExitDone;
    if (answer == RetryAnswer::NoInput) return kExitStartFailed;
    ServerLimits limits{clientLimitFor(options.maxClients),
                        options.maxClientsPerAddress,
                        options.maxNames,
                        options.statsSeconds,
                        options.keepaliveSeconds,
                        options.idle == IdleMode::Wait,
                        pendingOutputBytes(options.maxPendingOutputMiB)};
    // Bad certificate files end the start before anything is served.
    TlsServer* tls = nullptr;
    if (!options.tls.certFile.empty()) {
        tls = tlsServerCreate(options.tls, &problem);
        if (tls == nullptr) {
            logLine(("runServer: Could not load the TLS certificates. " + problem).c_str());
            return kExitStartFailed;
        }
        limits.tls = tls;
        limits.namesFromCertificate = options.namesFromCertificate;
    }
    // globalExit and its trigger exist before the listening socket is
    // announced, so a stop request that follows the announcement is never
    // lost to the default signal action.
    EventHandle globalExit = eventCreateManualReset();
    installShutdownTrigger(globalExit);
    Socket listenSocket = createListenSocket(config.port, options.listenAddress);
    if (listenSocket == kNoSocket) {
        eventClose(globalExit);
        tlsServerDestroy(tls);
        return kExitStartFailed;
    }
    ServerObservers observers;
    observers.version = options.versionText;
    // Like the clients' port, a metrics port that cannot be bound ends the
    // start before anything is served.
    if (options.metrics &&
        !observersStart(observers, options.metricsAddress, options.metricsPort)) {
        socketClose(listenSocket);
        eventClose(globalExit);
        tlsServerDestroy(tls);
        return kExitStartFailed;
    }
    reportClientLimits(limits);
    hostReportServing();
    const bool shared = !options.shared.endpoints.empty();
    acceptAndServe(listenSocket, globalExit, limits, shared ? &sharedOptions : nullptr, &observers);
    observersStop(observers);
    tlsServerDestroy(tls);
    return kExitDone;
}

}  // namespace

int runServer(const ServerOptions& options) {
    prepareForManyThreads();
    // Every polling turn sleeps 1 ms, and each introduction waits for one.
    fineTimerBegin();
    int status = serve(options);
    fineTimerEnd();
    return status;
}

}  // namespace peerdir
