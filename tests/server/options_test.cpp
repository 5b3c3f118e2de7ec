// The server's command line: every option in both forms, every kind of bad
// argument refused with one line, and the client limit the descriptor
// limit allows.
#include "server/options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "metrics/metrics_endpoint.h"
#include "platform/service.h"
#include "tls/tls_server.h"

namespace peerdir {
namespace {

bool parse(const std::vector<std::string>& args, ServerOptions* options, std::string* problem) {
    *options = ServerOptions{};
    problem->clear();
    return parseServerOptions(args, options, problem);
}

TEST(ServerOptions, NoArgumentsGiveTheDefaults) {
    ServerOptions options;
    std::string problem;
    ASSERT_TRUE(parse({}, &options, &problem));
    EXPECT_EQ(options.configFile, "config.txt");
    EXPECT_EQ(options.listenAddress, "");
    EXPECT_EQ(options.maxClients, 10000u);
    EXPECT_EQ(options.maxNames, 1000u);
    EXPECT_EQ(options.maxClientsPerAddress, 0u);
    EXPECT_EQ(options.statsSeconds, 0u);
    EXPECT_EQ(options.maxPendingOutputMiB, 24u);
    EXPECT_FALSE(options.help || options.version);
}

TEST(ServerOptions, EveryOptionTakesItsValueAfterItOrAfterAnEqualsSign) {
    ServerOptions options;
    std::string problem;
    ASSERT_TRUE(parse({"--config", "/etc/peerdir/config.txt", "--listen=0.0.0.0", "--max-clients",
                       "0", "--max-names=4294967295", "--stats", "60", "--max-pending-output",
                       "1048576", "--max-clients-per-address=3", "--version"},
                      &options, &problem))
        << problem;
    EXPECT_EQ(options.configFile, "/etc/peerdir/config.txt");
    EXPECT_EQ(options.listenAddress, "0.0.0.0");
    EXPECT_EQ(options.maxClients, 0u);
    EXPECT_EQ(options.maxNames, 4294967295u);
    EXPECT_EQ(options.statsSeconds, 60u);
    EXPECT_EQ(options.maxPendingOutputMiB, 1048576u);
    EXPECT_EQ(options.maxClientsPerAddress, 3u);
    EXPECT_TRUE(options.version);
}

TEST(ServerOptions, EachKindOfBadCommandLineIsRefusedWithOneLine) {
    const std::vector<std::vector<std::string>> bad = {
        {"--bogus"},
        {"-x"},
        {"config.txt"},
        {"--max-names"},
        {"--max-names", "-1"},
        {"--max-names", "+5"},
        {"--max-names", "1e3"},
        {"--max-clients", ""},
        {"--max-clients", " 5"},
        {"--max-clients", "4294967296"},
        {"--max-clients-per-address", "-1"},
        {"--max-clients-per-address", "two"},
        {"--max-clients-per-address"},
        {"--stats", "ten"},
        {"--keepalive", "2"},
        {"--keepalive", "32768"},
        {"--keepalive", "-60"},
        {"--max-pending-output", "1048577"},
        {"--max-pending-output", "32M"},
        {"--idle", "sleep"},
        {"--idle", "Wait"},
        {"--idle", ""},
        {"--listen", "1.2.3"},
        {"--listen", "1.2.3.4.5"},
        {"--listen", "256.1.1.1"},
        {"--listen", "01.2.3.4"},
        {"--listen", "localhost"},
        {"--listen", "1.2.3.4 "},
        {"--help=yes"},
        {"--config", ""},
        {"--registry-prefix", ""},
        {"--registry-prefix=a/b"},
        {"--registry-prefix", "/"},
        {"--registry-ca", ""},
        {"--registry-ca", "ca.pem"},
        {"--registry", "etcd://h:1", "--registry-ca", "ca.pem"},
        {"--registry", "http://h:1", "--registry-cert", "c.pem", "--registry-key", "k.pem"},
        {"--registry", "https://h:1", "--registry-cert", "c.pem"},
        {"--registry", "https://h:1", "--registry-key", "k.pem"},
        {"--registry", "https://h:1,etcd://g:1"},
        {"--metrics", "9642"},
        {"--metrics", "127.0.0.1"},
        {"--metrics", "127.0.0.1:"},
        {"--metrics", "127.0.0.1:65536"},
        {"--metrics", "127.0.0.1:000009642"},
        {"--metrics", "localhost:9642"},
        {"--metrics", "127.0.0.1:-1"},
        {"--metrics", ":9642"},
    };
    for (const auto& args : bad) {
        ServerOptions options;
        std::string problem;
        EXPECT_FALSE(parse(args, &options, &problem)) << args[0];
        EXPECT_FALSE(problem.empty()) << args[0];
        EXPECT_EQ(problem.find('\n'), std::string::npos) << problem;
    }
}

// In a build without the endpoint every value is refused, with the line
// that says so.
TEST(ServerOptions, MetricsTakesAnAddressAndAPortWhereTheEndpointIsBuilt) {
    ServerOptions options;
    std::string problem;
    const bool parsed = parse({"--metrics=127.0.0.1:9642"}, &options, &problem);
    if (!metricsEndpointBuilt()) {
        EXPECT_FALSE(parsed);
        EXPECT_EQ(problem, "this build has no metrics endpoint.");
        return;
    }
    ASSERT_TRUE(parsed) << problem;
    EXPECT_TRUE(options.metrics);
    EXPECT_EQ(options.metricsAddress, "127.0.0.1");
    EXPECT_EQ(options.metricsPort, 9642u);
    ASSERT_TRUE(parse({"--metrics", "0.0.0.0:0"}, &options, &problem)) << problem;
    EXPECT_EQ(options.metricsPort, 0u);
    ASSERT_TRUE(parse({}, &options, &problem));
    EXPECT_FALSE(options.metrics);
}

// The registry's TLS files go with https endpoints; a build without the
// shared registry refuses them as it refuses --registry.
TEST(ServerOptions, RegistryTlsFilesGoWithHttpsEndpoints) {
    ServerOptions options;
    std::string problem;
    const bool parsed =
        parse({"--registry=https://10.0.0.1:2379,10.0.0.2:2379", "--registry-ca", "ca.pem",
               "--registry-cert=peerdir.pem", "--registry-key", "peerdir.key"},
              &options, &problem);
    if (!sharedRegistryBuilt()) {
        EXPECT_FALSE(parsed);
        EXPECT_EQ(problem, "this build has no shared registry.");
        EXPECT_FALSE(parse({"--registry-cert", "peerdir.pem"}, &options, &problem));
        EXPECT_EQ(problem, "this build has no shared registry.");
        return;
    }
    ASSERT_TRUE(parsed) << problem;
    EXPECT_EQ(options.shared.caFile, "ca.pem");
    EXPECT_EQ(options.shared.certFile, "peerdir.pem");
    EXPECT_EQ(options.shared.keyFile, "peerdir.key");
    // The system's trust store, no client certificate.
    EXPECT_TRUE(parse({"--registry", "https://10.0.0.1:2379"}, &options, &problem)) << problem;
    EXPECT_FALSE(parse({"--registry", "etcd://10.0.0.1:2379", "--registry-ca", "ca.pem"}, &options,
                       &problem));
    EXPECT_EQ(problem,
              "--registry-ca, --registry-cert and --registry-key need https:// etcd endpoints in "
              "--registry");
}

// Where TLS is built, the options that need another come with it or are
// refused; where it is not (Windows), every TLS option is refused with the
// line that says so.
TEST(ServerOptions, TlsOptionsComeTogetherWhereTlsIsBuilt) {
    ServerOptions options;
    std::string problem;
    const std::vector<std::string> full{"--tls-cert",      "c.pem",  "--tls-key", "k.pem",
                                        "--tls-client-ca", "ca.pem", "--tls-crl", "crl.pem",
                                        "--tls-names",     "cert"};
    if (!tlsBuilt()) {
        for (const char* option :
             {"--tls-cert", "--tls-key", "--tls-client-ca", "--tls-crl", "--tls-names"}) {
            EXPECT_FALSE(parse({option, "cert"}, &options, &problem)) << option;
            EXPECT_EQ(problem, "this build has no TLS.");
        }
        return;
    }
    ASSERT_TRUE(parse(full, &options, &problem)) << problem;
    EXPECT_EQ(options.tls.certFile, "c.pem");
    EXPECT_EQ(options.tls.keyFile, "k.pem");
    EXPECT_EQ(options.tls.clientCaFile, "ca.pem");
    EXPECT_EQ(options.tls.crlFile, "crl.pem");
    EXPECT_TRUE(options.namesFromCertificate);
    const std::vector<std::pair<std::vector<std::string>, std::string>> refused{
        {{"--tls-cert", "c.pem"}, "--tls-cert needs --tls-key"},
        {{"--tls-key", "k.pem"}, "--tls-key needs --tls-cert"},
        {{"--tls-client-ca", "ca.pem"}, "--tls-client-ca needs --tls-cert and --tls-key"},
        {{"--tls-cert", "c.pem", "--tls-key", "k.pem", "--tls-crl", "crl.pem"},
         "--tls-crl needs --tls-client-ca"},
        {{"--tls-cert", "c.pem", "--tls-key", "k.pem", "--tls-names", "cert"},
         "--tls-names cert needs --tls-client-ca"},
        {{"--tls-names", "all"}, "bad value \"all\" for --tls-names: give cert"},
    };
    for (const auto& [args, line] : refused) {
        ServerOptions fresh;
        EXPECT_FALSE(parse(args, &fresh, &problem)) << args[0];
        EXPECT_EQ(problem, line);
    }
}

TEST(ServerOptions, UsageNamesEveryOptionWithItsDefault) {
    const std::string usage = serverUsage();
    for (const char* text :
         {"--config FILE", "--listen ADDRESS", "--max-clients N", "10000",
          "--max-clients-per-address N", "--max-names N", "1000", "--stats SECONDS",
          "--max-pending-output MIB", "--help", "--version"}) {
        EXPECT_NE(usage.find(text), std::string::npos) << text;
    }
}

// Service options exist only where there is a service manager; elsewhere
// every one of them is refused with the same line, whatever its value.
TEST(ServerOptions, ServiceOptionsAreCheckedWholeBeforeAnythingIsInstalled) {
    ServerOptions options;
    std::string problem;
    if (!servicesSupported()) {
        for (const std::vector<std::string>& args : {std::vector<std::string>{"--service-install"},
                                                     {"--service-uninstall"},
                                                     {"--service-name", "x", "--service-install"},
                                                     {"--service-install=yes"}}) {
            EXPECT_FALSE(parse(args, &options, &problem)) << args[0];
            EXPECT_EQ(problem, "service options are for Windows.");
        }
        return;
    }
    ASSERT_TRUE(parse({"--service-install", "--service-name=peerdir-2", "--max-names", "5"},
                      &options, &problem))
        << problem;
    EXPECT_TRUE(options.serviceInstall);
    EXPECT_EQ(options.serviceName, "peerdir-2");
    ASSERT_TRUE(parse({"--service-uninstall"}, &options, &problem)) << problem;
    EXPECT_EQ(options.serviceName, "peerdir");
    const std::vector<std::vector<std::string>> bad = {
        {"--service-install=yes"},
        {"--service-uninstall", "now"},
        {"--service-install", "--service-uninstall"},
        {"--service-uninstall", "--config", "c.txt"},
        {"--service-name", "x"},
        {"--service-install", "--service-name", ""},
        {"--service-install", "--service-name", "a b"},
        {"--service-install", "--service-name", "a\\b"},
        {"--service-install", "--max-names", "many"},
        {"--service-install", "--log", ""},
    };
    for (const auto& args : bad) {
        EXPECT_FALSE(parse(args, &options, &problem)) << args.back();
        EXPECT_EQ(problem.find('\n'), std::string::npos) << problem;
    }
}

std::string underRoot(const std::string& path) {
    return path.rfind("/", 0) == 0 ? path : "/root/" + path;
}

TEST(ServiceArguments, DropTheServiceOptionsAndMakeTheFilesAbsolute) {
    EXPECT_EQ(serviceArguments({"--service-install", "--service-name", "two", "--config", "c.txt",
                                "--log=logs/p.log", "--max-names", "5"},
                               underRoot),
              (std::vector<std::string>{"--config", "/root/c.txt", "--log", "/root/logs/p.log",
                                        "--max-names", "5"}));
    EXPECT_EQ(
        serviceArguments({"--service-name=two", "--service-install", "--idle=wait"}, underRoot),
        (std::vector<std::string>{"--idle", "wait", "--config", "/root/config.txt"}))
        << "a service starts in the system's directory, so the default file is named in full";
    EXPECT_EQ(serviceArguments({"--service-install", "--config", "/etc/c.txt"}, underRoot),
              (std::vector<std::string>{"--config", "/etc/c.txt"}));
}

TEST(ServiceArguments, TheDefaultLogLiesBesideTheConfiguration) {
    EXPECT_EQ(logBesideConfig("C:\\peerdir\\config.txt"), "C:\\peerdir\\peerdir.log");
    EXPECT_EQ(logBesideConfig("/etc/peerdir/config.txt"), "/etc/peerdir/peerdir.log");
    EXPECT_EQ(logBesideConfig("config.txt"), "peerdir.log");
}

TEST(ClientLimit, IsLoweredToTheDescriptorLimitLessWhatTheServerKeepsForItself) {
    EXPECT_EQ(effectiveClientLimit(10000, 20000), 10000u);
    EXPECT_EQ(effectiveClientLimit(10000, 10032), 10000u);
    EXPECT_EQ(effectiveClientLimit(10000, 1024), 992u);
    EXPECT_EQ(effectiveClientLimit(10000, 33), 1u);
    EXPECT_EQ(effectiveClientLimit(10000, 32), 10000u) << "a limit of 32 or less lowers nothing";
    EXPECT_EQ(effectiveClientLimit(10000, 0), 10000u) << "no descriptor limit";
    EXPECT_EQ(effectiveClientLimit(0, 1024), 0u) << "no client limit";
}

}  // namespace
}  // namespace peerdir
