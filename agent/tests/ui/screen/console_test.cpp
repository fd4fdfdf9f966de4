#include "platform/console.hpp"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <string>
#include <thread>

namespace vx::platform {
namespace {

TEST(Console, WritesEverythingInPiecesThroughAPipe) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    std::string data(3 * 1024 * 1024 + 17, '\0');
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<char>(i * 7);
    }
    std::string received;
    std::thread reader([&] {
        char buf[65536];
        for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;) {
            received.append(buf, static_cast<std::size_t>(n));
        }
    });
    write_fd(fds[1], data.data(), data.size());
    ::close(fds[1]);
    reader.join();
    ::close(fds[0]);
    EXPECT_EQ(received, data);
}

TEST(Console, AClosedReaderEndsTheWriteQuietly) {
    struct sigaction ignore {};
    struct sigaction old {};
    ignore.sa_handler = SIG_IGN;
    ASSERT_EQ(::sigaction(SIGPIPE, &ignore, &old), 0);
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ::close(fds[0]);
    const std::string data(100000, 'x');
    write_fd(fds[1], data.data(), data.size());  // returns instead of looping or dying
    write_fd(-1, data.data(), data.size());
    ::close(fds[1]);
    ::sigaction(SIGPIPE, &old, nullptr);
}

TEST(Console, DumbTerminalsAndFallbackSize) {
    EXPECT_TRUE(terminal_is_dumb(nullptr));
    EXPECT_TRUE(terminal_is_dumb(""));
    EXPECT_TRUE(terminal_is_dumb("dumb"));
    EXPECT_FALSE(terminal_is_dumb("dumb-ish"));
    EXPECT_FALSE(terminal_is_dumb("xterm-256color"));
    if (!stdout_is_terminal()) {
        EXPECT_EQ(console_size(), (ConsoleSize{80, 25}));
    }
}

}  // namespace
}  // namespace vx::platform
