// load.h -- the server under test and the load the benchmark puts on it.
//
// Each measurement starts a fresh server in a scratch directory of its own,
// on a port the system picks, with its log going to a file there (so it
// never blocks on a full pipe). The benchmark talks to the address the
// server announces and refuses to go on unless that is a loopback address.
// Every wait is bounded by a deadline.
#ifndef PEERDIR_BENCH_LOAD_H
#define PEERDIR_BENCH_LOAD_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "clientlib/client.h"
#include "kit/process.h"
#include "kit/server.h"
#include "platform/platform.h"

namespace peerdir {
namespace bench {

// How to run the server: the command (a launcher such as wine first, where
// one is needed) and how long a start may take.
struct ServerCommand {
    std::vector<std::string> command;
    unsigned startMillis = 10000;
    // The server speaks TLS (the command says with which certificate), and
    // the benchmark's clients connect with these settings.
    bool tls = false;
    TlsClientSettings clientTls;
};

struct ServerUnderTest {
    kit::ChildProcess process;  // its output goes to process.outputFile
    std::string dir;
    bool tls = false;  // as the command said
    TlsClientSettings clientTls;
    std::string addressText;    // as the server announced it
    std::uint32_t address = 0;  // network byte order
    std::uint16_t port = 0;
};

// Starts a fresh server and waits until it has welcomed a client. On failure
// *why says what went wrong and nothing is left running.
bool startServer(const ServerCommand& how, ServerUnderTest* server, std::string* why);

// Stops the server (as Ctrl+C would, then forcibly) and removes its
// directory.
void stopServer(ServerUnderTest& server);

// kit::openClients to the server: count connections, at most inFlight of
// them connecting at once, those welcomed within millis.
std::vector<Socket> openClients(const ServerUnderTest& server, std::size_t count,
                                std::size_t inFlight, unsigned millis);
using kit::closeClients;

// A client of the server, in TLS when the server speaks it.
ClientConnection connectTo(const ServerUnderTest& server,
                           unsigned timeoutMillis = kDefaultConnectMillis);

// Sends batch over and over, keeping s full, until stop is set or a send
// fails.
void sendUntilStopped(Socket s, const std::vector<std::uint8_t>& batch,
                      const std::atomic<bool>& stop);

// Two clients for introductions: the asker sends ConnectRequests for the
// name the target registered.
constexpr char kTargetName[] = "target";

struct IntroPair {
    ClientConnection asker;
    ClientConnection target;
    std::string name = kTargetName;  // the target's
};

// Connects both and registers the target; true once a first introduction
// has come through. The asker may be a client of another server than the
// target's, where the servers share a registry.
bool makeIntroPair(const ServerUnderTest& server, IntroPair* pair, std::string* why);
bool makeIntroPair(const ServerUnderTest& askerServer, const ServerUnderTest& targetServer,
                   IntroPair* pair, std::string* why);
void closeIntroPair(IntroPair& pair);

// Registers names "n0".."n<count-1>", a hundred per connection, each
// connection's in one write. The connections stay open in *registrars.
bool registerNames(const ServerUnderTest& server, std::size_t count,
                   std::vector<ClientConnection>* registrars);

// Waits until a list holds count names; the server takes one registration
// per connection and turn.
bool awaitNames(ClientConnection& lister, std::size_t count);

// Connects count clients that register nothing yet. False when one could
// not connect; those that did are in *clients either way.
bool connectClients(const ServerUnderTest& server, std::size_t count,
                    std::vector<ClientConnection>* clients);

// Sends every client namesEach ClientName messages in one write, named
// "<stem><i>-<j>" for the i-th client's j-th name; the server takes one per
// connection and turn.
bool sendNames(std::vector<ClientConnection>& clients, std::size_t namesEach,
               const std::string& stem);

// Has every client send namesEach ClientName messages, "c<k>-<j>" for the
// j-th name of the k-th client counted from firstClient, and then a
// ConnectRequest for a name nobody has; true once every client has its
// NameNotFound, which says every name before it was handled. The server
// takes one message per connection and turn, so this takes namesEach turns.
bool registerAndConfirm(std::vector<ClientConnection>& clients, std::size_t namesEach,
                        std::size_t firstClient = 0);

// Closes every connection, each one's sending end shut before the first
// close waits, so the server lets them all go at once rather than one
// close's wait after another.
void closeAll(std::vector<ClientConnection>& clients);

// A server's replies read as the bytes come, in whole messages however the
// bytes are cut: the names (and how many begin with stem) and the
// NameNotFound answers. Anything else stops it: the stream could no longer
// be followed.
struct ReplyTally {
    std::string stem;
    std::vector<std::uint8_t> pending;  // the start of a message not yet whole
    std::size_t names = 0;
    std::size_t matching = 0;
    std::size_t notFound = 0;
    bool lost = false;  // a message of another type came
};

void tallyReplies(ReplyTally& tally, const std::uint8_t* bytes, std::size_t size);

// One list, asked on a connection of its own, so that a reply cut short
// leaves nothing behind to be read as part of the next. Reading ends once
// expected names beginning with stem have come, or the reply has been quiet
// for quietMillis after its first byte (or 5 s before it).
struct ListReply {
    bool asked = false;  // connected and the request sent
    std::size_t names = 0;
    std::size_t matching = 0;
    double millis = 0;  // from the request to the last name's last byte
};

ListReply listOnce(const ServerUnderTest& server, const std::string& stem, std::size_t expected,
                   unsigned quietMillis);

// One introduction: milliseconds from the asker's ConnectRequest being sent
// until the target has the PeerRequest, or NaN when it did not come within
// timeoutMillis. With busyTarget the target first sends a request of its own
// (for a name nobody registered), so the server has just written to it too.
double introduceOnce(IntroPair& pair, bool busyTarget, unsigned timeoutMillis);

// Pauses for a random time from 0 to 2 ms, to the microsecond. A request
// sent right after the server's last answer would otherwise always arrive
// at the same point of the server's polling turn (just after it), while a
// user's requests arrive at any point of it.
void pauseAtRandom(std::minstd_rand& random);

// count introductions with a pauseAtRandom between them, after a pause of
// leastGapMicros first. Failed ones are left out; *failures counts them.
std::vector<double> sampleIntroductions(IntroPair& pair, bool busyTarget, std::size_t count,
                                        unsigned timeoutMillis, std::minstd_rand& random,
                                        std::size_t* failures, unsigned leastGapMicros = 0);

// One ClientName message, as a list reply carries one per name.
constexpr std::size_t kListedSize = kHeaderSize + kNamePayloadSize;

// One list of count names: milliseconds from the request until its last
// byte; NaN on failure.
double timeList(ClientConnection& lister, std::size_t count, std::vector<std::uint8_t>& buffer);

// ConnectRequests reaching pair's target per second, from senderCount
// clients of senderServer that each keep their socket full; NaN on failure.
double forwardRate(const ServerUnderTest& senderServer, IntroPair& pair, std::size_t senderCount);

// The command with more arguments after it.
ServerCommand withArguments(ServerCommand how, const std::vector<std::string>& args);

// Milliseconds since an arbitrary start, with sub-microsecond resolution.
double nowMillis();

}  // namespace bench
}  // namespace peerdir

#endif
