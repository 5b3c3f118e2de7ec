// connection.cpp -- plain and TLS reads and writes behind one face.
#include "clients/connection.h"

#include <algorithm>

namespace peerdir {

namespace {

int tlsRead(void* layer, void* buffer, std::size_t size, int* code) {
    Connection& connection = *static_cast<Connection*>(layer);
    lockEnter(connection.lock);
    ++connection.sessionCalls;
    int n = tlsRecv(connection.tls, buffer, size, code);
    lockLeave(connection.lock);
    return n;
}

}  // namespace

int connectionSend(Connection& connection, const void* data, std::size_t size, int* code,
                   std::size_t* committed) {
    *committed = 0;
    if (connection.tls == nullptr) {
        int n = socketSend(connection.socket, data, size);
        if (n < 0) *code = lastSocketError();
        return n;
    }
    lockEnter(connection.lock);
    ++connection.sessionCalls;
    int n = tlsSend(connection.tls, data, size, code);
    lockLeave(connection.lock);
    if (n < 0 && isWouldBlock(*code)) *committed = std::min(size, tlsMostPerSend());
    return n;
}

bool connectionHasPending(Connection& connection) {
    if (connection.tls == nullptr) return false;
    lockEnter(connection.lock);
    ++connection.sessionCalls;
    bool pending = tlsHasPending(connection.tls);
    lockLeave(connection.lock);
    return pending;
}

ReadSource readSourceOf(Connection& connection) {
    if (connection.tls == nullptr) return ReadSource{connection.socket};
    return ReadSource{connection.socket, tlsRead, &connection};
}

}  // namespace peerdir
