#pragma once

// Runs the Python test backend (agent/tests/peers/test_backend.py) for a test and reads what it
// recorded. Header only; see the options at the top of test_backend.py.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/eventually.hpp"
#include "support/python_peer.hpp"

namespace vx::test {

class TestBackendPeer {
  public:
    // `args` are extra options; --port-file and --record are added here.
    explicit TestBackendPeer(std::vector<std::string> args = {},
                             const std::string& script_json = "")
        : peer_("vx-backend-peer") {
        std::vector<std::string> argv{"--quiet", "--port-file", dir() + "/port", "--record",
                                      record_path()};
        if (!script_json.empty()) {
            std::ofstream(dir() + "/script.json") << script_json;
            argv.push_back("--script");
            argv.push_back(dir() + "/script.json");
        }
        argv.insert(argv.end(), args.begin(), args.end());
        peer_.start("test_backend.py", std::move(argv));
        port_ = wait_port();
    }

    std::uint16_t port() const { return port_; }
    const std::string& dir() const { return peer_.dir(); }
    std::string record_path() const { return dir() + "/record.jsonl"; }

    std::vector<nlohmann::json> events() const {
        std::vector<nlohmann::json> out;
        std::ifstream in(record_path());
        std::string line;
        while (std::getline(in, line)) {
            if (!line.empty())
                out.push_back(nlohmann::json::parse(line, nullptr, false));
        }
        return out;
    }

    // Events with this "event" (and, when given, this message "type").
    std::vector<nlohmann::json> events(const std::string& event,
                                       const std::string& type = "") const {
        std::vector<nlohmann::json> out;
        for (auto& e : events()) {
            if (!e.is_object() || e.value("event", "") != event)
                continue;
            if (!type.empty() && (!e.contains("type") || !e["type"].is_string() ||
                                  e["type"].get<std::string>() != type)) {
                continue;
            }
            out.push_back(e);
        }
        return out;
    }

    // Polls the record until `pred` holds or `limit` passes; a bounded wait for another process.
    template <typename Pred>
    bool wait_for(Pred pred, std::chrono::milliseconds limit) const {
        return eventually(std::move(pred), limit);
    }

  private:
    std::uint16_t wait_port() {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(15);
        while (std::chrono::steady_clock::now() < until) {
            std::ifstream in(dir() + "/port");
            int port = 0;
            if (in >> port && port > 0)
                return static_cast<std::uint16_t>(port);
            if (peer_.exited()) {
                throw std::runtime_error("the test backend exited at start");
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        throw std::runtime_error("the test backend did not start listening");
    }

    PythonPeer peer_;
    std::uint16_t port_ = 0;
};

}  // namespace vx::test
