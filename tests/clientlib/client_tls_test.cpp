// Client library over TLS, against `openssl s_server` on loopback: the
// certificates are made for each run with the openssl command line, and the
// server sends the Welcome from its standard input. What is checked is what
// keeps a client from talking to the wrong server: the host name and the
// CA, and the client's own certificate when the server asks for one.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "clientlib/client.h"
#include "kit/openssl_tools.h"
#include "kit/server.h"
#include "support/test_support.h"

namespace peerdir {
namespace {

using testing_support::kWaitMillis;

std::string dir;

void makeCertificate(const std::string& name, const std::string& ca, const std::string& altNames) {
    std::string why;
    ASSERT_TRUE(kit::makeCertificate(dir, kit::CertificateRequest{name, ca, altNames}, &why))
        << why;
}

class TlsClientTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        dir = kit::makeScratchDirectory("peerdir-tls-client");
        ASSERT_FALSE(dir.empty());
        makeCertificate("ca", "", "");
        makeCertificate("stranger-ca", "", "");
        makeCertificate("server", "ca", "IP:127.0.0.1,DNS:localhost");
        makeCertificate("elsewhere", "ca", "IP:10.9.9.9,DNS:elsewhere.example");
        makeCertificate("impostor", "stranger-ca", "IP:127.0.0.1,DNS:localhost");
        makeCertificate("alice", "ca", "");
    }

    static void TearDownTestSuite() { kit::removeScratchDirectory(dir); }

    void TearDown() override {
        closeConnection(client_);
        kit::stopProgram(server_);
    }

    // Starts s_server for one connection with the certificate name.
    void serve(const std::string& name, const std::vector<std::string>& extra = {}) {
        kit::stopProgram(server_);
        server_ = kit::ChildProcess{};
        port_ = kit::startOpensslServer(server_, dir, name, extra);
        ASSERT_NE(port_, 0) << server_.log;
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
