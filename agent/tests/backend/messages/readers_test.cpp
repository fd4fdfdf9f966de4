#include <gtest/gtest.h>

#include "backend/messages/messages.hpp"

namespace vx::network {
namespace {

using nlohmann::json;

json obj(const char* text) {
    return json::parse(text);
}

TEST(MessageReaders, IntegerKeysTakeNumbersAndBooleansOnly) {
    EXPECT_EQ(read_integer(obj(R"({"v":true})"), "v", 5), 1);
    EXPECT_EQ(read_integer(obj(R"({"v":false})"), "v", 5), 0);
    EXPECT_EQ(read_integer(obj(R"({"v":59.9})"), "v", 5), 59);
    EXPECT_EQ(read_integer(obj(R"({"v":-59.9})"), "v", 5), -59);
    EXPECT_EQ(read_integer(obj(R"({})"), "v", 5), 5);
    EXPECT_EQ(read_integer(obj(R"({"v":9223372036854775807})"), "v", 5), INT64_MAX);
    EXPECT_EQ(read_integer(obj(R"({"v":-9223372036854775808})"), "v", 5), INT64_MIN);
    EXPECT_THROW(read_integer(obj(R"({"v":"60"})"), "v", 5), MessageFormatError);
    EXPECT_THROW(read_integer(obj(R"({"v":null})"), "v", 5), MessageFormatError);
    EXPECT_THROW(read_integer(obj(R"({"v":[1]})"), "v", 5), MessageFormatError);
    EXPECT_THROW(read_integer(obj(R"({"v":1e300})"), "v", 5), MessageFormatError);
    EXPECT_THROW(read_integer(obj(R"({"v":-1e300})"), "v", 5), MessageFormatError);
    EXPECT_THROW(read_integer(obj(R"({"v":9223372036854775808})"), "v", 5), MessageFormatError);
    EXPECT_THROW(read_integer(obj(R"({"v":18446744073709551615})"), "v", 5), MessageFormatError);
    EXPECT_THROW(read_integer(obj(R"({"v":9.3e18})"), "v", 5), MessageFormatError);
}

TEST(MessageReaders, RangeCheckedIntegersNeverWrap) {
    const json v = obj(R"({"v":4294967296})");
    EXPECT_THROW(read_integer_in(v, "v", 0, 0, INT32_MAX), MessageFormatError);
    EXPECT_EQ(read_integer_in(obj(R"({"v":2147483647})"), "v", 0, 0, INT32_MAX), INT32_MAX);
    EXPECT_THROW(read_integer_in(obj(R"({"v":-1})"), "v", 0, 0, INT32_MAX), MessageFormatError);
}

TEST(MessageReaders, StringAndBooleanKeysNeedTheirOwnType) {
    EXPECT_EQ(read_string(obj(R"({"s":"x"})"), "s", "d"), "x");
    EXPECT_EQ(read_string(obj(R"({})"), "s", "d"), "d");
    EXPECT_THROW(read_string(obj(R"({"s":1})"), "s", "d"), MessageFormatError);
    EXPECT_THROW(read_string(obj(R"({"s":null})"), "s", "d"), MessageFormatError);
    EXPECT_THROW(read_string(obj(R"({"s":true})"), "s", "d"), MessageFormatError);
    EXPECT_TRUE(read_bool(obj(R"({"b":true})"), "b", false));
    EXPECT_TRUE(read_bool(obj(R"({})"), "b", true));
    EXPECT_THROW(read_bool(obj(R"({"b":1})"), "b", false), MessageFormatError);
    EXPECT_THROW(read_bool(obj(R"({"b":"true"})"), "b", false), MessageFormatError);
    EXPECT_THROW(read_bool(obj(R"({"b":null})"), "b", false), MessageFormatError);
}

const char* kKey32 = "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8=";  // bytes 0..31

TEST(PrepareSessionReader, FullOrder) {
    const json m = json::parse(std::string(R"({"type":"prepare_session","session_id":"s-1",)"
                                           R"("client_id":"c-9","max_duration_sec":0,)"
                                           R"("session_token_sha256":"ab12","encryption_key":")") +
                               kKey32 +
                               R"(","turn":{"urls":["turn:r.example:3478"],"username":"u"},)"
                               R"("constraints":{"codec":"hevc","resolution":"2560x1440",)"
                               R"("max_fps":59.9,"bitrate_kbps":true},)"
                               R"("session_isolation":{"hide_desktop":true,"launch_steam":true,)"
                               R"("steam_app_id":"570"}})");
    const PrepareSessionRead r = read_prepare_session(m);
    const PrepareSessionParams& p = r.params;
    EXPECT_TRUE(r.notes.empty());
    EXPECT_EQ(p.session_id, "s-1");
    EXPECT_EQ(p.client_id, "c-9");
    EXPECT_EQ(p.max_duration_sec, 0);
    EXPECT_EQ(p.session_token_sha256, "ab12");
    ASSERT_EQ(p.encryption_key.size(), 32u);
    EXPECT_EQ(p.encryption_key[0], 0);
    EXPECT_EQ(p.encryption_key[31], 31);
    EXPECT_EQ(p.turn, R"({"urls":["turn:r.example:3478"],"username":"u"})");
    EXPECT_EQ(p.codec, "hevc");
    EXPECT_EQ(p.resolution, "2560x1440");
    EXPECT_EQ(p.max_fps, 59);
    EXPECT_EQ(p.bitrate_kbps, 1);
    EXPECT_TRUE(p.hide_desktop);
    EXPECT_TRUE(p.launch_steam);
    EXPECT_EQ(p.steam_app_id, "570");
}

TEST(PrepareSessionReader, DefaultsAndNotes) {
    const PrepareSessionRead r = read_prepare_session(
        obj(R"({"type":"prepare_session","constraints":5,"session_isolation":[]})"));
    const PrepareSessionParams& p = r.params;
    EXPECT_EQ(p.max_duration_sec, 3600);
    EXPECT_EQ(p.codec, "h264");
    EXPECT_EQ(p.resolution, "1920x1080");
    EXPECT_EQ(p.max_fps, 60);
    EXPECT_EQ(p.bitrate_kbps, 15000);
    EXPECT_FALSE(p.hide_desktop);
    EXPECT_TRUE(p.encryption_key.empty());
    EXPECT_TRUE(p.turn.empty());
    ASSERT_EQ(r.notes.size(), 1u);
    EXPECT_NE(r.notes[0].find("has no session_token_sha256"), std::string::npos);
}

TEST(PrepareSessionReader, TurnBlockForms) {
    const auto turn_of = [](const char* value) {
        return read_prepare_session(
            obj((std::string(R"({"session_token_sha256":"x","turn":)") + value + "}").c_str()));
    };
    EXPECT_EQ(turn_of("[]").params.turn, "[]");
    EXPECT_EQ(turn_of(R"("turn:h:1?x= y")").params.turn, "turn:h:1?x= y");
    EXPECT_EQ(turn_of("null").params.turn, "");
    const PrepareSessionRead number = turn_of("12");
    EXPECT_EQ(number.params.turn, "");
    ASSERT_EQ(number.notes.size(), 1u);
    EXPECT_NE(number.notes[0].find("turn block is neither"), std::string::npos);
}

TEST(PrepareSessionReader, EncryptionKeyMustBeExactly32Bytes) {
    const auto key_of = [](const std::string& key) {
        return read_prepare_session(
            obj((R"({"session_token_sha256":"x","encryption_key":")" + key + "\"}").c_str()));
    };
    EXPECT_EQ(key_of(kKey32).params.encryption_key.size(), 32u);
    for (const std::string bad : {"AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwd",          // 30 bytes
                                  "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8gIQ==",  // 34
                                  "not base64 at all", "AAEC",
                                  // two letters replaced by a non-ASCII one ("//" to libsodium)
                                  "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGx\xC3\xA9Hh8="}) {
        const PrepareSessionRead r = key_of(bad);
        EXPECT_TRUE(r.params.encryption_key.empty()) << bad;
        ASSERT_EQ(r.notes.size(), 1u) << bad;
        EXPECT_NE(r.notes[0].find("encryption_key is not 32 bytes"), std::string::npos);
    }
}

TEST(PrepareSessionReader, WrongTypesAndOutOfRangeNumbersAreErrors) {
    for (const char* text : {
             R"({"session_id":7})",
             R"({"client_id":null})",
             R"({"max_duration_sec":"60"})",
             R"({"max_duration_sec":4294967296})",
             R"({"max_duration_sec":-1})",
             R"({"max_duration_sec":1e300})",
             R"({"constraints":{"max_fps":"60"}})",
             R"({"constraints":{"bitrate_kbps":4294967296}})",
             R"({"constraints":{"codec":1}})",
             R"({"session_isolation":{"hide_desktop":1}})",
             R"({"session_isolation":{"steam_app_id":570}})",
             R"({"encryption_key":true})",
         }) {
        EXPECT_THROW(read_prepare_session(obj(text)), MessageFormatError) << text;
    }
}

std::string relay(const std::string& id, const std::string& host, const std::string& rest = "") {
    return R"({"id":")" + id + R"(","host":")" + host + "\"" + rest + "}";
}

TEST(RelayListReader, KeepsValidNodesAndExplainsTheRest) {
    const std::string text =
        R"({"type":"relay_list","relays":[)" + relay("a", "1.1.1.1") + "," + relay("", "2.2.2.2") +
        ",42," + relay("b", "") + "," + relay("c", "h", R"(,"port":0)") + "," +
        relay("d", "h", R"(,"port":70000)") + "," + relay("e", "h", R"(,"port":-5)") + "," +
        relay("f", "relay.example", R"(,"port":3479.7)") + "," +
        relay("g", "h", R"(,"port":1e300)") + "," +
        relay("h", "h", R"(,"port":18446744073709551615)") + "]}";
    const RelayListRead r = read_relay_list(obj(text.c_str()), 0);
    ASSERT_TRUE(r.has_array);
    ASSERT_EQ(r.nodes.size(), 2u);
    EXPECT_EQ(r.nodes[0].id, "a");
    EXPECT_EQ(r.nodes[0].port, 3478);
    EXPECT_EQ(r.nodes[1].id, "f");
    EXPECT_EQ(r.nodes[1].port, 3479);
    // One line for the list however many entries were wrong: the first, and how many more.
    ASSERT_EQ(r.notes.size(), 1u);
    EXPECT_EQ(r.notes[0],
              "SaasConnector: relay_list entry without id/host — skipped (7 invalid entries in "
              "this list: 2 without id/host, 5 with an invalid port)");
    for (const auto& [port, shown] : std::vector<std::pair<std::string, std::string>>{
             {"0", "0"},
             {"70000", "70000"},
             {"-5", "-5"},
             {"1e300", "1e+300"},
             {"18446744073709551615", "18446744073709551615"}}) {
        const std::string one =
            R"({"relays":[{"id":"c","host":"h","port":)" + port + "}," + relay("a", "h") + "]}";
        const RelayListRead single = read_relay_list(obj(one.c_str()), 0);
        ASSERT_EQ(single.notes.size(), 1u) << port;
        EXPECT_EQ(single.notes[0],
                  "SaasConnector: relay_list entry id=c has invalid port " + shown + " — skipped");
    }
    // A port of the wrong type is still a malformed message.
    EXPECT_THROW(read_relay_list(obj(R"({"relays":[{"id":"a","host":"h","port":"80"}]})"), 0),
                 MessageFormatError);
}

TEST(RelayListReader, FortyNodesKeepTheFirst32AndInvalidOnesDoNotCount) {
    std::string text = R"({"relays":[)" + relay("", "x");
    for (int i = 0; i < 40; ++i) {
        text += "," + relay("n" + std::to_string(i), "10.0.0." + std::to_string(i));
    }
    text += "]}";
    const RelayListRead r = read_relay_list(obj(text.c_str()), 0);
    ASSERT_EQ(r.nodes.size(), 32u);
    EXPECT_EQ(r.nodes.front().id, "n0");
    EXPECT_EQ(r.nodes.back().id, "n31");
    ASSERT_EQ(r.notes.size(), 2u);
    EXPECT_NE(r.notes[1].find("has more than 32 node(s)"), std::string::npos);
}

TEST(RelayListReader, ControlCredentialsNeedAllThreeAndAPositiveTtl) {
    const std::int64_t now = 17'000'000'000'000'000;
    const std::string text =
        R"({"relays":[)" +
        relay("full", "h", R"(,"control":{"username":"u","credential":"p","ttl":600})") + "," +
        relay("ttl0", "h", R"(,"control":{"username":"u","credential":"p","ttl":0})") + "," +
        relay("nouser", "h", R"(,"control":{"credential":"p","ttl":600})") + "," +
        relay("notobj", "h", R"(,"control":"u:p")") + "," +
        relay("huge", "h",
              R"(,"control":{"username":"u","credential":"p","ttl":9223372036854775807})") +
        "]}";
    const RelayListRead r = read_relay_list(obj(text.c_str()), now);
    ASSERT_EQ(r.nodes.size(), 5u);
    EXPECT_EQ(r.nodes[0].username, "u");
    EXPECT_EQ(r.nodes[0].credential, "p");
    EXPECT_EQ(r.nodes[0].credential_expiry, now + 600LL * 10'000'000);
    for (int i = 1; i <= 3; ++i) {
        EXPECT_FALSE(r.nodes[i].carries_control()) << r.nodes[i].id;
        EXPECT_EQ(r.nodes[i].credential_expiry, 0);
    }
    // The lifetime is cut, so the expiry stays a sane future time instead of overflowing.
    EXPECT_EQ(r.nodes[4].credential_expiry, now + RelayListRead::kMaxCredentialTtlSec * 10'000'000);
}

TEST(RelayListReader, MissingArrayAndSignature) {
    EXPECT_FALSE(read_relay_list(obj(R"({"relays":{}})"), 0).has_array);
    EXPECT_FALSE(read_relay_list(obj(R"({})"), 0).has_array);
    RelayNode a;
    a.id = "a";
    a.host = "h1";
    RelayNode b;
    b.id = "b";
    b.host = "h2";
    b.port = 5;
    EXPECT_EQ(relay_list_signature({a, b}), "a@h1:3478;b@h2:5;");
}

}  // namespace
}  // namespace vx::network

namespace vx::network {
namespace {

// Logged excerpts of received messages use the log upload's redaction: every value of a secret
// key goes, string or not, a cut-off one to the end of the excerpt.
TEST(LogExcerptRedaction, MasksTheValuesOfSecretKeys) {
    EXPECT_EQ(log_excerpt(R"({"encryption_key":"AAEC","session_id":"s"})", 200),
              R"({"encryption_key":"[REDACTED]","session_id":"s"})");
    EXPECT_EQ(log_excerpt(R"({"control":{"credential" : "p\"w","ttl":1},"password":"x"})", 200),
              R"({"control":{"credential" : "[REDACTED]","ttl":1},"password":"[REDACTED]"})");
    // Cut-off text, a non-string value and a key without a value bare nothing.
    EXPECT_EQ(log_excerpt(R"({"encryption_key":"AAECAw)", 200),
              R"({"encryption_key":"[REDACTED]")");
    EXPECT_EQ(log_excerpt(R"({"encryption_key":5})", 200), R"({"encryption_key":[REDACTED]})");
    EXPECT_EQ(log_excerpt(R"("credential")", 200), R"("credential")");
    EXPECT_EQ(log_excerpt("plain", 200), "plain");
    // The session token hash is no secret; a TURN block given as a string is one.
    EXPECT_EQ(log_excerpt(R"({"session_token_sha256":"ab12"})", 200),
              R"({"session_token_sha256":"ab12"})");
    EXPECT_EQ(log_excerpt(R"({"turn":"{\"username\":\"u\",\"credential\":\"pw\"}"})", 200),
              R"({"turn":"{\"username\":\"u\",\"credential\":\"[REDACTED]\"}"})");
}

}  // namespace
}  // namespace vx::network
