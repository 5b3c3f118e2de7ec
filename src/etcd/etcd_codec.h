// etcd_codec.h -- the text forms the shared registry needs around etcd: the
// endpoint list an operator writes, the base64 etcd's JSON gateway wants for
// keys and values, hex for putting arbitrary name bytes into a key, and the
// end of a prefix's key range.
//
// Pure functions: no I/O, no state. Decoders refuse anything malformed
// rather than guess.
#ifndef PEERDIR_ETCD_ETCD_CODEC_H
#define PEERDIR_ETCD_ETCD_CODEC_H

#include <cstdint>
#include <string>
#include <vector>

namespace peerdir {

struct EtcdEndpoint {
    std::string host;  // a host name or a dotted IPv4 address
    std::uint16_t port = 0;
    bool tls = false;  // https: spoken to over TLS only, never in clear text
};

// Parses "SCHEME://HOST:PORT[,[SCHEME://]HOST:PORT...]": at least one
// endpoint, a port from 1 to 65535 on each, none listed twice, nothing else.
// The scheme is etcd:// or http:// (clear text) or https:// (TLS); an entry
// without one takes the first entry's. Clear-text and TLS endpoints are
// never mixed: a list that would speak to one member of a cluster in clear
// text while it guards the others with TLS is refused. On bad input returns
// false, leaves endpoints alone and sets problem to one line saying what is
// wrong.
bool parseEtcdEndpoints(const std::string& text, std::vector<EtcdEndpoint>* endpoints,
                        std::string* problem);

// "host:port", for messages.
std::string endpointText(const EtcdEndpoint& endpoint);

// Standard base64 with padding, as etcd's gateway carries bytes fields.
std::string base64Encode(const std::string& bytes);
// False (bytes untouched) when text is not padded standard base64.
bool base64Decode(const std::string& text, std::string* bytes);

// Two lowercase hex digits per byte. Keys built from it sort as the bytes do
// and hold no separator, so any name fits into a key whole.
std::string hexEncode(const std::string& bytes);
// False (bytes untouched) on an odd length or a character that is not a hex
// digit (either case).
bool hexDecode(const std::string& text, std::string* bytes);

// The first key after every key that starts with prefix: etcd's range_end
// for a prefix. "\0" (every key) for an empty prefix or one of 0xff bytes
// only.
std::string prefixRangeEnd(const std::string& prefix);

}  // namespace peerdir

#endif
