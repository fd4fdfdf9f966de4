#include <gtest/gtest.h>

#include <asio.hpp>
#include <cstdio>
#include <future>
#include <string>

#include "link/control_server.hpp"
#include "link/session_keys.hpp"
#include "util/io/io_pool.hpp"

namespace vx {
namespace {

// The Python test launcher against the real control server: its independent key derivation must
// agree with ours, and its pings, stats and end_session must be understood.

constexpr const char* kMasterB64 = "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8=";  // bytes 0..31
constexpr const char* kTokenHash =
    "0b8678dd74e2bebf8018f270a6d82bdd1b695f5387568f130c8750ce74ba6c27";

std::string run_launcher(std::uint16_t port, const std::string& args) {
    const std::string cmd = std::string("/usr/bin/python3 ") + VX_TEST_PEERS_DIR +
                            "/test_launcher.py --port " + std::to_string(port) + " " + args;
    FILE* p = popen(cmd.c_str(), "r");
    std::string out;
    char buf[512];
    while (p && fgets(buf, sizeof buf, p))
        out += buf;
    const int status = p ? pclose(p) : -1;
    return out + " exit=" + std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1);
}

class LauncherPeerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(server_.listen(0, error)) << error;
        server_.set_expected_token_sha256(kTokenHash);
        std::vector<std::uint8_t> master(32);
        for (int i = 0; i < 32; ++i)
            master[i] = static_cast<std::uint8_t>(i);
        server_.set_keys(derive_session_keys(master));
    }
    void TearDown() override {
        server_.stop();
        pool_.stop();
    }
    asio::io_context io_;
    IoPool pool_{io_};
    TcpControlServer server_{io_};
};

TEST_F(LauncherPeerTest, WholeConversation) {
    auto launcher = std::async(std::launch::async, [this] {
        return run_launcher(server_.port(), std::string("--token launcher-token-1 --master-key ") +
                                                kMasterB64 +
                                                " --pings 3 --ping-interval 0 --stats 2");
    });
    const HandshakeResult r = server_.run_handshake([] { return true; });
    ASSERT_TRUE(r.ok);
    std::promise<void> ended;
    server_.set_on_end_session([&] { ended.set_value(); });
    server_.start_reading();
    pool_.start(2);
    ended.get_future().wait();
    EXPECT_EQ(server_.lines_received(), 6u);  // 2 stats, 3 pings, end_session
    server_.stop();                           // the session's teardown closes the connection
    const std::string out = launcher.get();
    EXPECT_NE(out.find(R"("auth": "ok")"), std::string::npos) << out;
    EXPECT_NE(out.find(R"("keys_match": true)"), std::string::npos) << out;
    EXPECT_NE(out.find(R"("pongs": 3)"), std::string::npos) << out;
    EXPECT_NE(out.find(R"("closed_by_agent": true)"), std::string::npos) << out;
    EXPECT_NE(out.find("exit=0"), std::string::npos) << out;
}

TEST_F(LauncherPeerTest, WrongTokenIsRejected) {
    auto launcher = std::async(std::launch::async,
                               [this] { return run_launcher(server_.port(), "--token wrong"); });
    // A wrong token decides nothing: the server waits on for the launcher until told to stop.
    EXPECT_FALSE(server_
                     .run_handshake([&] {
                         return launcher.wait_for(std::chrono::seconds(0)) !=
                                std::future_status::ready;
                     })
                     .ok);
    const std::string out = launcher.get();
    EXPECT_NE(out.find(R"("auth": "AUTH_REJECTED")"), std::string::npos) << out;
    EXPECT_NE(out.find("exit=1"), std::string::npos) << out;
}

}  // namespace
}  // namespace vx
