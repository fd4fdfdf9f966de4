#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "util/ascii.hpp"
#include "util/base64.hpp"

namespace vx::util {
namespace {

std::vector<std::uint8_t> bytes(std::string_view text) {
    return {text.begin(), text.end()};
}

// RFC 4648 section 10.
TEST(Base64, KnownAnswersBothWays) {
    for (const auto& [plain, encoded] : std::vector<std::pair<std::string, std::string>>{
             {"", ""},
             {"f", "Zg=="},
             {"fo", "Zm8="},
             {"foo", "Zm9v"},
             {"foob", "Zm9vYg=="},
             {"fooba", "Zm9vYmE="},
             {"foobar", "Zm9vYmFy"},
             {std::string("\xFB\xFF\x00", 3), "+/8A"},
         }) {
        EXPECT_EQ(base64_encode(bytes(plain)), encoded);
        EXPECT_EQ(base64_decode(encoded), bytes(plain)) << encoded;
    }
}

TEST(Base64, OnlyStrictPaddedStandardTextDecodes) {
    for (const std::string& text : std::vector<std::string>{
             "Zm9vYg",       // padding missing
             "Zm9v Yg==",    // stray space
             "Zm9-Yg==",     // URL alphabet
             "Zm9vYg==x",    // trailing garbage
             "Zm9vYg=x",     // padding inside
             "Z===",         // three padding characters
             "Zm9v\nYg==",   // line break
             "Zm9vY\x80==",  // bytes 0x80-0xFF once decoded as "/"
             "Zm9vY\xFF==",
             "Zm9vYm\xC3\xA9",  // a non-ASCII letter in UTF-8
             std::string("Zm9v\0Yg=", 8),
         }) {
        EXPECT_FALSE(base64_decode(text)) << text;
    }
}

TEST(AsciiLower, ChangesOnlyAsciiCapitals) {
    EXPECT_EQ(ascii_lower("TURN:Relay.Example?Transport=UDP@[]`{"),
              "turn:relay.example?transport=udp@[]`{");
    // Non-ASCII bytes stay as they are whatever the locale (U+00C9 in UTF-8, 0xC9 alone).
    EXPECT_EQ(ascii_lower("\xC3\x89\xC9Z"), "\xC3\x89\xC9z");
    EXPECT_EQ(ascii_lower(""), "");
}

}  // namespace
}  // namespace vx::util
