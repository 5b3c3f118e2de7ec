// options.h -- the server's command line, parsed into one record.
//
//   peerdir [--config FILE] [--listen ADDRESS] [--max-clients N]
//           [--max-clients-per-address N] [--max-names N] [--stats SECONDS]
//           [--registry etcd://HOST:PORT,...] [--registry-prefix P]
//           [--registry-ca FILE] [--registry-cert FILE] [--registry-key FILE]
//           [--lease-ttl SECONDS] [--keepalive SECONDS]
//           [--max-pending-output MIB] [--idle poll|wait]
//           [--metrics ADDRESS:PORT] [--log FILE]
//           [--tls-cert FILE --tls-key FILE [--tls-client-ca FILE [--tls-crl FILE]
//            [--tls-names cert]]] [--help] [--version]
//   peerdir --service-install [--service-name NAME] [server options...]
//   peerdir --service-uninstall [--service-name NAME]
//
// Parsing is apart from doing: a bad command line is caught whole, with one
// line saying what is wrong, before the server writes anything or opens a
// socket. Each option takes its value as the next argument or after "=".
#ifndef PEERDIR_SERVER_OPTIONS_H
#define PEERDIR_SERVER_OPTIONS_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "shared/shared_registry.h"
#include "tls/tls_server.h"

namespace peerdir {

constexpr std::uint32_t kDefaultMaxClients = 10000;
constexpr std::uint32_t kDefaultMaxNames = 1000;
// A vanished client is found dead within about this many seconds. Below 3
// the first probe, the interval and one probe cannot each be a whole second;
// above 32767 the first probe would pass the longest idle time Linux takes.
constexpr std::uint32_t kDefaultKeepaliveSeconds = 60;
constexpr std::uint32_t kLeastKeepaliveSeconds = 3;
// What clients' unread replies may hold in the process together, in MiB.
// 24 MiB serves four clients that read a 200,000-name list at once, and
// makes clients that never read give way to those that do.
constexpr std::uint32_t kDefaultMaxPendingOutputMiB = 24;
constexpr std::uint32_t kMostPendingOutputMiB = 1u << 20;
constexpr std::uint32_t kMostKeepaliveSeconds = 32767;

// How a thread with nothing to do spends its time: looking every
// millisecond, as the protocol's server always has, or asleep in the kernel
// until its socket or the stop request needs it.
enum class IdleMode { Poll, Wait };

constexpr const char* kDefaultServiceName = "peerdir";
constexpr const char* kServiceLogName = "peerdir.log";
constexpr std::size_t kMostServiceNameLength = 80;

struct ServerOptions {
    std::string configFile = "config.txt";
    // Dotted IPv4 text; empty for the first address of the host's name.
    std::string listenAddress;
    std::uint32_t maxClients = kDefaultMaxClients;  // 0: no limit of the server's own
    // Clients one peer address may hold at once; 0: no limit, as many
    // clients behind one NAT share an address.
    std::uint32_t maxClientsPerAddress = 0;
    std::uint32_t maxNames = kDefaultMaxNames;                  // per client; 0: no limit
    std::uint32_t statsSeconds = 0;                             // 0: no stats line
    std::uint32_t keepaliveSeconds = kDefaultKeepaliveSeconds;  // 0: off
    // MiB that unread replies may hold in the process, all clients together;
    // 0: no limit but each client's own.
    std::uint32_t maxPendingOutputMiB = kDefaultMaxPendingOutputMiB;
    IdleMode idle = IdleMode::Poll;
    // The registry shared on etcd; empty endpoints: this server's own.
    SharedRegistryOptions shared;
    // TLS on the clients' port when tls.certFile is given; with
    // namesFromCertificate a client registers only the names its
    // certificate grants.
    TlsServerFiles tls;
    bool namesFromCertificate = false;
    // Where the metrics and health endpoint listens; off unless metrics.
    bool metrics = false;
    std::string metricsAddress;     // dotted IPv4
    std::uint16_t metricsPort = 0;  // 0: the system picks, and the log says which
    bool help = false;
    bool version = false;
    // The program's version, as the metrics report it; set by main.
    std::string versionText;
    // Where the log goes; empty: standard output, or without a console
    // kServiceLogName beside the configuration file.
    std::string logFile;
    // Install or remove the server as the service serviceName (Windows).
    bool serviceInstall = false;
    bool serviceUninstall = false;
    std::string serviceName = kDefaultServiceName;
};

// Parses the arguments after the program name. False, with *problem holding
// one line that says what is wrong, on an unknown option, a positional
// argument, a missing value, a number that is not a plain non-negative
// decimal or does not fit, or an address that is not dotted IPv4; the
// registry's TLS files without https endpoints, or a certificate without
// its key; TLS options that do not go together (a key without a
// certificate, say); and --registry (with its TLS files), --metrics or a TLS
// option in a build that lacks it.
bool parseServerOptions(const std::vector<std::string>& args, ServerOptions* options,
                        std::string* problem);

// The command line a service installed with args runs: args without the
// service options, with the --config and --log files made absolute by
// absolute (a service starts in the system's directory), and --config added
// for the default file when args name none.
std::vector<std::string> serviceArguments(const std::vector<std::string>& args,
                                          std::string (*absolute)(const std::string&));

// kServiceLogName in the directory of configFile, which is absolute or
// relative to the working directory; either separator, / or \, counts.
std::string logBesideConfig(const std::string& configFile);

// What --help prints: every option with its default.
std::string serverUsage();

// True for four decimal numbers from 0 to 255 joined by dots, each without
// a sign, blanks or leading zeros (which some readers take for octal).
bool isDottedIpv4(const std::string& text);

// Splits "ADDRESS:PORT", a dotted IPv4 address and a decimal port from 0 to
// 65535; false for anything else.
bool parseAddressAndPort(const std::string& text, std::string* address, std::uint16_t* port);

// The client limit the server keeps: the one asked for, lowered where the
// descriptor limit is too small to serve that many with room to spare for
// the server's own (kDescriptorReserve). descriptorLimit 0 means the
// platform has no such limit; a limit of kDescriptorReserve or less lowers
// nothing, and neither does an asked-for 0 (no limit).
constexpr std::size_t kDescriptorReserve = 32;
std::uint32_t effectiveClientLimit(std::uint32_t asked, std::size_t descriptorLimit);

}  // namespace peerdir

#endif
