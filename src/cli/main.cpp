// main.cpp -- peerdir-client: register, list and connect from the command line.
//
// A thin layer over the client library: parse the arguments, call the
// library, print, and map each outcome to an exit status. Results go to
// standard output, one per line; a failure is one line on standard error that
// begins "peerdir-client: ".
#include <cstdio>
#include <string>
#include <vector>

#include "cli/options.h"
#include "clientlib/client.h"

#ifndef PEERDIR_VERSION
#error "the build passes PEERDIR_VERSION, the project's version"
#endif

namespace peerdir {
namespace {

enum ExitStatus {
    kDone = 0,
    kNameNotFound = 1,    // connect: no client is registered under the name
    kBadCommandLine = 2,  // nothing was sent
    kServerTrouble = 3,   // unreachable, closed, silent or talking nonsense
};

// While registered, waits for messages are cut into slices this long, so a
// stop request is acted on soon.
constexpr unsigned kSliceMillis = 100;

void printLine(const std::string& text) {
    std::string line = text + "\n";
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
}

int complain(const std::string& text, int status) {
    std::string line = "peerdir-client: " + text + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
    return status;
}

int failWith(ClientConnection& c) {
    complain(c.message, kServerTrouble);
    closeConnection(c);
    return kServerTrouble;
}

// Names and addresses come from other clients. Control bytes would let them
// rewrite the terminal or split one line in two, so they are shown as \xNN,
// and a backslash as \\ so that the result stays unambiguous.
std::string printable(const std::string& text) {
    static const char kHex[] = "0123456789abcdef";
    std::string shown;
    for (char ch : text) {
        auto byte = static_cast<unsigned char>(ch);
        if (byte == '\\') {
            shown += "\\\\";
        } else if (byte < 0x20 || byte == 0x7F) {
            shown += "\\x";
            shown += kHex[byte >> 4];
            shown += kHex[byte & 0x0F];
        } else {
            shown += ch;
        }
    }
    return shown;
}

int runList(ClientConnection& c, const CliOptions& options) {
    std::vector<std::string> names;
    if (!listNames(c, options.quietMillis, &names)) return failWith(c);
    for (const std::string& name : names) printLine(printable(name));
    closeConnection(c);
    return kDone;
}

// The server answers an unknown name with NameNotFound and a forwarded
// request with nothing at all. A list request sent right behind it serves as
// a marker: the server handles one client's requests in order, so a
// NameNotFound comes before the list, and a forwarded request means the name
// is registered, so the list is not empty. No guessing from silence.
int runConnect(ClientConnection& c, const CliOptions& options) {
    const std::string& name = options.names[0];
    if (!requestConnect(c, name, options.peerAddress, options.peerPort) || !requestList(c)) {
        return failWith(c);
    }
    const Deadline deadline = deadlineAfter(options.quietMillis);
    for (;;) {
        ServerMessage message;
        if (!readServerMessage(c, millisUntil(deadline), &message)) {
            if (c.error != ClientError::TimedOut) return failWith(c);
            complain("no answer from the server within " + std::to_string(options.quietMillis) +
                         " ms, so it is unknown whether the request was passed on",
                     kServerTrouble);
            closeConnection(c);
            return kServerTrouble;
        }
        if (message.type == MessageType::NameNotFound) {
            printLine("no client is registered as " + printable(name));
            closeConnection(c);
            return kNameNotFound;
        }
        if (message.type == MessageType::ClientName) {
            printLine("request forwarded to " + printable(name));
            closeConnection(c);
            return kDone;
        }
    }
}

void printRequest(const ServerMessage& message) {
    printLine("request: " + printable(message.name) + " wants you at " +
              printable(message.address) + ":" + std::to_string(message.port));
}

// The server does not answer a registration. The reply to a list request
// sent after the names confirms them: the server has handled the names by
// the time it answers, and the list holds at least those names.
int runRegister(ClientConnection& c, const CliOptions& options, EventHandle stop) {
    for (const std::string& name : options.names) {
        if (!registerName(c, name)) return failWith(c);
    }
    if (!requestList(c)) return failWith(c);
    bool confirmed = false;
    const Deadline deadline = deadlineAfter(options.timeoutMillis);
    while (!eventTestNow(stop)) {
        ServerMessage message;
        if (readServerMessage(c, kSliceMillis, &message)) {
            if (message.type == MessageType::PeerRequest) printRequest(message);
            if (message.type == MessageType::ClientName && !confirmed) {
                confirmed = true;
                for (const std::string& name : options.names) {
                    printLine("registered: " + printable(name));
                }
            }
        } else if (c.error != ClientError::TimedOut) {
            return failWith(c);
        } else if (!confirmed && millisUntil(deadline) == 0) {
            complain("the server did not confirm the names within " +
                         std::to_string(options.timeoutMillis) + " ms",
                     kServerTrouble);
            closeConnection(c);
            return kServerTrouble;
        }
    }
    closeConnection(c);
    return kDone;
}

int runCommand(ClientConnection& c, const CliOptions& options) {
    switch (options.command) {
        case CliCommand::List:
            return runList(c, options);
        case CliCommand::Connect:
            return runConnect(c, options);
        default: {
            // Ctrl+C ends a registration: it is the usual way to leave.
            EventHandle stop = eventCreateManualReset();
            if (stop == nullptr) return complain("cannot create an event", kServerTrouble);
            installShutdownTrigger(stop);
            int status = runRegister(c, options, stop);
            eventClose(stop);
            return status;
        }
    }
}

int runClient(const std::vector<std::string>& args) {
    CliOptions options;
    std::string error;
    if (!parseArguments(args, &options, &error)) return complain(error, kBadCommandLine);
    if (options.command == CliCommand::Help) {
        std::fputs(usageText().c_str(), stdout);
        return kDone;
    }
    if (options.command == CliCommand::Version) {
        printLine("peerdir-client " PEERDIR_VERSION);
        return kDone;
    }
    NetVersion version{};
    int code = netStartup(&version);
    if (code != 0) {
        return complain("cannot start the network library (error " + std::to_string(code) + ")",
                        kServerTrouble);
    }
    ClientConnection c = connectToServer(options.host, options.port, options.timeoutMillis,
                                         options.tls ? &options.tlsSettings : nullptr);
    int status = 0;
    if (c.error == ClientError::TlsSetup) {
        // A file the command line named cannot be used: nothing was sent.
        status = complain(c.message, kBadCommandLine);
    } else {
        status =
            c.socket == kNoSocket ? complain(c.message, kServerTrouble) : runCommand(c, options);
    }
    netCleanup();
    return status;
}

}  // namespace
}  // namespace peerdir

int main(int argc, char** argv) {
    return peerdir::runClient(std::vector<std::string>(argv + 1, argv + argc));
}
