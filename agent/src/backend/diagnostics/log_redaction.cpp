#include <array>
#include <optional>

#include "backend/diagnostics/log_text.hpp"
#include "backend/diagnostics/url_userinfo.hpp"
#include "backend/diagnostics/value_extent.hpp"
#include "util/ascii.hpp"

namespace vx::network::log_text {

namespace {

// How a key's value is read beyond the common rules.
enum class KeyKind {
    plain,
    authorization,  // an HTTP authorization header: its value starts with a scheme word
    cookie,         // a cookie header: every pair up to the header's end is a credential
};

struct Key {
    std::string_view name;
    KeyKind kind = KeyKind::plain;
};

// Tried in this order at each position. An underscore also matches a hyphen ("Api-Key") or
// nothing ("apiKey", "sessiontoken"), and a plural "s" may follow ("credentials").
// "credential" is the WebRTC name of a TURN password and "pass" a shorter one the TURN
// credentials reader also takes, "encryption_key" a session's master key and "turn_pass" the
// agent's own TURN password option: all of them reach the log in quoted orders and command lines.
constexpr std::array<Key, 22> kKeys{{
    {"authorization", KeyKind::authorization},
    {"proxy_authorization", KeyKind::authorization},
    {"client_secret"},
    {"refresh_token"},
    {"access_token"},
    {"session_token"},
    {"agent_token"},
    {"auth_token"},
    {"api_key"},
    {"apikey"},
    {"passphrase"},
    {"password"},
    {"passwd"},
    {"pass"},
    {"secret"},
    {"pwd"},
    {"token"},
    {"credential"},
    {"encryption_key"},
    {"turn_pass"},
    {"set_cookie", KeyKind::cookie},
    {"cookie", KeyKind::cookie},
}};

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

// Every rule starts at a boundary with a letter: the first letter of a key, of "bearer ", of
// "eyJ" or of a URL's scheme. Other bytes are copied without a closer look.
bool may_start_rule(std::string_view text, std::size_t i) {
    return is_letter(text[i]) && at_boundary(text, i);
}

// One past the run of identifier bytes that starts at i.
std::size_t word_end(std::string_view text, std::size_t i) {
    while (i < text.size() && is_ident(text[i])) {
        ++i;
    }
    return i;
}

// One past the key spelled at i, or npos when it is not spelled there or an identifier byte
// follows it.
std::size_t key_end(std::string_view text, std::size_t i, std::string_view key) {
    std::size_t p = i;
    for (const char k : key) {
        if (k == '_') {
            p += p < text.size() && (text[p] == '_' || text[p] == '-') ? 1 : 0;
        } else if (p < text.size() && util::ascii_lower(text[p]) == k) {
            ++p;
        } else {
            return std::string_view::npos;
        }
    }
    if (p < text.size() && util::ascii_lower(text[p]) == 's') {
        ++p;
    }
    return p == text.size() || !is_ident(text[p]) ? p : std::string_view::npos;
}

struct KeyMatch {
    const Key* key;
    std::size_t end;  // one past the key as written
};

// The keys by their first letter, each list in table order: only keys with the same first
// letter compete, and most words start with a letter no key starts with.
struct KeysByLetter {
    static constexpr std::size_t kMaxPerLetter = 8;
    std::array<std::array<const Key*, kMaxPerLetter>, 26> keys{};
    std::array<std::size_t, 26> count{};
};

constexpr KeysByLetter kKeysByLetter = [] {
    KeysByLetter table;
    for (const Key& key : kKeys) {
        const auto letter = static_cast<std::size_t>(key.name[0] - 'a');
        table.keys[letter][table.count[letter]++] = &key;
    }
    return table;
}();

// The first key that counts at i (a boundary, a letter), or nothing.
std::optional<KeyMatch> match_key(std::string_view text, std::size_t i) {
    const auto letter = static_cast<std::size_t>(util::ascii_lower(text[i]) - 'a');
    for (std::size_t k = 0; k < kKeysByLetter.count[letter]; ++k) {
        const Key* key = kKeysByLetter.keys[letter][k];
        if (const std::size_t end = key_end(text, i, key->name); end != std::string_view::npos) {
            return KeyMatch{key, end};
        }
    }
    return std::nullopt;
}

enum class ValueKind {
    unquoted,  // replaced whole: a bare word, an array or object, a cookie header's pairs
    quoted,
    escaped_quoted,
};

struct Value {
    std::size_t start;  // first byte of the value (its opening quote when quoted)
    std::size_t end;    // unquoted: one past the value; quoted: the closing quote (or text end)
    ValueKind kind;
    char quote = '"';
};

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
std::size_t skip_scheme(std::string_view text, std::size_t v, KeyKind kind) {
    if (starts_with_nocase(text, v, kBearer)) {
        return skip_blanks(text, v + kBearer.size());
    }
    if (kind == KeyKind::authorization) {
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

// The value of the key that matched at i, or nothing when none follows. An array or an
// object is one value, and so is a whole cookie header.
std::optional<Value> find_value(std::string_view text, std::size_t i, const KeyMatch& key) {
    const auto start = value_start(text, i, key.end);
    if (!start) {
        return std::nullopt;
    }
    const std::size_t v = skip_scheme(text, *start, key.key->kind);
    if (v >= text.size()) {
        return std::nullopt;
    }
    if (is_quote(text[v])) {
        return Value{v, quoted_end(text, v, text[v]), ValueKind::quoted, text[v]};
    }
    if (is_escaped_quote(text, v)) {
        return Value{v, escaped_quoted_end(text, v), ValueKind::escaped_quoted};
    }
    if (text[v] == '[' || text[v] == '{') {
        return Value{v, bracketed_end(text, v), ValueKind::unquoted};
    }
    if (key.key->kind == KeyKind::cookie) {
        return Value{v, line_end(text, v), ValueKind::unquoted};
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

// One walk over the text, appending to the result: at each position the rules are tried in
// order (key and value, bearer token, web token, URL user-info); text no rule takes is copied.
class Redactor {
  public:
    Redactor(std::string_view text, bool cut_off)
        : text_(text), cut_off_(cut_off), userinfo_(text, cut_off) {
        out_.reserve(text.size());
    }

    std::string run() {
        while (i_ < text_.size()) {
            if (!may_start_rule(text_, i_)) {
                ++i_;
            } else if (!(key() || bearer() || web_token() || userinfo())) {
                // No rule starts inside a word: its other bytes are not at a boundary.
                i_ = word_end(text_, i_);
            }
        }
        copy_to(text_.size());
        return std::move(out_);
    }

  private:
    void copy_to(std::size_t end) {
        out_.append(text_.substr(copied_, end - copied_));
        copied_ = end;
    }
    // The text from begin to end becomes kRedacted; the walk goes on at end.
    void replace(std::size_t begin, std::size_t end) {
        copy_to(begin);
        out_.append(kRedacted);
        i_ = copied_ = end;
    }

    bool key() {
        const auto key = match_key(text_, i_);
        const auto value = key ? find_value(text_, i_, *key) : std::nullopt;
        if (!value) {
            return false;
        }
        copy_to(i_);
        i_ = copied_ = redact_value(text_, i_, *value, out_);
        return true;
    }

    // Takes the position whenever "bearer " is there: a short token after it is copied as text,
    // unless the cut may have shortened it.
    bool bearer() {
        if (!starts_with_nocase(text_, i_, kBearer)) {
            return false;
        }
        i_ += kBearer.size();
        const std::size_t end = token_end(text_, i_);
        const bool cut_short = cut_off_ && end == text_.size() && end > i_;
        if (end - i_ >= kMinBearerToken || cut_short) {
            replace(i_, end);
        }
        return true;
    }

    bool web_token() {
        if (i_ < no_web_token_before_ || text_.size() - i_ < kMinWebToken ||
            text_.substr(i_, 3) != "eyJ") {
            return false;
        }
        std::size_t dots = 0;
        const std::size_t end = token_end(text_, i_, &dots);
        if (end - i_ < kMinWebToken || dots == 0) {
            // Fails from every later start inside the run too: skipping those keeps the walk
            // linear on long runs like "eyJ-eyJ-eyJ-...".
            no_web_token_before_ = end;
            return false;
        }
        replace(i_, end);
        return true;
    }

    bool userinfo() {
        const auto span = userinfo_.at(i_);
        if (!span) {
            return false;
        }
        replace(span->begin, span->end);
        return true;
    }

    std::string_view text_;
    bool cut_off_;
    std::string out_;
    std::size_t i_ = 0;
    std::size_t copied_ = 0;  // the text before it is in out_
    std::size_t no_web_token_before_ = 0;
    UserinfoFinder userinfo_;
};

}  // namespace

std::string redact_secrets(std::string_view text) {
    return Redactor(text, false).run();
}

std::string redact_cut_secrets(std::string_view text) {
    return Redactor(text, true).run();
}

}  // namespace vx::network::log_text
