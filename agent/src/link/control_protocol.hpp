#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "link/session_keys.hpp"

namespace vx {

// The launcher's control connection: one JSON object per line.
inline constexpr std::size_t kMaxAuthLineBytes = 16384;
inline constexpr std::size_t kMaxControlLineBytes = 8192;

// A line that has not met its newline yet is already longer than `limit` bytes. A "\r" at its
// very end may begin the "\r\n" that ends it, and does not count.
bool partial_line_too_long(std::string_view partial, std::size_t limit);

// Takes the "\r" of a "\r\n" off a line read up to its newline; false when what is left is
// longer than `limit` bytes.
bool trim_line(std::string& line, std::size_t limit);

// Why a handshake was refused; sent to the launcher as the "code" of "auth_failed".
enum class AuthRefusal {
    rejected,   // "AUTH_REJECTED": wrong token, or no token hash to check it against
    malformed,  // "AUTH_FAIL": first line is no auth object, or too long
    timed_out,  // "HANDSHAKE_TIMEOUT": no auth line in time
    aborted,    // "SESSION_ABORTED": the session ended, or there are no keys to hand over
};

const char* auth_refusal_code(AuthRefusal refusal);

// The token of a valid first line {"type":"auth","session_token":"<non-empty>"}; nothing else.
std::optional<std::string> parse_auth_line(std::string_view line);

struct AuthDecision {
    bool accepted = false;
    AuthRefusal refusal = AuthRefusal::rejected;
};

// Checks a complete first line against the session's token hash and key availability.
AuthDecision decide_auth(std::string_view line, std::string_view expected_token_sha256,
                         bool keys_ready);

// {"audio_key":..,"input_key":..,"type":"session_ready","video_key":..} and a newline.
std::string make_session_ready_line(const SessionKeys& keys);

// {"code":"<REASON>","type":"auth_failed"} and a newline.
std::string make_auth_failed_line(AuthRefusal refusal);

// What a line after the handshake asks for.
enum class LauncherLineKind {
    ping,         // answer with a pong
    end_session,  // the launcher ends the session
    known,        // stats, requests, settings, NAT hints, ordering: accepted as activity
    unknown,      // a JSON object of a type this agent does not know: still activity
    invalid,      // not a JSON object
};

struct LauncherLine {
    LauncherLineKind kind = LauncherLineKind::invalid;
    std::string type;
    nlohmann::json message;
};

LauncherLine parse_launcher_line(std::string_view line);

// Logged (error) when a handshake arrives and the backend delivered no token hash.
inline constexpr const char* kNoTokenHashSecurityLine =
    "TcpControlServer: SECURITY \xE2\x80\x94 no expected session_token_sha256 configured (backend "
    "did not deliver one); refusing handshake instead of accepting an unverified token";

}  // namespace vx
