// The byte stream under a WebSocket connection, against a plain loopback listener.
#include "backend/ws/saas_stream.hpp"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <asio/io_context.hpp>
#include <cerrno>

#include "support/loopback_listener.hpp"

namespace vx::network {
namespace {

using namespace std::chrono_literals;

TEST(SaasStreamErrors, KeepAliveGivingUpClosesTheReadSideAndATimeOutIsNothingYet) {
    // On Linux a recv failing with ETIMEDOUT is TCP keep-alive declaring the peer dead.
    const std::error_code keepalive_gave_up(ETIMEDOUT, asio::system_category());
    EXPECT_TRUE(ws_read_side_closed(keepalive_gave_up));
    EXPECT_FALSE(ws_read_nothing_yet(keepalive_gave_up));
    for (const std::error_code ec :
         {std::error_code(asio::error::eof), std::error_code(asio::error::connection_reset),
          std::error_code(asio::error::broken_pipe), std::error_code(asio::error::not_connected),
          std::error_code(asio::error::bad_descriptor)}) {
        EXPECT_TRUE(ws_read_side_closed(ec)) << ec.message();
        EXPECT_FALSE(ws_read_nothing_yet(ec)) << ec.message();
    }
    for (const std::error_code ec :
         {std::error_code(asio::error::would_block), std::error_code(asio::error::try_again)}) {
        EXPECT_TRUE(ws_read_nothing_yet(ec)) << ec.message();
        EXPECT_FALSE(ws_read_side_closed(ec)) << ec.message();
    }
    EXPECT_FALSE(ws_read_side_closed(std::error_code(ENOMEM, asio::system_category())));
}

class Listener {
  public:
    Listener() { fd_ = test::listen_on_loopback(4, port_); }
    ~Listener() {
        if (conn_ >= 0)
            ::close(conn_);
        ::close(fd_);
    }
    int accept() {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, 5000) == 1)
            conn_ = ::accept(fd_, nullptr, nullptr);
        return conn_;
    }
    std::uint16_t port() const { return port_; }

  private:
    int fd_ = -1;
    int conn_ = -1;
    std::uint16_t port_ = 0;
};

TEST(SaasStream, ReadsAreBoundedAndTheEndOfStreamIsSeen) {
    asio::io_context io;
    Listener server;
    SaasStream stream(io, false, nullptr);
    std::atomic<bool> running{true};
    std::string error;
    ASSERT_TRUE(stream.connect("127.0.0.1", server.port(), running, 2000ms, error)) << error;
    const int peer = server.accept();
    ASSERT_GE(peer, 0);

    std::uint8_t buf[16];
    std::error_code ec;
    EXPECT_EQ(stream.read(buf, sizeof buf, ec), 0u);
    EXPECT_TRUE(ws_read_nothing_yet(ec)) << "a silent peer is a bounded wait, " << ec.message();

    ASSERT_EQ(::send(peer, "abc", 3, MSG_NOSIGNAL), 3);
    EXPECT_EQ(stream.read(buf, sizeof buf, ec), 3u);
    EXPECT_FALSE(ec);

    ::shutdown(peer, SHUT_WR);
    EXPECT_EQ(stream.read(buf, sizeof buf, ec), 0u);
    EXPECT_TRUE(ws_read_side_closed(ec)) << ec.message();

    // Another thread's shutdown leaves the descriptor open but the stream unusable.
    stream.shutdown();
    EXPECT_FALSE(stream.valid());
    EXPECT_EQ(stream.read(buf, sizeof buf, ec), 0u);
    EXPECT_TRUE(ws_read_side_closed(ec)) << ec.message();
    EXPECT_THROW(stream.write(reinterpret_cast<const std::uint8_t*>("x"), 1), std::system_error);
}

TEST(SaasStream, ARefusedConnectFailsWithItsReason) {
    asio::io_context io;
    std::uint16_t port = 0;
    {
        Listener gone;
        port = gone.port();
    }
    SaasStream stream(io, false, nullptr);
    std::atomic<bool> running{true};
    std::string error;
    EXPECT_FALSE(stream.connect("127.0.0.1", port, running, 2000ms, error));
    EXPECT_NE(error.find("connect"), std::string::npos) << error;
}

}  // namespace
}  // namespace vx::network
