// shared_keys.h -- how the shared registry lays out its keys and values in
// etcd. Pure functions: no I/O.
//
//   P/names/NAME/SERVER-SERIAL   a registration, under its server's lease;
//                                value: the client's connection number
//   P/mbox/LEASE/SERVER-SERIAL   a request forwarded to a client of the
//                                server holding LEASE, under that lease;
//                                value: the connection number (8 bytes,
//                                big-endian), then the 38-byte ConnectPayload
//
// NAME is the name's bytes in hex, so any name fits whole and no name can
// reach into another's keys; LEASE is the lease ID in hex; SERVER tells the
// servers apart (random per run) and SERIAL counts that server's writes, so
// no two keys are ever the same and a retried write overwrites itself.
#ifndef PEERDIR_SHARED_SHARED_KEYS_H
#define PEERDIR_SHARED_SHARED_KEYS_H

#include <cstdint>
#include <string>

#include "protocol/message.h"
#include "shared/shared_registry.h"

namespace peerdir {

std::string leaseText(std::int64_t lease);

// Every registration: P/names/
std::string registrationsPrefix(const std::string& prefix);
// The registrations of one name: P/names/NAME/
std::string namePrefix(const std::string& prefix, const std::string& name);
std::string registrationKey(const std::string& prefix, const std::string& name,
                            const std::string& server, std::uint64_t serial);
// The name a registration key is for; false for any other key.
bool nameOfRegistration(const std::string& prefix, const std::string& key, std::string* name);

// A registration key's parts; registrationKey puts them back together.
struct RegistrationParts {
    std::string name;
    std::string server;
    std::uint64_t serial = 0;
};
bool parseRegistrationKey(const std::string& prefix, const std::string& key,
                          RegistrationParts* parts);

// The serial of a key this server wrote (server is its tag); false for any
// other server's key.
bool serialOfServersKey(const std::string& key, const std::string& server, std::uint64_t* serial);

std::string mailboxPrefix(const std::string& prefix, std::int64_t lease);
std::string mailboxKey(const std::string& prefix, std::int64_t lease, const std::string& server,
                       std::uint64_t serial);

std::string encodeConnection(ConnectionId connection);
bool decodeConnection(const std::string& value, ConnectionId* connection);

std::string encodeMailboxValue(ConnectionId connection, const std::uint8_t* payload);
bool decodeMailboxValue(const std::string& value, ConnectionId* connection,
                        std::uint8_t (&payload)[kConnectPayloadSize]);

}  // namespace peerdir

#endif
