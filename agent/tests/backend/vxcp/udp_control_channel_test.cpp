#include "backend/vxcp/udp_control_channel.hpp"

#include <gtest/gtest.h>

#include "fake_vxcp_backend.hpp"
#include "support/log_lines.hpp"

namespace vx::test {
namespace {

struct ChannelTest : ::testing::Test {
    FakeClock clock{5'000'000};
    FakeNetwork net{clock};
    FakeBackend backend{net};

    std::unique_ptr<UdpControlChannel> connected(UdpControlChannelConfig config = test_config()) {
        backend.attach();
        auto ch = std::make_unique<UdpControlChannel>(config, fake_seams(net));
        std::string err;
        EXPECT_TRUE(ch->connect(err)) << err;
        return ch;
    }

    std::vector<std::string> tick(UdpControlChannel& ch, int ms = 20) {
        std::vector<std::string> out;
        ch.tick(ms, out);
        return out;
    }
};

TEST_F(ChannelTest, NotConfiguredFailsBeforeAnyDatagram) {
    for (auto mutate : std::vector<std::function<void(UdpControlChannelConfig&)>>{
             [](auto& c) { c.token.pop_back(); },
             [](auto& c) { c.token.push_back('0'); },
             [](auto& c) { c.secret.clear(); },
             [](auto& c) { c.host.clear(); },
             [](auto& c) { c.port = 0; },
         }) {
        auto config = test_config();
        mutate(config);
        UdpControlChannel ch(config, fake_seams(net));
        std::string err;
        EXPECT_FALSE(ch.connect(err));
        EXPECT_EQ(err, "control channel not configured");
    }
    EXPECT_TRUE(net.from_agent.empty());
}

TEST_F(ChannelTest, NoAnswerSendsEightHellosAndGivesUpAfter3000Ms) {
    UdpControlChannel ch(test_config(40123), fake_seams(net));
    std::string err;
    const std::int64_t start = clock.now_us();
    EXPECT_FALSE(ch.connect(err));
    EXPECT_EQ(err, "no WELCOME from 127.0.0.1:40123 within 3000 ms");
    ASSERT_EQ(net.from_agent.size(), 8u);
    for (std::size_t i = 0; i < 8; ++i) {
        EXPECT_EQ(net.from_agent[i].at_us - start, static_cast<std::int64_t>(i) * 400'000);
        EXPECT_EQ(net.from_agent[i].bytes, net.from_agent[0].bytes);  // the same HELLO repeated
    }
    EXPECT_EQ(clock.now_us() - start, 3'000'000);
}

TEST_F(ChannelTest, HandshakeStopsEarlyWhenTheAgentStops) {
    auto seams = fake_seams(net);
    int polls = 0;
    seams.keep_going = [&polls] { return ++polls < 3; };
    UdpControlChannel ch(test_config(), seams);
    std::string err;
    EXPECT_FALSE(ch.connect(err));
    EXPECT_EQ(err, "stopped during the handshake");
    EXPECT_EQ(net.from_agent.size(), 2u);  // HELLOs at 0 and 400 ms, then the stop is seen
}

// Datagrams arriving without a pause (junk, or a flood from the backend's address) must not hold
// the handshake past its time-out or past a stop.
TEST_F(ChannelTest, AFloodOfDatagramsEndsTheHandshakeInTime) {
    for (const bool stop : {false, true}) {
        SCOPED_TRACE(stop ? "stopped" : "timed out");
        net.to_agent.assign(20'000, Bytes(64, 0xEE));
        net.us_per_datagram = 1000;
        auto seams = fake_seams(net);
        if (stop) {
            seams.keep_going = [polls = 0]() mutable { return ++polls < 2; };
        }
        UdpControlChannel ch(test_config(), seams);
        std::string err;
        const std::int64_t start = clock.now_us();
        EXPECT_FALSE(ch.connect(err));
        EXPECT_EQ(err, stop ? "stopped during the handshake"
                            : "no WELCOME from 127.0.0.1:" + std::to_string(test_config().port) +
                                  " within 3000 ms");
        EXPECT_LE(clock.now_us() - start, stop ? 500'000 : 3'500'000);
    }
}

TEST_F(ChannelTest, KnownAnswerHelloAndKeys) {
    backend.attach();
    auto seams = fake_seams(net);
    std::deque<Bytes> randoms;
    randoms.push_back(Bytes(32, 0x11));
    randoms.push_back(unhex("0102030405060708"));
    randoms.push_back(unhex("303132333435363738393a3b3c3d3e3f"));
    seams.random = [&randoms](std::uint8_t* out, std::size_t n) {
        ASSERT_EQ(randoms.front().size(), n);
        std::copy_n(randoms.front().begin(), n, out);
        randoms.pop_front();
    };
    UdpControlChannel ch(test_config(), seams);
    std::string err;
    ASSERT_TRUE(ch.connect(err)) << err;
    const Bytes& hello = net.from_agent.at(0).bytes;
    EXPECT_EQ(hex(ByteView(hello).subspan(110)),
              "2a1dc93ceafec3b6c12bde93061f3649f7ed5d3b8a52682abc10f8871b071dd3");
    EXPECT_EQ(hex(backend.c2s_key()),
              "fe450e9c1b14b21444760957ce3f10b97f2f5eb6e95b22e3f46beeecc3bb0224");
    EXPECT_EQ(hex(backend.s2c_key()),
              "33e7d78bfe8268cdb13762d568cbd4b05da106b982cc2511d2da91249a4c3e39");
    // The agent derived the same keys: its DATA opens under the vector's c2s key.
    ASSERT_TRUE(ch.queue_message(as_bytes("{\"type\":\"register\"}")));
    ch.send();
    ASSERT_EQ(backend.received, (std::vector<std::string>{"{\"type\":\"register\"}"}));
}

// The same connection, with the backend's side replaced by the independently computed bytes.
TEST_F(ChannelTest, KnownAnswerConnectionByteForByte) {
    auto seams = fake_seams(net);
    std::deque<Bytes> randoms{Bytes(32, 0x11), unhex("0102030405060708"),
                              unhex("303132333435363738393a3b3c3d3e3f")};
    seams.random = [&randoms](std::uint8_t* out, std::size_t n) {
        ASSERT_EQ(randoms.front().size(), n);
        std::copy_n(randoms.front().begin(), n, out);
        randoms.pop_front();
    };
    net.backend = [this](const Bytes& d) {
        if (d.size() == kVxcpHelloSize) {
            net.to_agent.push_back(unhex(kKatWelcome));
        }
    };
    UdpControlChannel ch(test_config(), seams);
    std::string err;
    ASSERT_TRUE(ch.connect(err)) << err;
    ASSERT_EQ(net.from_agent.size(), 1u);
    EXPECT_EQ(hex(net.from_agent[0].bytes), kKatHello);
    EXPECT_EQ(ch.clock_offset_ms(), 1234);

    ASSERT_TRUE(ch.queue_message(as_bytes("hello")));
    ch.send();
    ASSERT_EQ(net.from_agent.size(), 2u);
    EXPECT_EQ(hex(net.from_agent[1].bytes), kKatAgentData);

    net.to_agent.push_back(unhex(kKatBackendData));
    EXPECT_EQ(tick(ch), std::vector<std::string>{"pong"});
    EXPECT_EQ(ch.stream()->pending_fragments(), 0u);  // packet 1 acknowledged
    EXPECT_EQ(ch.dropped(), 0u);
}

TEST_F(ChannelTest, MessagesFlowBothWays) {
    auto ch = connected();
    ASSERT_TRUE(ch->alive());
    EXPECT_EQ(ch->path_name(), "direct");
    EXPECT_EQ(ch->endpoint_text(), "127.0.0.1:40001");
    backend.stream->queue_message(as_bytes("one"));
    backend.stream->queue_message(as_bytes(std::string(5000, 'z')));
    backend.flush();
    const auto got = tick(*ch);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0], "one");
    EXPECT_EQ(got[1], std::string(5000, 'z'));
    ASSERT_TRUE(ch->queue_message(as_bytes("pong")));
    ch->send();
    EXPECT_EQ(backend.received, (std::vector<std::string>{"pong"}));
    for (const auto& d : net.from_agent) {
        EXPECT_LE(d.bytes.size(), kVxcpMaxDatagram);
    }
    EXPECT_FALSE(ch->queue_message(Bytes(262145, 'x')));  // over the WELCOME's limit
}

TEST_F(ChannelTest, RetryCorrectsTheClockOnce) {
    backend.silent = true;
    backend.attach();
    // This PC's clock is 90 s behind the backend's.
    UdpControlChannel ch(test_config(), fake_seams(net, 1'700'000'000'000 - 90'000));
    const Key32 hk = vxcp_hello_key(as_bytes(kTestAgentToken));
    int step = 0;
    Bytes first_hello;
    net.backend = [&](const Bytes& hello) {
        backend.on_agent_datagram(hello);
        const auto h = vxcp_parse_header(hello);
        const ByteView mac = ByteView(hello).last(32);
        if (step == 0) {
            first_hello = hello;
            Bytes bad = build_retry(h->connection_id, 1'700'000'000'000, hk, mac);
            bad[40] ^= 1;
            net.to_agent.push_back(bad);  // a wrong MAC is dropped
        } else if (step == 1) {
            net.to_agent.push_back(build_retry(h->connection_id, 1'700'000'000'400, hk, mac));
        } else if (step == 2) {
            // The same RETRY again (for the new id) is not taken a second time; a WELCOME for
            // the old connection id is dropped.
            net.to_agent.push_back(build_retry(h->connection_id, 1'700'000'500'000, hk, mac));
            backend.on_hello(first_hello, vxcp_parse_header(first_hello)->connection_id);
        }
        ++step;
    };
    std::string err;
    EXPECT_FALSE(ch.connect(err));
    EXPECT_EQ(err, "no WELCOME from 127.0.0.1:40001 within 3000 ms (after a clock RETRY)");
    EXPECT_TRUE(ch.clock_retried());
    ASSERT_GE(net.from_agent.size(), 3u);
    const auto id0 = vxcp_parse_header(net.from_agent[0].bytes)->connection_id;
    const auto id1 = vxcp_parse_header(net.from_agent[1].bytes)->connection_id;
    const auto id2 = vxcp_parse_header(net.from_agent[2].bytes)->connection_id;
    EXPECT_EQ(id0, id1);  // the bad RETRY changed nothing
    EXPECT_NE(id1, id2);
    // The HELLO right after the RETRY carries the backend's time.
    EXPECT_EQ(vxcp_get_u64_be(net.from_agent[2].bytes.data() + 102), 1'700'000'000'400u);
    EXPECT_EQ(ch.clock_offset_ms(), 90'000 + 400 - 400);
    EXPECT_EQ(ch.dropped(), 3u);  // the bad RETRY, the second RETRY, the old id's WELCOME
}

// Backend times at 2^63 and beyond once overflowed the offset arithmetic here and in the next
// connection's HELLO; such a RETRY is dropped and such a WELCOME leaves the offset as it was.
TEST_F(ChannelTest, ImplausibleBackendTimesAreRefused) {
    LogLines log;
    backend.attach();
    backend.welcome.backend_time_ms = ~std::uint64_t{0};
    const Key32 hk = vxcp_hello_key(as_bytes(kTestAgentToken));
    int hellos = 0;
    net.backend = [&](const Bytes& hello) {
        if (++hellos == 1) {
            const auto h = vxcp_parse_header(hello);
            const ByteView mac = ByteView(hello).last(32);
            net.to_agent.push_back(build_retry(h->connection_id, std::uint64_t{1} << 63, hk, mac));
        } else {
            backend.on_agent_datagram(hello);
        }
    };
    auto config = test_config();
    config.clock_offset_ms = -4'000;
    UdpControlChannel ch(config, fake_seams(net));
    std::string err;
    ASSERT_TRUE(ch.connect(err)) << err;
    EXPECT_FALSE(ch.clock_retried());
    EXPECT_EQ(ch.clock_offset_ms(), -4'000);
    EXPECT_EQ(ch.dropped(), 1u);
    ASSERT_EQ(net.from_agent.size(), 2u);
    EXPECT_EQ(net.from_agent[0].bytes, net.from_agent[1].bytes);  // the RETRY changed nothing
    EXPECT_EQ(vxcp_get_u64_be(net.from_agent[0].bytes.data() + 102), 1'700'000'000'000u - 4'000u);
    EXPECT_EQ(log.count("RETRY gives its time as 9223372036854775808 ms since 1970, which is not "
                        "plausible - RETRY ignored"),
              1);
    EXPECT_EQ(log.count("WELCOME gives its time as 18446744073709551615 ms since 1970, which is "
                        "not plausible - the clock offset stays -4000 ms"),
              1);
}

TEST_F(ChannelTest, MalformedWelcomesAreDroppedAndTheHandshakeGoesOn) {
    backend.attach();
    int hellos = 0;
    net.backend = [&](const Bytes& hello) {
        ++hellos;
        backend.on_agent_datagram(hello);
        Bytes good = net.to_agent.back();
        net.to_agent.pop_back();
        if (hellos == 1) {
            net.to_agent.push_back(Bytes(good.begin(), good.end() - 1));  // 101 bytes
            Bytes longer = good;
            longer.push_back(0);
            net.to_agent.push_back(longer);  // 103 bytes
            good[60] ^= 1;
            net.to_agent.push_back(good);  // body fails authentication
        } else {
            net.to_agent.push_back(good);
        }
    };
    UdpControlChannel ch(test_config(), fake_seams(net));
    std::string err;
    ASSERT_TRUE(ch.connect(err)) << err;
    EXPECT_EQ(hellos, 2);
    EXPECT_EQ(ch.dropped(), 3u);
    EXPECT_EQ(ch.handshake_ms(), 400);
}

TEST_F(ChannelTest, ResetNeedsTheRightTokenAndSize) {
    auto ch = connected();
    Bytes short_reset = build_reset(backend.id, backend.welcome.reset_token);
    short_reset.pop_back();
    net.to_agent.push_back(short_reset);
    ResetToken wrong = backend.welcome.reset_token;
    wrong[0] ^= 1;
    net.to_agent.push_back(build_reset(backend.id, wrong));
    tick(*ch);
    EXPECT_TRUE(ch->alive());
    EXPECT_EQ(ch->dropped(), 2u);
    net.to_agent.push_back(build_reset(backend.id, backend.welcome.reset_token));
    tick(*ch);
    EXPECT_FALSE(ch->alive());
    EXPECT_EQ(ch->end_reason(), "server reset the connection (backend restarted)");
    EXPECT_FALSE(ch->path_failure());
}

TEST_F(ChannelTest, DataWithPacketNumberZeroIsDropped) {
    auto ch = connected();
    Bytes payload;
    vxcp_append_fragment(payload, 0, 0, 1, as_bytes("sneaky"));
    net.to_agent.push_back(vxcp_seal_data(backend.id, 0, backend.s2c_key(), "s2c", payload));
    EXPECT_TRUE(tick(*ch).empty());
    EXPECT_EQ(ch->dropped(), 1u);
}

// Only a holder of the connection's keys can number a packet, but no number may hang the
// connection thread or flood the log.
TEST_F(ChannelTest, DataNumberedBeyondThePeersReachIsDroppedAndLoggedOnce) {
    LogLines log;
    auto ch = connected();
    Bytes payload;
    vxcp_append_ping(payload);
    for (const std::uint64_t number : {~std::uint64_t{0} - 1, ~std::uint64_t{0}}) {
        net.to_agent.push_back(
            vxcp_seal_data(backend.id, number, backend.s2c_key(), "s2c", payload));
    }
    EXPECT_TRUE(tick(*ch).empty());
    EXPECT_TRUE(ch->alive());
    EXPECT_EQ(ch->dropped(), 2u);
    EXPECT_EQ(ch->stream()->counters().packets_received, 0u);
    EXPECT_EQ(log.count("cannot have reached"), 1);
}

// A message over the limit the backend itself set in WELCOME is refused, and its packet was
// acknowledged: it can never complete, and nothing queued behind it can be delivered. The
// connection ends with a line that says so instead of living on without hearing the backend.
TEST_F(ChannelTest, AMessageOverTheBackendsOwnLimitEndsTheConnection) {
    LogLines log;
    backend.welcome.max_message = 2000;
    auto ch = connected();
    // The backend's sender, unlike its WELCOME, allows larger messages.
    backend.stream = std::make_unique<ReliableStream>(
        StreamSettings{100'000, 1'000'000, 15'000'000}, clock.now_us());
    for (const std::size_t size : {5, 2001, 7}) {
        ASSERT_TRUE(backend.stream->queue_message(Bytes(size, 'm')));
    }
    backend.flush();
    std::vector<std::string> got;
    for (int i = 0; i < 100 && ch->alive(); ++i) {
        for (auto& m : tick(*ch)) {
            got.push_back(m);
        }
        backend.flush();
    }
    EXPECT_EQ(got, std::vector<std::string>{std::string(5, 'm')});
    EXPECT_FALSE(ch->alive());
    EXPECT_EQ(ch->end_reason(), "message 1 from the backend over the 2000 B limit");
    EXPECT_FALSE(ch->path_failure());
    EXPECT_EQ(log.count("VXCP: the backend sent message 1 over its own limit of 2000 B"), 1);
}

// The reason is the backend's own text: it reaches the log inside the end reason, where a line
// end or an escape sequence must not forge a line or steer the console.
TEST_F(ChannelTest, CloseFromTheBackendKeepsItsCode) {
    const struct {
        std::string reason;
        std::string shown;
    } cases[] = {
        {"replaced", "replaced"},
        {"x\nSaasConnector: forged\x1b[2J", "x\\nSaasConnector: forged?[2J"},
        {std::string(255, 'r'), std::string(255, 'r')},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.shown);
        auto ch = connected();
        backend.stream->queue_close(4009, c.reason);
        backend.flush();
        tick(*ch);
        EXPECT_FALSE(ch->alive());
        EXPECT_EQ(ch->end_reason(), "closed by the backend (4009 " + c.shown + ")");
        EXPECT_EQ(ch->backend_close_code(), 4009);
        EXPECT_EQ(ch->backend_close_reason(), c.reason);
        EXPECT_FALSE(ch->path_failure());
    }
}

TEST_F(ChannelTest, CloseByTheAgentSendsThreeCloseFrames) {
    auto ch = connected();
    ch->close(1000, std::string(300, 'r'));
    EXPECT_FALSE(ch->alive());
    EXPECT_EQ(ch->end_reason(), "closed by the agent (1000)");
    ASSERT_EQ(backend.closes.size(), 3u);
    EXPECT_EQ(backend.closes[0].code, 1000);
    EXPECT_EQ(backend.closes[0].reason, std::string(255, 'r'));
    const auto sent = net.from_agent.size();
    ch->send();
    EXPECT_EQ(net.from_agent.size(), sent);  // nothing goes out after the end
}

TEST_F(ChannelTest, MessagesArrivingWhileTheCloseDrainsAreHandedOver) {
    auto ch = connected();
    ASSERT_TRUE(ch->queue_message(as_bytes("last")));  // keeps the close waiting for its ACK
    backend.stream->queue_message(as_bytes("late"));
    backend.flush();
    std::vector<std::string> delivered;
    ch->close(1011, "pong refused", &delivered);
    EXPECT_EQ(delivered, std::vector<std::string>{"late"});
    EXPECT_EQ(backend.received, std::vector<std::string>{"last"});
    ASSERT_EQ(backend.closes.size(), 3u);
    EXPECT_EQ(backend.closes[0].code, 1011);
    EXPECT_EQ(backend.closes[0].reason, "pong refused");
}

// The agent's stop waits on this close: a backend that never acknowledges, or a path that is
// gone, holds it 1.5 s of protocol time and no longer.
TEST_F(ChannelTest, ACloseNeverAcknowledgedEndsAfterItsDrainTime) {
    for (const bool path_gone : {false, true}) {
        SCOPED_TRACE(path_gone ? "path gone" : "backend silent");
        net.black_hole = false;
        auto ch = connected();
        ASSERT_TRUE(ch->queue_message(as_bytes("session ended")));
        net.black_hole = path_gone;  // else the backend receives but never answers
        const std::int64_t start = clock.now_us();
        ch->close(1000, "agent stopping");
        EXPECT_FALSE(ch->alive());
        EXPECT_GE(clock.now_us() - start, 1'500'000);
        EXPECT_LE(clock.now_us() - start, 1'520'000);
    }
}

TEST_F(ChannelTest, IdleTimeoutIsAPathFailure) {
    backend.welcome.idle_timeout_ms = 0;  // clamped to twice the keep-alive (2 x 1000 ms)
    auto ch = connected();
    for (int i = 0; i < 200 && ch->alive(); ++i) {
        tick(*ch);
    }
    EXPECT_FALSE(ch->alive());
    EXPECT_EQ(ch->end_reason(), "nothing received for 2000 ms");
    EXPECT_TRUE(ch->path_failure());
}

TEST_F(ChannelTest, StallWithoutRelayEndsTheConnection) {
    auto ch = connected();
    net.black_hole = true;
    for (int i = 0; i < 40; ++i) {
        ASSERT_TRUE(ch->queue_message(as_bytes("m" + std::to_string(i))));
        ch->send();
    }
    for (int i = 0; i < 2000 && ch->alive(); ++i) {
        tick(*ch);
    }
    EXPECT_FALSE(ch->alive());
    EXPECT_EQ(ch->end_reason(), "no answer for 6000 ms with packets in flight (path stalled)");
    EXPECT_EQ(ch->move_error(), "no relay credentials yet");
    EXPECT_TRUE(ch->path_failure());
}

TEST_F(ChannelTest, StallMovesToTheStandbyRelayWithNothingLost) {
    auto ch = connected();
    ch->set_standby_relay(TurnConfig{"relay-1", 3478, "u", "p", "", 600, 700, 2});
    net.black_hole = true;
    for (int i = 0; i < 40; ++i) {
        ASSERT_TRUE(ch->queue_message(as_bytes("m" + std::to_string(i))));
        ch->send();
    }
    for (int i = 0; i < 2000 && !ch->on_relay(); ++i) {
        tick(*ch);
    }
    ASSERT_TRUE(ch->alive());
    EXPECT_TRUE(ch->moved_for_stall());
    EXPECT_EQ(ch->path_name(), "relay 127.0.0.9:49160");
    for (int i = 0; i < 50; ++i) {
        backend.flush();  // the backend acknowledges through the relay
        tick(*ch);
    }
    ASSERT_EQ(backend.received.size(), 40u);
    for (int i = 0; i < 40; ++i) {
        EXPECT_EQ(backend.received[i], "m" + std::to_string(i));
    }
    std::string err;
    EXPECT_FALSE(ch->move_to_relay(err));
    EXPECT_EQ(err, "already on a relay");
}

TEST_F(ChannelTest, RelayUpkeepEvery20SecondsAndItsFailure) {
    auto ch = connected();
    ch->set_standby_relay(TurnConfig{"relay-1", 3478, "u", "p", "", 600, 700, 2});
    std::string err;
    ASSERT_TRUE(ch->move_to_relay(err)) << err;
    EXPECT_FALSE(ch->moved_for_stall());
    const std::int64_t moved = clock.now_us();
    while (clock.now_us() < moved + 19'900'000) {
        backend.flush();
        tick(*ch);
    }
    EXPECT_EQ(net.relay_maintains, 0);
    net.relay_maintain_ok = false;
    while (ch->alive() && clock.now_us() < moved + 21'000'000) {
        backend.flush();
        tick(*ch);
    }
    EXPECT_EQ(net.relay_maintains, 1);
    EXPECT_FALSE(ch->alive());
    EXPECT_EQ(ch->end_reason(), "relay allocation lost: refresh refused");
    EXPECT_TRUE(ch->path_failure());
}

TEST_F(ChannelTest, MoveNeedsALiveConnection) {
    UdpControlChannel ch(test_config(), fake_seams(net));
    std::string err;
    EXPECT_FALSE(ch.move_to_relay(err));
    EXPECT_EQ(err, "connection not alive");
}

TEST_F(ChannelTest, OpeningThroughARelayRunsTheHandshakeThere) {
    auto config = test_config();
    config.relay = TurnConfig{"relay-1", 3478, "u", "p", "", 600, 1000, 2};
    auto ch = connected(config);
    EXPECT_TRUE(ch->on_relay());
    EXPECT_TRUE(net.from_agent.at(0).via_relay);
    config.relay->server = "broken";
    UdpControlChannel failing(config, fake_seams(net));
    std::string err;
    EXPECT_FALSE(failing.connect(err));
    EXPECT_EQ(err, "relay allocation on broken: timed out");
    // The relay's host comes from the backend's relay list and ends up in a log line.
    config.relay->server = "turns:r\nSaasConnector: forged\x1b[2J";
    VxcpSeams seams = fake_seams(net);
    seams.open_relay = open_relay_path;
    UdpControlChannel hostile(config, seams);
    EXPECT_FALSE(hostile.connect(err));
    EXPECT_EQ(err,
              "relay allocation on turns:r\\nSaasConnector: forged?[2J: TURN: turns: (TLS) is "
              "not supported; use turn:HOST:PORT?transport=udp");
}

}  // namespace
}  // namespace vx::test
