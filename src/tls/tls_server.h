// tls_server.h -- TLS on the clients' port: the server's certificates and
// one TLS session per connection. OpenSSL is reached from this room only.
//
// A TlsServer holds what the operator's files say (certificate, key, and
// optionally the CA that client certificates must chain to and a CRL). It
// can be loaded again while clients are served: new sessions take the new
// files, sessions already up keep theirs. A failed load changes nothing.
//
// A TlsSession wraps one accepted, non-blocking socket. Its calls never
// wait: what would wait reports would-block, and the caller waits on the
// socket. A session is not safe for two threads at once; its owner
// serialises every call on it (the connection's own lock).
#ifndef PEERDIR_TLS_TLS_SERVER_H
#define PEERDIR_TLS_TLS_SERVER_H

#include <cstddef>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace peerdir {

struct TlsServerFiles {
    std::string certFile;  // PEM: the certificate, then any intermediates
    std::string keyFile;   // PEM: its private key
    std::string
        clientCaFile;  // PEM: clients must present a certificate chaining here; empty: none asked
    std::string crlFile;  // PEM: client certificates revoked; empty: none
};

struct TlsServer;
struct TlsSession;

// False in a build without TLS; every other call here is then never made.
bool tlsBuilt();

// Loads the files; nullptr with *problem naming the file and what is wrong.
TlsServer* tlsServerCreate(const TlsServerFiles& files, std::string* problem);

// Loads the same files again. False with *problem when any of them is
// missing or wrong; what was loaded before then stays in use.
bool tlsServerReload(TlsServer* server, std::string* problem);

// How many successful loads there have been; a session compares it to see
// whether to check its client's certificate against a new CRL.
unsigned tlsServerGeneration(const TlsServer* server);

// Once every session has ended.
void tlsServerDestroy(TlsServer* server);

// A session over s with the certificates loaded now; nullptr when OpenSSL
// could not make one (*problem says why).
TlsSession* tlsSessionStart(TlsServer* server, Socket s, std::string* problem);

enum class TlsStep { Done, WantRead, WantWrite, Failed };

// One more step of the handshake. Failed: *problem holds OpenSSL's reason.
TlsStep tlsHandshake(TlsSession* session, std::string* problem);

// The code a read or send reports when the TLS stream itself is broken (a
// bad record, an alert), where the socket has no code to give.
constexpr int kTlsProtocolErrorCode = -1;

// Like socketRecv and socketSend: a count, 0 when the client closed (a
// clean TLS close or the socket's end), -1 with *code set, which is
// wouldBlockErrorCode() when OpenSSL wants the socket to read or write
// first. A send offers OpenSSL at most tlsMostPerSend() bytes and reports
// how many went out. A send that would block has still committed the
// bytes it was offered: the caller must offer the same bytes (from
// wherever it has moved them, and as many or more) before anything else.
int tlsRecv(TlsSession* session, void* buffer, std::size_t length, int* code);
int tlsSend(TlsSession* session, const void* buffer, std::size_t length, int* code);
std::size_t tlsMostPerSend();

// True when decrypted bytes wait inside the session, which the socket no
// longer signals: the reader must not sleep on the socket then.
bool tlsHasPending(TlsSession* session);

// Frees what OpenSSL keeps for the calling thread (its error queue, its
// random generators); OpenSSL makes them again when it needs them. For a
// thread about to sit idle for long.
void tlsReleaseThreadState();

// The names the client's certificate grants: each DNS subjectAltName, or
// the subject's CN when it has none. Empty without a client certificate.
std::vector<std::string> tlsPeerNames(TlsSession* session);

// True when the CRL loaded now revokes the client's certificate.
bool tlsPeerRevoked(TlsServer* server, TlsSession* session);

// Sends the close alert if it can without waiting, and frees the session.
// The socket stays the caller's.
void tlsSessionEnd(TlsSession* session);

}  // namespace peerdir

#endif
