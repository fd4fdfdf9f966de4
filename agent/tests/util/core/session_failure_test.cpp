#include "util/session_failure.hpp"

#include <gtest/gtest.h>

namespace vx::util {
namespace {

TEST(SessionFailure, Names) {
    EXPECT_EQ(session_failure_name(SessionFailure::capture_init_failed), "capture_init_failed");
    EXPECT_EQ(session_failure_name(SessionFailure::encoder_init_failed), "encoder_init_failed");
    EXPECT_EQ(session_failure_name(SessionFailure::video_socket_failed), "video_socket_failed");
    EXPECT_EQ(session_failure_name(SessionFailure::handshake_failed), "handshake_failed");
    EXPECT_EQ(session_failure_name(SessionFailure::session_setup_failed), "session_setup_failed");
    EXPECT_EQ(session_failure_name(static_cast<SessionFailure>(99)), "session_setup_failed");
}

}  // namespace
}  // namespace vx::util
