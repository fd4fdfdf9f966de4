#include "traversal/turn/turn_credentials.hpp"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

namespace vx::network {
namespace {

struct Parsed {
    bool ok = false;
    TurnConfig config;
    std::string err;
};

Parsed parse(const std::string& text) {
    Parsed p;
    p.config.port = 0;
    p.config.lifetime = 77;
    p.ok = parse_turn_credentials(text, p.config, p.err);
    return p;
}

TEST(TurnCredentials, IceServerListPicksFirstUdpTurnUrl) {
    const auto p = parse(R"({"iceServers":[{"urls":["stun:s.example:3478",
        " turn:t.example:3478?transport=udp "],"username":"u1","credential":"c1"}]})");
    ASSERT_TRUE(p.ok) << p.err;
    EXPECT_EQ(p.config.server, "turn:t.example:3478?transport=udp");
    EXPECT_EQ(p.config.username, "u1");
    EXPECT_EQ(p.config.password, "c1");
    EXPECT_EQ(p.config.realm, "");
    EXPECT_EQ(p.config.port, 3478);
    EXPECT_EQ(p.config.lifetime, 77u);  // untouched
}

TEST(TurnCredentials, FlatAndNestedShapes) {
    auto p = parse(R"({"urls":"turn:Flat.Example","user":"u","pass":"p","realm":"r"})");
    ASSERT_TRUE(p.ok) << p.err;
    EXPECT_EQ(p.config.server, "turn:Flat.Example");
    EXPECT_EQ(p.config.realm, "r");

    p = parse(R"({"relay":{"turn":{"url":"turn:n.example:1234","username":"a","password":"b"}}})");
    ASSERT_TRUE(p.ok) << p.err;
    EXPECT_EQ(p.config.server, "turn:n.example:1234");

    p = parse(R"({"ice_servers":[{"uri":"turn:h?TRANSPORT=UDP","user_name":"a","secret":"s",
        "username":7}]})");
    ASSERT_TRUE(p.ok) << p.err;
    EXPECT_EQ(p.config.username, "a");  // a non-string value is passed over
    EXPECT_EQ(p.config.password, "s");
}

TEST(TurnCredentials, RefusalTexts) {
    EXPECT_EQ(parse(R"({"iceServers":[{"urls":"turn:h?transport=tcp","username":"u",
        "credential":"c"}]})")
                  .err,
              "TURN: only UDP TURN transport is supported");
    EXPECT_EQ(parse(R"({"iceServers":[{"urls":"turns:h","username":"u","credential":"c"},
        {"urls":"turn:h?transport=tcp","username":"u","credential":"c"}]})")
                  .err,
              "TURN: turns: (TLS) URLs are not supported; need turn:HOST:PORT?transport=udp");
    EXPECT_EQ(parse(R"({"iceServers":[],"turn":{"urls":"turn:h","username":"u",
        "password":"p"}})")
                  .err,
              "TURN: credentials JSON contains no ICE server URLs");
    EXPECT_EQ(parse(R"({"iceServers":[{"urls":"turn:a","username":"u"},
        {"urls":"turn:b","username":"u","credential":"c"}]})")
                  .err,
              "TURN: credentials JSON is missing username/password for turn:a");
    EXPECT_EQ(parse(R"({"urls":"turn:alice:PASSWORD@h","username":"u"})").err,
              "TURN: credentials JSON is missing username/password for turn:[REDACTED]@h");
    EXPECT_EQ(parse(R"({"iceServers":[{"urls":"stun:a"}]})").err,
              "TURN: no turn:HOST:PORT?transport=udp URL in the credentials");
    EXPECT_EQ(parse(R"("turn:h")").err, "TURN: credentials JSON contains no ICE server URLs");
    EXPECT_EQ(parse("").err, "TURN: credentials are not valid JSON");
    EXPECT_EQ(parse("turn:h:3478").err, "TURN: credentials are not valid JSON");
    EXPECT_EQ(parse("{\"urls\":\"turn:\xff\",\"username\":\"u\",\"password\":\"p\"}").err,
              "TURN: credentials are not valid JSON");
    const auto failed = parse(R"({"iceServers":[{"urls":"stun:a"}]})");
    EXPECT_EQ(failed.config.port, 0);  // untouched on failure
}

TEST(TurnCredentials, SearchDepthIsFourLevels) {
    const std::string entry = R"({"urls":"turn:h","username":"u","password":"p"})";
    // Depth 4: relay -> turn -> turn_server -> array element.
    EXPECT_TRUE(parse(R"({"relay":{"turn":{"turn_server":[)" + entry + "]}}}").ok);
    EXPECT_FALSE(parse(R"({"relay":{"turn":{"turn_server":[[)" + entry + "]]}}}").ok);
    EXPECT_TRUE(parse("[[[[" + entry + "]]]]").ok);
    EXPECT_FALSE(parse("[[[[[" + entry + "]]]]]").ok);
}

TEST(TurnCredentials, CommandLineOptionsRoundTrip) {
    EXPECT_EQ(build_ice_servers_json("turn:h", "u", ""), "");
    const std::string text = build_ice_servers_json("turn:h:3478", "user", "pa\"ss\\word");
    EXPECT_EQ(
        text,
        R"({"iceServers":[{"password":"pa\"ss\\word","urls":"turn:h:3478","username":"user"}]})");
    const auto p = parse(text);
    ASSERT_TRUE(p.ok) << p.err;
    EXPECT_EQ(p.config.password, "pa\"ss\\word");

    struct Options {
        std::string turn_url = "turn:h";
        std::string turn_user = "u";
        std::string turn_pass = "p";
    } options;
    EXPECT_FALSE(build_ice_servers_json(options).empty());
}

TEST(TurnCredentials, PasswordThatIsNotUtf8GivesNoCredentialsInsteadOfThrowing) {
    std::string text;
    EXPECT_NO_THROW(text = build_ice_servers_json("turn:h", "u", "bad\xc3("));
    EXPECT_EQ(text, "");
    EXPECT_NO_THROW(text = build_ice_servers_json("turn:\xff", "u", "p"));
    EXPECT_EQ(text, "");
}

// The backend may send the block as a string, which is parsed here without the dispatcher's
// depth guard: a pathologically deep document must be refused, not crash.
TEST(TurnCredentials, DeeplyNestedTextIsRefusedWithoutACrash) {
    const std::string deep = std::string(100'000, '[') + std::string(100'000, ']');
    const auto p = parse(deep);
    EXPECT_FALSE(p.ok);
    EXPECT_EQ(p.err, "TURN: credentials JSON contains no ICE server URLs");
    const auto cut = parse(std::string(100'000, '{'));
    EXPECT_EQ(cut.err, "TURN: credentials are not valid JSON");
}

}  // namespace
}  // namespace vx::network
