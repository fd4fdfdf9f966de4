// The byte stream under a WebSocket connection, against a plain loopback listener.
#include "backend/ws/saas_stream.hpp"

#include <gtest/gtest.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <asio/io_context.hpp>
#include <cerrno>
#include <cstring>
#include <future>
#include <vector>

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
    // A receive buffer given here is the accepted connection's too: a small one makes a peer
    // that does not read close its window at once.
    explicit Listener(int receive_buffer = 0) {
        fd_ = test::listen_on_loopback(4, port_);
        if (receive_buffer > 0)
            ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
    }
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

// A plain stream connected to a listener, and the listener's end of the connection.
struct Connected {
    explicit Connected(int receive_buffer = 0) : server(receive_buffer) {
        std::atomic<bool> running{true};
        std::string error;
        EXPECT_TRUE(stream.connect("127.0.0.1", server.port(), running, 2000ms, error)) << error;
        peer = server.accept();
    }
    asio::io_context io;
    Listener server;
    SaasStream stream{io, false, nullptr};
    int peer = -1;
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

// What a connection closing at a stop relies on: what was written reaches the peer, then an
// orderly end of stream, although the peer's own bytes were never read and the peer's window
// is full (a socket closed with unread bytes resets the connection and throws away what has
// not left yet).
TEST(SaasStream, FinishSendingWaitsUntilThePeerHasEverything) {
    Connected c(2048);
    SaasStream& stream = c.stream;
    const int peer = c.peer;
    ASSERT_GE(peer, 0);
    ASSERT_EQ(::send(peer, "never read", 10, MSG_NOSIGNAL), 10);
    // Acknowledged by the agent's side: the bytes wait unread there.
    int unacknowledged = 1;
    for (int i = 0; i < 500 && unacknowledged != 0; ++i) {
        ASSERT_EQ(::ioctl(peer, SIOCOUTQ, &unacknowledged), 0);
        ::poll(nullptr, 0, 10);
    }
    ASSERT_EQ(unacknowledged, 0);
    const std::string last(8192, 'w');  // more than the peer's window
    stream.write(reinterpret_cast<const std::uint8_t*>(last.data()), last.size());
    auto finished = std::async(std::launch::async, [&] {
        const bool all = stream.finish_sending(60s);
        stream.close();
        return all;
    });
    // Long enough for a close that does not wait to come first; the peer reads only then.
    finished.wait_for(200ms);
    std::string got;
    ssize_t n = -1;
    for (pollfd p{peer, POLLIN, 0}; ::poll(&p, 1, 10'000) == 1;) {
        char buf[4096];
        n = ::recv(peer, buf, sizeof buf, 0);
        if (n <= 0)
            break;
        got.append(buf, static_cast<std::size_t>(n));
    }
    EXPECT_EQ(got.size(), last.size());
    EXPECT_EQ(n, 0) << "not an end of stream: " << std::strerror(errno);
    ASSERT_EQ(finished.wait_for(10s), std::future_status::ready);
    EXPECT_TRUE(finished.get());
}

TEST(SaasStream, FinishSendingToAPeerThatReadsNothingIsBoundedAndEndsAtAShutdown) {
    Connected c(2048);
    SaasStream& stream = c.stream;
    ASSERT_GE(c.peer, 0);
    // More than the peer's window takes, less than the agent's send buffer holds.
    const std::vector<std::uint8_t> data(8192, 'd');
    stream.write(data.data(), data.size());
    EXPECT_FALSE(stream.finish_sending(200ms));
    auto waiting = std::async(std::launch::async, [&] { return stream.finish_sending(60s); });
    stream.shutdown();
    ASSERT_EQ(waiting.wait_for(10s), std::future_status::ready);
    EXPECT_FALSE(waiting.get());
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
