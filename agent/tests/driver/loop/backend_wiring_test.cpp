#include "driver/backend_wiring.hpp"

#include <gtest/gtest.h>

namespace vx {
namespace {

TEST(MakeSaasConfig, TlsExactlyOnPort443AndTheRegistrationFromTheSystem) {
    AgentConfig config;
    config.saas_host = "backend.example";
    config.agent_token = "tok";
    config.server_id = "srv";
    config.port_base = 50000;
    config.public_ip = "198.51.100.7";
    util::SystemInfo sys;
    sys.cpu_name = "Test CPU";
    sys.ram_mb = 1ull << 40;
    sys.os_text = "Debian";
    sys.gpu_name = "Test GPU";
    sys.gpu_vram_mb = 8192;
    for (std::uint16_t port : {443, 80, 8443}) {
        config.saas_port = port;
        const auto c = make_saas_config(config, sys, "9.9.9");
        EXPECT_EQ(c.tls, port == 443) << port;
        EXPECT_EQ(c.port, port);
    }
    const auto c = make_saas_config(config, sys, "9.9.9");
    EXPECT_EQ(c.host, "backend.example");
    EXPECT_EQ(c.agent_token, "tok");
    EXPECT_EQ(c.register_payload.agent_version, "9.9.9");
    EXPECT_EQ(c.register_payload.cpu_model, "Test CPU");
    EXPECT_EQ(c.register_payload.ram_mb, 0xFFFFFFFFu) << "clamped, not wrapped";
    EXPECT_EQ(c.register_payload.gpu_model, "Test GPU");
    EXPECT_EQ(c.register_payload.gpu_vram_mb, 8192u);
    EXPECT_EQ(c.register_payload.os_version, "Debian");
    EXPECT_EQ(c.register_payload.port_base, 50000);
    EXPECT_EQ(c.register_payload.public_ip, "198.51.100.7");
}

}  // namespace
}  // namespace vx
