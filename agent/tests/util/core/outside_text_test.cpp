#include "util/outside_text.hpp"

#include <gtest/gtest.h>

#include <string>

namespace vx::util {
namespace {

TEST(QuoteOutsideText, ControlsAndBrokenBytesAreDefused) {
    struct Case {
        std::string text;
        std::string quoted;
    };
    const Case cases[] = {
        {"ConflictInMappingEntry", "ConflictInMappingEntry"},
        {"", ""},
        // Line ends stay readable and forge no line; a tab is harmless.
        {"\x1b]0;OWNED\x07\x1b[2J\n  result: ok\r\t", "?]0;OWNED??[2J\\n  result: ok\\r\t"},
        {std::string("a\0b", 3), "a?b"},
        {"\x7f", "?"},
        {"\xc2\x9b"  // CSI in UTF-8: one character, one mark
         "2J",
         "?2J"},
        {"\xc2\x85|\xc2\x9f", "?|?"},
        {"\x9b"  // CSI as a raw byte, not UTF-8
         "2J\x80",
         "?2J?"},
        {"\xc0\x9b", "?"},                                                         // ESC, overlong
        {"\xed\xa0\x80", "?"},                                                     // a surrogate
        {"\xf4\x90\x80\x80", "?"},                                                 // above U+10FFFF
        {"\xe2\x82", "??"},                                                        // cut short
        {"\xc2\xa0\xd0\x9e\xd1\x88\xd0\xb8\xd0\xb1\xd0\xba\xd0\xb0 \xe2\x9c\x93",  // NBSP, Cyrillic
         "\xc2\xa0\xd0\x9e\xd1\x88\xd0\xb8\xd0\xb1\xd0\xba\xd0\xb0 \xe2\x9c\x93"},
        {std::string(200, 'a'), std::string(200, 'a')},
        {std::string(250, 'a'), std::string(200, 'a') + "..."},
        // The cut falls before a character, never inside one, nor inside a stand-in.
        {std::string(199, 'a') + "\xd0\x96", std::string(199, 'a') + "..."},
        {std::string(199, 'a') + "\n", std::string(199, 'a') + "..."},
        {std::string(300, '\x1b'), std::string(200, '?') + "..."},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(quote_outside_text(c.text), c.quoted) << c.text;
    }
    EXPECT_EQ(quote_outside_text("abc\ndef", 4), "abc...");
    EXPECT_EQ(quote_outside_text(std::string(100'000, 'h'), 80), std::string(80, 'h') + "...");
}

// The log formatter writes every line through the same rule, whole.
TEST(AppendPrintable, TheRuleWithoutACut) {
    std::string out = ">";
    append_printable(std::string(300, 'x') + "\r\n\x1b\t\xff", out);
    EXPECT_EQ(out, ">" + std::string(300, 'x') + "\\r\\n?\t?");
}

}  // namespace
}  // namespace vx::util
