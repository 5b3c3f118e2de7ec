// shared_registry.h -- the opt-in registry that several servers share on
// etcd, so a client on any of them lists every name and reaches a client
// held by another.
//
// The mode's state lives in one record, created only when the operator asks
// for the mode; the single-server path never sees it. Each server keeps its
// own clients' names locally as well: etcd holds them under the server's
// lease, so they vanish with the server. A request for a client held by
// another server goes into that server's mailbox, whose watch hands it to
// the client.
//
// The client managers' calls take none of the server's registry locks and
// answer from the mirror; only a forward to another server's client waits on
// etcd, at most kSharedAnswerMillis. Builds without the libraries (and the Windows build) have no
// mode: sharedRegistryBuilt() says so, and nothing else here may be called.
#ifndef PEERDIR_SHARED_SHARED_REGISTRY_H
#define PEERDIR_SHARED_SHARED_REGISTRY_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace peerdir {

struct SharedRegistry;
struct EtcdTls;

struct SharedRegistryOptions {
    std::string endpoints;  // "etcd://HOST:PORT[,HOST:PORT...]" or https://, as given
    std::string prefix = "peerdir";
    unsigned leaseTtlSeconds = 10;
    // For https endpoints: the CA that signed etcd's certificates (empty:
    // the system's trust store), and this server's client certificate and
    // key for etcd's --client-cert-auth (empty: none).
    std::string caFile;
    std::string certFile;
    std::string keyFile;
    // What those files hold, once sharedRegistryLoadTls has read them.
    std::shared_ptr<const EtcdTls> tls;
};

constexpr unsigned kLeastLeaseTtlSeconds = 2;
constexpr unsigned kSharedAnswerMillis = 1500;

// A connection's number for the registry: unlike a socket number, it is
// never used again for another connection while the server runs.
using ConnectionId = std::uint64_t;

// Hands a forwarded request (a 38-byte ConnectPayload) to the local client
// on connection; target is what sharedRegistryStart was given.
using DeliverRequest = void (*)(void* target, ConnectionId connection, const std::uint8_t* payload);

// True when this build has the mode.
bool sharedRegistryBuilt();

// Checks the endpoints' text; false with one line saying what is wrong.
bool checkSharedRegistryEndpoints(const std::string& endpoints, std::string* problem);

// Checks that the TLS options go with the endpoints: a CA, certificate or
// key only with https endpoints (clear-text ones are never spoken to over
// TLS), a certificate only with its key. True when none is given, in any
// build.
bool checkSharedRegistryTls(const SharedRegistryOptions& options, std::string* problem);

// Reads the TLS files into options.tls, before anything is served. False,
// with one line naming the file and the reason, when one cannot be used.
// Nothing to do (true) without https endpoints.
bool sharedRegistryLoadTls(SharedRegistryOptions* options, std::string* problem);

// Joins etcd (waiting up to 10 s for an endpoint to answer, serving locally
// if none does), logs the start-up line, and starts the mode's threads.
SharedRegistry* sharedRegistryStart(const SharedRegistryOptions& options, DeliverRequest deliver,
                                    void* target);

// Stops the threads and gives up the lease, so this server's names vanish
// at once. Call it once no client manager runs.
void sharedRegistryStop(SharedRegistry* shared);

// A local client registered name: listed here at once, written to etcd soon.
void sharedRegister(SharedRegistry* shared, ConnectionId connection, const std::string& name);

// A local client left: its names go from etcd at once.
void sharedUnregisterAll(SharedRegistry* shared, ConnectionId connection);

enum class SharedForward {
    Here,         // the earliest registrant is a client of this server: *holder
    Forwarded,    // handed to the server that holds the earliest registrant
    NotFound,     // nobody anywhere holds the name
    Unavailable,  // etcd is lost, or the forward was given up unsent: the caller
                  // serves from local names
};

// Finds the earliest registration of name anywhere and, when another server
// holds it, hands payload (the PeerRequest's 38 bytes) to that server.
SharedForward sharedForward(SharedRegistry* shared, const std::string& name,
                            const std::uint8_t* payload, ConnectionId* holder);

// Every name in the shared registry, in registration order, from the
// mirror. False while etcd is lost or the mirror not yet loaded: the caller
// lists local names.
bool sharedListNames(SharedRegistry* shared, std::vector<std::string>* names);

// How many names the shared registry holds; false as for sharedListNames.
bool sharedNameCount(SharedRegistry* shared, std::size_t* count);

// What an operator watches of the mode, read in one go: each figure under
// the lock that guards it, held only for the counting.
struct SharedRegistryState {
    bool etcdUp = false;             // not lost: some endpoint answers
    std::size_t mirrorNames = 0;     // every server's registrations, as mirrored
    std::size_t pending = 0;         // own registrations no transaction has carried
    std::size_t unknown = 0;         // own registrations whose put may have landed
    std::size_t deletesWaiting = 0;  // keys waiting to be deleted
    std::size_t forwardsQueued = 0;  // forwards waiting for a forwarder
};
SharedRegistryState sharedRegistryState(SharedRegistry* shared);

}  // namespace peerdir

#endif
