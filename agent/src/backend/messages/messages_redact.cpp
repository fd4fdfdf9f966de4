#include <array>

#include "backend/messages/messages.hpp"

namespace vx::network {

namespace {

// Every key starts with its opening quote, so only a '"' can begin one: the walk tries the keys
// at those bytes alone, and each byte of the text is looked at a bounded number of times.
constexpr std::array<std::string_view, 3> kSecretKeys{"\"encryption_key\"", "\"credential\"",
                                                      "\"password\""};

bool is_space(char ch) {
    return ch == ' ' || ch == '\t' || ch == '\r' || ch == '\n';
}

// Length of the secret key that starts at `pos`, 0 when none does.
std::size_t key_at(std::string_view text, std::size_t pos) {
    for (std::string_view key : kSecretKeys) {
        if (text.substr(pos, key.size()) == key) {
            return key.size();
        }
    }
    return 0;
}

// At `pos` a secret key has just ended: the position of its string value's opening quote, or
// npos when no string value follows.
std::size_t value_start(std::string_view text, std::size_t pos) {
    while (pos < text.size() && is_space(text[pos])) {
        ++pos;
    }
    if (pos >= text.size() || text[pos] != ':') {
        return std::string_view::npos;
    }
    ++pos;
    while (pos < text.size() && is_space(text[pos])) {
        ++pos;
    }
    return pos < text.size() && text[pos] == '"' ? pos : std::string_view::npos;
}

// Position of the closing quote of the string opened at `open` (text.size() when cut off).
std::size_t value_end(std::string_view text, std::size_t open) {
    for (std::size_t i = open + 1; i < text.size(); ++i) {
        if (text[i] == '\\') {
            ++i;
        } else if (text[i] == '"') {
            return i;
        }
    }
    return text.size();
}

// The longest prefix of at most `limit` bytes that does not end inside a UTF-8 sequence.
std::string_view utf8_prefix(std::string_view text, std::size_t limit) {
    if (text.size() <= limit) {
        return text;
    }
    std::size_t end = limit;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) {
        --end;
    }
    return text.substr(0, end);
}

}  // namespace

std::string redact_secrets(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    std::size_t pos = 0;
    while (pos < text.size()) {
        const std::size_t key_len = text[pos] == '"' ? key_at(text, pos) : 0;
        if (key_len == 0) {
            out.push_back(text[pos++]);
            continue;
        }
        const std::size_t after_key = pos + key_len;
        const std::size_t open = value_start(text, after_key);
        if (open == std::string_view::npos) {
            out.append(text.substr(pos, key_len));
            pos = after_key;
            continue;
        }
        out.append(text.substr(pos, open + 1 - pos));
        out.append("[REDACTED]");
        pos = value_end(text, open);
    }
    return out;
}

// Cutting first keeps the cost to the excerpt whatever the message's size. The cut cannot bare a
// secret: a value whose opening quote lies inside the excerpt is redacted up to the excerpt's end,
// and a value that opens after it is not part of the excerpt at all.
std::string log_excerpt(std::string_view text, std::size_t limit) {
    return redact_secrets(utf8_prefix(text, limit));
}

std::string log_field(std::string_view text) {
    const std::string_view kept = utf8_prefix(text, kFieldExcerpt);
    return kept.size() == text.size() ? std::string(text) : std::string(kept) + "...";
}

}  // namespace vx::network
