// NAT mapping classes and DSCP marking measured in network namespaces: an agent namespace behind a
// router namespace whose nftables SNAT rules shape the mapping, and coturn STUN servers beyond it.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>

#include "netns_lab.hpp"
#include "traversal/stun/nat_profile.hpp"
#include "traversal/turn/coturn_process.hpp"
#include "traversal/turn/scripted_udp_peer.hpp"
#include "traversal/turn/turn_client.hpp"

namespace vx::network {
namespace {

using test::NetnsLab;

class NatLab : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!test::coturn_available())
            GTEST_SKIP() << "coturn is not installed";
        const std::string reason = NetnsLab::unavailable_reason();
        if (!reason.empty())
            GTEST_SKIP() << reason;
    }
};

// agent (10.201.0.2) -- router (10.201.0.1 | 10.202.0.1) -- internet (10.202.0.2, 10.202.0.3)
struct Topology {
    NetnsLab lab;
    std::string agent, router, internet;
    bool ready = false;

    explicit Topology(const std::string& tag) : lab(tag) {
        agent = lab.add('a');
        router = lab.add('r');
        internet = lab.add('i');
        const std::string a = lab.ifname("a"), r = lab.ifname("r");
        const std::string w = lab.ifname("w"), i = lab.ifname("i");
        const std::string ip = "/usr/sbin/ip ";
        ready = lab.ok(ip + "-n " + agent + " link add " + a + " type veth peer name " + r +
                       " netns " + router) &&
                lab.ok(ip + "-n " + router + " link add " + w + " type veth peer name " + i +
                       " netns " + internet) &&
                lab.ok(ip + "-n " + agent + " addr add 10.201.0.2/24 dev " + a) &&
                lab.ok(ip + "-n " + agent + " link set " + a + " up") &&
                lab.ok(ip + "-n " + agent + " route add default via 10.201.0.1") &&
                lab.ok(ip + "-n " + router + " addr add 10.201.0.1/24 dev " + r) &&
                lab.ok(ip + "-n " + router + " addr add 10.202.0.1/24 dev " + w) &&
                lab.ok(ip + "-n " + router + " link set " + r + " up") &&
                lab.ok(ip + "-n " + router + " link set " + w + " up") &&
                lab.ok(ip + "netns exec " + router + " sysctl -qw net.ipv4.ip_forward=1") &&
                lab.ok(ip + "-n " + internet + " addr add 10.202.0.2/24 dev " + i) &&
                lab.ok(ip + "-n " + internet + " addr add 10.202.0.3/24 dev " + i) &&
                lab.ok(ip + "-n " + internet + " link set " + i + " up");
    }

    bool nat_rules(const std::string& rules) { return lab.nft(router, rules); }
    std::string wan_if() const { return lab.ifname("w"); }
};

std::unique_ptr<test::CoturnProcess> stun_server(const Topology& t, const std::string& ip,
                                                 std::uint16_t port) {
    test::CoturnProcess::Options options;
    options.listen_ip = ip;
    options.port = port;
    options.netns = t.internet;
    options.long_term = false;
    options.extra = {"--stun-only"};
    return std::make_unique<test::CoturnProcess>(options);
}

struct Case {
    const char* name;
    const char* rules;  // inside "chain post { ... }"; %s is the WAN interface
    std::uint8_t kind;
    std::uint8_t delta;
};

class NatClasses : public NatLab, public ::testing::WithParamInterface<Case> {};

TEST_P(NatClasses, MeasuredThroughSnat) {
    const Case& c = GetParam();
    Topology t(std::string(c.name).substr(0, 3));
    ASSERT_TRUE(t.ready) << "namespace set-up failed";
    char rules[512];
    std::snprintf(rules, sizeof rules,
                  "table ip vxnat { chain post { type nat hook postrouting priority 100; "
                  "policy accept; %s; } }",
                  c.rules);
    std::string text = rules;
    for (std::size_t at; (at = text.find("WAN")) != std::string::npos;) {
        text.replace(at, 3, t.wan_if());
    }
    ASSERT_TRUE(t.nat_rules(text));
    auto first = stun_server(t, "10.202.0.2", 3478);
    auto second = stun_server(t, "10.202.0.3", 19302);

    // The third entry is never asked: the first two answer.
    ::setenv(kSecondaryStunEnv, "10.202.0.2:3478,10.202.0.3:19302,10.202.0.9:19302", 1);
    const auto servers = secondary_stun_servers();
    ::unsetenv(kSecondaryStunEnv);
    ASSERT_EQ(servers.size(), 3u);

    natwave::Profile profile;
    // Readiness is checked from the servers' side: every check through the router would take
    // the one port its SNAT rule allows for that destination.
    ASSERT_TRUE(
        NetnsLab::in_netns(t.internet, [&] { return first->wait_ready() && second->wait_ready(); }))
        << first->log() << second->log();
    const bool ok = NetnsLab::in_netns(t.agent, [&] {
        asio::io_context io;
        return probe_mapping_profile(io, "10.202.0.1", 41000, servers, profile);
    });
    ASSERT_TRUE(ok) << first->log() << second->log();
    EXPECT_EQ(profile.conf, 2);
    EXPECT_EQ(profile.kind, c.kind) << natwave::profile_kind_name(profile.kind);
    EXPECT_EQ(profile.delta, c.delta);
    EXPECT_EQ(profile.base, 41000);
}

INSTANTIATE_TEST_SUITE_P(
    Snat, NatClasses,
    ::testing::Values(Case{"eim", "oifname \"WAN\" masquerade", 1, 1},
                      Case{"seq",
                           "ip daddr 10.202.0.2 udp dport 3478 snat to 10.202.0.1:40000; "
                           "ip daddr 10.202.0.3 udp dport 19302 snat to 10.202.0.1:40032",
                           3, 32},
                      Case{"pba",
                           "ip daddr 10.202.0.2 udp dport 3478 snat to 10.202.0.1:40000; "
                           "ip daddr 10.202.0.3 udp dport 19302 snat to 10.202.0.1:42048",
                           4, 1}),
    [](const auto& info) { return std::string(info.param.name); });

// The relay path marks its datagrams: an nftables counter on DSCP CS5 in the sending namespace
// stays at 0 until QoS is enabled and counts the ChannelData afterwards.
TEST_F(NatLab, RelayTrafficCarriesDscpMarking) {
    NetnsLab lab("dscp");
    const std::string ns = lab.add('d');
    ASSERT_TRUE(lab.nft(ns,
                        "table inet vxdscp { chain out { type filter hook output priority 0; "
                        "policy accept; ip dscp cs5 counter; } }"));
    test::CoturnProcess::Options options;
    options.port = 3478;
    options.netns = ns;
    test::CoturnProcess turn(options);
    auto packets = [&] {
        const std::string out = "/tmp/vx-dscp-" + std::to_string(::getpid());
        test::sh("/usr/sbin/ip netns exec " + ns + " /usr/sbin/nft list table inet vxdscp > " +
                 out);
        std::FILE* f = std::fopen(out.c_str(), "r");
        std::string text(4096, '\0');
        text.resize(f ? std::fread(text.data(), 1, text.size(), f) : 0);
        if (f)
            std::fclose(f);
        std::remove(out.c_str());
        const auto at = text.find("packets ");
        return at == std::string::npos ? -1L : std::atol(text.c_str() + at + 8);
    };

    const std::string failure = NetnsLab::in_netns(ns, [&]() -> std::string {
        if (!turn.wait_ready())
            return "coturn did not start: " + turn.log();
        test::ScriptedUdpPeer echo([](const test::Bytes& b, const asio::ip::udp::endpoint&) {
            return std::vector<test::Bytes>{b};
        });
        TurnClient client;
        TurnConfig config;
        config.server = "127.0.0.1:3478";
        config.username = "vxuser";
        config.password = "vxpass";
        config.timeout_ms = 500;
        std::string err;
        if (!client.allocate(config, err) || !client.create_permission("127.0.0.1", err) ||
            !client.bind_channel("127.0.0.1", echo.port(), err)) {
            return err;
        }
        auto round_trips = [&](int count) {
            const std::uint8_t payload[4] = {1, 2, 3, 4};
            std::uint8_t buf[64];
            std::string peer;
            std::uint16_t port = 0;
            for (int i = 0; i < count; ++i) {
                client.send("127.0.0.1", echo.port(), payload, sizeof payload);
                client.receive(buf, sizeof buf, peer, port, 1000);
            }
        };
        round_trips(5);
        if (packets() != 0)
            return "marked packets before QoS was enabled";
        client.enable_qos(static_cast<std::uint8_t>(QosTrafficType::audio_video));
        // The QoS worker marks the socket on its own thread, maybe only after a fast machine
        // has finished a few round trips: the traffic goes on until the counter sees it.
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        do {
            round_trips(20);
        } while (packets() <= 0 && std::chrono::steady_clock::now() < limit);
        return {};
    });
    EXPECT_EQ(failure, "");
    EXPECT_GT(packets(), 0);
}

}  // namespace
}  // namespace vx::network
