// options.h -- the command line of peerdir-client, parsed into one record.
//
// Parsing is apart from doing, so every bad argument is caught, with one line
// saying why, before any connection is made.
#ifndef PEERDIR_CLI_OPTIONS_H
#define PEERDIR_CLI_OPTIONS_H

#include <cstdint>
#include <string>
#include <vector>

#include "tls/tls_client.h"

namespace peerdir {

enum class CliCommand {
    Help,      // print the usage and stop
    Version,   // print the version and stop
    Register,  // register names, then print connection requests as they come
    List,      // print the registered names
    Connect,   // ask the server to pass a connection request on
};

// How long list and connect wait for the server's replies, which carry no
// end marker. On a working network the server answers within milliseconds.
constexpr unsigned kDefaultQuietMillis = 500;
// How long the connection and the server's Welcome may take.
constexpr unsigned kDefaultTimeoutMillis = 5000;

struct CliOptions {
    CliCommand command = CliCommand::Help;
    std::string host;
    std::uint16_t port = 0;
    std::vector<std::string> names;  // register: every name; connect: the one name
    std::string peerAddress;         // connect: the address passed on
    std::uint16_t peerPort = 0;      // connect: the port passed on
    unsigned quietMillis = kDefaultQuietMillis;
    unsigned timeoutMillis = kDefaultTimeoutMillis;
    bool tls = false;  // --tls; the settings below only with it
    TlsClientSettings tlsSettings;
};

// Parses the arguments after the program name. False, with *error holding
// one line that says what is wrong, on a bad command line.
bool parseArguments(const std::vector<std::string>& args, CliOptions* options, std::string* error);

// The text --help prints.
std::string usageText();

}  // namespace peerdir

#endif
