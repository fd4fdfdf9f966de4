#include "backend/ws/ws_message.hpp"

#include <gtest/gtest.h>

#include "support/log_lines.hpp"

namespace vx::network {
namespace {

using Kind = WsFrameOutcome::Kind;

WsFrame frame(WsOpcode op, std::string payload, bool fin = true) {
    return WsFrame{static_cast<std::uint8_t>(op), fin, std::move(payload)};
}

TEST(WsMessageAssembler, FragmentsWithControlFramesBetween) {
    WsMessageAssembler a;
    EXPECT_EQ(a.on_frame(frame(WsOpcode::text, "{\"type\":", false)).kind, Kind::none);
    EXPECT_EQ(a.on_frame(frame(WsOpcode::ping, "p")).kind, Kind::ping);
    EXPECT_EQ(a.on_frame(frame(WsOpcode::continuation, "\"ping\"", false)).kind, Kind::none);
    EXPECT_EQ(a.on_frame(frame(WsOpcode::pong, "")).kind, Kind::pong);
    const auto done = a.on_frame(frame(WsOpcode::continuation, "}"));
    EXPECT_EQ(done.kind, Kind::message);
    EXPECT_EQ(done.text, "{\"type\":\"ping\"}");
    EXPECT_FALSE(a.fragment_active());
}

TEST(WsMessageAssembler, DataFrameDuringFragmentDropsThePartialMessage) {
    WsMessageAssembler a;
    a.on_frame(frame(WsOpcode::text, "stale", false));
    const auto o = a.on_frame(frame(WsOpcode::text, "fresh"));
    EXPECT_EQ(o.kind, Kind::message);
    EXPECT_EQ(o.text, "fresh");
    EXPECT_EQ(a.on_frame(frame(WsOpcode::continuation, "tail")).kind, Kind::none)
        << "a continuation without a fragment is dropped";
}

TEST(WsMessageAssembler, CloseRecords) {
    WsMessageAssembler a;
    const auto replaced =
        a.on_frame(frame(WsOpcode::close, std::string("\x0f\xa9", 2) + "replaced"));
    EXPECT_EQ(replaced.kind, Kind::close);
    EXPECT_EQ(replaced.close_code, 4009);
    EXPECT_EQ(replaced.text, "replaced");
    const auto short_close = a.on_frame(frame(WsOpcode::close, "x"));
    EXPECT_EQ(short_close.kind, Kind::close);
    EXPECT_EQ(short_close.close_code, 0);
    // A reason past the control frame limit would otherwise reach the log whole.
    const auto flood =
        a.on_frame(frame(WsOpcode::close, std::string("\x03\xe8", 2) + std::string(1 << 20, 'r')));
    EXPECT_EQ(flood.close_code, 1000);
    EXPECT_EQ(flood.text, std::string(123, 'r'));
}

TEST(WsMessageAssembler, PingAndPongPayloads) {
    WsMessageAssembler a;
    const auto ping = a.on_frame(frame(WsOpcode::ping, std::string(200, 'z')));
    EXPECT_EQ(ping.text, std::string(125, 'z'));
    EXPECT_EQ(a.on_frame(frame(WsOpcode::pong, std::string("\x00\x00\x01\x02", 4))).pong_id,
              0x0102u);
    EXPECT_EQ(a.on_frame(frame(WsOpcode::pong, "ab")).pong_id, 0u);
}

TEST(WsMessageAssembler, EmptyAndOversizedMessages) {
    WsMessageAssembler a;
    EXPECT_EQ(a.on_frame(frame(WsOpcode::text, "")).kind, Kind::none);
    EXPECT_EQ(a.on_frame(frame(static_cast<WsOpcode>(3), "x")).kind, Kind::none);
    a.on_frame(frame(WsOpcode::text, std::string(kWsMaxPayload - 1, 'a'), false));
    EXPECT_EQ(a.on_frame(frame(WsOpcode::continuation, "bb")).kind, Kind::too_large);
    EXPECT_FALSE(a.fragment_active());
    a.on_frame(frame(WsOpcode::binary, std::string(kWsMaxPayload - 1, 'a'), false));
    const auto exact = a.on_frame(frame(WsOpcode::continuation, "b"));
    EXPECT_EQ(exact.kind, Kind::message);
    EXPECT_EQ(exact.text.size(), kWsMaxPayload);
}

// A broken proxy's frames cost two bytes each: a warning per stray frame rotated the log away.
TEST(WsMessageAssembler, StrayFramesCostAFewLinesAConnection) {
    const struct {
        const char* line;
        WsFrame stray;
    } cases[] = {
        {"WS continuation frame with no active fragment", frame(WsOpcode::continuation, "x")},
        {"WS data frame during active fragment", frame(WsOpcode::text, "x", false)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        test::LogLines log;
        WsMessageAssembler a;
        for (int connection = 0; connection < 2; ++connection) {
            a.reset();
            for (int i = 0; i < 1000; ++i) {
                a.on_frame(c.stray);
            }
        }
        // The 1st, 500th and 1000th of each connection; the first fragment is no stray.
        const bool fragment = c.stray.opcode == static_cast<std::uint8_t>(WsOpcode::text);
        EXPECT_EQ(log.count(c.line), fragment ? 4 : 6);
        EXPECT_EQ(a.on_frame(frame(WsOpcode::text, "whole")).text, "whole");
    }
}

}  // namespace
}  // namespace vx::network
