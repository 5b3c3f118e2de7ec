// End to end over TLS: the real server binary with certificates made by the
// openssl command line for this run, spoken to by the kit's TLS client.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdlib>
#include <deque>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "kit/openssl_tools.h"
#include "kit/process.h"
#include "kit/server.h"
#include "kit/tls_peer.h"
#include "platform/platform.h"
#include "support/test_support.h"

#ifndef PEERDIR_DEFAULT_SERVER
#error "PEERDIR_DEFAULT_SERVER must name the server binary"
#endif

namespace peerdir {
namespace tls_e2e {
namespace {

using namespace kit;
using namespace testing_support;
using Bytes = std::vector<std::uint8_t>;

constexpr unsigned kWaitMillis = 20000;
const std::string kHandshakeFailed = "ClientManager: TLS handshake failed; connection closed.";
const std::string kNoConnection = kTlsPeerNoConnection;
const std::string kLeft = "ClientManager: Client disconnected. Thread terminating...";

// A CA, the server's certificate, a second one to rotate to, client
// certificates (alice by subjectAltName, bob by CN alone, one from a CA the
// server does not trust), and CRLs with nothing and with bob revoked.
class Pki {
  public:
    std::string dir = makeScratchDirectory("peerdir-tls-pki-");
    std::string problem;

    std::string path(const std::string& file) const { return dir + "/" + file; }

    bool make() {
        return writeFile(path("ca.cnf"), caConfig()) && writeFile(path("index.txt"), "") &&
               writeFile(path("crlnumber"), "01\n") && selfSigned("ca", "/CN=peerdir test CA") &&
               selfSigned("rogue-ca", "/CN=someone else") &&
               issued("server", "/CN=localhost", "DNS:localhost,IP:127.0.0.1", "ca") &&
               issued("rotated", "/CN=rotated", "DNS:localhost,IP:127.0.0.1", "ca") &&
               issued("alice", "/CN=not-a-name", "DNS:alice,DNS:alice2", "ca") &&
               issued("bob", "/CN=bob", "", "ca") &&
               issued("mallory", "/CN=alice", "", "rogue-ca") &&
               ca({"-gencrl", "-out", "crl-none.pem"}) && ca({"-revoke", "bob.crt"}) &&
               ca({"-gencrl", "-out", "crl-bob.pem"});
    }

  private:
    static std::string caConfig() {
        return "[ca]\ndefault_ca = test\n[test]\ndatabase = index.txt\ncrlnumber = crlnumber\n"
               "default_md = sha256\ndefault_crl_days = 2\ncertificate = ca.crt\n"
               "private_key = ca.key\n";
    }

    bool run(const std::vector<std::string>& args) {
        std::string why;
        if (runOpensslCommand(dir, args, &why)) return true;
        problem += why + "\n";
        return false;
    }

    bool ca(std::vector<std::string> args) {
        args.insert(args.begin(), {"ca", "-config", "ca.cnf"});
        return run(args);
    }

    bool selfSigned(const std::string& name, const std::string& subject) {
        return run({"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256",
                    "-nodes", "-keyout", name + ".key", "-out", name + ".crt", "-days", "2",
                    "-subj", subject});
    }

    bool issued(const std::string& name, const std::string& subject, const std::string& altNames,
                const std::string& issuer) {
        const std::string ext = name + ".ext";
        if (!writeFile(path(ext), altNames.empty() ? "basicConstraints = CA:FALSE\n"
                                                   : "subjectAltName = " + altNames + "\n"))
            return false;
        return run({"req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
                    "-keyout", name + ".key", "-out", name + ".csr", "-subj", subject}) &&
               run({"x509", "-req", "-in", name + ".csr", "-CA", issuer + ".crt", "-CAkey",
                    issuer + ".key", "-CAcreateserial", "-out", name + ".crt", "-days", "2",
                    "-extfile", ext});
    }
};

Pki* g_pki = nullptr;

class TlsTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        g_pki = new Pki;
        if (!g_pki->make()) ADD_FAILURE() << "making the certificates failed:\n" << g_pki->problem;
    }

    static void TearDownTestSuite() {
        removeScratchDirectory(g_pki->dir);
        delete g_pki;
        g_pki = nullptr;
    }

    void SetUp() override { ASSERT_FALSE(dir_.empty()); }

    void TearDown() override {
        for (TlsPeer& peer : peers_) tlsPeerClose(peer);
        stopProgram(server_);
        removeScratchDirectory(dir_);
    }

    static std::string pki(const std::string& file) { return g_pki->path(file); }

    std::vector<std::string> serverCommand(const std::vector<std::string>& args) const {
        std::vector<std::string> command = commandFromEnvironment(
            "PEERDIR_SERVER", "PEERDIR_SERVER_LAUNCHER", PEERDIR_DEFAULT_SERVER);
        if (const char* idle = std::getenv("PEERDIR_E2E_IDLE"); idle != nullptr && *idle != 0)
            command.insert(command.end(), {"--idle", idle});
        command.insert(command.end(), {"--listen", "127.0.0.1"});
        command.insert(command.end(), args.begin(), args.end());
        return command;
    }

    // Starts a server with the certificates and args, and reads its port.
    void startServing(const std::vector<std::string>& args = {}) {
        std::vector<std::string> all{"--tls-cert", pki("server.crt"), "--tls-key",
                                     pki("server.key")};
        all.insert(all.end(), args.begin(), args.end());
        ASSERT_TRUE(writeServerConfig(dir_));
        ASSERT_TRUE(startProgram(server_, dir_, serverCommand(all), OutputTo::Pipe));
        port_ = listeningPort(server_);
        ASSERT_NE(port_, 0) << server_.log;
    }

    // A TLS client that has its Welcome; nullptr when the handshake failed.
    TlsPeer* connectAndGreet(const TlsPeerFiles& files = {pki("ca.crt"), "", ""}) {
        TlsPeer peer;
        std::string problem;
        if (!connectTls(peer, files, &problem)) {
            ADD_FAILURE() << problem;
            return nullptr;
        }
        peers_.push_back(peer);
        Bytes welcome;
        EXPECT_TRUE(tlsPeerReceive(peers_.back(), 4, &welcome, kWaitMillis));
        EXPECT_EQ(welcome, kWelcome);
        return &peers_.back();
    }

    // The server listens from its first poll on, just after it reports its
    // port, so a first connection may be refused for a moment.
    bool connectTls(TlsPeer& peer, const TlsPeerFiles& files, std::string* problem) {
        const Deadline deadline = deadlineAfter(kWaitMillis);
        while (!tlsPeerConnect(peer, port_, files, kWaitMillis, problem)) {
            if (*problem != kNoConnection || millisUntil(deadline) == 0) return false;
            sleepMillis(5);
        }
        return true;
    }

    Socket connectPlain() {
        const Deadline deadline = deadlineAfter(kWaitMillis);
        Socket plain = connectClient(port_);
        while (plain == kNoSocket && millisUntil(deadline) > 0) {
            sleepMillis(5);
            plain = connectClient(port_);
        }
        return plain;
    }

    // True when the server ends a TLS handshake with these files; a client
    // certificate refused in TLS 1.3 shows only at the first read.
    bool refused(const TlsPeerFiles& files) {
        TlsPeer peer;
        std::string problem;
        if (!connectTls(peer, files, &problem)) return problem != kNoConnection;
        bool ended = tlsPeerSeesEnd(peer, kWaitMillis);
        tlsPeerClose(peer);
        return ended;
    }

    Bytes listOf(TlsPeer& peer, std::size_t names) {
        Bytes list;
        EXPECT_TRUE(tlsPeerSend(peer, header(4), kWaitMillis));
        EXPECT_TRUE(tlsPeerReceive(peer, names * 24, &list, kWaitMillis));
        return list;
    }

    // Ends the server with a stop request; a sanitizer that stopped it
    // earlier shows as another status.
    void stopCleanly() {
        ASSERT_TRUE(stopAndWait(server_, interrupt)) << server_.log;
        EXPECT_EQ(server_.exitStatus, 0) << server_.log;
    }

    std::string dir_ = makeScratchDirectory("peerdir-tls-");
    ChildProcess server_;
    std::uint16_t port_ = 0;
    std::deque<TlsPeer> peers_;  // a deque: pointers to peers stay valid
};

std::size_t countOf(const std::string& text, const std::string& needle) {
    std::size_t count = 0;
    for (std::size_t at = text.find(needle); at != std::string::npos;
         at = text.find(needle, at + 1))
        ++count;
    return count;
}

TEST_F(TlsTest, PlainClientIsRefusedAndIsNoClient) {
    startServing();
    Socket plain = connectPlain();
    ASSERT_NE(plain, kNoSocket);
    // What a plain client says first is no TLS hello: the server ends the
    // connection without a Welcome or any byte of the protocol.
    sendAll(plain, join(nameMessage(2, "alice"), header(4)));
    EXPECT_TRUE(receiveBytes(plain, 4).empty());
    socketClose(plain);
    ASSERT_TRUE(waitForLog(server_, kHandshakeFailed, kWaitMillis)) << server_.log;
    // Served over TLS, the name alice is not there: the plain client was none.
    TlsPeer* client = connectAndGreet();
    ASSERT_NE(client, nullptr) << server_.log;
    ASSERT_TRUE(tlsPeerSend(*client, nameMessage(2, "carol"), kWaitMillis));
    EXPECT_EQ(listOf(*client, 1), nameMessage(2, "carol"));
    tlsPeerClose(peers_.back());
    peers_.pop_back();
    ASSERT_TRUE(waitForLog(server_, kLeft, kWaitMillis)) << server_.log;
    stopCleanly();
    EXPECT_EQ(countOf(server_.log, kLeft), 1u) << server_.log;
    EXPECT_EQ(countOf(server_.log, kHandshakeFailed), 1u) << server_.log;
}

TEST_F(TlsTest, StalledHandshakeEndsAtItsDeadlineWhileOthersAreServed) {
    startServing();
    Socket stalled = connectPlain();
    ASSERT_NE(stalled, kNoSocket);
    const Deadline tooSoon = deadlineAfter(9000);
    TlsPeer* client = connectAndGreet();
    ASSERT_NE(client, nullptr) << server_.log;
    ASSERT_TRUE(tlsPeerSend(*client, nameMessage(2, "carol"), kWaitMillis));
    EXPECT_EQ(listOf(*client, 1), nameMessage(2, "carol"));
    EXPECT_GT(millisUntil(tooSoon), 0u) << "served only after the stalled handshake's end";
    // The stalled connection ends ten seconds after its accept, not before.
    ASSERT_TRUE(waitForLog(server_, "Reason: no handshake within 10 seconds", kWaitMillis))
        << server_.log;
    EXPECT_EQ(millisUntil(tooSoon), 0u) << server_.log;
    EXPECT_TRUE(receiveBytes(stalled, 1).empty());
    socketClose(stalled);
    stopCleanly();
}

// Another client's forwards are written to a TLS connection while that
// client's own thread reads from it: every message arrives whole. Under
// ThreadSanitizer a session used by two threads at once stops the server.
TEST_F(TlsTest, ForwardsWrittenWhileTheTargetReads) {
    startServing();
    TlsPeer* target = connectAndGreet();
    ASSERT_NE(target, nullptr) << server_.log;
    ASSERT_TRUE(tlsPeerSend(*target, nameMessage(2, "t"), kWaitMillis));
    ASSERT_EQ(listOf(*target, 1), nameMessage(2, "t"));
    TlsPeer* asker = connectAndGreet();
    ASSERT_NE(asker, nullptr) << server_.log;
    constexpr std::size_t kRounds = 300;
    const Bytes forward = connectMessage("t", "10.0.0.1", 0x10, 0x92);
    for (std::size_t round = 0; round < kRounds; ++round) {
        ASSERT_TRUE(tlsPeerSend(*target, header(4), kWaitMillis));
        ASSERT_TRUE(tlsPeerSend(*asker, forward, kWaitMillis));
    }
    std::size_t lists = 0;
    std::size_t forwards = 0;
    for (std::size_t got = 0; got < 2 * kRounds; ++got) {
        Bytes head;
        ASSERT_TRUE(tlsPeerReceive(*target, 4, &head, kWaitMillis)) << got << "\n" << server_.log;
        Bytes rest;
        if (head == Bytes{0, 0, 0, 2}) {
            ASSERT_TRUE(tlsPeerReceive(*target, 20, &rest, kWaitMillis));
            EXPECT_EQ(join(head, rest), nameMessage(2, "t"));
            ++lists;
        } else {
            ASSERT_EQ(head, (Bytes{0, 0, 0, 1})) << got;
            ASSERT_TRUE(tlsPeerReceive(*target, 38, &rest, kWaitMillis));
            Bytes expected = forward;
            expected[3] = 1;
            EXPECT_EQ(join(head, rest), expected);
            ++forwards;
        }
    }
    EXPECT_EQ(lists, kRounds);
    EXPECT_EQ(forwards, kRounds);
    stopCleanly();
}

// A client that does not read while forwards come for it: they fill the
// connection, and the TLS write that finds it full has taken its bytes all
// the same. They stay to go out first, what comes next is dropped, and a
// shorter reply meanwhile (a list of one name) must not be offered in their
// place. Once the client reads, every message is whole and the connection
// goes on.
TEST_F(TlsTest, FullConnectionKeepsWhatTlsHasTaken) {
    startServing();
    TlsPeerFiles small{pki("ca.crt"), "", ""};
    small.receiveBufferBytes = 4096;
    TlsPeer* target = connectAndGreet(small);
    ASSERT_NE(target, nullptr) << server_.log;
    ASSERT_TRUE(tlsPeerSend(*target, nameMessage(2, "t"), kWaitMillis));
    ASSERT_EQ(listOf(*target, 1), nameMessage(2, "t"));
    TlsPeer* asker = connectAndGreet();
    ASSERT_NE(asker, nullptr) << server_.log;
    const Bytes forward = connectMessage("t", "10.0.0.1", 0x10, 0x92);
    Bytes burst;
    for (int i = 0; i < 200; ++i) burst = join(burst, forward);
    for (int round = 0; round < 100 && server_.log.find("Send failed") == std::string::npos;
         ++round) {
        ASSERT_TRUE(tlsPeerSend(*asker, burst, kWaitMillis));
        waitForLog(server_, "Send failed", 200);
    }
    ASSERT_NE(server_.log.find("MessageHandler: Send failed. Last error was: "), std::string::npos)
        << server_.log;
    // The list goes to the full connection; the name after it shows, on
    // the asker's side, that it has been handled.
    ASSERT_TRUE(tlsPeerSend(*target, join(header(4), nameMessage(2, "u")), kWaitMillis));
    const Bytes both = join(nameMessage(2, "t"), nameMessage(2, "u"));
    bool handled = false;
    for (int tries = 0; tries < 400 && !handled; ++tries) {
        Bytes first;
        Bytes second;
        ASSERT_TRUE(tlsPeerSend(*asker, header(4), kWaitMillis));
        ASSERT_TRUE(tlsPeerReceive(*asker, 24, &first, kWaitMillis));
        handled = tlsPeerReceive(*asker, 24, &second, 50) && join(first, second) == both;
    }
    ASSERT_TRUE(handled) << server_.log;
    Bytes forwarded = forward;
    forwarded[3] = 1;
    std::size_t got = 0;
    for (Bytes head; tlsPeerReceive(*target, 4, &head, 300); ++got) {
        Bytes rest;
        ASSERT_EQ(head, (Bytes{0, 0, 0, 1})) << "message " << got << "\n" << server_.log;
        ASSERT_TRUE(tlsPeerReceive(*target, 38, &rest, kWaitMillis));
        ASSERT_EQ(join(head, rest), forwarded);
    }
    EXPECT_GT(got, 0u);
    EXPECT_EQ(listOf(*target, 2), both) << server_.log;
    stopCleanly();
}

// With client certificates asked for, only those of the CA pass, not the
// revoked; with names from certificates, alice's certificate registers its
// DNS names and nothing else, and bob's, which has none, its CN.
TEST_F(TlsTest, CertificatesDecideWhoComesInAndWhichNamesTheyHold) {
    startServing(
        {"--tls-client-ca", pki("ca.crt"), "--tls-crl", pki("crl-bob.pem"), "--tls-names", "cert"});
    EXPECT_TRUE(refused({pki("ca.crt"), "", ""})) << "no client certificate";
    EXPECT_TRUE(refused({pki("ca.crt"), pki("mallory.crt"), pki("mallory.key")}))
        << "a certificate of another CA";
    EXPECT_TRUE(refused({pki("ca.crt"), pki("bob.crt"), pki("bob.key")})) << "a revoked one";

    TlsPeer* alice = connectAndGreet({pki("ca.crt"), pki("alice.crt"), pki("alice.key")});
    ASSERT_NE(alice, nullptr) << server_.log;
    ASSERT_TRUE(tlsPeerSend(*alice,
                            join(join(nameMessage(2, "bob"), nameMessage(2, "alice")),
                                 join(nameMessage(2, "not-a-name"), nameMessage(2, "alice2"))),
                            kWaitMillis));
    EXPECT_EQ(listOf(*alice, 2), join(nameMessage(2, "alice"), nameMessage(2, "alice2")));
    stopCleanly();
    EXPECT_EQ(countOf(server_.log,
                      "MessageHandler: Client sent a name its certificate does not "
                      "grant; such names are ignored."),
              1u)
        << server_.log;
}

TEST_F(TlsTest, CommonNameGrantsTheNameWithoutDnsNames) {
    startServing({"--tls-client-ca", pki("ca.crt"), "--tls-crl", pki("crl-none.pem"), "--tls-names",
                  "cert"});
    TlsPeer* bob = connectAndGreet({pki("ca.crt"), pki("bob.crt"), pki("bob.key")});
    ASSERT_NE(bob, nullptr) << server_.log;
    ASSERT_TRUE(
        tlsPeerSend(*bob, join(nameMessage(2, "alice"), nameMessage(2, "bob")), kWaitMillis));
    EXPECT_EQ(listOf(*bob, 1), nameMessage(2, "bob"));
    stopCleanly();
}

std::string readWhole(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

// What systemctl reload does.
void askToReload(ChildProcess& server) { kill(server.pid, SIGHUP); }

// A reload takes new certificates for new connections, keeps those up
// going, ends a client the new CRL revokes, and one that fails keeps all.
TEST_F(TlsTest, ReloadRotatesCertificatesAndKeepsWhatIsUp) {
    const std::string cert = dir_ + "/cert.pem";
    const std::string key = dir_ + "/key.pem";
    const std::string crl = dir_ + "/crl.pem";
    ASSERT_TRUE(writeFile(cert, readWhole(pki("server.crt"))));
    ASSERT_TRUE(writeFile(key, readWhole(pki("server.key"))));
    ASSERT_TRUE(writeFile(crl, readWhole(pki("crl-none.pem"))));
    ASSERT_TRUE(writeServerConfig(dir_));
    ASSERT_TRUE(startProgram(server_, dir_,
                             serverCommand({"--tls-cert", cert, "--tls-key", key, "--tls-client-ca",
                                            pki("ca.crt"), "--tls-crl", crl}),
                             OutputTo::Pipe));
    port_ = listeningPort(server_);
    ASSERT_NE(port_, 0) << server_.log;
    const TlsPeerFiles alice{pki("ca.crt"), pki("alice.crt"), pki("alice.key")};
    const TlsPeerFiles bob{pki("ca.crt"), pki("bob.crt"), pki("bob.key")};
    TlsPeer* old = connectAndGreet(alice);
    ASSERT_NE(old, nullptr) << server_.log;
    EXPECT_NE(old->peerSubject.find("CN=localhost"), std::string::npos) << old->peerSubject;
    ASSERT_TRUE(tlsPeerSend(*old, nameMessage(2, "alice"), kWaitMillis));
    TlsPeer* revoked = connectAndGreet(bob);
    ASSERT_NE(revoked, nullptr) << server_.log;
    ASSERT_TRUE(tlsPeerSend(*revoked, nameMessage(2, "bob"), kWaitMillis));
    EXPECT_EQ(listOf(*revoked, 2), join(nameMessage(2, "alice"), nameMessage(2, "bob")));

    ASSERT_TRUE(writeFile(cert, readWhole(pki("rotated.crt"))));
    ASSERT_TRUE(writeFile(key, readWhole(pki("rotated.key"))));
    ASSERT_TRUE(writeFile(crl, readWhole(pki("crl-bob.pem"))));
    askToReload(server_);
    ASSERT_TRUE(waitForLog(server_, "reload: Certificates reloaded.\n", kWaitMillis))
        << server_.log;
    EXPECT_TRUE(tlsPeerSeesEnd(*revoked, kWaitMillis)) << "bob's certificate was revoked";
    ASSERT_TRUE(waitForLog(server_, "ClientManager: Client certificate revoked.", kWaitMillis))
        << server_.log;
    TlsPeer* fresh = connectAndGreet(alice);
    ASSERT_NE(fresh, nullptr) << server_.log;
    EXPECT_NE(fresh->peerSubject.find("CN=rotated"), std::string::npos) << fresh->peerSubject;
    EXPECT_EQ(listOf(*old, 1), nameMessage(2, "alice")) << "the old connection goes on";

    // A key that is not the certificate's: nothing changes.
    ASSERT_TRUE(writeFile(key, readWhole(pki("server.key"))));
    askToReload(server_);
    ASSERT_TRUE(waitForLog(
        server_, "reload: Reload failed, keeping the certificates loaded before: " + key + ": ",
        kWaitMillis))
        << server_.log;
    TlsPeer* after = connectAndGreet(alice);
    ASSERT_NE(after, nullptr) << server_.log;
    EXPECT_NE(after->peerSubject.find("CN=rotated"), std::string::npos) << after->peerSubject;
    EXPECT_EQ(listOf(*old, 1), nameMessage(2, "alice"));
    stopCleanly();
}

// Each bad start names its file or option in one line, with the status the
// README gives: 1 for files that cannot be used, 2 for a bad command line.
TEST_F(TlsTest, BadStartUpInputIsOneLineAndItsStatus) {
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string line;
    };
    const std::string missing = dir_ + "/missing.crt";
    const std::vector<Case> cases{
        {{"--tls-cert", missing, "--tls-key", pki("server.key")}, 1, missing},
        {{"--tls-cert", pki("server.crt"), "--tls-key", pki("alice.key")},
         1,
         pki("alice.key") + ": "},
        {{"--tls-cert", pki("ca.cnf"), "--tls-key", pki("server.key")}, 1, pki("ca.cnf") + ": "},
        {{"--tls-cert", pki("server.crt"), "--tls-key", pki("server.key"), "--tls-client-ca",
          pki("ca.crt"), "--tls-crl", pki("ca.crt")},
         1,
         pki("ca.crt") + ": no PEM CRL"},
        {{"--tls-key", pki("server.key")}, 2, "peerdir: --tls-key needs --tls-cert"},
        {{"--tls-cert", pki("server.crt"), "--tls-key", pki("server.key"), "--tls-names", "cert"},
         2,
         "peerdir: --tls-names cert needs --tls-client-ca"},
    };
    ASSERT_TRUE(writeServerConfig(dir_));
    for (const Case& c : cases) {
        ChildProcess server;
        ASSERT_TRUE(startProgram(server, dir_, serverCommand(c.args), OutputTo::PipeWithErrors));
        ASSERT_TRUE(waitForExit(server, kWaitMillis)) << server.log;
        EXPECT_EQ(server.exitStatus, c.status) << server.log;
        EXPECT_NE(server.log.find(c.line), std::string::npos) << server.log;
        EXPECT_EQ(server.log.find("Listening on port"), std::string::npos) << server.log;
        if (c.status == 2) {
            EXPECT_EQ(countOf(server.log, "\n"), 1u) << server.log;
        }
        stopProgram(server);
    }
}

}  // namespace
}  // namespace tls_e2e
}  // namespace peerdir
