// network.cpp -- network start-up, the listening socket and the connection
// poll.
#include "net/network.h"

#include "platform/console.h"

namespace peerdir {

namespace {

void logVersion(std::uint16_t version) {
    logUnsigned(version & 0xFFu);
    logText(".");
    logUnsigned(version >> 8);
}

void logErrorLine(const char* text, int code) {
    logText(text);
    logSigned(code);
    logEnd();
}

// A port of 0 lets the system choose one, which nobody could find without
// this line.
void reportChosenPort(Socket s, std::uint16_t configured) {
    std::uint16_t bound = socketLocalPort(s);
    if (bound == configured) return;
    logText("createListenSocket: Listening on port ");
    logUnsigned(bound);
    logEnd();
}

// The address to bind as dotted text: the one asked for, or the host's first.
bool listenAddressText(const std::string& asked, char (&text)[16]) {
    std::uint32_t address = 0;
    if (!asked.empty()) {
        address = ipv4FromText(asked.c_str());
    } else if (!localHostFirstAddress(&address)) {
        logLine("createListenSocket: Could not find an IPv4 address for this host.");
        return false;
    }
    ipv4ToText(address, text);
    return true;
}

}  // namespace

bool initializeWinsock() {
    NetVersion version{};
    int result = netStartup(&version);
    if (result != 0) {
        logErrorLine("initializeWinsock: WSAStartup failed. Can't initalize Winsock. Error was: ",
                     result);
        return false;
    }
    logText("Using Winsock version ");
    logVersion(version.granted);
    logEnd();
    logText("(Newest version is ");
    logVersion(version.highest);
    logText(")");
    logEnd();
    logEnd();
    return true;
}

Socket createListenSocket(std::uint16_t port, const std::string& listenAddress) {
    char text[16];
    if (!listenAddressText(listenAddress, text)) return kNoSocket;
    logText("Server IP Address: ");
    logText(text);
    logEnd();
    logText("Port: ");
    logUnsigned(port);
    logEnd();

    Socket s = socketCreateTcp();
    if (s == kNoSocket) {
        logErrorLine(
            "createListenSocket: Error in WSASocket! Could not create a listener socket. Error "
            "code was: ",
            lastSocketError());
        return kNoSocket;
    }
    if (socketBind(s, ipv4FromText(text), hostToNet16(port)) != 0) {
        logErrorLine(
            "createListenSocket: Error in bind! Could not bind the listener socket. Error code "
            "was: ",
            lastSocketError());
        socketClose(s);
        return kNoSocket;
    }
    socketSetNonBlocking(s);
    reportChosenPort(s, port);
    return s;
}

Socket listenForConnections(Socket listenSocket) {
    // The largest backlog the system allows: when a restarted server's
    // clients all reconnect at once, a short queue drops their handshakes.
    if (socketListen(listenSocket, maxListenBacklog()) != 0) {
        int code = lastSocketError();
        if (isWouldBlock(code)) return kNoSocket;
        logErrorLine("listenForConnections: listen had an error. Error code was: ", code);
        logLine("listenForConnections: Returning listenSocket");
        return listenSocket;
    }
    Socket client = socketAccept(listenSocket);
    if (client == kNoSocket) {
        int code = lastSocketError();
        if (isWouldBlock(code)) return kNoSocket;
        logErrorLine("listenForConnections: accept had an error. Error code was: ", code);
        logLine("listenForConnections: Returning listenSocket.");
        return listenSocket;
    }
    logLine("listenForConnections: Got a connection!");
    socketSetNonBlocking(client);
    // Replies are small and latency is the product: no write may wait for
    // the client to acknowledge the one before it.
    socketSetNoDelay(client);
    // The kernel's share of what a client has not read yet stays fixed;
    // what waits beyond it is the process's, and bounded there. Left to
    // itself Linux grows the buffer of a client that never reads to
    // megabytes of kernel memory, which every connection on the host
    // shares.
    socketSetSendBuffer(client, kClientSendBufferBytes);
    return client;
}

}  // namespace peerdir
