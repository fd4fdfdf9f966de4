#include <array>
#include <cstdint>
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

// Tried in this order at each word start. An underscore also matches a hyphen ("Api-Key") or
// nothing ("apiKey", "sessiontoken"), and a plural "s" may follow ("credentials"). A key counts
// where it is the last word of a longer one too ("turnPassword", "turn_password").
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

constexpr bool is_digit(char c) {
    return c >= '0' && c <= '9';
}
constexpr bool is_lower(char c) {
    return c >= 'a' && c <= 'z';
}
constexpr bool is_upper(char c) {
    return c >= 'A' && c <= 'Z';
}
constexpr bool is_letter(char c) {
    return is_lower(c) || is_upper(c);
}
constexpr bool is_ident(char c) {
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

// The logger writes a line break inside a line as "\n" or "\r" (and JSON a tab as "\t"): the
// letter after the backslash is no part of the word that follows.
bool is_escape_letter(std::string_view text, std::size_t i) {
    return i >= 1 && text[i - 1] == '\\' && (text[i] == 'n' || text[i] == 'r' || text[i] == 't');
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
inline bool may_start_rule(std::string_view text, std::size_t i) {
    if (!is_letter(text[i])) {
        return false;
    }
    return at_boundary(text, i) || (i >= 2 && is_escape_letter(text, i - 1));
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
    // By first letter, the last letters of those keys (bit n: letter 'a' + n).
    std::array<std::uint32_t, 26> last_letters{};
};

constexpr KeysByLetter kKeysByLetter = [] {
    KeysByLetter table;
    for (const Key& key : kKeys) {
        const auto letter = static_cast<std::size_t>(key.name[0] - 'a');
        table.keys[letter][table.count[letter]++] = &key;
        table.last_letters[letter] |= std::uint32_t{1} << (key.name.back() - 'a');
    }
    return table;
}();

// The key that counts at i (a letter), or nothing.
std::optional<KeyMatch> match_key_at(std::string_view text, std::size_t i) {
    const auto letter = static_cast<std::size_t>(util::ascii_lower(text[i]) - 'a');
    for (std::size_t k = 0; k < kKeysByLetter.count[letter]; ++k) {
        const Key* key = kKeysByLetter.keys[letter][k];
        if (const std::size_t end = key_end(text, i, key->name); end != std::string_view::npos) {
            return KeyMatch{key, end};
        }
    }
    return std::nullopt;
}

// Byte classes of identifiers, for the one pass over each word of the text.
enum ByteClass : std::uint8_t { kOther = 0, kLower, kUpper, kDigit, kUnderscore };
constexpr std::array<ByteClass, 256> kByteClass = [] {
    std::array<ByteClass, 256> table{};
    for (int c = 0; c < 256; ++c) {
        table[c] = is_lower(static_cast<char>(c))   ? kLower
                   : is_upper(static_cast<char>(c)) ? kUpper
                   : is_digit(static_cast<char>(c)) ? kDigit
                   : c == '_'                       ? kUnderscore
                                                    : kOther;
    }
    return table;
}();

ByteClass byte_class(char c) {
    return kByteClass[static_cast<unsigned char>(c)];
}

// Whether a key that starts at `start` may end with the identifier at `end`: its last letter (or
// the one before a plural "s") must end a key with that first letter. Most words are no key's,
// and this spares them the comparisons; a key that goes on over a hyphen is always tried.
bool may_end_key(std::string_view text, std::size_t start, std::size_t end) {
    if (end < text.size() && text[end] == '-') {
        return true;
    }
    const std::uint32_t last_letters =
        kKeysByLetter.last_letters[static_cast<std::size_t>(util::ascii_lower(text[start]) - 'a')];
    const auto ends_a_key = [&](char c) {
        const char lower = util::ascii_lower(c);
        return is_lower(lower) && (last_letters >> (lower - 'a') & 1) != 0;
    };
    return ends_a_key(text[end - 1]) ||
           (end - start >= 2 && util::ascii_lower(text[end - 1]) == 's' &&
            ends_a_key(text[end - 2]));
}

struct KeySearch {
    std::optional<KeyMatch> key;
    std::size_t word_end;  // one past the identifier
};

// The key of the identifier that starts at i (a rule start). Words start inside an identifier
// after an underscore, at a capital after a small letter or a digit ("turnPassword",
// "md5Token"), and at the last capital of an acronym before a small letter ("HTTPAuthToken").
// A key ends where the identifier does (or further on, over hyphens), so only its last words can
// be one: a key has at most two words, each written in at most two when its letter case is odd
// ("PassWord"), so the last four word starts are tried, from the left, and the longest key wins
// ("client_secret" over "secret"). One pass over the identifier, which the walk then skips.
KeySearch match_key(std::string_view text, std::size_t i) {
    constexpr std::size_t kTried = 4;
    std::array<std::size_t, kTried> starts{i};
    std::size_t count = 1;
    ByteClass before2 = kOther;
    ByteClass before = byte_class(text[i]);
    std::size_t end = i + 1;
    for (; end < text.size(); ++end) {
        const ByteClass c = byte_class(text[end]);
        if (c == before) {  // most of a word: no word starts inside a run of one class
            before2 = before;
            continue;
        }
        if (c == kOther) {
            break;
        }
        if ((before == kUnderscore && (c == kLower || c == kUpper)) ||
            (c == kUpper && (before == kLower || before == kDigit))) {
            starts[count++ % kTried] = end;
        } else if (c == kLower && before == kUpper && before2 == kUpper && end - 1 > i) {
            starts[count++ % kTried] = end - 1;
        }
        before2 = before;
        before = c;
    }
    for (std::size_t k = count > kTried ? count - kTried : 0; k < count; ++k) {
        const std::size_t start = starts[k % kTried];
        if (!may_end_key(text, start, end)) {
            continue;
        }
        if (auto key = match_key_at(text, start)) {
            return {key, end};
        }
    }
    return {std::nullopt, end};
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
// order (key and value, bearer token, web token); text no rule takes is copied.
class Redactor {
  public:
    Redactor(std::string_view text, bool cut_off) : text_(text), cut_off_(cut_off) {
        out_.reserve(text.size());
    }

    std::string run() {
        while (i_ < text_.size()) {
            if (!may_start_rule(text_, i_)) {
                ++i_;
            } else if (!(key() || bearer() || web_token())) {
                // No rule starts inside a word (but for its keys, which key() looked at): its other
                // bytes are not at a boundary, unless the word is an escaped line break's letter.
                i_ = is_escape_letter(text_, i_) ? i_ + 1 : word_end_;
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
        const KeySearch search = match_key(text_, i_);
        word_end_ = search.word_end;
        const auto& key = search.key;
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

    std::string_view text_;
    bool cut_off_;
    std::string out_;
    std::size_t i_ = 0;
    std::size_t copied_ = 0;  // the text before it is in out_
    std::size_t no_web_token_before_ = 0;
    std::size_t word_end_ = 0;  // one past the identifier key() last looked at
};

// The user-info of URLs, judged on the text the other rules left: a value they redacted
// ("turn:a:token=x\\y@h") no longer holds the bytes that ended a URL's token, so a second
// redaction reads the same tokens as the first.
std::string redact_userinfo(std::string text, bool cut_off) {
    if (!cut_off && text.find('@') == std::string::npos) {
        return text;
    }
    UserinfoFinder finder(text, cut_off);
    std::string out;
    out.reserve(text.size());
    std::size_t copied = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (!may_start_rule(text, i)) {
            continue;
        }
        if (const auto span = finder.at(i)) {
            out.append(text, copied, span->begin - copied).append(kRedacted);
            copied = i = span->end;
        }
    }
    out.append(text, copied);
    return out;
}

std::string redact(std::string_view text, bool cut_off) {
    return redact_userinfo(Redactor(text, cut_off).run(), cut_off);
}

}  // namespace

std::string redact_secrets(std::string_view text) {
    return redact(text, false);
}

std::string redact_cut_secrets(std::string_view text) {
    return redact(text, true);
}

}  // namespace vx::network::log_text
