// certificates.cpp -- openssl req and openssl x509, run through the shell.
#include "kit/certificates.h"

#include <cstdlib>

#include "kit/server.h"

namespace peerdir {
namespace kit {

namespace {

const char* const kNewKey = "-newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes";

bool run(const std::string& command) {
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

}  // namespace

CertificateFiles makeCa(const std::string& dir, const std::string& name) {
    const CertificateFiles ca{dir + "/" + name + ".pem", dir + "/" + name + ".key"};
    if (!run(std::string("openssl req -x509 ") + kNewKey + " -days 2 -subj /CN=" + name +
             " -keyout " + ca.key + " -out " + ca.cert)) {
        return {};
    }
    return ca;
}

CertificateFiles makeCertificate(const std::string& dir, const std::string& name,
                                 const CertificateFiles& ca, const std::string& extensions) {
    const std::string base = dir + "/" + name;
    const CertificateFiles made{base + ".pem", base + ".key"};
    if (ca.cert.empty() || !writeFile(base + ".ext", extensions) ||
        !run(std::string("openssl req ") + kNewKey + " -subj /CN=" + name + " -keyout " + made.key +
             " -out " + base + ".csr") ||
        !run("openssl x509 -req -days 2 -set_serial 0x$(openssl rand -hex 8) -in " + base +
             ".csr -CA " + ca.cert + " -CAkey " + ca.key + " -extfile " + base + ".ext -out " +
             made.cert)) {
        return {};
    }
    return made;
}

}  // namespace kit
}  // namespace peerdir
