#include <array>
#include <optional>

#include "backend/diagnostics/log_text.hpp"
#include "util/ascii.hpp"

namespace vx::network::log_text {

namespace {

// Tried in this order at each position; an underscore also matches a hyphen ("Api-Key").
// "credential" is the WebRTC name of a TURN password, "encryption_key" a session's master key and
// "turn_pass" the agent's own TURN password option: all three reach the log in quoted orders and
// command lines.
constexpr std::array<std::string_view, 19> kKeys{"authorization", "proxy_authorization",
                                                 "client_secret", "refresh_token",
                                                 "access_token",  "session_token",
                                                 "agent_token",   "auth_token",
                                                 "api_key",       "apikey",
                                                 "passphrase",    "password",
                                                 "passwd",        "secret",
                                                 "pwd",           "token",
                                                 "credential",    "encryption_key",
                                                 "turn_pass"};
// The first keys name HTTP authorization headers, whose value starts with a scheme word.
constexpr std::size_t kAuthorizationKeys = 2;

constexpr std::string_view kBearer = "bearer ";
constexpr std::size_t kMinBearerToken = 6;
constexpr std::size_t kMinWebToken = 16;

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}
bool is_letter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool is_ident(char c) {
    return is_digit(c) || is_letter(c) || c == '_';
}
bool is_blank(char c) {
    return c == ' ' || c == '\t';
}
bool is_quote(char c) {
    return c == '"' || c == '\'';
}

bool at_boundary(std::string_view text, std::size_t i) {
    return i == 0 || !is_ident(text[i - 1]);
}

bool starts_with_nocase(std::string_view text, std::size_t i, std::string_view word) {
    if (text.size() - i < word.size()) {
        return false;
    }
    for (std::size_t k = 0; k < word.size(); ++k) {
        if (util::ascii_lower(text[i + k]) != word[k]) {
            return false;
        }
    }
    return true;
}

std::size_t skip_blanks(std::string_view text, std::size_t p) {
    while (p < text.size() && is_blank(text[p])) {
        ++p;
    }
    return p;
}

// Every rule starts at a boundary with one of these bytes: the first letter of a key, of
// "bearer " or of "eyJ". Other bytes are copied without a closer look.
constexpr std::array<bool, 256> kRuleStart = [] {
    std::array<bool, 256> table{};
    const auto mark = [&table](char lower_case) {
        table[static_cast<unsigned char>(lower_case)] = true;
        table[static_cast<unsigned char>(lower_case - 'a' + 'A')] = true;
    };
    for (std::string_view key : kKeys) {
        mark(key[0]);
    }
    mark('b');
    mark('e');
    return table;
}();

bool may_start_rule(std::string_view text, std::size_t i) {
    return kRuleStart[static_cast<unsigned char>(text[i])] && at_boundary(text, i);
}

bool key_matches(std::string_view text, std::size_t i, std::string_view key) {
    if (text.size() - i < key.size()) {
        return false;
    }
    for (std::size_t k = 0; k < key.size(); ++k) {
        const char c = util::ascii_lower(text[i + k]);
        if (c != key[k] && !(key[k] == '_' && c == '-')) {
            return false;
        }
    }
    const std::size_t end = i + key.size();
    return end == text.size() || !is_ident(text[end]);
}

// Index of the first key that counts at i (a boundary), or nothing.
std::optional<std::size_t> match_key(std::string_view text, std::size_t i) {
    for (std::size_t k = 0; k < kKeys.size(); ++k) {
        if (key_matches(text, i, kKeys[k])) {
            return k;
        }
    }
    return std::nullopt;
}

enum class ValueKind { unquoted, quoted, escaped_quoted };

struct Value {
    std::size_t start;  // first byte of the value (its opening quote when quoted)
    std::size_t end;    // unquoted: one past the value; quoted: the closing quote (or text end)
    ValueKind kind;
    char quote = '"';
};

// A quoted value ends at the first unescaped quote: a backslash escapes the byte after it.
std::size_t quoted_end(std::string_view text, std::size_t open, char quote) {
    std::size_t j = open + 1;
    while (j < text.size()) {
        if (text[j] == '\\') {
            j += 2;
        } else if (text[j] == quote) {
            return j;
        } else {
            ++j;
        }
    }
    return text.size();
}

// A value written as \"...\": a JSON string inside a JSON string (a "turn" block given as a
// string, quoted in a message excerpt). It ends at the first \" that is not an escaped quote of
// the inner string (\\\"). Returns the position of the closing backslash.
std::size_t escaped_quoted_end(std::string_view text, std::size_t open) {
    std::size_t j = open + 2;
    while (j < text.size()) {
        if (text[j] != '\\') {
            ++j;
        } else if (j + 1 < text.size() && text[j + 1] == '"') {
            return j;
        } else if (j + 1 < text.size() && text[j + 1] == '\\') {
            // An escaped backslash of the outer string escapes the inner string's next byte,
            // itself written as one byte or as an escape pair.
            j += 2;
            j += j < text.size() && text[j] == '\\' ? 2 : 1;
        } else {
            j += 2;
        }
    }
    return text.size();
}

bool is_unquoted_end(char c) {
    switch (c) {
        case ' ':
        case '\t':
        case '\r':
        case '\n':
        case '"':
        case '&':
        case '\'':
        case ')':
        case ',':
        case ';':
        case '}':
        case ']':
            return true;
        default:
            return false;
    }
}

// Steps over "bearer " or, after an authorization key, one scheme word ("Basic ", "Digest ").
std::size_t skip_scheme(std::string_view text, std::size_t v, std::size_t key) {
    if (starts_with_nocase(text, v, kBearer)) {
        return skip_blanks(text, v + kBearer.size());
    }
    if (key < kAuthorizationKeys) {
        std::size_t w = v;
        while (w < text.size() && is_letter(text[w])) {
            ++w;
        }
        if (w > v && w < text.size() && is_blank(text[w])) {
            return skip_blanks(text, w);
        }
    }
    return v;
}

bool is_separator(char c) {
    return c == '=' || c == ':';
}

bool is_escaped_quote(std::string_view text, std::size_t p) {
    return text[p] == '\\' && p + 1 < text.size() && text[p + 1] == '"';
}

// Where the value after the key's separator starts: after "=" or ":", or, for a command-line
// option ("--agent-token VALUE"), after the blanks that follow it.
std::optional<std::size_t> value_start(std::string_view text, std::size_t i, std::size_t key_end) {
    std::size_t p = skip_blanks(text, key_end);
    if (p >= text.size()) {
        return std::nullopt;
    }
    const bool option = i >= 2 && text.substr(i - 2, 2) == "--";
    if (option && p > key_end && !is_separator(text[p])) {
        return p;
    }
    if (is_quote(text[p]) || is_escaped_quote(text, p)) {
        p = skip_blanks(text, p + (text[p] == '\\' ? 2 : 1));
        if (p >= text.size()) {
            return std::nullopt;
        }
    }
    if (!is_separator(text[p])) {
        return std::nullopt;
    }
    return skip_blanks(text, p + 1);
}

// The value of the key that matched at i, or nothing when none follows.
std::optional<Value> find_value(std::string_view text, std::size_t i, std::size_t key) {
    const auto start = value_start(text, i, i + kKeys[key].size());
    if (!start) {
        return std::nullopt;
    }
    const std::size_t v = skip_scheme(text, *start, key);
    if (v >= text.size()) {
        return std::nullopt;
    }
    if (is_quote(text[v])) {
        return Value{v, quoted_end(text, v, text[v]), ValueKind::quoted, text[v]};
    }
    if (is_escaped_quote(text, v)) {
        return Value{v, escaped_quoted_end(text, v), ValueKind::escaped_quoted};
    }
    std::size_t end = v;
    while (end < text.size() && !is_unquoted_end(text[end])) {
        ++end;
    }
    if (end == v) {
        return std::nullopt;
    }
    return Value{v, end, ValueKind::unquoted};
}

// Appends the redaction of the value that starts at v.start; returns where the walk goes on.
std::size_t redact_value(std::string_view text, std::size_t i, const Value& v, std::string& out) {
    if (text.substr(v.start, kRedacted.size()) == kRedacted) {
        out.append(text.substr(i, v.start + kRedacted.size() - i));
        return v.start + kRedacted.size();
    }
    out.append(text.substr(i, v.start - i));
    switch (v.kind) {
        case ValueKind::unquoted:
            out.append(kRedacted);
            return v.end;
        case ValueKind::quoted:
            out.push_back(v.quote);
            out.append(kRedacted);
            out.push_back(v.quote);
            return std::min(v.end + 1, text.size());
        case ValueKind::escaped_quoted:
            out.append("\\\"").append(kRedacted).append("\\\"");
            return std::min(v.end + 2, text.size());
    }
    return v.end;
}

// Bearer tokens and web tokens are runs of the same bytes.
bool is_token_byte(char c) {
    return is_digit(c) || is_letter(c) || c == '+' || c == '-' || c == '.' || c == '/' ||
           c == '=' || c == '_' || c == '~';
}

// The end of the run of token bytes that starts at i.
std::size_t token_end(std::string_view text, std::size_t i, std::size_t* dots = nullptr) {
    while (i < text.size() && is_token_byte(text[i])) {
        if (dots != nullptr && text[i] == '.') {
            ++*dots;
        }
        ++i;
    }
    return i;
}

}  // namespace

std::string redact_secrets(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    std::size_t copied = 0;  // the text before it is in out
    const auto copy_to = [&](std::size_t end) {
        out.append(text.substr(copied, end - copied));
        copied = end;
    };
    // A web token run that failed (too short, no dot) fails from every later start inside it too:
    // skipping those starts keeps the walk linear on long runs like "eyJ-eyJ-eyJ-...".
    std::size_t no_web_token_before = 0;
    std::size_t i = 0;
    while (i < text.size()) {
        if (!may_start_rule(text, i)) {
            ++i;
            continue;
        }
        if (const auto key = match_key(text, i)) {
            if (const auto value = find_value(text, i, *key)) {
                copy_to(i);
                i = copied = redact_value(text, i, *value, out);
                continue;
            }
        }
        if (starts_with_nocase(text, i, kBearer)) {
            i += kBearer.size();
            const std::size_t end = token_end(text, i);
            if (end - i >= kMinBearerToken) {
                copy_to(i);
                out.append(kRedacted);
                i = copied = end;
            }
            continue;
        }
        if (i >= no_web_token_before && text.size() - i >= kMinWebToken &&
            text.substr(i, 3) == "eyJ") {
            std::size_t dots = 0;
            const std::size_t end = token_end(text, i, &dots);
            if (end - i >= kMinWebToken && dots > 0) {
                copy_to(i);
                out.append(kRedacted);
                i = copied = end;
                continue;
            }
            no_web_token_before = end;
        }
        ++i;
    }
    copy_to(text.size());
    return out;
}

}  // namespace vx::network::log_text
