#include "backend/vxcp/vxcp_crypto.hpp"

#include <sodium.h>

#include <cstring>

namespace vx::network {

bool vxcp_sodium_ready() {
    static const bool ready = sodium_init() >= 0;
    return ready;
}

Key32 hmac_sha256(ByteView key, ByteView data) {
    return hmac_sha256(key, data, {});
}

Key32 hmac_sha256(ByteView key, ByteView part1, ByteView part2) {
    crypto_auth_hmacsha256_state state;
    crypto_auth_hmacsha256_init(&state, key.data(), key.size());
    crypto_auth_hmacsha256_update(&state, part1.data(), part1.size());
    crypto_auth_hmacsha256_update(&state, part2.data(), part2.size());
    Key32 mac{};
    crypto_auth_hmacsha256_final(&state, mac.data());
    sodium_memzero(&state, sizeof state);
    return mac;
}

Key32 sha256(ByteView data) {
    Key32 digest{};
    crypto_hash_sha256(digest.data(), data.data(), data.size());
    return digest;
}

Bytes hkdf_sha256(ByteView salt, ByteView ikm, ByteView info, std::size_t length) {
    if (length > 255 * 32) {
        return {};
    }
    // An absent salt is a string of HashLen zeros (RFC 5869 section 2.2).
    static const Key32 zero_salt{};
    Key32 prk = hmac_sha256(salt.empty() ? ByteView(zero_salt) : salt, ikm);
    Bytes out;
    out.reserve(length);
    Key32 block{};
    std::size_t block_len = 0;
    for (std::uint8_t counter = 1; out.size() < length; ++counter) {
        Bytes input(block.begin(), block.begin() + static_cast<std::ptrdiff_t>(block_len));
        input.insert(input.end(), info.begin(), info.end());
        input.push_back(counter);
        block = hmac_sha256(prk, input);
        block_len = block.size();
        const std::size_t take = std::min(block.size(), length - out.size());
        out.insert(out.end(), block.begin(), block.begin() + static_cast<std::ptrdiff_t>(take));
        sodium_memzero(input.data(), input.size());
    }
    sodium_memzero(prk.data(), prk.size());
    sodium_memzero(block.data(), block.size());
    return out;
}

void VxcpKeys::wipe() {
    sodium_memzero(c2s.data(), c2s.size());
    sodium_memzero(s2c.data(), s2c.size());
}

std::optional<VxcpKeys> vxcp_derive_keys(const VxcpKeyInputs& in) {
    Key32 shared{};
    if (crypto_scalarmult(shared.data(), in.agent_secret.data(), in.backend_public.data()) != 0 ||
        sodium_is_zero(shared.data(), shared.size())) {
        sodium_memzero(shared.data(), shared.size());
        return std::nullopt;
    }
    const Key32 salt = sha256(in.agent_token);
    Bytes info(as_bytes("vxcp1 keys").begin(), as_bytes("vxcp1 keys").end());
    info.insert(info.end(), in.connection_id.begin(), in.connection_id.end());
    info.insert(info.end(), in.agent_public.begin(), in.agent_public.end());
    info.insert(info.end(), in.backend_public.begin(), in.backend_public.end());
    info.insert(info.end(), in.hello_nonce.begin(), in.hello_nonce.end());
    Bytes okm = hkdf_sha256(salt, shared, info, 64);
    sodium_memzero(shared.data(), shared.size());
    VxcpKeys keys;
    std::memcpy(keys.c2s.data(), okm.data(), 32);
    std::memcpy(keys.s2c.data(), okm.data() + 32, 32);
    sodium_memzero(okm.data(), okm.size());
    return keys;
}

Key32 vxcp_hello_key(ByteView agent_token) {
    return hmac_sha256(agent_token, as_bytes("vxcp1 hello"));
}

std::array<std::uint8_t, 12> vxcp_nonce(std::string_view label, std::uint64_t packet_number) {
    std::array<std::uint8_t, 12> nonce{};
    std::memcpy(nonce.data(), label.data(), std::min<std::size_t>(label.size(), 3));
    for (int i = 0; i < 8; ++i) {
        nonce[4 + i] = static_cast<std::uint8_t>(packet_number >> (56 - 8 * i));
    }
    return nonce;
}

void vxcp_seal(const Key32& key, const std::array<std::uint8_t, 12>& nonce, ByteView ad,
               ByteView plain, Bytes& out) {
    const std::size_t start = out.size();
    out.resize(start + plain.size() + crypto_aead_chacha20poly1305_ietf_ABYTES);
    unsigned long long written = 0;
    crypto_aead_chacha20poly1305_ietf_encrypt(out.data() + start, &written, plain.data(),
                                              plain.size(), ad.data(), ad.size(), nullptr,
                                              nonce.data(), key.data());
    out.resize(start + written);
}

bool vxcp_open(const Key32& key, const std::array<std::uint8_t, 12>& nonce, ByteView ad,
               ByteView sealed, Bytes& plain) {
    if (sealed.size() < crypto_aead_chacha20poly1305_ietf_ABYTES) {
        return false;
    }
    plain.resize(sealed.size() - crypto_aead_chacha20poly1305_ietf_ABYTES);
    unsigned long long written = 0;
    if (crypto_aead_chacha20poly1305_ietf_decrypt(plain.data(), &written, nullptr, sealed.data(),
                                                  sealed.size(), ad.data(), ad.size(), nonce.data(),
                                                  key.data()) != 0) {
        plain.clear();
        return false;
    }
    plain.resize(written);
    return true;
}

}  // namespace vx::network
