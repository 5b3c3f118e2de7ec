// network.cpp -- network start-up, the listening socket and the connection
// poll.
#include "net/network.h"

#include "platform/console.h"

namespace peerdir {

namespace {

constexpr int kListenBacklog = 10;

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

Socket createListenSocket(std::uint16_t port) {
    std::uint32_t hostAddress = 0;
    if (!localHostFirstAddress(&hostAddress)) {
        logLine("createListenSocket: Could not find an IPv4 address for this host.");
        return kNoSocket;
    }
    char text[16];
    ipv4ToText(hostAddress, text);
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
    return s;
}

Socket listenForConnections(Socket listenSocket) {
    if (socketListen(listenSocket, kListenBacklog) != 0) {
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
    return client;
}

}  // namespace peerdir
