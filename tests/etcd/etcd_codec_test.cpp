// The etcd room's text forms: the endpoint list an operator writes, and the
// encodings that carry arbitrary bytes into etcd's JSON and keys.
#include "etcd/etcd_codec.h"

#include <gtest/gtest.h>

namespace peerdir {
namespace {

std::string everyByte() {
    std::string bytes;
    for (int i = 0; i < 256; ++i) bytes.push_back(static_cast<char>(i));
    return bytes;
}

TEST(EtcdEndpointsTest, ParsesOneOrMoreHostPortPairs) {
    std::vector<EtcdEndpoint> endpoints;
    std::string problem;
    ASSERT_TRUE(
        parseEtcdEndpoints("etcd://127.0.0.1:2379,etcd-2.lan:65535,h:1", &endpoints, &problem))
        << problem;
    ASSERT_EQ(endpoints.size(), 3u);
    EXPECT_EQ(endpointText(endpoints[0]), "127.0.0.1:2379");
    EXPECT_EQ(endpointText(endpoints[1]), "etcd-2.lan:65535");
    EXPECT_EQ(endpointText(endpoints[2]), "h:1");
}

// https:// means TLS, and so does every entry after it without a scheme;
// etcd:// and http:// mean clear text.
TEST(EtcdEndpointsTest, TellsTlsEndpointsFromClearTextOnes) {
    std::vector<EtcdEndpoint> endpoints;
    std::string problem;
    ASSERT_TRUE(parseEtcdEndpoints("https://a:1,b:2,https://c:3", &endpoints, &problem)) << problem;
    ASSERT_EQ(endpoints.size(), 3u);
    for (const EtcdEndpoint& endpoint : endpoints) EXPECT_TRUE(endpoint.tls) << endpoint.host;
    EXPECT_EQ(endpointText(endpoints[2]), "c:3");
    ASSERT_TRUE(parseEtcdEndpoints("http://a:1,etcd://b:2,c:3", &endpoints, &problem)) << problem;
    ASSERT_EQ(endpoints.size(), 3u);
    for (const EtcdEndpoint& endpoint : endpoints) EXPECT_FALSE(endpoint.tls) << endpoint.host;
}

TEST(EtcdEndpointsTest, RefusesAnythingElseWithOneLineSayingWhy) {
    const char* const bad[] = {
        "",
        "127.0.0.1:2379",
        "ftp://h:1",
        "https://",
        "https://h:1,etcd://g:1",
        "etcd://h:1,https://g:1",
        "http://h:1,g:2,https://f:3",
        "etcd://",
        "etcd://h",
        "etcd://h:",
        "etcd://:1",
        "etcd://h:0",
        "etcd://h:65536",
        "etcd://h:1x",
        "etcd://h:+1",
        "etcd://h:1,",
        "etcd://,h:1",
        "etcd://h:1,h:1",
        "etcd://h h:1",
        "etcd://[::1]:1",
        "etcd://h:1\n",
        "etcd://h:0002379",
    };
    for (const char* text : bad) {
        std::vector<EtcdEndpoint> endpoints{{"kept", 7}};
        std::string problem;
        EXPECT_FALSE(parseEtcdEndpoints(text, &endpoints, &problem)) << text;
        EXPECT_FALSE(problem.empty()) << text;
        EXPECT_EQ(problem.find('\n'), std::string::npos) << problem;
        ASSERT_EQ(endpoints.size(), 1u);
        EXPECT_EQ(endpoints[0].host, "kept");
    }
}

// Every byte at every length goes through etcd and back in etcd_test's
// keys and values; what is left here is what etcd never sends.
TEST(EtcdCodecTest, Base64RefusesWhatIsNotPaddedBase64) {
    EXPECT_EQ(base64Encode("fo"), "Zm8=");
    for (const char* bad : {"Zm8", "Zm=8", " Zm8=", "Zm8=\n", "Zm8===", "Z===", "Zm-_", "===="}) {
        std::string untouched = "kept";
        EXPECT_FALSE(base64Decode(bad, &untouched)) << bad;
        EXPECT_EQ(untouched, "kept");
    }
}

TEST(EtcdCodecTest, HexCarriesEveryByteInByteOrder) {
    std::string bytes = everyByte();
    std::string text = hexEncode(bytes);
    EXPECT_EQ(text.substr(0, 6), "000102");
    EXPECT_EQ(text.substr(text.size() - 4), "feff");
    std::string decoded;
    ASSERT_TRUE(hexDecode(text, &decoded));
    EXPECT_EQ(decoded, bytes);
    ASSERT_TRUE(hexDecode("ABcd", &decoded));
    EXPECT_EQ(decoded, "\xab\xcd");
    // Keys built from names sort as the names do.
    EXPECT_LT(hexEncode("a"), hexEncode("a\x01"));
    EXPECT_LT(hexEncode("a\x7f"), hexEncode("a\x80"));
    for (const char* bad : {"0", "0g", "abc", " 00"}) {
        std::string untouched = "kept";
        EXPECT_FALSE(hexDecode(bad, &untouched)) << bad;
        EXPECT_EQ(untouched, "kept");
    }
}

TEST(EtcdCodecTest, PrefixRangeEndIsTheFirstKeyPastThePrefix) {
    EXPECT_EQ(prefixRangeEnd("reg/"), "reg0");
    EXPECT_EQ(prefixRangeEnd("a\xff\xff"), "b");
    EXPECT_EQ(prefixRangeEnd("\xff"), std::string(1, '\0'));
    EXPECT_EQ(prefixRangeEnd(""), std::string(1, '\0'));
}

}  // namespace
}  // namespace peerdir
