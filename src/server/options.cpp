// options.cpp -- the server's command line.
#include "server/options.h"

#include <cstring>
#include <limits>

#include "metrics/metrics_endpoint.h"
#include "platform/service.h"

namespace peerdir {

namespace {

struct OptionInfo {
    const char* name;
    const char* value;  // what its value is called in the help; nullptr: none
    const char* help;
};

const OptionInfo kOptions[] = {
    {"--config", "FILE", "read FILE instead of config.txt in the working directory"},
    {"--listen", "ADDRESS",
     "listen on this dotted IPv4 address, 0.0.0.0 for every interface\n"
     "                     (default: the first address of the host's name)"},
    {"--max-clients", "N",
     "serve at most N clients at once; 0: no limit but the system's (default: 10000)"},
    {"--max-clients-per-address", "N",
     "\n                     serve at most N clients at once from one address; 0: no\n"
     "                     limit, as clients behind one NAT share one (default: 0)"},
    {"--max-names", "N", "register at most N names per client; 0: no limit (default: 1000)"},
    {"--stats", "SECONDS", "write a stats line every SECONDS; 0: never (default: 0)"},
    {"--registry", "etcd://HOST:PORT[,HOST:PORT...]",
     "\n                     share one registry with other servers on these etcd endpoints;\n"
     "                     https:// instead of etcd:// for TLS (default: none; this\n"
     "                     server keeps its own)"},
    {"--registry-prefix", "P", "the shared registry's keys begin P/ (default: peerdir)"},
    {"--registry-ca", "FILE",
     "with https:// endpoints: trust only this CA (PEM) for etcd's\n"
     "                     certificate (default: the system's trust store)"},
    {"--registry-cert", "FILE",
     "with https:// endpoints: this server's client certificate (PEM)\n"
     "                     for etcd's --client-cert-auth; needs --registry-key"},
    {"--registry-key", "FILE", "the client certificate's unencrypted private key (PEM)"},
    {"--lease-ttl", "SECONDS",
     "a stopped server's names leave the shared registry within SECONDS,\n"
     "                     at least 2 (default: 10)"},
    {"--keepalive", "SECONDS",
     "end a client that vanished without a word within about SECONDS,\n"
     "                     3 to 32767; 0: never (default: 60)"},
    {"--max-pending-output", "MIB",
     "\n                     unread replies of all clients together hold at most MIB MiB\n"
     "                     in the server, 1 to 1048576; 0: no total, each client at\n"
     "                     most 8 MiB (default: 24)"},
    {"--idle", "poll|wait",
     "poll: each client's thread looks at its socket every millisecond\n"
     "                     (default); wait: it sleeps in the kernel until there is\n"
     "                     something to do, so idle clients cost no CPU"},
    {"--metrics", "ADDRESS:PORT",
     "\n                     serve Prometheus metrics, /livez and /readyz over HTTP here,\n"
     "                     such as 127.0.0.1:9642; port 0: the system picks (default: off)"},
    {"--log", "FILE", "append the log to FILE instead of writing it to standard output"},
    {"--tls-cert", "FILE",
     "speak TLS only on the clients' port, with this PEM certificate\n"
     "                     (and any intermediates after it); needs --tls-key"},
    {"--tls-key", "FILE", "the PEM private key of --tls-cert"},
    {"--tls-client-ca", "FILE", "clients must present a certificate that chains to this PEM CA"},
    {"--tls-crl", "FILE", "refuse client certificates this PEM CRL revokes; needs --tls-client-ca"},
    {"--tls-names", "cert",
     "a client registers only the names its certificate grants (its DNS\n"
     "                     subjectAltNames, or its CN without any); needs --tls-client-ca"},
    {"--service-install", nullptr,
     "Windows: install the server, with the other options given, as a\n"
     "                     service that starts at boot, then exit"},
    {"--service-uninstall", nullptr, "Windows: stop and remove the service, then exit"},
    {"--service-name", "NAME", "Windows: the service's name (default: peerdir)"},
    {"--help", nullptr, "print this help and exit"},
    {"--version", nullptr, "print the version and exit"},
};

const OptionInfo* findOption(const std::string& name) {
    for (const OptionInfo& option : kOptions) {
        if (name == option.name) return &option;
    }
    return nullptr;
}

// Digits only, with no sign or blanks, that fit in 32 bits.
bool parseCount(const std::string& text, std::uint32_t* value) {
    if (text.empty()) return false;
    std::uint64_t number = 0;
    for (char digit : text) {
        if (digit < '0' || digit > '9') return false;
        number = number * 10 + static_cast<std::uint64_t>(digit - '0');
        if (number > std::numeric_limits<std::uint32_t>::max()) return false;
    }
    *value = static_cast<std::uint32_t>(number);
    return true;
}

bool setCount(const std::string& name, const std::string& value, std::uint32_t* field,
              std::string* problem) {
    if (parseCount(value, field)) return true;
    *problem = "bad value \"" + value + "\" for " + name + ": give a whole number from 0 to " +
               std::to_string(std::numeric_limits<std::uint32_t>::max());
    return false;
}

// The keys below the prefix are parted by "/": a prefix holding one could
// put one community's keys under another's.
bool setPrefix(const std::string& value, SharedRegistryOptions* shared, std::string* problem) {
    shared->prefix = value;
    if (value.empty()) {
        *problem = "--registry-prefix needs a prefix";
        return false;
    }
    if (value.find('/') == std::string::npos) return true;
    *problem = "bad value \"" + value + "\" for --registry-prefix: give a prefix without \"/\"";
    return false;
}

// Refused like --registry itself where there is no shared registry.
bool setTlsFile(const std::string& name, const std::string& value, std::string* field,
                std::string* problem) {
    *field = value;
    if (!sharedRegistryBuilt()) {
        *problem = "this build has no shared registry.";
    } else if (value.empty()) {
        *problem = name + " needs a file name";
    }
    return problem->empty();
}

bool setSharedValue(const std::string& name, const std::string& value,
                    SharedRegistryOptions* shared, std::string* problem) {
    if (name == "--registry") {
        shared->endpoints = value;
        return checkSharedRegistryEndpoints(value, problem);
    }
    if (name == "--registry-prefix") return setPrefix(value, shared, problem);
    if (name == "--registry-ca") return setTlsFile(name, value, &shared->caFile, problem);
    if (name == "--registry-cert") return setTlsFile(name, value, &shared->certFile, problem);
    if (name == "--registry-key") return setTlsFile(name, value, &shared->keyFile, problem);
    std::uint32_t ttl = 0;
    if (!setCount(name, value, &ttl, problem)) return false;
    shared->leaseTtlSeconds = ttl;
    if (ttl >= kLeastLeaseTtlSeconds) return true;
    *problem = "--lease-ttl must be at least " + std::to_string(kLeastLeaseTtlSeconds) + " seconds";
    return false;
}

bool setKeepalive(const std::string& name, const std::string& value, std::uint32_t* field,
                  std::string* problem) {
    std::uint32_t seconds = 0;
    if (parseCount(value, &seconds) &&
        (seconds == 0 || (seconds >= kLeastKeepaliveSeconds && seconds <= kMostKeepaliveSeconds))) {
        *field = seconds;
        return true;
    }
    *problem = "bad value \"" + value + "\" for " + name +
               ": give 0 (off) or a whole number from " + std::to_string(kLeastKeepaliveSeconds) +
               " to " + std::to_string(kMostKeepaliveSeconds);
    return false;
}

bool setIdle(const std::string& value, IdleMode* mode, std::string* problem) {
    if (value == "poll" || value == "wait") {
        *mode = value == "poll" ? IdleMode::Poll : IdleMode::Wait;
        return true;
    }
    *problem = "bad value \"" + value + "\" for --idle: give poll or wait";
    return false;
}

// MiB up to a TiB; a 32-bit build holds any bound past its address space
// to what that space can hold.
bool setPendingOutput(const std::string& value, ServerOptions* options, std::string* problem) {
    std::uint32_t mib = 0;
    if (parseCount(value, &mib) && mib <= kMostPendingOutputMiB) {
        options->maxPendingOutputMiB = mib;
        return true;
    }
    *problem = "bad value \"" + value + "\" for --max-pending-output: give MiB from 0 to " +
               std::to_string(kMostPendingOutputMiB);
    return false;
}

bool setMetrics(const std::string& value, ServerOptions* options, std::string* problem) {
    if (!metricsEndpointBuilt()) {
        *problem = "this build has no metrics endpoint.";
        return false;
    }
    options->metrics = true;
    if (parseAddressAndPort(value, &options->metricsAddress, &options->metricsPort)) return true;
    *problem = "bad value \"" + value +
               "\" for --metrics: give a dotted IPv4 address and a port, such as 127.0.0.1:9642";
    return false;
}

// Letters, digits and . _ - only: the name goes into the service manager's
// database and the event log, and onto command lines unquoted.
bool setServiceName(const std::string& value, std::string* field, std::string* problem) {
    *field = value;
    bool plain = !value.empty() && value.size() <= kMostServiceNameLength;
    for (char c : value) {
        plain = plain && ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                          (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-');
    }
    if (plain) return true;
    *problem = "bad value \"" + value + "\" for --service-name: give up to " +
               std::to_string(kMostServiceNameLength) + " letters, digits, '.', '_' or '-'";
    return false;
}

bool isTlsOption(const std::string& name) { return name.rfind("--tls-", 0) == 0; }

bool setTlsValue(const std::string& name, const std::string& value, ServerOptions* options,
                 std::string* problem) {
    if (name == "--tls-names") {
        options->namesFromCertificate = value == "cert";
        if (options->namesFromCertificate) return true;
        *problem = "bad value \"" + value + "\" for --tls-names: give cert";
        return false;
    }
    std::string* field = name == "--tls-cert"        ? &options->tls.certFile
                         : name == "--tls-key"       ? &options->tls.keyFile
                         : name == "--tls-client-ca" ? &options->tls.clientCaFile
                                                     : &options->tls.crlFile;
    *field = value;
    if (!value.empty()) return true;
    *problem = name + " needs a file name";
    return false;
}

// Each TLS option but the certificate and key needs another to mean
// anything; one given without it is a mistake, not a default.
bool checkTlsOptions(const ServerOptions& options, std::string* problem) {
    const TlsServerFiles& tls = options.tls;
    if (!tls.keyFile.empty() && tls.certFile.empty()) {
        *problem = "--tls-key needs --tls-cert";
    } else if (!tls.certFile.empty() && tls.keyFile.empty()) {
        *problem = "--tls-cert needs --tls-key";
    } else if (!tls.clientCaFile.empty() && tls.certFile.empty()) {
        *problem = "--tls-client-ca needs --tls-cert and --tls-key";
    } else if (!tls.crlFile.empty() && tls.clientCaFile.empty()) {
        *problem = "--tls-crl needs --tls-client-ca";
    } else if (options.namesFromCertificate && tls.clientCaFile.empty()) {
        *problem = "--tls-names cert needs --tls-client-ca";
    } else {
        return true;
    }
    return false;
}

bool setValue(const std::string& name, const std::string& value, ServerOptions* options,
              std::string* problem) {
    if (isTlsOption(name)) return setTlsValue(name, value, options, problem);
    if (name == "--log") {
        options->logFile = value;
        if (!value.empty()) return true;
        *problem = "--log needs a file name";
        return false;
    }
    if (name == "--service-name") return setServiceName(value, &options->serviceName, problem);
    if (name == "--config") {
        options->configFile = value;
        if (!value.empty()) return true;
        *problem = "--config needs a file name";
        return false;
    }
    if (name == "--listen") {
        options->listenAddress = value;
        if (isDottedIpv4(value)) return true;
        *problem = "bad address \"" + value + "\" for --listen: give dotted IPv4, such as 0.0.0.0";
        return false;
    }
    if (name == "--max-clients") return setCount(name, value, &options->maxClients, problem);
    if (name == "--max-clients-per-address")
        return setCount(name, value, &options->maxClientsPerAddress, problem);
    if (name == "--max-names") return setCount(name, value, &options->maxNames, problem);
    if (name == "--stats") return setCount(name, value, &options->statsSeconds, problem);
    if (name == "--keepalive")
        return setKeepalive(name, value, &options->keepaliveSeconds, problem);
    if (name == "--max-pending-output") return setPendingOutput(value, options, problem);
    if (name == "--idle") return setIdle(value, &options->idle, problem);
    if (name == "--metrics") return setMetrics(value, options, problem);
    return setSharedValue(name, value, &options->shared, problem);
}

void setFlag(const std::string& name, ServerOptions* options) {
    if (name == "--help") options->help = true;
    if (name == "--version") options->version = true;
    if (name == "--service-install") options->serviceInstall = true;
    if (name == "--service-uninstall") options->serviceUninstall = true;
}

bool isServiceOption(const std::string& name) { return name.rfind("--service-", 0) == 0; }

// The argument's option name, without a value given after "=".
std::string optionName(const std::string& arg) { return arg.substr(0, arg.find('=')); }

// Install takes the server's options with it; uninstall takes none, and
// a service name means nothing without one of the two.
bool checkServiceOptions(const std::vector<std::string>& args, const ServerOptions& options,
                         std::string* problem) {
    bool named = false;
    bool serverOption = false;
    for (const std::string& arg : args) {
        std::string name = optionName(arg);
        named = named || name == "--service-name";
        serverOption = serverOption || (!isServiceOption(name) && findOption(name) != nullptr &&
                                        findOption(name)->value != nullptr);
    }
    if (options.serviceInstall && options.serviceUninstall) {
        *problem = "give --service-install or --service-uninstall, not both";
        return false;
    }
    if (options.serviceUninstall && serverOption) {
        *problem = "--service-uninstall takes no server options, only --service-name";
        return false;
    }
    if (named && !options.serviceInstall && !options.serviceUninstall) {
        *problem = "--service-name goes with --service-install or --service-uninstall";
        return false;
    }
    return true;
}

// One argument, with its value from "=" or from the next argument; *next
// moves past what was taken.
bool takeOption(const std::vector<std::string>& args, std::size_t* next, ServerOptions* options,
                std::string* problem) {
    const std::string& arg = args[(*next)++];
    std::size_t equals = arg.find('=');
    const std::string name = arg.substr(0, equals);
    const OptionInfo* option = arg.rfind("--", 0) == 0 ? findOption(name) : nullptr;
    if (option == nullptr) {
        *problem = (arg.rfind("-", 0) == 0 ? "unknown option \"" : "unexpected argument \"") + arg +
                   "\"; see peerdir --help";
        return false;
    }
    if (isServiceOption(name) && !servicesSupported()) {
        *problem = "service options are for Windows.";
        return false;
    }
    if (isTlsOption(name) && !tlsBuilt()) {
        *problem = "this build has no TLS.";
        return false;
    }
    if (option->value == nullptr) {
        setFlag(name, options);
        if (equals == std::string::npos) return true;
        *problem = name + " takes no value";
        return false;
    }
    if (equals != std::string::npos)
        return setValue(name, arg.substr(equals + 1), options, problem);
    if (*next < args.size()) return setValue(name, args[(*next)++], options, problem);
    *problem = name + " needs a value (" + option->value + ")";
    return false;
}

}  // namespace

bool parseServerOptions(const std::vector<std::string>& args, ServerOptions* options,
                        std::string* problem) {
    std::size_t next = 0;
    while (next < args.size()) {
        if (!takeOption(args, &next, options, problem)) return false;
    }
    return checkSharedRegistryTls(options->shared, problem) && checkTlsOptions(*options, problem) &&
           checkServiceOptions(args, *options, problem);
}

std::vector<std::string> serviceArguments(const std::vector<std::string>& args,
                                          std::string (*absolute)(const std::string&)) {
    std::vector<std::string> kept;
    bool configGiven = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string name = optionName(args[i]);
        const OptionInfo* option = findOption(name);
        const bool valueInline = args[i].size() > name.size();
        const bool takesValue = option != nullptr && option->value != nullptr;
        std::string value = valueInline ? args[i].substr(name.size() + 1)
                                        : (takesValue && i + 1 < args.size() ? args[i + 1] : "");
        if (takesValue && !valueInline) ++i;
        if (isServiceOption(name)) continue;
        if (name == "--config" || name == "--log") value = absolute(value);
        configGiven = configGiven || name == "--config";
        kept.push_back(name);
        if (takesValue) kept.push_back(value);
    }
    if (!configGiven) {
        kept.push_back("--config");
        kept.push_back(absolute(ServerOptions{}.configFile));
    }
    return kept;
}

std::string logBesideConfig(const std::string& configFile) {
    std::size_t slash = configFile.find_last_of("/\\");
    if (slash == std::string::npos) return kServiceLogName;
    return configFile.substr(0, slash + 1) + kServiceLogName;
}

std::string serverUsage() {
    std::string text =
        "usage: peerdir [--config FILE] [--listen ADDRESS] [--max-clients N]\n"
        "               [--max-clients-per-address N] [--max-names N]\n"
        "               [--stats SECONDS] [--registry etcd://HOST:PORT[,HOST:PORT...]]\n"
        "               [--registry-prefix P] [--registry-ca FILE] [--registry-cert FILE]\n"
        "               [--registry-key FILE] [--lease-ttl SECONDS] [--keepalive SECONDS]\n"
        "               [--max-pending-output MIB] [--idle poll|wait] [--metrics ADDRESS:PORT]\n"
        "               [--log FILE] [--tls-cert FILE --tls-key FILE] [--tls-client-ca FILE]\n"
        "               [--tls-crl FILE] [--tls-names cert] [--help] [--version]\n"
        "       peerdir --service-install [--service-name NAME] [options...]\n"
        "       peerdir --service-uninstall [--service-name NAME]\n\n";
    for (const OptionInfo& option : kOptions) {
        std::string left = "  " + std::string(option.name);
        if (option.value != nullptr) left += " " + std::string(option.value);
        left.resize(std::max<std::size_t>(left.size() + 1, 21), ' ');
        text += left + option.help + "\n";
    }
    return text;
}

bool isDottedIpv4(const std::string& text) {
    std::size_t at = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0 && (at >= text.size() || text[at++] != '.')) return false;
        std::size_t digits = 0;
        unsigned value = 0;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9' && digits < 4) {
            value = value * 10 + static_cast<unsigned>(text[at++] - '0');
            ++digits;
        }
        bool leadingZero = digits > 1 && text[at - digits] == '0';
        if (digits == 0 || digits > 3 || value > 255 || leadingZero) return false;
    }
    return at == text.size();
}

bool parseAddressAndPort(const std::string& text, std::string* address, std::uint16_t* port) {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos) return false;
    std::uint32_t number = 0;
    const std::string portText = text.substr(colon + 1);
    // A port is at most five digits; more would be a number that parseCount
    // takes but no port is.
    if (portText.size() > 5 || !parseCount(portText, &number) || number > 65535) return false;
    *address = text.substr(0, colon);
    *port = static_cast<std::uint16_t>(number);
    return isDottedIpv4(*address);
}

std::uint32_t effectiveClientLimit(std::uint32_t asked, std::size_t descriptorLimit) {
    if (asked == 0 || descriptorLimit <= kDescriptorReserve) return asked;
    std::size_t room = descriptorLimit - kDescriptorReserve;
    return room < asked ? static_cast<std::uint32_t>(room) : asked;
}

}  // namespace peerdir
