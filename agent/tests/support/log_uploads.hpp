#pragma once

// What the Python test backends recorded of the agent's log uploads (agent/tests/peers/
// log_uploads.py: every part checked, every whole upload recorded with its content), and the one
// check every test that lets the agent upload ends with.

#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace vx::test {

// One JSON object a line, as the peers' --record files hold them.
inline std::vector<nlohmann::json> read_record_file(const std::string& path) {
    std::vector<nlohmann::json> out;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty())
            out.push_back(nlohmann::json::parse(line, nullptr, false));
    }
    return out;
}

// The whole uploads in a record file so far, counted without parsing its (large) lines: for
// polling while the agent uploads.
inline std::size_t count_recorded_uploads(const std::string& path) {
    std::ifstream in(path);
    std::size_t n = 0;
    for (std::string line; std::getline(in, line);)
        n += line.find(R"("event": "upload")") != std::string::npos;
    return n;
}

// The whole uploads the backend reassembled, in arrival order; `kind` "" for every kind.
inline std::vector<nlohmann::json> recorded_uploads(const std::vector<nlohmann::json>& events,
                                                    const std::string& kind = "") {
    std::vector<nlohmann::json> out;
    for (const auto& e : events) {
        if (e.is_object() && e.value("event", "") == "upload" &&
            (kind.empty() || e.value("kind", "") == kind)) {
            out.push_back(e);
        }
    }
    return out;
}

// No part and no whole upload held a secret the backend knew (the agent token, every session key
// and TURN credential it handed out, every --secret), and every part was well formed. With
// at_least, that many whole uploads must have arrived, so the check is not vacuous.
inline void expect_clean_uploads(const std::vector<nlohmann::json>& events,
                                 std::size_t at_least = 1) {
    std::size_t parts = 0;
    for (const auto& e : events) {
        if (!e.is_object())
            continue;
        const std::string event = e.value("event", "");
        if (event == "violation") {
            const std::string kind = e.value("kind", "");
            EXPECT_TRUE(kind != "secret_in_upload" && kind != "bad_log_part") << e.dump();
        }
        parts += event == "recv" && e.value("type", "") == "diagnostic_log_part";
    }
    EXPECT_GE(recorded_uploads(events).size(), at_least) << parts << " part(s) received";
}

}  // namespace vx::test
