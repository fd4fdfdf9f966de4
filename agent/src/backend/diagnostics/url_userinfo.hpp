#pragma once

// The user-info of URLs in log text ("turn:alice:secret@relay", "wss://bob@host"): a password
// written into a URL is a credential like any other, and so is the user name beside it.

#include <cstddef>
#include <optional>
#include <string_view>

namespace vx::network::log_text {

struct Span {
    std::size_t begin;
    std::size_t end;
};

// Finds user-info while the redaction walks a text from its start to its end. A password may
// hold "/", "?", "#", "[" and "@" (TURN REST passwords are base64), so the user-info runs from
// the scheme to the last "@" of the URL's token; an "@" in its path or query is taken along,
// which redacts too much rather than too little.
//
// Each call is for a later position than the one before. A run of scheme bytes, and a token with
// its last "@", are read once and kept for the later starts inside them, so the walk stays
// linear however many schemes and "@" the text holds.
class UserinfoFinder {
  public:
    // cut_off: the text is the start of a longer one, so a token that runs to its end may have
    // lost its last "@" and is user-info whole.
    UserinfoFinder(std::string_view text, bool cut_off);

    // The user-info, up to its last "@", of a URL whose scheme starts at i (a letter that no
    // identifier byte precedes): scheme ":" or scheme "://", then the user-info, then "@".
    std::optional<Span> at(std::size_t i);

    // Bytes read by the scans so far: a few times the text's size at most.
    std::size_t bytes_read() const { return bytes_read_; }

  private:
    // The token that holds `begin`: where it ends and its last "@" (npos: none).
    struct Token {
        std::size_t from = 0;
        std::size_t end = 0;
        std::size_t last_at = std::string_view::npos;
    };
    const Token& token_at(std::size_t begin);

    std::string_view text_;
    bool cut_off_;
    std::size_t next_at_;  // the first "@" at or after the last start looked at, or npos
    std::size_t no_scheme_before_ = 0;
    Token token_;  // the last token read; from == end == 0 before the first
    std::size_t bytes_read_ = 0;
};

}  // namespace vx::network::log_text
