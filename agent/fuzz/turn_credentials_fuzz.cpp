// TURN credentials as the backend's "turn" block brings them (any JSON shape), then the server
// text as the TURN client reads it before resolving; and the same road from the command line's
// three TURN options (the input split at NUL bytes).
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_input.hpp"
#include "traversal/stun/nat_profile.hpp"
#include "traversal/turn/turn_credentials.hpp"
#include "traversal/turn/turn_url.hpp"

namespace {

using namespace vx::network;

void parse_and_resolve(const std::string& document) {
    TurnConfig config;
    std::string err;
    if (!parse_turn_credentials(document, config, err)) {
        return;
    }
    TurnServerAddress server;
    parse_turn_server(config.server, config.port, server, err);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    parse_and_resolve(text);
    parse_transport_param(text);
    parse_stun_server_list(text);

    const std::vector<std::string> options = vx::fuzz::split_at(text, '\0');
    if (options.size() == 3) {
        parse_and_resolve(build_ice_servers_json(options[0], options[1], options[2]));
    }
    return 0;
}
