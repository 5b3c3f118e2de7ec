// tls_server_none.cpp -- the build without TLS: it says so, and the
// command line refuses the TLS options before any other call is made.
#include "tls/tls_server.h"

namespace peerdir {

bool tlsBuilt() { return false; }

TlsServer* tlsServerCreate(const TlsServerFiles&, std::string* problem) {
    *problem = "this build has no TLS.";
    return nullptr;
}

bool tlsServerReload(TlsServer*, std::string* problem) {
    *problem = "this build has no TLS.";
    return false;
}

unsigned tlsServerGeneration(const TlsServer*) { return 0; }
void tlsServerDestroy(TlsServer*) {}

TlsSession* tlsSessionStart(TlsServer*, Socket, std::string* problem) {
    *problem = "this build has no TLS.";
    return nullptr;
}

TlsStep tlsHandshake(TlsSession*, std::string*) { return TlsStep::Failed; }
int tlsRecv(TlsSession*, void*, std::size_t, int* code) {
    *code = kTlsProtocolErrorCode;
    return -1;
}
int tlsSend(TlsSession*, const void*, std::size_t, int* code) {
    *code = kTlsProtocolErrorCode;
    return -1;
}
std::size_t tlsMostPerSend() { return 1; }
bool tlsHasPending(TlsSession*) { return false; }
void tlsReleaseThreadState() {}
std::vector<std::string> tlsPeerNames(TlsSession*) { return {}; }
bool tlsPeerRevoked(TlsServer*, TlsSession*) { return false; }
void tlsSessionEnd(TlsSession*) {}

}  // namespace peerdir
