#include "config/environment.hpp"

#include <gtest/gtest.h>

#include <cstdlib>

#include "config/command_line.hpp"
#include "support/scoped_env.hpp"

namespace vx {
namespace {

TEST(AudioParitySwitch, AcceptedValuesInAnyCase) {
    for (const char* on : {"1", "on", "ON", "True", "yes", "YES", "enabled", "Enabled"}) {
        EXPECT_TRUE(audio_parity_switch_on(on)) << on;
    }
    for (const char* off : {"", "0", "off", "no", "enable", "1 ", "y", "truee"}) {
        EXPECT_FALSE(audio_parity_switch_on(off)) << off;
    }
    EXPECT_FALSE(audio_parity_switch_on(nullptr));
}

TEST(AudioParitySwitch, CommandLineOptionWinsOverTheEnvironment) {
    test::ScopedEnv on("VX_AUDIO_PARITY", "on");
    AgentConfig from_env = parse_command_line({}).config;
    apply_environment(from_env);
    EXPECT_TRUE(from_env.audio_parity);

    AgentConfig told_off = parse_command_line({"--no-audio-parity"}).config;
    apply_environment(told_off);
    EXPECT_FALSE(told_off.audio_parity);

    test::ScopedEnv off("VX_AUDIO_PARITY", "off");
    AgentConfig told_on = parse_command_line({"--audio-parity"}).config;
    apply_environment(told_on);
    EXPECT_TRUE(told_on.audio_parity);
}

TEST(QosSwitch, OnUnlessExactlyZeroOrOff) {
    for (const char* off : {"0", "off"}) {
        EXPECT_FALSE(qos_switch_on(off)) << off;
    }
    for (const char* on : {"1", "on", "", "OFF", "00", "off "}) {
        EXPECT_TRUE(qos_switch_on(on)) << on;
    }
    EXPECT_TRUE(qos_switch_on(nullptr));
    test::ScopedEnv off("VX_QOS", "off");
    AgentConfig config = parse_command_line({}).config;
    EXPECT_TRUE(config.qos);
    apply_environment(config);
    EXPECT_FALSE(config.qos);
}

}  // namespace
}  // namespace vx
