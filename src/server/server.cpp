// server.cpp -- start-up: network, configuration with its retry prompt, and
// the listening socket.
#include "server/server.h"

#include <string>

#include "config/config.h"
#include "net/network.h"
#include "platform/console.h"

namespace peerdir {

namespace {

constexpr char kConfigFile[] = "config.txt";

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

// False when the operator declined to try again or could not answer.
bool obtainConfig(ServerConfig* config) {
    for (;;) {
        *config = loadConfig(kConfigFile);
        if (config->loaded) return true;
        if (askToRetry() != RetryAnswer::TryAgain) return false;
    }
}

// The whole of runServer's work. It ends on several paths; runServer
// releases the fine timer after any of them.
void serve() {
    // Without the network library nothing below can work; its failure has
    // been logged.
    if (!initializeWinsock()) return;
    ServerConfig config;
    if (!obtainConfig(&config)) return;
    // globalExit and its trigger exist before the listening socket is
    // announced, so a stop request that follows the announcement is never
    // lost to the default signal action.
    EventHandle globalExit = eventCreateManualReset();
    installShutdownTrigger(globalExit);
    Socket listenSocket = createListenSocket(config.port);
    if (listenSocket == kNoSocket) {
        eventClose(globalExit);
        return;
    }
    acceptAndServe(listenSocket, globalExit);
}

}  // namespace

int runServer() {
    prepareForManyThreads();
    // Every polling turn sleeps 1 ms, and each introduction waits for one.
    fineTimerBegin();
    serve();
    fineTimerEnd();
    return 0;
}

}  // namespace peerdir
