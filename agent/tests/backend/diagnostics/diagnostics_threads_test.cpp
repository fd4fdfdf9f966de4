// The log upload from its three threads at once: the session driver uploading, the connection
// thread noting sessions, reporting, pacing, confirming and re-queueing, and the logger filling
// the store. Run under ThreadSanitizer (label tsan).
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <thread>

#include "diagnostics_rig.hpp"
#include "support/log_lines.hpp"

namespace vx::network {
namespace {

using nlohmann::json;

TEST(DiagnosticsThreads, DriverConnectionAndLoggerTogether) {
    vx::test::LogLines log;
    test::DiagnosticsRig rig;
    rig.diagnostics.set_pacing(std::make_shared<UdpChannelPacing>([] { return std::size_t{0}; }));
    rig.link_up_since = rig.clock.now_us();
    constexpr int kSessions = 20;

    std::thread logger([&] {
        for (int k = 0; k < 8000; ++k) {
            rig.store.append("[2024-05-01 10:00:00.000] [" +
                             std::string(k % 97 == 0 ? "warning" : "info") + "] [3] line " +
                             std::to_string(k) + " password=p" + std::to_string(k));
        }
    });
    std::thread driver([&] {
        for (int k = 0; k < kSessions; ++k) {
            rig.diagnostics.upload_session_log("s" + std::to_string(k), "pipeline_ended");
            rig.diagnostics.note_back_to_waiting("s" + std::to_string(k));
        }
    });
    std::map<std::string, std::set<std::uint64_t>> parts_seen;
    for (int pass = 0; pass < 1500; ++pass) {
        rig.diagnostics.note_session_start("s" + std::to_string(pass % kSessions));
        rig.clock.advance_ms(1000);
        rig.diagnostics.report_agent_log();
        rig.diagnostics.send_next_paced_part();
        if (pass % 50 == 0) {
            rig.diagnostics.requeue_unconfirmed();
        }
        for (const json& m : rig.take_sent()) {
            const std::string id = m.at("upload_id");
            auto& seen = parts_seen[id];
            seen.insert(m.at("part").get<std::uint64_t>());
            if (seen.size() == m.at("parts").get<std::size_t>()) {
                rig.diagnostics.on_log_stored(id);
            }
        }
    }
    logger.join();
    driver.join();

    // What is still unconfirmed goes again whole after a reconnect, and never with a secret.
    rig.diagnostics.requeue_unconfirmed();
    std::map<std::string, std::set<std::uint64_t>> resent;
    std::map<std::string, std::size_t> announced;
    for (const json& m : rig.drain()) {
        EXPECT_EQ(m.at("content").get<std::string>().find("password=p"), std::string::npos);
        resent[m.at("upload_id")].insert(m.at("part").get<std::uint64_t>());
        announced[m.at("upload_id")] = m.at("parts").get<std::size_t>();
    }
    EXPECT_EQ(resent.size(), rig.diagnostics.unconfirmed_uploads());
    for (const auto& [id, parts] : resent) {
        EXPECT_EQ(parts.size(), announced[id]) << id;
    }
}

}  // namespace
}  // namespace vx::network
