// shared_keys.cpp -- the shared registry's keys and values.
#include "shared/shared_keys.h"

#include <cstring>

#include "etcd/etcd_codec.h"

namespace peerdir {

namespace {

constexpr std::size_t kConnectionBytes = 8;

std::string hexOf(std::uint64_t value) {
    static const char kDigits[] = "0123456789abcdef";
    std::string text(16, '0');
    for (int i = 15; i >= 0; --i, value >>= 4)
        text[static_cast<std::size_t>(i)] = kDigits[value & 15];
    return text;
}

void putConnection(ConnectionId connection, std::string& out) {
    for (int shift = 56; shift >= 0; shift -= 8) {
        out.push_back(static_cast<char>((connection >> shift) & 0xFF));
    }
}

ConnectionId takeConnection(const std::string& value) {
    ConnectionId connection = 0;
    for (std::size_t i = 0; i < kConnectionBytes; ++i) {
        connection = connection << 8 | static_cast<unsigned char>(value[i]);
    }
    return connection;
}

// SERVER-SERIAL, the key's last part, as written by registrationKey.
bool parseServerSerial(const std::string& text, std::string* server, std::uint64_t* serial) {
    const std::size_t dash = text.rfind('-');
    if (dash == std::string::npos || dash == 0 || text.size() - dash - 1 != 16) return false;
    std::uint64_t value = 0;
    for (std::size_t i = dash + 1; i < text.size(); ++i) {
        const char c = text[i];
        const int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
        if (digit < 0) return false;
        value = value << 4 | static_cast<std::uint64_t>(digit);
    }
    *server = text.substr(0, dash);
    *serial = value;
    return true;
}

}  // namespace

// As etcdctl prints it, so an operator can look the lease up.
std::string leaseText(std::int64_t lease) {
    std::string text = hexOf(static_cast<std::uint64_t>(lease));
    std::size_t first = text.find_first_not_of('0');
    return first == std::string::npos ? "0" : text.substr(first);
}

std::string registrationsPrefix(const std::string& prefix) { return prefix + "/names/"; }

std::string namePrefix(const std::string& prefix, const std::string& name) {
    return registrationsPrefix(prefix) + hexEncode(name) + "/";
}

std::string registrationKey(const std::string& prefix, const std::string& name,
                            const std::string& server, std::uint64_t serial) {
    return namePrefix(prefix, name) + server + "-" + hexOf(serial);
}

bool nameOfRegistration(const std::string& prefix, const std::string& key, std::string* name) {
    const std::string all = registrationsPrefix(prefix);
    if (key.compare(0, all.size(), all) != 0) return false;
    std::size_t end = key.find('/', all.size());
    if (end == std::string::npos) return false;
    return hexDecode(key.substr(all.size(), end - all.size()), name);
}

bool parseRegistrationKey(const std::string& prefix, const std::string& key,
                          RegistrationParts* parts) {
    const std::string all = registrationsPrefix(prefix);
    if (key.compare(0, all.size(), all) != 0) return false;
    const std::size_t end = key.find('/', all.size());
    if (end == std::string::npos) return false;
    return hexDecode(key.substr(all.size(), end - all.size()), &parts->name) &&
           parseServerSerial(key.substr(end + 1), &parts->server, &parts->serial);
}

bool serialOfServersKey(const std::string& key, const std::string& server, std::uint64_t* serial) {
    const std::size_t last = key.rfind('/');
    std::string tag;
    return last != std::string::npos && parseServerSerial(key.substr(last + 1), &tag, serial) &&
           tag == server;
}

std::string mailboxPrefix(const std::string& prefix, std::int64_t lease) {
    return prefix + "/mbox/" + leaseText(lease) + "/";
}

std::string mailboxKey(const std::string& prefix, std::int64_t lease, const std::string& server,
                       std::uint64_t serial) {
    return mailboxPrefix(prefix, lease) + server + "-" + hexOf(serial);
}

std::string encodeConnection(ConnectionId connection) {
    std::string value;
    putConnection(connection, value);
    return value;
}

bool decodeConnection(const std::string& value, ConnectionId* connection) {
    if (value.size() != kConnectionBytes) return false;
    *connection = takeConnection(value);
    return true;
}

std::string encodeMailboxValue(ConnectionId connection, const std::uint8_t* payload) {
    std::string value;
    putConnection(connection, value);
    value.append(reinterpret_cast<const char*>(payload), kConnectPayloadSize);
    return value;
}

bool decodeMailboxValue(const std::string& value, ConnectionId* connection,
                        std::uint8_t (&payload)[kConnectPayloadSize]) {
    if (value.size() != kConnectionBytes + kConnectPayloadSize) return false;
    *connection = takeConnection(value);
    std::memcpy(payload, value.data() + kConnectionBytes, kConnectPayloadSize);
    return true;
}

}  // namespace peerdir
