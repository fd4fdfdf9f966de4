#include "backend/ws/ws_handshake.hpp"

#include <gtest/gtest.h>

namespace vx::network {
namespace {

TEST(WsHandshake, RequestByteForByte) {
    RandomFn zeros = [](std::uint8_t* out, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i)
            out[i] = static_cast<std::uint8_t>(i);
    };
    const std::string key = make_ws_key(zeros);
    EXPECT_EQ(key, "AAECAwQFBgcICQoLDA0ODw==");
    EXPECT_EQ(build_ws_upgrade_request("backend.example", key, "tok-123"),
              "GET /agent/connect HTTP/1.1\r\n"
              "Host: backend.example\r\n"
              "Upgrade: websocket\r\n"
              "Connection: Upgrade\r\n"
              "Sec-WebSocket-Key: AAECAwQFBgcICQoLDA0ODw==\r\n"
              "Sec-WebSocket-Version: 13\r\n"
              "agent-token: tok-123\r\n"
              "\r\n");
}

TEST(WsHandshake, ResponseTable) {
    struct Case {
        const char* name;
        std::string text;
        int status;
        bool accepted;
        bool token_refused;
    };
    const std::vector<Case> cases{
        {"101 with accept",
         "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
         "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n\r\n",
         101, true, false},
        {"101 without accept", "HTTP/1.1 101 Switching Protocols\r\nUpgrade: WebSocket\r\n\r\n",
         101, true, false},
        {"lower-case headers", "HTTP/1.1 101 Switching Protocols\r\nupgrade:websocket\r\n\r\n", 101,
         true, false},
        {"101 without upgrade", "HTTP/1.1 101 Switching Protocols\r\nConnection: close\r\n\r\n",
         101, false, false},
        {"401 mentioning 101 and Upgrade",
         "HTTP/1.1 401 Unauthorized\r\nX-Note: 101 Upgrade\r\nUpgrade: websocket\r\n\r\n", 401,
         false, true},
        {"403", "HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n", 403, false, true},
        {"426", "HTTP/1.1 426 Upgrade Required\r\nUpgrade: websocket\r\n\r\n", 426, false, false},
        {"500", "HTTP/1.1 500 Internal Server Error\r\n\r\n", 500, false, false},
        {"not http", "SSH-2.0-OpenSSH\r\n\r\n", 0, false, false},
    };
    for (const auto& c : cases) {
        const auto r = parse_ws_upgrade_response(c.text);
        EXPECT_EQ(r.state, WsUpgradeResponse::State::complete) << c.name;
        EXPECT_EQ(r.status, c.status) << c.name;
        EXPECT_EQ(r.accepted(), c.accepted) << c.name;
        EXPECT_EQ(r.token_refused(), c.token_refused) << c.name;
    }
}

TEST(WsHandshake, BytesAfterTheHeadAreKeptExactly) {
    const std::string frames("\x81\x02hi\x89\x00", 6);
    const auto r =
        parse_ws_upgrade_response("HTTP/1.1 101 OK\r\nUpgrade: websocket\r\n\r\n" + frames);
    EXPECT_TRUE(r.accepted());
    EXPECT_EQ(r.rest, frames);
}

TEST(WsHandshake, IncompleteAndOversizedHeads) {
    EXPECT_EQ(parse_ws_upgrade_response("HTTP/1.1 101 OK\r\nUpgrade: websocket\r\n").state,
              WsUpgradeResponse::State::incomplete);
    std::string huge = "HTTP/1.1 101 OK\r\nX: " + std::string(kWsMaxResponseHead, 'a');
    EXPECT_EQ(parse_ws_upgrade_response(huge).state, WsUpgradeResponse::State::too_large);
    EXPECT_EQ(parse_ws_upgrade_response(huge + "\r\n\r\n").state,
              WsUpgradeResponse::State::too_large);
}

TEST(WsHandshake, PlainHttpHintComesFromTheBody) {
    auto r = parse_ws_upgrade_response(
        "HTTP/1.1 400 Bad Request\r\nContent-Length: 60\r\n\r\n"
        "<center>The plain HTTP request was sent to HTTPS port</center>");
    EXPECT_EQ(r.content_length, 60u);
    EXPECT_TRUE(looks_like_plain_http_to_tls(r));
    r = parse_ws_upgrade_response("HTTP/1.1 400 Bad Request\r\n\r\nmissing header");
    EXPECT_FALSE(looks_like_plain_http_to_tls(r));
}

}  // namespace
}  // namespace vx::network
