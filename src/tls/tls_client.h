// tls_client.h -- TLS for the client's side of a connection; the only place
// the client library meets OpenSSL.
//
// Owns one connection's TLS state (its settings, the trust it checks the
// server against, and the session) and promises: the server's certificate
// must chain to the trusted CAs and, unless the caller turns the check off
// explicitly, name the host the caller gave (a DNS name, or an IP address
// for dotted text); TLS 1.2 at least. Every call takes one step on a
// non-blocking socket and says what it needs next, so the caller keeps its
// own deadlines. Bytes travel through the platform layer's own send and
// receive, so a peer that has gone never raises a signal. In a build
// without TLS every call reports that there is none.
#ifndef PEERDIR_TLS_TLS_CLIENT_H
#define PEERDIR_TLS_TLS_CLIENT_H

#include <cstddef>
#include <string>

#include "platform/platform.h"

namespace peerdir {

// What a client asks of TLS. Empty file names leave that part out: no CA
// file means the system's trust store, no certificate means none is shown.
struct TlsClientSettings {
    std::string caFile;
    std::string certFile;  // PEM, with keyFile; shown when the server asks
    std::string keyFile;
    bool checkHostName = true;  // the certificate must name the host
};

struct TlsClient;  // one connection's TLS state

enum class TlsStep {
    Done,       // the step completed
    WantRead,   // try again once the socket is readable
    WantWrite,  // try again once the socket takes data
    Closed,     // the peer ended the session or the connection
    Failed,     // see code and reason
};

struct TlsOutcome {
    TlsStep step = TlsStep::Done;
    std::size_t bytes = 0;  // read or written by a Done step
    int code = 0;           // the platform's error code, when the socket failed
    std::string reason;     // one line: OpenSSL's reason, or the socket's failure
};

// False in a build without TLS.
bool tlsClientBuilt();

// The trusted CAs and the client certificate, loaded once and shared by any
// number of connections: a file that cannot be read, or a key that does
// not match its certificate, is found here, before a byte is sent. nullptr
// with *why (naming the file) on failure.
struct TlsClientTrust;
TlsClientTrust* tlsClientTrustLoad(const TlsClientSettings& settings, std::string* why);

// Releases the caller's hold on trust; connections made with it keep their
// own. Safe on nullptr.
void tlsClientTrustRelease(TlsClientTrust* trust);

// The TLS state for a connection to host over the connected, non-blocking
// socket s. nullptr with *why on failure.
TlsClient* tlsClientCreate(TlsClientTrust* trust, const std::string& host, bool checkHostName,
                           Socket s, std::string* why);

// One step of the handshake; Done once it is complete.
TlsOutcome tlsClientHandshake(TlsClient* tls);

// Reads up to size bytes of application data.
TlsOutcome tlsClientRead(TlsClient* tls, void* buffer, std::size_t size);

// Writes size bytes whole; after WantRead or WantWrite call it again with
// the same bytes.
TlsOutcome tlsClientWrite(TlsClient* tls, const void* data, std::size_t size);

// The subject of the certificate the server showed, on one line
// ("/CN=..."); empty before the handshake is done.
std::string tlsClientServerSubject(TlsClient* tls);

// Says goodbye (the close alert), without waiting for the server's.
void tlsClientSayGoodbye(TlsClient* tls);

// Releases the state; the socket stays the caller's. Safe on nullptr.
void tlsClientFree(TlsClient* tls);

}  // namespace peerdir

#endif
