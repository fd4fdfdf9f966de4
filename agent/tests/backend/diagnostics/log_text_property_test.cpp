// Properties of the log text functions and the report splitter over generated text. The seed is
// printed; VX_TEST_SEED repeats a run.
#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <random>
#include <string>

#include "backend/diagnostics/log_text.hpp"
#include "support/log_properties.hpp"

namespace vx::network {
namespace {

std::uint64_t test_seed() {
    if (const char* env = std::getenv("VX_TEST_SEED")) {
        return std::strtoull(env, nullptr, 10);
    }
    return std::random_device{}();
}

// Pieces that steer the text into every branch of the rules: keys in both cases and spellings,
// word joints, separators, quotes and escapes, schemes and URL bytes, token starts, blanks, and
// bytes that are not UTF-8.
constexpr std::array<std::string_view, 56> kPieces{"password",
                                                   "PassWord",
                                                   "token",
                                                   "api-key",
                                                   "Authorization",
                                                   "proxy_authorization",
                                                   "credential",
                                                   "encryption_key",
                                                   "--",
                                                   "--agent-token",
                                                   "--turn-pass",
                                                   "turn-pass",
                                                   "=",
                                                   ":",
                                                   " ",
                                                   "\t",
                                                   "\"",
                                                   "'",
                                                   "\\",
                                                   "\\\"",
                                                   "\\\\",
                                                   "bearer ",
                                                   "Basic ",
                                                   "eyJ",
                                                   ".",
                                                   "-",
                                                   "~",
                                                   "&",
                                                   ";",
                                                   "}",
                                                   "]",
                                                   "[",
                                                   "[REDACTED]",
                                                   "abc",
                                                   "0123456789",
                                                   "\r\n",
                                                   "\n",
                                                   "\xC3\xA9",
                                                   "\xE2\x82\xAC",
                                                   "\xF0\x9F\x98\x80",
                                                   "\xC3",
                                                   "\x80",
                                                   "\xED\xA0\x80",
                                                   "[warning]",
                                                   "{",
                                                   "@",
                                                   "turn:",
                                                   "//",
                                                   "Set-Cookie",
                                                   "sessionToken",
                                                   "credentials",
                                                   "_",
                                                   "/",
                                                   "?#",
                                                   "\\n",
                                                   "TURNPass"};

std::string generate(std::mt19937_64& rng) {
    std::uniform_int_distribution<int> count(0, 60);
    std::uniform_int_distribution<std::size_t> pick(0, kPieces.size() + 1);
    std::uniform_int_distribution<int> byte(0, 255);
    std::string text;
    for (int n = count(rng); n > 0; --n) {
        const std::size_t k = pick(rng);
        if (k < kPieces.size()) {
            text += kPieces[k];
        } else {
            text.push_back(static_cast<char>(byte(rng)));
        }
    }
    return text;
}

TEST(LogTextProperties, HoldOverGeneratedText) {
    const std::uint64_t seed = test_seed();
    SCOPED_TRACE("VX_TEST_SEED=" + std::to_string(seed));
    std::mt19937_64 rng(seed);
    for (int round = 0; round < 20000; ++round) {
        const std::string text = generate(rng);
        const std::string broken = log_text_violation(text);
        ASSERT_TRUE(broken.empty()) << broken << " for input of " << text.size()
                                    << " bytes: " << testing::PrintToString(text);
    }
}

TEST(LogTextProperties, TruncationOfLongGeneratedText) {
    const std::uint64_t seed = test_seed();
    SCOPED_TRACE("VX_TEST_SEED=" + std::to_string(seed));
    std::mt19937_64 rng(seed);
    for (int round = 0; round < 2000; ++round) {
        std::string text;
        while (text.size() < 240) {
            text += generate(rng);
        }
        const std::string broken = log_text_violation(text);
        ASSERT_TRUE(broken.empty()) << broken << ": " << testing::PrintToString(text);
    }
}

TEST(LogReportProperties, PartsAddUpAndFit) {
    const std::uint64_t seed = test_seed();
    SCOPED_TRACE("VX_TEST_SEED=" + std::to_string(seed));
    std::mt19937_64 rng(seed);
    std::uniform_int_distribution<int> lines(1, 400);
    std::uniform_int_distribution<int> kind(0, 9);
    for (int round = 0; round < 30; ++round) {
        std::string content;
        for (int n = lines(rng); n > 0; --n) {
            // Mostly ordinary lines, some long, some full of control bytes that escape to six.
            const int size_kind = kind(rng);
            const int fill_kind = kind(rng);
            const std::size_t size = size_kind == 0 ? 20000 : size_kind == 1 ? 9000 : 150;
            const char fill = fill_kind == 0 ? '\x01' : fill_kind == 1 ? '"' : 'x';
            content += std::string(size, fill) + "\xC3\xA9" + generate(rng) + "\n";
        }
        // Reports are sanitised before they are split, so no part may cut a character.
        const std::string broken = log_report_violation(log_text::sanitize_utf8(content));
        ASSERT_TRUE(broken.empty()) << broken << " (round " << round << ")";
    }
}

}  // namespace
}  // namespace vx::network
