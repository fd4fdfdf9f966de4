#include "diag/logging.hpp"

#include <gtest/gtest.h>

#include <spdlog/spdlog.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "diag/diagnostics_store.hpp"
#include "support/temp_dir.hpp"

namespace vx::diag {
namespace {

namespace fs = std::filesystem;

using test::TempDir;

std::string read_file(const fs::path& p) {
    std::ifstream in(p);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool store_has(const std::string& needle) {
    auto& store = diagnostics_store();
    std::lock_guard lock(store.mutex);
    for (const auto& line : store.ring) {
        if (line.find(needle) != std::string::npos) {
            return true;
        }
    }
    return false;
}

TEST(Logging, ALineReachesTheFileAndTheStore) {
    TempDir dir;
    const std::string path = init_logging({dir.path().string(), false, {}});
    EXPECT_EQ(path, (dir.path() / "agent.log").string());
    EXPECT_EQ(path, log_file_path(dir.path().string()));
    spdlog::info("Logging test: marker {}", 42);
    spdlog::debug("Logging test: below the level");
    shutdown_logging();  // writes out the queue and joins the worker

    const std::string text = read_file(path);
    EXPECT_NE(text.find("] [info] ["), std::string::npos) << text;
    EXPECT_NE(text.find("Logging test: marker 42\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("below the level"), std::string::npos);
    EXPECT_TRUE(store_has("] [info] ["));
    EXPECT_TRUE(store_has("Logging test: marker 42"));

    spdlog::info("after shutdown");  // harmless, goes nowhere
    EXPECT_FALSE(store_has("after shutdown"));
}

// Lines are written on the logger's own thread; a session's log is taken from the store as soon
// as the session ends, and the lines logged just before must be in it by then.
TEST(Logging, WaitLoggedReturnsOnceEarlierLinesAreInTheStore) {
    TempDir dir;
    init_logging({dir.path().string(), false, {}});
    for (int n = 0; n < 2000; ++n) {
        spdlog::info("Logging test: burst line {}", n);
    }
    wait_logged(std::chrono::seconds(60));
    EXPECT_TRUE(store_has("Logging test: burst line 1999"));
    shutdown_logging();
    wait_logged(std::chrono::seconds(60));  // no set-up: returns at once
}

// Text from peers (ids from the backend, texts from routers and launchers) is logged as it came:
// a line must not carry control sequences to the console or a line break into the file.
TEST(Logging, ControlCharactersAreWrittenAsNoTerminalReadsThem) {
    TempDir dir;
    const std::string path = init_logging({dir.path().string(), false, {}, true});
    spdlog::info("Logging test: id {}", "a\x1B]0;OWNED\x07\r\nb\tc\x7F\xC2\x9B\xFF \xC3\xA9");
    shutdown_logging();
    const std::string expected = "Logging test: id a?]0;OWNED?\\r\\nb\tc??? \xC3\xA9\n";
    EXPECT_NE(read_file(path).find(expected), std::string::npos) << read_file(path);
    EXPECT_TRUE(store_has("Logging test: id a?]0;OWNED?\\r\\nb\tc??? \xC3\xA9"));
}

// A folder that cannot hold agent.log (beside the program, say, without the right to write there)
// sends the log to the fallback folder, which is made when missing; when that fails too, the
// store still has every line.
TEST(Logging, AFolderThatCannotHoldTheFileMovesTheLogToTheFallback) {
    TempDir dir;
    const fs::path not_a_dir = dir.path() / "plain-file";
    std::ofstream(not_a_dir) << "x";
    const fs::path fallback = dir.path() / "state" / "Velmora";

    const std::string path = init_logging({not_a_dir.string(), false, fallback.string()});
    EXPECT_EQ(path, log_file_path(fallback.string()));
    spdlog::info("Logging test: in the fallback");
    shutdown_logging();
    EXPECT_NE(read_file(path).find("Logging test: in the fallback"), std::string::npos);
    EXPECT_NE(read_file(path).find("could not be opened"), std::string::npos);

    EXPECT_EQ(init_logging({not_a_dir.string(), false, (not_a_dir / "below").string()}), "");
    spdlog::warn("Logging test: no file here");
    shutdown_logging();
    EXPECT_TRUE(store_has("Logging test: no file here"));
    EXPECT_TRUE(store_has("memory only"));
    EXPECT_EQ(init_logging({not_a_dir.string(), false, {}}), "");  // no fallback given
    shutdown_logging();
}

// A synchronous log has written the line, to the file and to the store, when the call returns:
// output written next stands after it.
TEST(Logging, ASynchronousLogHasWrittenEachLineWhenTheCallReturns) {
    TempDir dir;
    const std::string path = init_logging({dir.path().string(), false, {}, true});
    for (int i = 0; i < 50; ++i) {
        const std::string line = "Logging test: synchronous " + std::to_string(i) + "\n";
        spdlog::info("{}", line.substr(0, line.size() - 1));
        ASSERT_NE(read_file(path).find(line), std::string::npos) << i;
        ASSERT_TRUE(store_has(line.substr(0, line.size() - 1))) << i;
    }
    shutdown_logging();
}

TEST(Logging, InitTwiceReplacesTheSetUp) {
    TempDir first;
    TempDir second;
    init_logging({first.path().string(), false, {}});
    spdlog::info("Logging test: first");
    const std::string path = init_logging({second.path().string(), false, {}});
    spdlog::info("Logging test: second");
    shutdown_logging();
    EXPECT_NE(read_file(first.path() / "agent.log").find("Logging test: first"), std::string::npos);
    EXPECT_NE(read_file(path).find("Logging test: second"), std::string::npos);
}

// Threads that outlive the set-up (a thread detached after its join deadline, for one) log
// through the default logger while the program ends its logging: the logger they hold must
// stay a valid object.
TEST(Logging, ShutdownWhileAnotherThreadLogsIsSafe) {
    TempDir dir;
    std::atomic<bool> done{false};
    std::atomic<int> lines{0};
    std::thread writer([&] {
        while (!done.load()) {
            spdlog::info("Logging test: from a late thread");
            ++lines;
        }
    });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (int round = 0; round < 50; ++round) {
        init_logging({dir.path().string(), false, {}});
        const int before = lines.load();
        while (lines.load() < before + 20 && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::yield();
        }
        shutdown_logging();
    }
    done.store(true);
    writer.join();
    spdlog::info("Logging test: after the last shutdown");
}

}  // namespace
}  // namespace vx::diag
