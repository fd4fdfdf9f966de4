#pragma once

// The direct path's world in a test: a port mapper over scripted router steps on a fake clock,
// a video socket that answers STUN as the test says, the backend's observed address, and the
// candidates that would have gone to the backend.

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "traversal/direct/direct_path.hpp"
#include "traversal/router/scripted_steps.hpp"

namespace vx::network::test {

struct SentCandidate {
    std::string session_id;
    std::string ip;
    std::string kind;
    std::uint16_t port = 0;
    std::optional<natwave::Profile> profile;
};

class FakeVideoSocket final : public VideoSocketProbe {
  public:
    std::optional<std::pair<std::string, std::uint16_t>> endpoint;  // none: the server is silent
    natwave::Profile measured{1, 1, 0, 0, 0, 2};                    // what the profile finds

    std::vector<StunServer> asked;
    std::vector<std::vector<StunServer>> secondaries;
    int arms = 0;

    bool binding(const StunServer& server, std::string& address, std::uint16_t& port) override {
        asked.push_back(server);
        if (!endpoint)
            return false;
        address = endpoint->first;
        port = endpoint->second;
        return true;
    }
    bool mapping_profile(const std::string&, std::uint16_t port,
                         const std::vector<StunServer>& servers,
                         natwave::Profile& profile) override {
        secondaries.push_back(servers);
        profile = measured;
        profile.base = profile.min_port = profile.max_port = port;
        return true;
    }
    void arm_probe_listener() override { ++arms; }
};

class FakeObserved final : public ObservedAddress {
  public:
    std::optional<std::string> address;

    bool published() const override { return address.has_value(); }
    std::string published_via() const override { return address.value_or(""); }
    bool matches_via(const std::string& text) const override {
        return !address || *address == text;
    }
};

inline natwave::Profile exact(std::uint16_t port) {
    return {1, 1, port, port, port, 2};
}

inline bool same_profile(const std::optional<natwave::Profile>& a,
                         const std::optional<natwave::Profile>& b) {
    if (a.has_value() != b.has_value())
        return false;
    return !a || (a->kind == b->kind && a->delta == b->delta && a->min_port == b->min_port &&
                  a->max_port == b->max_port && a->base == b->base && a->conf == b->conf);
}

class DirectPathFixture : public ScriptedMapperTest {
  protected:
    DirectPathContext context() {
        DirectPathContext c;
        c.mapper = &mapper();
        c.send = [this](const std::string& id, const std::string& ip, const std::string& kind,
                        std::uint16_t port, const std::optional<natwave::Profile>& profile) {
            sent.push_back({id, ip, kind, port, profile});
        };
        c.session_id = "s-1";
        c.config = config;
        c.video = &video;
        c.observed = &observed;
        return c;
    }
    // A UPnP router whose WAN address is public.
    void upnp_router(const std::string& wan = "100.128.0.2") { steps->igd = gateway_igd(wan); }
    // A router that speaks only NAT-PMP; `external` moves a port elsewhere.
    void natpmp_router(std::function<std::uint16_t(std::uint16_t)> external = {}) {
        steps->natpmp_answers = true;
        steps->natpmp_mapper = [external](std::uint16_t port, NatPmpMapResponse& answer,
                                          std::string&) {
            answer = {0, 1, port, external ? external(port) : port, 600};
            return true;
        };
    }
    void expect_sent(std::size_t index, const std::string& ip, std::uint16_t port,
                     const std::optional<natwave::Profile>& profile) {
        ASSERT_GT(sent.size(), index);
        const SentCandidate& c = sent[index];
        EXPECT_EQ(c.session_id, "s-1");
        EXPECT_EQ(c.kind, "srflx");
        EXPECT_EQ(c.ip, ip);
        EXPECT_EQ(c.port, port);
        EXPECT_TRUE(same_profile(c.profile, profile)) << "candidate " << index;
    }

    AgentConfig config;
    FakeVideoSocket video;
    FakeObserved observed;
    std::vector<SentCandidate> sent;
};

}  // namespace vx::network::test
