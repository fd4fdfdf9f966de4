#include "traversal/turn/turn_credentials.hpp"

#include <algorithm>

#include <spdlog/spdlog.h>
#include <nlohmann/json.hpp>

#include "traversal/turn/turn_url.hpp"
#include "util/ascii.hpp"

namespace vx::network {

namespace {

using nlohmann::json;

constexpr int kMaxSearchDepth = 4;
constexpr std::string_view kContainerKeys[] = {"iceServers",  "ice_servers",      "turn",
                                               "turn_server", "turn_credentials", "relay"};
constexpr std::string_view kUrlKeys[] = {"urls", "url", "uri"};

bool has_url_key(const json& object) {
    return std::any_of(std::begin(kUrlKeys), std::end(kUrlKeys),
                       [&](std::string_view key) { return object.contains(key); });
}

std::vector<std::string> entry_urls(const json& entry) {
    std::vector<std::string> urls;
    for (std::string_view key : kUrlKeys) {
        const auto it = entry.find(key);
        if (it == entry.end()) {
            continue;
        }
        if (it->is_string()) {
            urls.push_back(it->get<std::string>());
        } else if (it->is_array()) {
            for (const auto& element : *it) {
                if (element.is_string()) {
                    urls.push_back(element.get<std::string>());
                }
            }
        }
    }
    return urls;
}

struct UrlScan {
    bool tls_seen = false;
    bool other_transport_seen = false;
};

// True when the URL is "turn:" over UDP; notes what made it unusable otherwise.
bool usable_url(const std::string& url, UrlScan& scan) {
    const std::string lowered = util::ascii_lower(url);
    if (lowered.rfind("turns:", 0) == 0) {
        scan.tls_seen = true;
        return false;
    }
    if (lowered.rfind("turn:", 0) != 0) {
        return false;
    }
    const std::string transport = parse_transport_param(url);
    if (!transport.empty() && transport != "udp") {
        scan.other_transport_seen = true;
        return false;
    }
    return true;
}

}  // namespace

void find_ice_servers(const json& value, std::vector<const json*>& list, int depth) {
    if (depth > kMaxSearchDepth) {
        return;
    }
    if (value.is_object()) {
        for (std::string_view key : kContainerKeys) {
            const auto it = value.find(key);
            if (it != value.end() && (it->is_object() || it->is_array())) {
                find_ice_servers(*it, list, depth + 1);
                return;
            }
        }
        if (has_url_key(value)) {
            list.push_back(&value);
        }
    } else if (value.is_array()) {
        for (const auto& element : value) {
            find_ice_servers(element, list, depth + 1);
        }
    }
}

std::string json_first_string(const json& object, std::initializer_list<std::string_view> keys) {
    if (!object.is_object()) {
        return {};
    }
    for (std::string_view key : keys) {
        const auto it = object.find(key);
        if (it != object.end() && it->is_string()) {
            return it->get<std::string>();
        }
    }
    return {};
}

bool parse_turn_credentials(const std::string& json_text, TurnConfig& out, std::string& err) {
    err.clear();
    const json document = json::parse(json_text, nullptr, false);
    if (document.is_discarded()) {
        err = "TURN: credentials are not valid JSON";
        return false;
    }
    std::vector<const json*> entries;
    find_ice_servers(document, entries, 0);
    if (entries.empty()) {
        err = "TURN: credentials JSON contains no ICE server URLs";
        return false;
    }
    UrlScan scan;
    for (const json* entry : entries) {
        const std::string user = json_first_string(*entry, {"username", "user", "user_name"});
        const std::string pass =
            json_first_string(*entry, {"password", "credential", "pass", "secret"});
        const std::string realm = json_first_string(*entry, {"realm"});
        for (const std::string& raw : entry_urls(*entry)) {
            const std::string url = trim_whitespace(raw);
            if (!usable_url(url, scan)) {
                continue;
            }
            if (user.empty() || pass.empty()) {
                err = "TURN: credentials JSON is missing username/password for " +
                      server_text_for_messages(url);
                return false;
            }
            out.server = url;
            out.username = user;
            out.password = pass;
            out.realm = realm;
            if (out.port == 0) {
                out.port = kDefaultTurnPort;
            }
            return true;
        }
    }
    if (scan.tls_seen) {
        err = "TURN: turns: (TLS) URLs are not supported; need turn:HOST:PORT?transport=udp";
    } else if (scan.other_transport_seen) {
        err = "TURN: only UDP TURN transport is supported";
    } else {
        err = "TURN: no turn:HOST:PORT?transport=udp URL in the credentials";
    }
    return false;
}

std::string build_ice_servers_json(const std::string& turn_url, const std::string& turn_user,
                                   const std::string& turn_pass) {
    if (turn_url.empty() || turn_user.empty() || turn_pass.empty()) {
        return {};
    }
    const json document = {
        {"iceServers",
         json::array({{{"urls", turn_url}, {"username", turn_user}, {"password", turn_pass}}})}};
    try {
        return document.dump();
    } catch (const json::exception&) {
        // The options come from the command line as raw bytes; JSON needs UTF-8.
        const char* option = "--turn-pass";
        try {
            json(turn_url).dump();
            json(turn_user).dump();
        } catch (const json::exception&) {
            option = "--turn-url/--turn-user";
        }
        spdlog::error("TURN: {} is not valid UTF-8; no relay credentials from the command line",
                      option);
        return {};
    }
}

}  // namespace vx::network
