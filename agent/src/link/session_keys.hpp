#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace vx {

inline constexpr std::size_t kSessionKeyBytes = 32;
using SessionKey = std::array<std::uint8_t, kSessionKeyBytes>;

// The three media keys of one session. Wiped by `wipe` and by the destructor.
struct SessionKeys {
    SessionKey video{};
    SessionKey audio{};
    SessionKey input{};

    SessionKeys() = default;
    SessionKeys(const SessionKeys&) = default;
    SessionKeys& operator=(const SessionKeys&) = default;
    ~SessionKeys() { wipe(); }
    void wipe();
};

// Derives the keys from the backend's 32-byte master key (libsodium KDF, subkey ids 1, 2, 3 with
// the contexts "vxvideo1", "vxaudio1", "vxinput1"). Nothing for a key of any other length.
std::optional<SessionKeys> derive_session_keys(std::span<const std::uint8_t> master_key);

// Lowercase hex SHA-256 of the token.
std::string token_sha256_hex(std::string_view token);

// True when the token's SHA-256 equals the expected hex digest (letter case of the digest is not
// significant). The comparison of the digests runs in constant time. False for an expected text
// that is not 64 hex digits.
bool token_matches(std::string_view token, std::string_view expected_sha256_hex);

// Overwrites the string's characters with zeros (key material in transit).
void wipe_string(std::string& text);

}  // namespace vx
