// openssl_tools.cpp -- openssl req and s_server as child processes.
#include "kit/openssl_tools.h"

#include <cstdlib>

namespace peerdir {
namespace kit {

namespace {

constexpr unsigned kOpensslMillis = 60000;

std::vector<std::string> keyArguments(KeyKind key) {
    if (key == KeyKind::Rsa2048) return {"-newkey", "rsa:2048"};
    return {"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256"};
}

}  // namespace

bool runOpensslCommand(const std::string& dir, const std::vector<std::string>& args,
                       std::string* why) {
    ChildProcess openssl;
    std::vector<std::string> command = {"openssl"};
    command.insert(command.end(), args.begin(), args.end());
    if (!startProgram(openssl, dir, command, OutputTo::PipeWithErrors)) {
        *why = "cannot start openssl";
        return false;
    }
    const bool ended = waitForExit(openssl, kOpensslMillis);
    stopProgram(openssl);
    if (ended && openssl.exitStatus == 0) return true;
    *why = "openssl " + args.front() + " failed: " + openssl.log;
    return false;
}

bool makeCertificate(const std::string& dir, const CertificateRequest& request, std::string* why) {
    std::vector<std::string> args = {"req", "-x509", "-nodes", "-days", "2"};
    std::vector<std::string> key = keyArguments(request.key);
    args.insert(args.end(), key.begin(), key.end());
    args.insert(args.end(), {"-subj", "/CN=" + request.name, "-keyout", request.name + ".key",
                             "-out", request.name + ".pem"});
    if (!request.ca.empty()) {
        args.insert(args.end(), {"-CA", request.ca + ".pem", "-CAkey", request.ca + ".key",
                                 "-addext", "basicConstraints=critical,CA:FALSE"});
    }
    if (!request.altNames.empty()) {
        args.insert(args.end(), {"-addext", "subjectAltName=" + request.altNames});
    }
    for (const std::string& extension : request.extensions) {
        args.insert(args.end(), {"-addext", extension});
    }
    return runOpensslCommand(dir, args, why);
}

CertificateFiles certificateFiles(const std::string& dir, const std::string& name) {
    return {dir + "/" + name + ".pem", dir + "/" + name + ".key"};
}

std::uint16_t startOpensslServer(ChildProcess& server, const std::string& dir,
                                 const std::string& name, const std::vector<std::string>& extra) {
    std::vector<std::string> command = {"openssl",  "s_server",   "-accept", "127.0.0.1:0",
                                        "-naccept", "1",          "-cert",   name + ".pem",
                                        "-key",     name + ".key"};
    command.insert(command.end(), extra.begin(), extra.end());
    if (!startProgram(server, dir, command, OutputTo::PipeWithErrors)) return 0;
    std::string port = lineAfter(server, "ACCEPT 127.0.0.1:", kOpensslMillis);
    unsigned long value = std::strtoul(port.c_str(), nullptr, 10);
    if (value == 0 || value > 65535) return 0;
    // s_server reads its input only once a client is there; the first bytes
    // it sends are these.
    writeInput(server, std::string(4, '\0'));
    return static_cast<std::uint16_t>(value);
}

}  // namespace kit
}  // namespace peerdir
