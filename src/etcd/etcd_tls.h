// etcd_tls.h -- what a server needs to speak to etcd over TLS: the CA that
// signed etcd's certificates and the server's own client certificate, read
// once at start-up.
//
// Owns the loaded certificates and key, shared read-only by every connection
// to etcd for the life of the process. Promises: a file that cannot be read,
// holds no PEM of the kind asked for, or a key that does not belong to its
// certificate is refused here, at start-up, with one line naming the file
// and the reason, so nothing is served on material that could never work.
// Without a CA file, etcd's certificate is checked against the system's
// trust store; with one, against that CA alone.
#ifndef PEERDIR_ETCD_ETCD_TLS_H
#define PEERDIR_ETCD_ETCD_TLS_H

#include <memory>
#include <string>

namespace peerdir {

struct EtcdTlsFiles {
    std::string caFile;    // empty: the system's trust store
    std::string certFile;  // empty (with keyFile): no client certificate
    std::string keyFile;
};

struct EtcdTls;

// Reads the files; null, with problem set to one line, when one cannot be
// used.
std::shared_ptr<const EtcdTls> loadEtcdTls(const EtcdTlsFiles& files, std::string* problem);

}  // namespace peerdir

#endif
