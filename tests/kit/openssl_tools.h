// openssl_tools.h -- the openssl command line for the tests and the
// benchmark: keys and certificates made at run time (no key is ever kept in
// the repository), and openssl s_server as a TLS server that sends a
// Welcome.
#ifndef PEERDIR_TESTS_KIT_OPENSSL_TOOLS_H
#define PEERDIR_TESTS_KIT_OPENSSL_TOOLS_H

#include <cstdint>
#include <string>
#include <vector>

#include "kit/process.h"

namespace peerdir {
namespace kit {

// What a key is.
enum class KeyKind { EcdsaP256, Rsa2048 };

// One certificate to make: dir/name.pem and dir/name.key.
struct CertificateRequest {
    std::string name;      // also its subject CN
    std::string ca;        // the name of the CA that signs it; empty: self-signed (a CA)
    std::string altNames;  // subjectAltName, such as "IP:127.0.0.1,DNS:localhost"; may be empty
    KeyKind key = KeyKind::EcdsaP256;
    std::vector<std::string> extensions = {};  // more, such as "extendedKeyUsage=clientAuth"
};

// Where makeCertificate puts the certificate and the key called name.
struct CertificateFiles {
    std::string cert;
    std::string key;
};
CertificateFiles certificateFiles(const std::string& dir, const std::string& name);

// Runs openssl with args in dir; false, with its output in *why, when it
// fails or takes longer than a minute.
bool runOpensslCommand(const std::string& dir, const std::vector<std::string>& args,
                       std::string* why);

// Makes the certificate and its key, valid for two days. One signed by a
// CA is no CA itself.
bool makeCertificate(const std::string& dir, const CertificateRequest& request, std::string* why);

// Starts openssl s_server in dir on 127.0.0.1, for one connection, with
// certificate dir/name.pem and its key, and extra arguments after them; it
// sends the client a Welcome and then whatever is written to its input, and
// writes what it receives (and what it makes of the client's certificate)
// to its output. The port it listens on, or 0 on failure with server's log
// telling why.
std::uint16_t startOpensslServer(ChildProcess& server, const std::string& dir,
                                 const std::string& name, const std::vector<std::string>& extra);

}  // namespace kit
}  // namespace peerdir

#endif
