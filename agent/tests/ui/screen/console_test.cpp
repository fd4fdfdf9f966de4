#include "platform/console.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>

#include <string>
#include <thread>

namespace vx::platform {
namespace {

TEST(Console, WritesEverythingInPiecesThroughAPipe) {
    std::string data(3 * 1024 * 1024 + 17, '\0');
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<char>(i * 7);
    }
    // A terminal shares its open file with every program on it, and one of them may have left it
    // non-blocking: a full buffer then means waiting, not losing the rest of a frame.
    for (bool nonblocking : {false, true}) {
        SCOPED_TRACE(nonblocking ? "non-blocking" : "blocking");
        int fds[2];
        ASSERT_EQ(::pipe(fds), 0);
        if (nonblocking) {
            ASSERT_EQ(::fcntl(fds[1], F_SETFL, O_NONBLOCK), 0);
        }
        std::string received;
        std::thread reader([&] {
            char buf[4096];
            for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;) {
                received.append(buf, static_cast<std::size_t>(n));
            }
        });
        EXPECT_TRUE(write_fd(fds[1], data.data(), data.size()));
        ::close(fds[1]);
        reader.join();
        ::close(fds[0]);
        EXPECT_EQ(received.size(), data.size());
        EXPECT_TRUE(received == data);
    }
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
    // Returns instead of looping or dying, and says the text did not get through.
    EXPECT_FALSE(write_fd(fds[1], data.data(), data.size()));
    EXPECT_FALSE(write_fd(-1, data.data(), data.size()));
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

// A pseudo-terminal of the test's own: the agent's terminal as the line discipline sees it.
class Pty {
  public:
    Pty() {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master_ >= 0 && ::grantpt(master_) == 0 && ::unlockpt(master_) == 0) {
            slave_ = ::open(::ptsname(master_), O_RDWR | O_NOCTTY | O_CLOEXEC);
        }
    }
    ~Pty() {
        ::close(slave_);
        ::close(master_);
    }
    int master() const { return master_; }
    int slave() const { return slave_; }
    // True when `fd` has bytes to read within 200 ms.
    static bool readable(int fd) {
        pollfd p{fd, POLLIN, 0};
        return ::poll(&p, 1, 200) == 1;
    }

  private:
    int master_ = -1;
    int slave_ = -1;
};

bool same_modes(const termios& a, const termios& b) {
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
           a.c_lflag == b.c_lflag && std::equal(a.c_cc, a.c_cc + NCCS, b.c_cc);
}

TEST(Console, TypedKeysNeitherEchoNorStayForTheShellAndTheModesComeBackExactly) {
    Pty pty;
    ASSERT_GE(pty.slave(), 0);
    termios before{};
    ASSERT_EQ(::tcgetattr(pty.slave(), &before), 0);
    ASSERT_TRUE(before.c_lflag & ECHO);

    ASSERT_TRUE(quiet_terminal_input(pty.slave()));
    EXPECT_TRUE(quiet_terminal_input(pty.slave()));  // already quiet: the saved modes stay
    termios during{};
    ASSERT_EQ(::tcgetattr(pty.slave(), &during), 0);
    EXPECT_EQ(during.c_lflag & (ECHO | ICANON), 0u);
    EXPECT_EQ(during.c_lflag | ECHO | ICANON, before.c_lflag | ECHO | ICANON);
    EXPECT_TRUE(during.c_lflag & ISIG);  // Ctrl+C still stops the agent

    ASSERT_EQ(::write(pty.master(), "typed\r", 6), 6);
    EXPECT_FALSE(Pty::readable(pty.master()));  // nothing echoed onto the screen
    ASSERT_TRUE(Pty::readable(pty.slave()));

    restore_terminal_input();
    restore_terminal_input();  // idempotent
    termios after{};
    ASSERT_EQ(::tcgetattr(pty.slave(), &after), 0);
    EXPECT_TRUE(same_modes(after, before));
    EXPECT_FALSE(Pty::readable(pty.slave()));  // the keys were the screen's, not the shell's
}

// Ctrl+S typed into the screen must not stop the terminal's output: the drawing thread would
// block in its write, and a stop (SIGTERM) would then wait for it until somebody typed Ctrl+Q.
TEST(Console, CtrlSTypedIntoTheScreenDoesNotFreezeItsOutput) {
    Pty pty;
    ASSERT_GE(pty.slave(), 0);
    // Non-blocking, so a frozen output shows as a refused write instead of a hung test.
    const int flags = ::fcntl(pty.slave(), F_GETFL);
    ASSERT_EQ(::fcntl(pty.slave(), F_SETFL, flags | O_NONBLOCK), 0);
    ASSERT_TRUE(quiet_terminal_input(pty.slave()));
    // The key after Ctrl+S reaches the input once the line discipline has seen Ctrl+S.
    const bool typed = ::write(pty.master(), "\x13x", 2) == 2 && Pty::readable(pty.slave());
    const ssize_t written = ::write(pty.slave(), "frame", 5);
    char buf[16] = {};
    const ssize_t read = Pty::readable(pty.master()) ? ::read(pty.master(), buf, sizeof buf) : 0;
    restore_terminal_input();
    EXPECT_TRUE(typed);
    EXPECT_EQ(written, 5);
    EXPECT_EQ(read, 5);
    EXPECT_EQ(std::string(buf), "frame");
}

TEST(Console, QuietInputNeedsATerminal) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    EXPECT_FALSE(quiet_terminal_input(fds[1]));
    restore_terminal_input();  // nothing saved: nothing happens
    ::close(fds[0]);
    ::close(fds[1]);
}

}  // namespace
}  // namespace vx::platform
