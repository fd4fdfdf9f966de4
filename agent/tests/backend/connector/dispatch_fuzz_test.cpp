#include <gtest/gtest.h>

#include <random>

#include "connector_test_support.hpp"
#include "log_capture.hpp"

namespace vx::network {
namespace {

using nlohmann::json;

const char* const kSeeds[] = {
    R"({"type":"ping","ts":17})",
    R"({"type":"control_open"})",
    R"({"type":"control_close"})",
    R"({"type":"control_data","data":"aGVsbG8="})",
    R"({"type":"prepare_session","session_id":"s-1","client_id":"c","max_duration_sec":60,)"
    R"("session_token_sha256":"ab","encryption_key":"AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8=",)"
    R"("turn":{"urls":["turn:h"]},"constraints":{"codec":"h264","resolution":"1x1","max_fps":30,)"
    R"("bitrate_kbps":1000},"session_isolation":{"hide_desktop":true,"launch_steam":false,)"
    R"("steam_app_id":"1"}})",
    R"({"type":"terminate_session","session_id":"s-1","reason":"x"})",
    R"({"type":"observed_ip","public_ip":"8.8.4.4"})",
    R"({"type":"client_candidate","session_id":"s-1","candidate":{"ip":"8.8.8.8","port":9}})",
    R"({"type":"diagnostic_log_stored","upload_id":"ab"})",
    R"({"type":"relay_list","relays":[{"id":"a","host":"127.0.0.1","port":3478,)"
    R"("control":{"username":"u","credential":"c","ttl":60}}]})",
};

json random_value(std::mt19937& rng) {
    switch (rng() % 9) {
        case 0:
            return nullptr;
        case 1:
            return rng() % 2 == 0;
        case 2:
            return static_cast<std::int64_t>(rng()) - (1LL << 31);
        case 3:
            return static_cast<std::uint64_t>(rng()) << 33;
        case 4:
            return std::ldexp(1.0, static_cast<int>(rng() % 2100) - 1050);
        case 5:
            return std::string(rng() % 5, static_cast<char>(rng() % 256));
        case 6:
            return json::array({rng() % 7});
        case 7:
            return json::object({{"ip", "1.2.3.4"}, {"port", rng()}});
        default:
            return -1.5;
    }
}

// Replaces one value somewhere in the document with a value of a random type.
void mutate_value(json& doc, std::mt19937& rng) {
    json* at = &doc;
    for (int depth = 0; depth < 3; ++depth) {
        if (at->is_object() && !at->empty() && rng() % 3 != 0) {
            auto it = at->begin();
            std::advance(it, rng() % at->size());
            at = &it.value();
        } else if (at->is_array() && !at->empty() && rng() % 3 != 0) {
            at = &(*at)[rng() % at->size()];
        } else {
            break;
        }
    }
    *at = random_value(rng);
}

std::string mutate_bytes(std::string text, std::mt19937& rng) {
    const int edits = 1 + static_cast<int>(rng() % 4);
    for (int e = 0; e < edits && !text.empty(); ++e) {
        const std::size_t pos = rng() % text.size();
        switch (rng() % 3) {
            case 0:
                text[pos] = static_cast<char>(rng() % 256);
                break;
            case 1:
                text.erase(pos, 1 + rng() % 8);
                break;
            default:
                text.insert(pos, 1, "{}[]\",:0e-\\"[rng() % 11]);
                break;
        }
    }
    return text;
}

TEST(DispatchFuzz, RandomAndMutatedMessagesOnlyEverLog) {
    test::LogCapture log;
    test::ConnectorRig rig;
    SaasConnector& c = rig.connector;
    c.set_on_prepare_session([](const PrepareSessionParams&) {});
    c.set_on_session_terminated([](const std::string&, const std::string&) {});
    c.set_on_client_candidate([](std::string, std::uint16_t) {});
    c.set_on_observed_ip([](std::string) {});
    c.set_transport(std::make_shared<test::FakeTransport>());
    c.set_control_bridge(std::make_shared<test::FakeBridge>(c.bridge_queue()));
    c.set_relay_probe([](const std::string&, std::uint16_t, std::chrono::milliseconds) {
        return std::optional<std::int32_t>(1);
    });

    const unsigned seed = 20261207;
    std::mt19937 rng(seed);
    SCOPED_TRACE("seed " + std::to_string(seed));
    for (int round = 0; round < 4000; ++round) {
        const std::string seed_text = kSeeds[rng() % std::size(kSeeds)];
        std::string text;
        switch (round % 3) {
            case 0: {
                json doc = json::parse(seed_text);
                mutate_value(doc, rng);
                text = doc.dump(-1, ' ', false, json::error_handler_t::replace);
                break;
            }
            case 1:
                text = mutate_bytes(seed_text, rng);
                break;
            default:
                text = random_value(rng).dump(-1, ' ', false, json::error_handler_t::replace);
                break;
        }
        ASSERT_NO_THROW(c.handle_message(text)) << text;
        rig.clock.advance_ms(16'000);  // lets relay lists be probed again
        c.relay_probe().wait_idle(std::chrono::seconds(10));
    }
    c.stop();
    EXPECT_GT(log.count("invalid JSON"), 0u);
    EXPECT_GT(log.count("message dropped"), 0u);
    EXPECT_GT(log.count("not a JSON object"), 0u);
}

}  // namespace
}  // namespace vx::network

namespace vx::network {
namespace {

TEST(DispatchFuzz, PathologicallyDeepNestingIsDroppedNotRecursedInto) {
    test::LogCapture log;
    test::ConnectorRig rig;
    int prepared = 0;
    rig.connector.set_on_prepare_session([&](const PrepareSessionParams&) { ++prepared; });
    const std::string deep = std::string(200'000, '[') + std::string(200'000, ']');
    rig.connector.handle_message(R"({"type":"prepare_session","session_id":"s","turn":)" + deep +
                                 "}");
    rig.connector.handle_message(deep);
    EXPECT_EQ(log.count("nested deeper than 64 levels — dropped"), 2u);
    EXPECT_EQ(prepared, 0);
    // Brackets inside strings do not count, and ordinary nesting passes.
    rig.connector.handle_message(R"({"type":"prepare_session","session_id":"t","client_id":")" +
                                 std::string(100, '[') + R"(\"","turn":{"a":[[{"b":[1]}]]}})");
    EXPECT_EQ(prepared, 1);
}

}  // namespace
}  // namespace vx::network
