#include <array>

#include "backend/messages.hpp"

namespace vx::network {

namespace {

constexpr std::array<std::string_view, 3> kSecretKeys{"\"encryption_key\"", "\"credential\"",
                                                      "\"password\""};

bool is_space(char ch) {
    return ch == ' ' || ch == '\t' || ch == '\r' || ch == '\n';
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

}  // namespace

std::string redact_secrets(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t best = std::string_view::npos;
        std::size_t best_len = 0;
        for (std::string_view key : kSecretKeys) {
            const std::size_t at = text.find(key, pos);
            if (at < best) {
                best = at;
                best_len = key.size();
            }
        }
        if (best == std::string_view::npos) {
            break;
        }
        const std::size_t after_key = best + best_len;
        const std::size_t open = value_start(text, after_key);
        if (open == std::string_view::npos) {
            out.append(text.substr(pos, after_key - pos));
            pos = after_key;
            continue;
        }
        out.append(text.substr(pos, open + 1 - pos));
        out.append("[REDACTED]");
        pos = value_end(text, open);
    }
    if (pos < text.size()) {
        out.append(text.substr(pos));
    }
    return out;
}

}  // namespace vx::network
