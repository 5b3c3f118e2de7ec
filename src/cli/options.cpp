// options.cpp -- argument parsing for peerdir-client.
#include "cli/options.h"

#include "clientlib/client.h"

namespace peerdir {

namespace {

constexpr unsigned long kMaxMillis = 600000;

// Digits only, no sign or blanks, within [low, high].
bool parseNumber(const std::string& text, unsigned long low, unsigned long high,
                 unsigned long* value) {
    if (text.empty() || text.size() > 9) return false;
    unsigned long number = 0;
    for (char digit : text) {
        if (digit < '0' || digit > '9') return false;
        number = number * 10 + static_cast<unsigned long>(digit - '0');
    }
    if (number < low || number > high) return false;
    *value = number;
    return true;
}

bool parsePort(const std::string& what, const std::string& text, std::uint16_t* port,
               std::string* error) {
    unsigned long value = 0;
    if (!parseNumber(text, 1, 65535, &value)) {
        *error = "bad " + what + " \"" + text + "\": give a number from 1 to 65535";
        return false;
    }
    *port = static_cast<std::uint16_t>(value);
    return true;
}

bool parseMillis(const std::string& option, const std::string& text, unsigned* millis,
                 std::string* error) {
    unsigned long value = 0;
    if (!parseNumber(text, 1, kMaxMillis, &value)) {
        *error = "bad value \"" + text + "\" for " + option + ": give milliseconds from 1 to " +
                 std::to_string(kMaxMillis);
        return false;
    }
    *millis = static_cast<unsigned>(value);
    return true;
}

// The TLS options go with --tls only, so that none of them is ever taken
// for a request to encrypt while the connection goes out in clear text.
bool checkTls(const CliOptions& options, bool noHostCheck, std::string* error) {
    const TlsClientSettings& tls = options.tlsSettings;
    const bool anyTls = options.tls || noHostCheck || !tls.caFile.empty() ||
                        !tls.certFile.empty() || !tls.keyFile.empty();
    if (anyTls && !tlsClientBuilt()) {
        *error = "this build has no TLS.";
    } else if (anyTls && !options.tls) {
        *error = "--ca, --cert, --key and --no-host-check go with --tls";
    } else if (tls.certFile.empty() != tls.keyFile.empty()) {
        *error = tls.certFile.empty() ? "--key needs --cert" : "--cert needs --key";
    }
    return error->empty();
}

// Takes the options out of args, wherever they stand, up to a "--" that ends
// them; what remains are the positional arguments.
bool takeOptions(const std::vector<std::string>& args, CliOptions* options,
                 std::vector<std::string>* positional, std::string* error) {
    bool optionsEnded = false;
    bool noHostCheck = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
            positional->push_back(arg);
        } else if (arg == "--") {
            optionsEnded = true;
        } else if (arg == "--help" || arg == "-h") {
            options->command = CliCommand::Help;
            return true;
        } else if (arg == "--version") {
            options->command = CliCommand::Version;
            return true;
        } else if (arg == "--tls" || arg == "--no-host-check") {
            *(arg == "--tls" ? &options->tls : &noHostCheck) = true;
        } else if (arg == "--ca" || arg == "--cert" || arg == "--key") {
            if (i + 1 == args.size() || args[i + 1].empty()) {
                *error = arg + " needs a file name";
                return false;
            }
            TlsClientSettings& tls = options->tlsSettings;
            *(arg == "--ca"     ? &tls.caFile
              : arg == "--cert" ? &tls.certFile
                                : &tls.keyFile) = args[++i];
        } else if (arg == "--quiet" || arg == "--timeout") {
            if (i + 1 == args.size()) {
                *error = arg + " needs a number of milliseconds";
                return false;
            }
            unsigned* target = arg == "--quiet" ? &options->quietMillis : &options->timeoutMillis;
            if (!parseMillis(arg, args[++i], target, error)) return false;
        } else {
            *error = "unknown option \"" + arg + "\"; try --help";
            return false;
        }
    }
    options->tlsSettings.checkHostName = !noHostCheck;
    return checkTls(*options, noHostCheck, error);
}

bool checkNames(const std::vector<std::string>& names, std::string* error) {
    for (const std::string& name : names) {
        *error = nameProblem(name);
        if (!error->empty()) return false;
    }
    return true;
}

bool parseCommand(const std::vector<std::string>& words, CliOptions* options, std::string* error) {
    const std::string& command = words[2];
    std::vector<std::string> rest(words.begin() + 3, words.end());
    if (command == "register") {
        options->command = CliCommand::Register;
        if (rest.empty()) *error = "register needs at least one NAME";
    } else if (command == "list") {
        options->command = CliCommand::List;
        if (!rest.empty()) *error = "list takes no arguments";
    } else if (command == "connect") {
        options->command = CliCommand::Connect;
        if (rest.size() != 3) *error = "connect needs NAME ADDRESS PORT";
    } else {
        *error = "unknown command \"" + command + "\"; try --help";
    }
    if (!error->empty()) return false;
    if (options->command == CliCommand::Connect) {
        options->names.assign(1, rest[0]);
        options->peerAddress = rest[1];
        *error = addressProblem(rest[1]);
        if (!error->empty() || !parsePort("port to pass on", rest[2], &options->peerPort, error)) {
            return false;
        }
    } else {
        options->names = rest;
    }
    return checkNames(options->names, error);
}

}  // namespace

bool parseArguments(const std::vector<std::string>& args, CliOptions* options, std::string* error) {
    *options = CliOptions{};
    error->clear();
    options->command = CliCommand::List;  // until the command word settles it
    std::vector<std::string> words;
    if (!takeOptions(args, options, &words, error)) return false;
    if (options->command == CliCommand::Help || options->command == CliCommand::Version) {
        return true;
    }
    if (words.size() < 3) {
        *error = words.empty() ? "missing HOST PORT COMMAND; try --help"
                               : "missing " + std::string(words.size() == 1 ? "PORT " : "") +
                                     "COMMAND; try --help";
        return false;
    }
    options->host = words[0];
    if (options->host.empty()) {
        *error = "the host is empty";
        return false;
    }
    if (!parsePort("server port", words[1], &options->port, error)) return false;
    return parseCommand(words, options, error);
}

std::string usageText() {
    return "Usage: peerdir-client [OPTIONS] HOST PORT COMMAND [ARGUMENTS]\n"
           "\n"
           "Talks to the peerdir server at HOST (a host name or dotted IPv4 address)\n"
           "and PORT (the second value of the server's config.txt).\n"
           "\n"
           "Commands:\n"
           "  register NAME...           register the names, then print each connection\n"
           "                             request as \"request: NAME wants you at ADDRESS:PORT\"\n"
           "                             until Ctrl+C (status 0) or the server closes\n"
           "  list                       print the registered names, one per line\n"
           "  connect NAME ADDRESS PORT  ask the server to pass ADDRESS and PORT on to the\n"
           "                             client registered as NAME\n"
           "\n"
           "A name holds at most 19 characters, an address at most 15. Options may\n"
           "stand anywhere; after -- every word is an argument, so a name may begin\n"
           "with a dash.\n"
           "\n"
           "Options:\n"
           "  --quiet MS     how long list and connect wait for the server's replies,\n"
           "                 which have no end marker (default 500)\n"
           "  --timeout MS   how long connecting, the TLS handshake and the server's\n"
           "                 greeting may take (default 5000)\n"
           "  --tls          speak TLS to a server that serves it; the server's\n"
           "                 certificate must chain to a trusted CA and name HOST\n"
           "  --ca FILE      trust the CAs in FILE (PEM) instead of the system's\n"
           "  --cert FILE    show this client certificate (PEM) when the server asks;\n"
           "  --key FILE     with its private key (PEM)\n"
           "  --no-host-check\n"
           "                 accept a certificate that does not name HOST (it must\n"
           "                 still chain to a trusted CA)\n"
           "  --help         print this text\n"
           "  --version      print the version\n"
           "\n"
           "Exit status: 0 done; 1 connect: no client has that name; 2 bad command\n"
           "line, or a TLS file that cannot be used; 3 the server could not be reached,\n"
           "refused the TLS handshake or had its certificate refused, closed the\n"
           "connection, did not answer in time or sent something malformed.\n";
}

}  // namespace peerdir
