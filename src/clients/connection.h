// connection.h -- one client's connection as its readers and writers see
// it: the socket, and in TLS mode the session over it and the lock that
// keeps two threads out of that session.
//
// Every byte to or from a client goes through here, so the send and read
// paths are the same in plain and TLS mode. A plain connection is the
// socket and nothing more: no lock, no copy. A TLS session is one object
// whose reads may write and whose writes may read, so its reader and every
// writer take the connection's lock around each call into it. The lock is
// taken after the registry's lock (writers hold that) and never held while
// taking it.
#ifndef PEERDIR_CLIENTS_CONNECTION_H
#define PEERDIR_CLIENTS_CONNECTION_H

#include <cstddef>

#include "platform/platform.h"
#include "protocol/message_reader.h"
#include "tls/tls_server.h"

namespace peerdir {

struct Connection {
    Socket socket = kNoSocket;
    TlsSession* tls = nullptr;  // nullptr: plain
    LockHandle lock = nullptr;  // TLS only
    // Calls into the session, under the lock. OpenSSL is not built for the
    // race detector, so two threads in one session at once would pass
    // unseen; on this count, which every call changes, they do not.
    unsigned long sessionCalls = 0;
};

// A socketSend through the connection: the count written, or -1 with *code.
// *committed is set to the bytes a TLS send that would block has taken in
// all the same, which must be offered again first (0 in plain mode).
int connectionSend(Connection& connection, const void* data, std::size_t size, int* code,
                   std::size_t* committed);

// True when the connection holds read bytes that its socket no longer
// signals, so its reader must not sleep on the socket.
bool connectionHasPending(Connection& connection);

// What the message reader reads the connection through.
ReadSource readSourceOf(Connection& connection);

}  // namespace peerdir

#endif
