#include "backend/vxcp/vxcp_crypto.hpp"

#include <gtest/gtest.h>

#include "vxcp_test_backend.hpp"

namespace vx::test {
namespace {

Bytes range(int first, int last) {
    Bytes out;
    for (int b = first; b <= last; ++b) {
        out.push_back(static_cast<std::uint8_t>(b));
    }
    return out;
}

TEST(VxcpCrypto, HmacSha256MatchesRfc4231) {
    struct Case {
        Bytes key;
        Bytes data;
        const char* mac;
    };
    const Case cases[] = {
        {Bytes(20, 0x0b), Bytes(as_bytes("Hi There").begin(), as_bytes("Hi There").end()),
         "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
        {unhex("4a656665"), unhex("7768617420646f2079612077616e7420666f72206e6f7468696e673f"),
         "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
        {Bytes(20, 0xaa), Bytes(50, 0xdd),
         "773ea91e36800e46854db8ebd09181a72959098b3ef8c122d9635514ced565fe"},
        {Bytes(131, 0xaa),
         unhex("54657374205573696e67204c6172676572205468616e20426c6f636b2d53697a65204b6579"
               "202d2048617368204b6579204669727374"),
         "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(hex(hmac_sha256(c.key, c.data)), c.mac);
    }
    // Two parts hash like their concatenation.
    EXPECT_EQ(hex(hmac_sha256(cases[1].key, ByteView(cases[1].data).first(10),
                              ByteView(cases[1].data).subspan(10))),
              cases[1].mac);
}

TEST(VxcpCrypto, HkdfSha256MatchesRfc5869) {
    EXPECT_EQ(
        hex(hkdf_sha256(range(0, 12), Bytes(22, 0x0b), range(0xf0, 0xf9), 42)),
        "3cb25f25faacd57a90434f64d0362f2a2d2d0a90cf1a5a4c5db02d56ecc4c5bf34007208d5b887185865");
    EXPECT_EQ(hex(hkdf_sha256(range(0x60, 0xaf), range(0, 0x4f), range(0xb0, 0xff), 82)),
              "b11e398dc80327a1c8e7f78c596a49344f012eda2d4efad8a050cc4c19afa97c59045a99cac78272"
              "71cb41c65e590e09da3275600c2f09b8367793a9aca3db71cc30c58179ec3e87c14c01d5c1f3434f"
              "1d87");
    EXPECT_EQ(
        hex(hkdf_sha256({}, Bytes(22, 0x0b), {}, 42)),
        "8da4e775a563c18f715f802a063c5a31b8a11f5c5ee1879ec3454e5f3c738d2d9d201395faa4b61a96c8");
    EXPECT_TRUE(hkdf_sha256({}, Bytes(22, 0x0b), {}, 255 * 32 + 1).empty());
    EXPECT_EQ(hkdf_sha256({}, Bytes(22, 0x0b), {}, 255 * 32).size(), 255u * 32);
}

TEST(VxcpCrypto, DegenerateSharedValueIsRefused) {
    ASSERT_TRUE(vxcp_sodium_ready());
    VxcpKeyInputs in;
    in.agent_secret.fill(0x11);
    in.backend_public = Key32{};  // the zero point: X25519 yields all zeros
    EXPECT_FALSE(vxcp_derive_keys(in).has_value());
}

TEST(VxcpCrypto, SealOpenRoundTripAndTamper) {
    ASSERT_TRUE(vxcp_sodium_ready());
    Key32 key{};
    key.fill(7);
    const Bytes ad = {1, 2, 3};
    const Bytes plain = {'h', 'i'};
    Bytes sealed;
    vxcp_seal(key, vxcp_nonce("c2s", 9), ad, plain, sealed);
    ASSERT_EQ(sealed.size(), plain.size() + 16);
    Bytes out;
    ASSERT_TRUE(vxcp_open(key, vxcp_nonce("c2s", 9), ad, sealed, out));
    EXPECT_EQ(out, plain);
    EXPECT_FALSE(vxcp_open(key, vxcp_nonce("s2c", 9), ad, sealed, out));
    EXPECT_FALSE(vxcp_open(key, vxcp_nonce("c2s", 10), ad, sealed, out));
    sealed[0] ^= 1;
    EXPECT_FALSE(vxcp_open(key, vxcp_nonce("c2s", 9), ad, sealed, out));
    EXPECT_FALSE(vxcp_open(key, vxcp_nonce("c2s", 9), ad, Bytes(15, 0), out));
    EXPECT_EQ(hex(vxcp_nonce("s2c", 0x0102)), "733263000000000000000102");
}

}  // namespace
}  // namespace vx::test
