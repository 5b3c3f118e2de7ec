// certificates.h -- test certificates made at test time with the openssl
// command line, so no key is ever committed (Linux only).
//
// ECDSA P-256 keys, valid for two days, unencrypted, in a directory the
// caller owns and removes. Every call runs openssl a few times and waits for
// it; nothing is left running.
#ifndef PEERDIR_TESTS_KIT_CERTIFICATES_H
#define PEERDIR_TESTS_KIT_CERTIFICATES_H

#include <string>

namespace peerdir {
namespace kit {

// A certificate and its key, as files.
struct CertificateFiles {
    std::string cert;
    std::string key;
};

// A self-signed CA called name: dir/name.pem and dir/name.key. Empty files
// on failure.
CertificateFiles makeCa(const std::string& dir, const std::string& name);

// A certificate called name, signed by ca, for extensions (openssl's
// extension lines, such as "subjectAltName=IP:127.0.0.1\n
// extendedKeyUsage=serverAuth"). Empty files on failure.
CertificateFiles makeCertificate(const std::string& dir, const std::string& name,
                                 const CertificateFiles& ca, const std::string& extensions);

}  // namespace kit
}  // namespace peerdir

#endif
