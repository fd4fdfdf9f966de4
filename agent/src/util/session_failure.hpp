#pragma once

#include <cstdint>
#include <string_view>

namespace vx {

// The stage at which a session set-up failed; its name goes into the set-up failure report.
enum class SessionFailure : std::uint8_t {
    capture_init_failed = 0,
    encoder_init_failed = 1,
    video_socket_failed = 2,
    handshake_failed = 3,
    session_setup_failed = 4,  // any other stage
};

constexpr std::string_view session_failure_name(SessionFailure failure) {
    switch (failure) {
        case SessionFailure::capture_init_failed:
            return "capture_init_failed";
        case SessionFailure::encoder_init_failed:
            return "encoder_init_failed";
        case SessionFailure::video_socket_failed:
            return "video_socket_failed";
        case SessionFailure::handshake_failed:
            return "handshake_failed";
        case SessionFailure::session_setup_failed:
            break;
    }
    return "session_setup_failed";
}

}  // namespace vx
