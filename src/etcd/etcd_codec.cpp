// etcd_codec.cpp -- endpoint lists, base64 (OpenSSL's), hex and prefix ends.
#include "etcd/etcd_codec.h"

#include <openssl/evp.h>

#include <climits>
#include <cstddef>

namespace peerdir {

namespace {

// The schemes an endpoint may begin with, and whether each means TLS.
struct Scheme {
    const char* prefix;
    bool tls;
};
constexpr Scheme kSchemes[] = {{"etcd://", false}, {"http://", false}, {"https://", true}};

// The scheme entry begins with, if any; *length gets its length.
const Scheme* schemeOf(const std::string& entry, std::size_t* length) {
    for (const Scheme& scheme : kSchemes) {
        const std::string prefix = scheme.prefix;
        if (entry.compare(0, prefix.size(), prefix) == 0) {
            *length = prefix.size();
            return &scheme;
        }
    }
    *length = 0;
    return nullptr;
}

// Bytes outside printable ASCII shown as '?', so a problem stays one line.
std::string printable(const std::string& text) {
    std::string shown;
    for (char c : text) shown.push_back(c >= 0x20 && c < 0x7f ? c : '?');
    return shown;
}

bool isHostCharacter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '-';
}

// Digits only, 1 to 65535.
bool parsePort(const std::string& text, std::uint16_t* port) {
    if (text.empty() || text.size() > 5) return false;
    unsigned value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value == 0 || value > 65535) return false;
    *port = static_cast<std::uint16_t>(value);
    return true;
}

// One "HOST:PORT" entry; problem says what is wrong with it.
bool parseEntry(const std::string& entry, EtcdEndpoint* endpoint, std::string* problem) {
    std::size_t colon = entry.rfind(':');
    if (entry.empty()) {
        *problem = "is empty";
    } else if (colon == std::string::npos) {
        *problem = "has no :PORT";
    } else if (colon == 0) {
        *problem = "has no host";
    } else if (!parsePort(entry.substr(colon + 1), &endpoint->port)) {
        *problem = "has a port that is not a number from 1 to 65535";
    } else {
        endpoint->host = entry.substr(0, colon);
        for (char c : endpoint->host) {
            if (!isHostCharacter(c)) {
                *problem = "has a host that is not a host name or an IPv4 address";
                return false;
            }
        }
        return true;
    }
    return false;
}

bool isBase64Character(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '+' ||
           c == '/';
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

bool parseEtcdEndpoints(const std::string& text, std::vector<EtcdEndpoint>* endpoints,
                        std::string* problem) {
    std::size_t length = 0;
    const Scheme* first = schemeOf(text, &length);
    if (first == nullptr) {
        *problem =
            "etcd endpoints must look like etcd://HOST:PORT[,HOST:PORT...] (or https:// "
            "for TLS), not \"" +
            printable(text) + "\"";
        return false;
    }
    std::vector<EtcdEndpoint> parsed;
    std::size_t start = 0;
    for (;;) {
        std::size_t comma = text.find(',', start);
        std::string entry = text.substr(start, comma == std::string::npos ? comma : comma - start);
        const Scheme* scheme = schemeOf(entry, &length);
        EtcdEndpoint endpoint;
        endpoint.tls = scheme != nullptr ? scheme->tls : first->tls;
        std::string what;
        if (!parseEntry(entry.substr(length), &endpoint, &what)) {
            *problem = "etcd endpoint " + std::to_string(parsed.size() + 1) + " (\"" +
                       printable(entry) + "\") " + what;
            return false;
        }
        if (endpoint.tls != first->tls) {
            *problem = "etcd endpoints mix clear text and TLS: give https:// for every one or none";
            return false;
        }
        for (const EtcdEndpoint& earlier : parsed) {
            if (earlier.host == endpoint.host && earlier.port == endpoint.port) {
                *problem = "etcd endpoint " + endpointText(endpoint) + " is listed twice";
                return false;
            }
        }
        parsed.push_back(endpoint);
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    *endpoints = parsed;
    return true;
}

std::string endpointText(const EtcdEndpoint& endpoint) {
    return endpoint.host + ":" + std::to_string(endpoint.port);
}

std::string base64Encode(const std::string& bytes) {
    // EVP_EncodeBlock takes an int length; etcd refuses requests far smaller.
    if (bytes.size() > INT_MAX / 4 * 3) return "";
    std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&text[0]),
                                 reinterpret_cast<const unsigned char*>(bytes.data()),
                                 static_cast<int>(bytes.size()));
    text.resize(static_cast<std::size_t>(length));
    return text;
}

bool base64Decode(const std::string& text, std::string* bytes) {
    // EVP_DecodeBlock skips surrounding blanks and counts the padding as zero
    // bytes, so the shape is checked here and the padding taken off after.
    if (text.size() % 4 != 0 || text.size() > INT_MAX) return false;
    std::size_t padding = 0;
    while (padding < 2 && padding < text.size() && text[text.size() - 1 - padding] == '=') {
        ++padding;
    }
    for (std::size_t i = 0; i + padding < text.size(); ++i) {
        if (!isBase64Character(text[i])) return false;
    }
    std::string decoded(text.size() / 4 * 3, '\0');
    int length = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(&decoded[0]),
                                 reinterpret_cast<const unsigned char*>(text.data()),
                                 static_cast<int>(text.size()));
    if (length < 0 || static_cast<std::size_t>(length) < padding) return false;
    decoded.resize(static_cast<std::size_t>(length) - padding);
    *bytes = decoded;
    return true;
}

std::string hexEncode(const std::string& bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (char c : bytes) {
        unsigned char byte = static_cast<unsigned char>(c);
        text.push_back(kDigits[byte >> 4]);
        text.push_back(kDigits[byte & 0x0f]);
    }
    return text;
}

bool hexDecode(const std::string& text, std::string* bytes) {
    if (text.size() % 2 != 0) return false;
    std::string decoded;
    decoded.reserve(text.size() / 2);
    for (std::size_t i = 0; i < text.size(); i += 2) {
        int high = hexValue(text[i]);
        int low = hexValue(text[i + 1]);
        if (high < 0 || low < 0) return false;
        decoded.push_back(static_cast<char>(high * 16 + low));
    }
    *bytes = decoded;
    return true;
}

std::string prefixRangeEnd(const std::string& prefix) {
    std::string end = prefix;
    while (!end.empty() && static_cast<unsigned char>(end.back()) == 0xff) end.pop_back();
    if (end.empty()) return std::string(1, '\0');
    end.back() = static_cast<char>(static_cast<unsigned char>(end.back()) + 1);
    return end;
}

}  // namespace peerdir
