// Client library over TLS, against `openssl s_server` on loopback: the
// certificates are made for each run with the openssl command line, and the
// server sends the Welcome from its standard input. What is checked is what
// keeps a client from talking to the wrong server: the host name and the
// CA, and the client's own certificate when the server asks for one.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "clientlib/client.h"
#include "kit/process.h"
#include "kit/server.h"
#include "support/test_support.h"

namespace peerdir {
namespace {

using testing_support::kWaitMillis;

std::string dir;

bool runOpenssl(const std::vector<std::string>& args) {
    kit::ChildProcess openssl;
    std::vector<std::string> command = {"openssl"};
    command.insert(command.end(), args.begin(), args.end());
    if (!kit::startProgram(openssl, dir, command, kit::OutputTo::PipeWithErrors)) return false;
    bool ended = kit::waitForExit(openssl, kWaitMillis);
    EXPECT_TRUE(ended && openssl.exitStatus == 0) << openssl.log;
    return ended && openssl.exitStatus == 0;
}

// name.pem and name.key: an ECDSA P-256 certificate signed by ca (or
// self-signed, for a CA, when ca is empty) with the given subjectAltName.
bool makeCertificate(const std::string& name, const std::string& ca, const std::string& altNames) {
    std::vector<std::string> args = {
        "req",         "-x509", "-newkey",    "ec",    "-pkeyopt",    "ec_paramgen_curve:P-256",
        "-nodes",      "-days", "2",          "-subj", "/CN=" + name, "-keyout",
        name + ".key", "-out",  name + ".pem"};
    if (!ca.empty()) {
        args.insert(args.end(), {"-CA", ca + ".pem", "-CAkey", ca + ".key"});
    }
    if (!altNames.empty()) args.insert(args.end(), {"-addext", "subjectAltName=" + altNames});
    return runOpenssl(args);
}

class TlsClientTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        dir = kit::makeScratchDirectory("peerdir-tls-client");
        ASSERT_FALSE(dir.empty());
        ASSERT_TRUE(makeCertificate("ca", "", ""));
        ASSERT_TRUE(makeCertificate("stranger-ca", "", ""));
        ASSERT_TRUE(makeCertificate("server", "ca", "IP:127.0.0.1,DNS:localhost"));
        ASSERT_TRUE(makeCertificate("elsewhere", "ca", "IP:10.9.9.9,DNS:elsewhere.example"));
        ASSERT_TRUE(makeCertificate("impostor", "stranger-ca", "IP:127.0.0.1,DNS:localhost"));
        ASSERT_TRUE(makeCertificate("alice", "ca", ""));
    }

    static void TearDownTestSuite() { kit::removeScratchDirectory(dir); }

    void TearDown() override {
        closeConnection(client_);
        kit::stopProgram(server_);
    }

    // Starts s_server for one connection with the certificate name, and
    // queues the Welcome it sends once a client is there.
    void serve(const std::string& name, const std::vector<std::string>& extra = {}) {
        kit::stopProgram(server_);
        server_ = kit::ChildProcess{};
        std::vector<std::string> command = {"openssl",  "s_server",   "-accept", "127.0.0.1:0",
                                            "-naccept", "1",          "-cert",   name + ".pem",
                                            "-key",     name + ".key"};
        command.insert(command.end(), extra.begin(), extra.end());
        ASSERT_TRUE(kit::startProgram(server_, dir, command, kit::OutputTo::PipeWithErrors));
        std::string port = kit::lineAfter(server_, "ACCEPT 127.0.0.1:", kWaitMillis);
        ASSERT_FALSE(port.empty()) << server_.log;
        port_ = static_cast<std::uint16_t>(std::stoul(port));
        kit::writeInput(server_, std::string(4, '\0'));
    }

    void connect(const std::string& host, TlsClientSettings settings) {
        closeConnection(client_);
        client_ = connectToServer(host, port_, kWaitMillis, &settings);
    }

    static TlsClientSettings trusting(const std::string& ca) {
        TlsClientSettings settings;
        settings.caFile = dir + "/" + ca + ".pem";
        return settings;
    }

    kit::ChildProcess server_;
    std::uint16_t port_ = 0;
    ClientConnection client_;
};

TEST_F(TlsClientTest, TheServerCertificateMustNameTheHostUnlessToldOtherwise) {
    serve("elsewhere");
    connect("127.0.0.1", trusting("ca"));
    EXPECT_EQ(client_.error, ClientError::TlsFailed);
    EXPECT_EQ(client_.socket, kNoSocket);
    EXPECT_NE(client_.message.find("certificate verify failed (IP address mismatch)"),
              std::string::npos)
        << client_.message;

    serve("elsewhere");
    connect("localhost", trusting("ca"));
    EXPECT_EQ(client_.error, ClientError::TlsFailed);
    EXPECT_NE(client_.message.find("hostname mismatch"), std::string::npos) << client_.message;

    serve("elsewhere");
    TlsClientSettings unchecked = trusting("ca");
    unchecked.checkHostName = false;
    connect("127.0.0.1", unchecked);
    EXPECT_EQ(client_.error, ClientError::None) << client_.message;

    for (const char* host : {"127.0.0.1", "localhost"}) {
        serve("server");
        connect(host, trusting("ca"));
        EXPECT_EQ(client_.error, ClientError::None) << host << ": " << client_.message;
    }
}

TEST_F(TlsClientTest, ACertificateFromAnUntrustedCaIsRefused) {
    serve("impostor");
    connect("127.0.0.1", trusting("ca"));
    EXPECT_EQ(client_.error, ClientError::TlsFailed);
    EXPECT_NE(client_.message.find("certificate verify failed"), std::string::npos)
        << client_.message;

    // Not even without the host-name check.
    serve("impostor");
    TlsClientSettings unchecked = trusting("ca");
    unchecked.checkHostName = false;
    connect("127.0.0.1", unchecked);
    EXPECT_EQ(client_.error, ClientError::TlsFailed) << client_.message;
}

TEST_F(TlsClientTest, TheClientCertificateIsShownWhenTheServerAsksAndRequestsGoThrough) {
    const std::vector<std::string> asking = {"-Verify", "1", "-CAfile", "ca.pem"};
    serve("server", asking);
    connect("127.0.0.1", trusting("ca"));
    EXPECT_EQ(client_.error, ClientError::TlsFailed);
    EXPECT_NE(client_.message.find("certificate required"), std::string::npos) << client_.message;

    serve("server", asking);
    TlsClientSettings withCertificate = trusting("ca");
    withCertificate.certFile = dir + "/alice.pem";
    withCertificate.keyFile = dir + "/alice.key";
    connect("127.0.0.1", withCertificate);
    ASSERT_EQ(client_.error, ClientError::None) << client_.message;
    EXPECT_TRUE(kit::waitForLog(server_, "depth=0 CN = alice", kWaitMillis)) << server_.log;
    // Inside TLS the request is the same bytes as in plain mode.
    ASSERT_TRUE(registerName(client_, "carol"));
    std::string wire = std::string("\0\0\0\2carol", 9) + std::string(15, '\0');
    EXPECT_TRUE(kit::waitForLog(server_, wire, kWaitMillis));
}

TEST_F(TlsClientTest, FilesThatCannotBeUsedAreFoundBeforeConnecting) {
    // Nothing listens on port_ = 1, so any connection would be refused.
    port_ = 1;
    connect("127.0.0.1", trusting("missing"));
    EXPECT_EQ(client_.error, ClientError::TlsSetup);
    EXPECT_NE(client_.message.find("missing.pem\": No such file or directory"), std::string::npos)
        << client_.message;

    TlsClientSettings mismatched = trusting("ca");
    mismatched.certFile = dir + "/alice.pem";
    mismatched.keyFile = dir + "/server.key";
    connect("127.0.0.1", mismatched);
    EXPECT_EQ(client_.error, ClientError::TlsSetup);
    EXPECT_NE(client_.message.find("server.key"), std::string::npos) << client_.message;
}

}  // namespace
}  // namespace peerdir
