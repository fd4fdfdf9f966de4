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

// Finds user-info while the redaction walks a text from its start to its end. Each call is
// for a later position than the one before; a run of scheme or user-info bytes that led to
// nothing is not read again from a later start inside it, so the walk stays linear.
class UserinfoFinder {
  public:
    // cut_off: the text is the start of a longer one, so user-info bytes that run to its end
    // count as user-info whose "@" was cut off.
    UserinfoFinder(std::string_view text, bool cut_off);

    // The user-info, up to its "@", of a URL whose scheme starts at i (a letter that no
    // identifier byte precedes): scheme ":" or scheme "://", then user-info bytes, then "@".
    std::optional<Span> at(std::size_t i);

  private:
    std::string_view text_;
    bool cut_off_;
    std::size_t next_at_;  // the first "@" at or after the last start looked at, or npos
    std::size_t no_scheme_before_ = 0;
    std::size_t no_userinfo_before_ = 0;
};

}  // namespace vx::network::log_text
