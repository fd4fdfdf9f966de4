#include "util/error_text.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <stdexcept>

namespace vx::util {
namespace {

TEST(DescribeError, SystemCodeGetsItsTextAndValue) {
    const std::error_code ec(ECONNREFUSED, std::system_category());
    EXPECT_EQ(describe_error(ec), ec.message() + " (code " + std::to_string(ECONNREFUSED) + ")");
}

TEST(DescribeError, EveryTextEndsWithTheCode) {
    EXPECT_EQ(describe_error(std::error_code()), std::error_code().message() + " (code 0)");
    const std::system_error se(std::error_code(EADDRINUSE, std::generic_category()), "bind");
    EXPECT_EQ(describe_error(se),
              std::string(se.what()) + " (code " + std::to_string(EADDRINUSE) + ")");
    EXPECT_EQ(describe_error(std::runtime_error("boom")), "boom (code 0)");
    EXPECT_EQ(describe_error(std::runtime_error("")), "unknown error (code 0)");
}

}  // namespace
}  // namespace vx::util
