#include "util/base64.hpp"

#include <sodium.h>

namespace vx::util {

namespace {

bool in_alphabet(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
           c == '/';
}

// libsodium's decoder (1.0.18) reads the bytes 0x80-0xFF as "/", so a key with one non-ASCII
// character would decode into a different key without a word: the text is checked here first.
bool strict_base64(std::string_view text) {
    if (text.size() % 4 != 0) {
        return false;
    }
    std::size_t data = text.size();
    for (int pad = 0; pad < 2 && data > 0 && text[data - 1] == '='; ++pad) {
        --data;
    }
    for (std::size_t i = 0; i < data; ++i) {
        if (!in_alphabet(text[i])) {
            return false;
        }
    }
    return true;
}

}  // namespace

std::string base64_encode(std::span<const std::uint8_t> bytes) {
    const int variant = sodium_base64_VARIANT_ORIGINAL;
    std::string out(sodium_base64_encoded_len(bytes.size(), variant), '\0');
    sodium_bin2base64(out.data(), out.size(), bytes.data(), bytes.size(), variant);
    out.resize(out.size() - 1);  // the encoder writes a terminating NUL
    return out;
}

std::optional<std::vector<std::uint8_t>> base64_decode(std::string_view text) {
    if (!strict_base64(text)) {
        return std::nullopt;
    }
    if (text.empty()) {
        return std::vector<std::uint8_t>{};
    }
    std::vector<std::uint8_t> out(text.size() / 4 * 3);
    std::size_t length = 0;
    const char* end = nullptr;
    if (sodium_base642bin(out.data(), out.size(), text.data(), text.size(), nullptr, &length, &end,
                          sodium_base64_VARIANT_ORIGINAL) != 0 ||
        end != text.data() + text.size()) {
        return std::nullopt;
    }
    out.resize(length);
    return out;
}

}  // namespace vx::util
