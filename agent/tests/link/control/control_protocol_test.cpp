#include <gtest/gtest.h>

#include <numeric>

#include "link/control_protocol.hpp"
#include "link/pong.hpp"
#include "link/probe.hpp"
#include "link/session_keys.hpp"
#include "util/base64.hpp"

namespace vx {
namespace {

// Known answers computed independently with BLAKE2b (libsodium's KDF construction) in Python:
//   blake2b(key=master, digest_size=32, salt=pack('<Q', id) + 8 zero bytes,
//           person=context + 8 zero bytes)  with master = bytes 0..31.
constexpr const char* kVideoB64 = "FmE9Yzjg5mUDeltlrj6MtFhKlm9F2KmaoD6b3cA/4UQ=";
constexpr const char* kAudioB64 = "LoddZLnctcAYbUBJjScPCfHJlhnNf1T9Y8NfESdjjbA=";
constexpr const char* kInputB64 = "5V4MGDgaW15zLIqgPx1UnLZIsw9ZnCmDF1iuev5iahU=";
// sha256("launcher-token-1")
constexpr const char* kTokenHash =
    "0b8678dd74e2bebf8018f270a6d82bdd1b695f5387568f130c8750ce74ba6c27";

std::vector<std::uint8_t> counting_master() {
    std::vector<std::uint8_t> master(32);
    std::iota(master.begin(), master.end(), 0);
    return master;
}

TEST(SessionKeys, DerivationMatchesIndependentBlake2b) {
    const auto keys = derive_session_keys(counting_master());
    ASSERT_TRUE(keys);
    EXPECT_EQ(util::base64_encode(keys->video), kVideoB64);
    EXPECT_EQ(util::base64_encode(keys->audio), kAudioB64);
    EXPECT_EQ(util::base64_encode(keys->input), kInputB64);
}

TEST(SessionKeys, OnlyA32ByteMasterKeyIsUsable) {
    EXPECT_FALSE(derive_session_keys({}));
    EXPECT_FALSE(derive_session_keys(std::vector<std::uint8_t>(31)));
    EXPECT_FALSE(derive_session_keys(std::vector<std::uint8_t>(33)));
}

TEST(SessionKeys, WipeZeroesAllThree) {
    auto keys = derive_session_keys(counting_master());
    ASSERT_TRUE(keys);
    keys->wipe();
    const SessionKey zero{};
    EXPECT_EQ(keys->video, zero);
    EXPECT_EQ(keys->audio, zero);
    EXPECT_EQ(keys->input, zero);
}

TEST(SessionKeys, TokenCheck) {
    EXPECT_EQ(token_sha256_hex("launcher-token-1"), kTokenHash);
    EXPECT_TRUE(token_matches("launcher-token-1", kTokenHash));
    std::string upper = kTokenHash;
    for (auto& c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_TRUE(token_matches("launcher-token-1", upper));
    EXPECT_FALSE(token_matches("launcher-token-2", kTokenHash));
    EXPECT_FALSE(token_matches("launcher-token-1", ""));
    EXPECT_FALSE(token_matches("launcher-token-1", std::string(kTokenHash).substr(1)));
    EXPECT_FALSE(token_matches("launcher-token-1", std::string(64, 'z')));
}

TEST(ControlProtocol, AuthLineParsing) {
    EXPECT_EQ(parse_auth_line(R"({"type":"auth","session_token":"abc"})"), "abc");
    EXPECT_EQ(parse_auth_line(R"({"session_token":"abc","type":"auth","x":1})"), "abc");
    EXPECT_FALSE(parse_auth_line(R"({"type":"auth"})"));
    EXPECT_FALSE(parse_auth_line(R"({"type":"auth","session_token":""})"));
    EXPECT_FALSE(parse_auth_line(R"({"type":"auth","session_token":5})"));
    EXPECT_FALSE(parse_auth_line(R"({"type":"ping","session_token":"abc"})"));
    EXPECT_FALSE(parse_auth_line(R"(["auth"])"));
    EXPECT_FALSE(parse_auth_line("not json"));
    const std::string padded = R"({"type":"auth","session_token":"abc","pad":")" +
                               std::string(kMaxAuthLineBytes, 'x') + "\"}";
    EXPECT_FALSE(parse_auth_line(padded));
}

// A line may be `limit` bytes long without its "\n" or "\r\n".
TEST(ControlProtocol, LineLimitsLeaveTheLineEndingOut) {
    struct Case {
        std::string text;
        bool partial_too_long;  // read so far, no newline yet
        bool whole_fits;        // read up to its newline
    };
    const Case cases[] = {
        {std::string(8, 'x'), false, true},        {std::string(8, 'x') + "\r", false, true},
        {std::string(9, 'x'), true, false},        {std::string(8, 'x') + "\r\r", true, false},
        {std::string(9, 'x') + "\r", true, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(partial_line_too_long(c.text, 8), c.partial_too_long) << c.text.size();
        std::string line = c.text;
        EXPECT_EQ(trim_line(line, 8), c.whole_fits) << c.text.size();
    }
}

TEST(ControlProtocol, AuthDecisions) {
    const std::string good = R"({"type":"auth","session_token":"launcher-token-1"})";
    const std::string bad = R"({"type":"auth","session_token":"launcher-token-9"})";
    EXPECT_TRUE(decide_auth(good, kTokenHash, true).accepted);
    EXPECT_EQ(decide_auth(bad, kTokenHash, true).refusal, AuthRefusal::rejected);
    EXPECT_EQ(decide_auth(good, "", true).refusal, AuthRefusal::rejected);
    EXPECT_EQ(decide_auth("{}", kTokenHash, true).refusal, AuthRefusal::malformed);
    EXPECT_EQ(decide_auth(good, kTokenHash, false).refusal, AuthRefusal::aborted);
    // A wrong token is refused as such even when no keys exist.
    EXPECT_EQ(decide_auth(bad, kTokenHash, false).refusal, AuthRefusal::rejected);
}

TEST(ControlProtocol, AnswerLinesAreCanonical) {
    const auto keys = derive_session_keys(counting_master());
    ASSERT_TRUE(keys);
    EXPECT_EQ(make_session_ready_line(*keys),
              std::string(R"({"audio_key":")") + kAudioB64 + R"(","input_key":")" + kInputB64 +
                  R"(","type":"session_ready","video_key":")" + kVideoB64 + "\"}\n");
    EXPECT_EQ(make_auth_failed_line(AuthRefusal::rejected),
              "{\"code\":\"AUTH_REJECTED\",\"type\":\"auth_failed\"}\n");
    EXPECT_STREQ(auth_refusal_code(AuthRefusal::malformed), "AUTH_FAIL");
    EXPECT_STREQ(auth_refusal_code(AuthRefusal::timed_out), "HANDSHAKE_TIMEOUT");
    EXPECT_STREQ(auth_refusal_code(AuthRefusal::aborted), "SESSION_ABORTED");
}

TEST(ControlProtocol, LauncherLines) {
    EXPECT_EQ(parse_launcher_line(R"({"type":"ping","ts":5})").kind, LauncherLineKind::ping);
    EXPECT_EQ(parse_launcher_line(R"({"type":"end_session"})").kind, LauncherLineKind::end_session);
    for (const char* type : {"stats", "request_idr", "set_settings", "client_punch", "client_srflx",
                             "client_probe_sources", "ctl_skip", "cseq", "cdrop"}) {
        EXPECT_EQ(parse_launcher_line(std::string(R"({"type":")") + type + "\"}").kind,
                  LauncherLineKind::known)
            << type;
    }
    EXPECT_EQ(parse_launcher_line(R"({"type":"hello"})").kind, LauncherLineKind::unknown);
    EXPECT_EQ(parse_launcher_line(R"({})").kind, LauncherLineKind::unknown);
    EXPECT_EQ(parse_launcher_line("[1]").kind, LauncherLineKind::invalid);
    EXPECT_EQ(parse_launcher_line("{").kind, LauncherLineKind::invalid);
}

TEST(Pong, TimestampRulesAndText) {
    using nlohmann::json;
    EXPECT_EQ(ping_timestamp_text(json::parse(R"({"ts":1})")), 1);
    EXPECT_EQ(ping_timestamp_text(json::parse(R"({"ts":9223372036854775807})")),
              INT64_C(9223372036854775807));
    EXPECT_FALSE(ping_timestamp_text(json::parse(R"({"ts":9223372036854775808})")));
    EXPECT_FALSE(ping_timestamp_text(json::parse(R"({"ts":0})")));
    EXPECT_FALSE(ping_timestamp_text(json::parse(R"({"ts":-4})")));
    EXPECT_FALSE(ping_timestamp_text(json::parse(R"({"ts":1.5})")));
    EXPECT_FALSE(ping_timestamp_text(json::parse(R"({"ts":"7"})")));
    EXPECT_FALSE(ping_timestamp_text(json::parse(R"([1])")));
    EXPECT_EQ(make_pong(std::nullopt), R"({"type":"pong"})");
    EXPECT_EQ(make_pong(1234567890123), R"({"type":"pong","ts":1234567890123})");
}

std::vector<std::uint8_t> bytes(std::string_view text) {
    return {text.begin(), text.end()};
}

TEST(Probe, Datagrams) {
    EXPECT_EQ(parse_probe(bytes("VXP1"))->kind, ProbeKind::hole_punch);
    EXPECT_EQ(parse_probe(bytes("VXP2"))->kind, ProbeKind::winner);
    const auto check = parse_probe(bytes("VXK1abcdefgh"));
    ASSERT_TRUE(check);
    EXPECT_EQ(check->kind, ProbeKind::check);
    ASSERT_TRUE(check->token);
    EXPECT_EQ(check->token->front(), 'a');
    EXPECT_EQ(check->token->back(), 'h');
    EXPECT_FALSE(parse_probe(bytes("VXP1"))->token);
    EXPECT_EQ(parse_probe(bytes("x"))->kind, ProbeKind::legacy);
    EXPECT_FALSE(parse_probe(bytes("")));
    EXPECT_FALSE(parse_probe(bytes("VXP3")));
    EXPECT_FALSE(parse_probe(bytes("VXP1abc")));
    EXPECT_FALSE(parse_probe(bytes("VXK1abcdefghi")));
}

}  // namespace
}  // namespace vx
