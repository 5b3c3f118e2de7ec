// handshake.h -- the TLS handshake of a new connection, on its client's own
// thread, before the Welcome.
//
// The handshake must be done within kHandshakeLimit of the accept; one that
// fails or stalls ends that connection alone. It is no client: it has no
// names and no end line. A port scanner or a plain client must not flood
// the log, so failures come in runs: the first of a run logs one line with
// OpenSSL's reason, "ClientManager: TLS handshake failed; connection
// closed. Reason: ", and the rest are counted, with one line
// "ClientManager: N more TLS handshakes failed." a minute while they go on
// and one at shutdown. A run ends once a minute passes without a failure.
#ifndef PEERDIR_CLIENTS_HANDSHAKE_H
#define PEERDIR_CLIENTS_HANDSHAKE_H

#include "clients/client_context.h"

namespace peerdir {

// The session once the handshake is done; nullptr when it failed, stalled
// or the stop request came (the caller then closes the socket).
TlsSession* handshakeClient(const ClientManagerContext& context);

// Reports the failures counted and not yet reported; at shutdown, once
// every client manager has ended.
void reportHandshakeFailures();

}  // namespace peerdir

#endif
