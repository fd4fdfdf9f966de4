// The agent's command line (the input split into arguments at NUL bytes) as the program reads it
// before anything else: the early actions, the console choice and the options; and an
// environment switch's value.
#include <cstdint>
#include <string>
#include <vector>

#include "config/command_line.hpp"
#include "config/console_mode.hpp"
#include "config/environment.hpp"
#include "fuzz_input.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::vector<std::string> args = vx::fuzz::split_at(vx::fuzz::as_text(data, size), '\0');
    vx::find_early_action(args);
    vx::parse_command_line(args);

    std::vector<const char*> argv{"velmora-agent"};
    for (const std::string& arg : args) {
        argv.push_back(arg.c_str());
    }
    vx::console_log_requested(static_cast<int>(argv.size()), argv.data(),
                              {"--help", "-h", "--check-direct"});
    vx::audio_parity_switch_on(args.front().c_str());
    return 0;
}
