#pragma once

// A Diagnostics on a store of its own, a fake clock, a counting random source and a fake
// outgoing queue that records what it accepts.

#include <nlohmann/json.hpp>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "backend/diagnostics/diagnostics.hpp"
#include "support/fake_clock.hpp"

namespace vx::network::test {

inline ReportIdentity test_identity() {
    ReportIdentity identity;
    identity.agent_version = "0.4.448";
    identity.server_id = "srv-1";
    identity.gpu_model = "NVIDIA RTX 4070";
    identity.cpu_model = "AMD Ryzen 7";
    identity.os_version = "Windows 11";
    return identity;
}

struct DiagnosticsRig {
    vx::test::FakeClock clock;
    diag::DiagnosticsStore store;
    std::atomic<std::int64_t> link_up_since{0};
    std::atomic<bool> accept{true};
    std::atomic<std::uint32_t> ids{0};
    mutable std::mutex sent_mutex;
    std::vector<std::string> sent;
    // What the logger's thread still had to write when the upload asked for it.
    std::vector<std::string> still_logging;
    Diagnostics diagnostics{test_identity(), seams()};

    DiagnosticsSeams seams() {
        DiagnosticsSeams s;
        s.queue_message = [this](const std::string& text) {
            if (!accept.load()) {
                return false;
            }
            std::lock_guard lock(sent_mutex);
            sent.push_back(text);
            return true;
        };
        s.link_up_since_us = [this] { return link_up_since.load(); };
        s.now_us = clock.fn();
        // Upload ids 0000000000000001, 0000000000000002, ...
        s.random = [this](std::uint8_t* out, std::size_t n) {
            const std::uint32_t id = ++ids;
            for (std::size_t k = 0; k < n; ++k) {
                out[k] = k + 4 >= n ? static_cast<std::uint8_t>(id >> (8 * (n - 1 - k))) : 0;
            }
        };
        s.store = &store;
        s.wait_logged = [this] {
            for (const std::string& line : still_logging) {
                store.append(line);
            }
            still_logging.clear();
        };
        return s;
    }

    void log(std::size_t lines, const std::string& level = "info") {
        for (std::size_t k = 0; k < lines; ++k) {
            store.append("[2024-05-01 10:00:00.000] [" + level + "] [7] line " +
                         std::to_string(store.line_count()));
        }
    }

    // Lines that make an upload of three parts (the store keeps at most 2,048 bytes a line).
    void log_three_parts() {
        for (int k = 0; k < 60; ++k) {
            store.append(std::string(2000, static_cast<char>('a' + k % 26)));
        }
    }

    // Sends every waiting part at the WebSocket pace; returns what the backend received.
    std::vector<nlohmann::json> drain() {
        for (int guard = 0; guard < 10000 && diagnostics.paced_parts() > 0; ++guard) {
            if (!diagnostics.send_next_paced_part()) {
                clock.advance_ms(50);
            }
        }
        return take_sent();
    }

    std::vector<nlohmann::json> take_sent() {
        std::lock_guard lock(sent_mutex);
        std::vector<nlohmann::json> messages;
        for (const std::string& text : sent) {
            messages.push_back(nlohmann::json::parse(text));
        }
        sent.clear();
        return messages;
    }
};

inline std::vector<std::string> lines_of(const std::string& content) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t nl; (nl = content.find('\n', start)) != std::string::npos; start = nl + 1) {
        lines.push_back(content.substr(start, nl - start));
    }
    lines.push_back(content.substr(start));
    return lines;
}

// The text of an upload, its parts joined in order.
inline std::string upload_content(const std::vector<nlohmann::json>& messages,
                                  const std::string& upload_id) {
    std::string content;
    for (const nlohmann::json& m : messages) {
        if (m.at("upload_id") == upload_id) {
            content += m.at("content").get<std::string>();
        }
    }
    return content;
}

inline std::vector<std::string> upload_ids(const std::vector<nlohmann::json>& messages) {
    std::vector<std::string> ids;
    for (const nlohmann::json& m : messages) {
        const std::string id = m.at("upload_id");
        if (ids.empty() || ids.back() != id) {
            ids.push_back(id);
        }
    }
    return ids;
}

}  // namespace vx::network::test
