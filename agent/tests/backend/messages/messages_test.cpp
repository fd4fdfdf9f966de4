#include "backend/messages/messages.hpp"

#include <gtest/gtest.h>

namespace vx::network {
namespace {

TEST(MessageBuilders, HeartbeatIsByteExact) {
    EXPECT_EQ(
        dump_message(build_heartbeat()),
        R"({"cpu_pct":0.0,"gpu_pct":0.0,"ram_mb_free":0.0,"status":"online","type":"heartbeat"})");
}

TEST(MessageBuilders, RegisterFullSortsEveryKey) {
    RegisterPayload p;
    p.agent_version = "0.4.448";
    p.gpu_model = "RTX 4070";
    p.gpu_vram_mb = 12282;
    p.cpu_model = "Ryzen 7 5800X";
    p.ram_mb = 4294967295u;
    p.os_version = "Windows 11 Pro";
    p.supported_codecs = {"h264", "hevc"};
    p.max_resolution = "3840x2160";
    p.max_fps = 120;
    p.port_base = 50000;
    p.public_ip = "203.0.113.7";
    EXPECT_EQ(
        dump_message(build_register(p)),
        R"({"agent_version":"0.4.448","cpu_model":"Ryzen 7 5800X","features":["prepare_redelivery"],)"
        R"("gpu_model":"RTX 4070","gpu_vram_mb":12282,"max_fps":120,"max_resolution":"3840x2160",)"
        R"("os_version":"Windows 11 Pro","port_base":50000,"public_ip":"203.0.113.7",)"
        R"("ram_mb":4294967295,"supported_codecs":["h264","hevc"],"type":"register"})");
}

TEST(MessageBuilders, RegisterMinimalLeavesOptionalKeysOut) {
    EXPECT_EQ(dump_message(build_register(RegisterPayload{})),
              R"({"agent_version":"1.0.0","cpu_model":"","features":["prepare_redelivery"],)"
              R"("gpu_model":"","gpu_vram_mb":0,"os_version":"","port_base":47998,"ram_mb":0,)"
              R"("supported_codecs":["h264"],"type":"register"})");
}

TEST(MessageBuilders, SessionReadyEndedAndError) {
    EXPECT_EQ(dump_message(build_session_ready("s-1", "198.51.100.4", 48002, 48003, 48000)),
              R"({"ports":{"audio":48003,"input":48000,"video":48002},"public_ip":"198.51.100.4",)"
              R"("session_id":"s-1","type":"session_ready"})");
    EXPECT_EQ(dump_message(build_session_ready("", "", 0, 0, 0)),
              R"({"ports":{"audio":0,"input":0,"video":0},"public_ip":"","session_id":"",)"
              R"("type":"session_ready"})");
    EXPECT_EQ(dump_message(build_session_ended("s-1", "client_lost", 4294967295u)),
              R"({"duration_sec":4294967295,"reason":"client_lost","session_id":"s-1",)"
              R"("type":"session_ended"})");
    EXPECT_EQ(
        dump_message(build_error("DXGI_INIT_FAILED", "no output", "s-1")),
        R"({"code":"DXGI_INIT_FAILED","message":"no output","session_id":"s-1","type":"error"})");
    EXPECT_EQ(dump_message(build_error("ENCODER_INIT_FAILED", "x", "")),
              R"({"code":"ENCODER_INIT_FAILED","message":"x","type":"error"})");
}

TEST(MessageBuilders, InvalidUtf8IsReplacedNotThrown) {
    // A CPU name or an error text read from the system may hold stray bytes.
    const std::string bad = std::string("GPU \xC3\x28 \xFF end");
    std::string text;
    ASSERT_NO_THROW(text = dump_message(build_error("E", bad, "")));
    EXPECT_EQ(text,
              "{\"code\":\"E\",\"message\":\"GPU \xEF\xBF\xBD( \xEF\xBF\xBD end\","
              "\"type\":\"error\"}");
    // Valid non-ASCII text is written as UTF-8, not escaped.
    EXPECT_EQ(dump_message(build_error("E", "Ошибка", "")),
              R"({"code":"E","message":"Ошибка","type":"error"})");
}

TEST(MessageBuilders, IceCandidateWithAndWithoutNatProfile) {
    natwave::Profile profile;
    profile.kind = 3;
    profile.delta = 0;
    profile.min_port = 1024;
    profile.max_port = 65535;
    profile.base = 40000;
    profile.conf = 80;
    EXPECT_EQ(dump_message(*build_ice_candidate("s-1", "198.51.100.4", "srflx", 48002, profile)),
              R"({"candidate":{"ip":"198.51.100.4","kind":"srflx","nat":{"base":40000,"conf":80,)"
              R"("delta":1,"kind":"pdm-seq","max":65535,"min":1024},"port":48002},)"
              R"("session_id":"s-1","type":"ice_candidate"})");

    EXPECT_EQ(dump_message(*build_ice_candidate("s-1", "10.0.0.1", "relay", 3478, std::nullopt)),
              R"({"candidate":{"ip":"10.0.0.1","kind":"relay","port":3478},"session_id":"s-1",)"
              R"("type":"ice_candidate"})");

    natwave::Profile no_base = profile;
    no_base.base = 0;
    EXPECT_EQ(dump_message(*build_ice_candidate("s", "1.2.3.4", "host", 1, no_base)),
              R"({"candidate":{"ip":"1.2.3.4","kind":"host","port":1},"session_id":"s",)"
              R"("type":"ice_candidate"})");
}

TEST(MessageBuilders, IceCandidateIsNotBuiltWithoutItsEssentials) {
    EXPECT_FALSE(build_ice_candidate("", "1.2.3.4", "host", 1, std::nullopt));
    EXPECT_FALSE(build_ice_candidate("s", "", "host", 1, std::nullopt));
    EXPECT_FALSE(build_ice_candidate("s", "1.2.3.4", "host", 0, std::nullopt));
}

TEST(MessageBuilders, NatProfileObject) {
    natwave::Profile p;
    p.kind = 1;
    p.delta = 200;
    p.base = 5000;
    EXPECT_EQ(dump_message(profile_to_json(p)),
              R"({"base":5000,"conf":0,"delta":200,"kind":"eim"})");
    p.kind = 9;
    EXPECT_EQ(dump_message(profile_to_json(p)),
              R"({"base":5000,"conf":0,"delta":200,"kind":"unknown"})");
    p.kind = 0;
    EXPECT_TRUE(profile_to_json(p).is_null());
}

TEST(MessageBuilders, RelayRttsAndControlData) {
    EXPECT_EQ(dump_message(*build_relay_rtts({{"fra-1", 23}, {"ams-2", 0}, {"Z", 1500}})),
              R"({"rtts":{"Z":1500,"ams-2":0,"fra-1":23},"type":"relay_rtts"})");
    EXPECT_FALSE(build_relay_rtts({}));
    EXPECT_EQ(dump_message(build_control_data("s-1", {'h', 'i', '!', 0})),
              R"({"data":"aGkhAA==","session_id":"s-1","type":"control_data"})");
}

}  // namespace
}  // namespace vx::network
