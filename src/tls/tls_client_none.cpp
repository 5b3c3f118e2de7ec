// tls_client_none.cpp -- the TLS room in a build without TLS (Windows, the
// fuzz build, or where OpenSSL 3 was not found): nothing can be made.
#include "tls/tls_client.h"

namespace peerdir {

bool tlsClientBuilt() { return false; }

TlsClientTrust* tlsClientTrustLoad(const TlsClientSettings&, std::string* why) {
    *why = "this build has no TLS";
    return nullptr;
}

void tlsClientTrustRelease(TlsClientTrust*) {}

TlsClient* tlsClientCreate(TlsClientTrust*, const std::string&, bool, Socket, std::string* why) {
    *why = "this build has no TLS";
    return nullptr;
}

TlsOutcome tlsClientHandshake(TlsClient*) { return TlsOutcome{TlsStep::Failed, 0, 0, "no TLS"}; }

TlsOutcome tlsClientRead(TlsClient*, void*, std::size_t) {
    return TlsOutcome{TlsStep::Failed, 0, 0, "no TLS"};
}

TlsOutcome tlsClientWrite(TlsClient*, const void*, std::size_t) {
    return TlsOutcome{TlsStep::Failed, 0, 0, "no TLS"};
}

std::string tlsClientServerSubject(TlsClient*) { return ""; }

void tlsClientSayGoodbye(TlsClient*) {}

void tlsClientFree(TlsClient*) {}

}  // namespace peerdir
