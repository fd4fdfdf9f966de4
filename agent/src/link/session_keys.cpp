#include "link/session_keys.hpp"
#include "util/ascii.hpp"

#include <sodium.h>

namespace vx {
namespace {

// The KDF context is exactly crypto_kdf_CONTEXTBYTES (8) characters.
constexpr char kVideoContext[] = "vxvideo1";
constexpr char kAudioContext[] = "vxaudio1";
constexpr char kInputContext[] = "vxinput1";
static_assert(sizeof(kVideoContext) - 1 == crypto_kdf_CONTEXTBYTES);
static_assert(crypto_kdf_KEYBYTES == kSessionKeyBytes);

bool derive_one(SessionKey& out, std::uint64_t id, const char* context,
                std::span<const std::uint8_t> master) {
    return crypto_kdf_derive_from_key(out.data(), out.size(), id, context, master.data()) == 0;
}

bool is_hex_digest(std::string_view text) {
    if (text.size() != crypto_hash_sha256_BYTES * 2) {
        return false;
    }
    for (const char c : text) {
        if (!std::isxdigit(static_cast<unsigned char>(c))) {
            return false;
        }
    }
    return true;
}

}  // namespace

void SessionKeys::wipe() {
    sodium_memzero(video.data(), video.size());
    sodium_memzero(audio.data(), audio.size());
    sodium_memzero(input.data(), input.size());
}

std::optional<SessionKeys> derive_session_keys(std::span<const std::uint8_t> master_key) {
    if (master_key.size() != crypto_kdf_KEYBYTES || sodium_init() < 0) {
        return std::nullopt;
    }
    SessionKeys keys;
    if (!derive_one(keys.video, 1, kVideoContext, master_key) ||
        !derive_one(keys.audio, 2, kAudioContext, master_key) ||
        !derive_one(keys.input, 3, kInputContext, master_key)) {
        return std::nullopt;
    }
    return keys;
}

std::string token_sha256_hex(std::string_view token) {
    unsigned char digest[crypto_hash_sha256_BYTES];
    crypto_hash_sha256(digest, reinterpret_cast<const unsigned char*>(token.data()), token.size());
    char hex[crypto_hash_sha256_BYTES * 2 + 1];
    sodium_bin2hex(hex, sizeof hex, digest, sizeof digest);
    return std::string(hex, crypto_hash_sha256_BYTES * 2);
}

bool token_matches(std::string_view token, std::string_view expected_sha256_hex) {
    if (!is_hex_digest(expected_sha256_hex)) {
        return false;
    }
    const std::string expected = util::ascii_lower(expected_sha256_hex);
    const std::string actual = token_sha256_hex(token);
    return sodium_memcmp(actual.data(), expected.data(), actual.size()) == 0;
}

void wipe_string(std::string& text) {
    if (!text.empty()) {
        sodium_memzero(text.data(), text.size());
    }
}

}  // namespace vx
