#include "desktop/session_isolation.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <barrier>
#include <future>

#include "desktop/fake_steam.hpp"
#include "desktop/tray_menu.hpp"
#include "support/fake_desktop.hpp"
#include "support/log_lines.hpp"

namespace vx::desktop {
namespace {

using platform::WindowId;
using platform::WindowType;

constexpr const char* kHidden = "SessionIsolation: desktop shell hidden";
constexpr const char* kHookInstalled =
    "SessionIsolation: low-level keyboard hook installed (Windows key blocked)";
constexpr const char* kTrayStarted = "SessionIsolation: tray thread started";
constexpr const char* kTrayCreated =
    "SessionIsolation: tray icon created \xE2\x80\x94 right-click to manage windows";
constexpr const char* kTrayDestroyed = "SessionIsolation: tray icon destroyed";
constexpr const char* kHookRemoved = "SessionIsolation: keyboard hook removed";
constexpr const char* kShellRestored = "SessionIsolation: desktop shell restored";

SessionIsolationConfig config(bool hide, bool steam = false, std::string app_id = {}) {
    SessionIsolationConfig c;
    c.hide_desktop = hide;
    c.launch_steam = steam;
    c.steam_app_id = std::move(app_id);
    return c;
}

bool contains(const std::vector<std::string>& all, const std::string& one) {
    return std::find(all.begin(), all.end(), one) != all.end();
}

// How long the frozen-desktop test lets the isolation wait for the desktop.
constexpr std::chrono::milliseconds kShortWait{100};

// Runs `step` and tells whether it came back within a generous bound. One that waits for a
// frozen desktop is let go by thawing it, so that the test fails instead of hanging.
bool returns(const std::function<void()>& step, test::FakeDesktop& desktop) {
    auto done = std::async(std::launch::async, step);
    if (done.wait_for(std::chrono::seconds(10)) == std::future_status::ready) {
        return true;
    }
    desktop.thaw();
    done.wait();
    return false;
}

// A desktop with a panel (1), desktop icons (2), two application windows (3, 4), one of the
// agent's own (5), a dialog (6) and an untitled window (7).
struct World {
    World() {
        panel = desktop->add_shell(WindowType::dock);
        icons = desktop->add_shell(WindowType::desktop);
        editor = desktop->add_window("Editor");
        browser = desktop->add_window("Browser", 4343, "/usr/lib/firefox-esr/firefox-esr");
        own = desktop->add_window("Velmora", static_cast<std::uint32_t>(::getpid()));
        platform::WindowFacts dialog;
        dialog.exists = dialog.viewable = dialog.has_owner = true;
        dialog.pid = 4242;
        dialog.title = "Save as";
        desktop->add(dialog, "gedit");
        desktop->add_window("");
    }
    std::shared_ptr<test::FakeDesktop> desktop = std::make_shared<test::FakeDesktop>();
    WindowId panel = 0, icons = 0, editor = 0, browser = 0, own = 0;
};

class IsolationTest : public ::testing::Test {
  protected:
    std::unique_ptr<SessionIsolation> make() {
        return std::make_unique<SessionIsolation>(desktop, steam.env());
    }

    // Applies and waits until both threads hold what they took.
    std::unique_ptr<SessionIsolation> isolated(
        const SessionIsolationConfig& wanted = config(true)) {
        auto isolation = make();
        EXPECT_TRUE(isolation->apply(wanted));
        EXPECT_TRUE(desktop->wait_until([&] { return desktop->grab_held && desktop->tray_shown; }));
        return isolation;
    }

    // The log's SessionIsolation lines, in order.
    std::vector<std::string> lines() const {
        std::vector<std::string> out;
        for (auto& line : log.lines()) {
            if (line.starts_with("SessionIsolation: ")) {
                out.push_back(line);
            }
        }
        return out;
    }

    World world;
    std::shared_ptr<test::FakeDesktop> desktop = world.desktop;
    const WindowId panel = world.panel, icons = world.icons, editor = world.editor,
                   browser = world.browser, own = world.own;
    FakeSteam steam;
    test::LogLines log;
};

TEST_F(IsolationTest, ApplyHidesMinimisesAndTakesTheKeysRestoreGivesAllBack) {
    auto isolation = isolated();
    EXPECT_TRUE(log.wait_for(kHookInstalled));
    EXPECT_TRUE(log.wait_for(kTrayCreated));
    const std::vector<std::string> applied = {"list taskbars", "list icons", "hide 1",
                                              "hide 2",        "minimize 3", "minimize 4"};
    EXPECT_EQ(desktop->calls_made(), applied);
    EXPECT_TRUE(desktop->facts_of(editor).minimized);
    EXPECT_FALSE(desktop->facts_of(own).minimized);

    isolation->restore_once();
    EXPECT_FALSE(desktop->grab_held);
    EXPECT_FALSE(desktop->tray_shown);
    for (const WindowId w : {panel, icons, editor, browser}) {
        EXPECT_TRUE(desktop->facts_of(w).viewable) << w;
        EXPECT_FALSE(desktop->facts_of(w).minimized) << w;
    }
    const auto calls = desktop->calls_made();
    const std::vector<std::string> restored(calls.begin() + applied.size(), calls.end());
    EXPECT_EQ(restored, (std::vector<std::string>{"restore 3", "restore 4", "refresh", "show 1",
                                                  "show 2", "refresh"}));
    const std::vector<std::string> expected = {
        kHidden,       "SessionIsolation: minimized 2 application windows",
        kTrayStarted,  kHookInstalled,
        kTrayCreated,  kTrayDestroyed,
        kHookRemoved,  "SessionIsolation: restored 2 windows",
        kShellRestored};
    auto got = lines();
    // The two threads log their start in either order.
    std::sort(got.begin() + 2, got.begin() + 5);
    auto want = expected;
    std::sort(want.begin() + 2, want.begin() + 5);
    EXPECT_EQ(got, want);
}

TEST_F(IsolationTest, NothingAskedNothingDone) {
    auto isolation = make();
    EXPECT_TRUE(isolation->apply(config(false)));
    isolation->restore_once();
    EXPECT_TRUE(desktop->calls_made().empty());
    EXPECT_TRUE(lines().empty());
}

TEST_F(IsolationTest, SteamAloneLeavesTheDesktopAlone) {
    auto isolation = make();
    EXPECT_TRUE(isolation->apply(config(false, true, "570")));
    EXPECT_EQ(steam.runs(), std::vector<std::string>{"/usr/bin/xdg-open steam://rungameid/570"});
    isolation->restore_once();
    EXPECT_TRUE(desktop->calls_made().empty());
    EXPECT_FALSE(contains(lines(), kShellRestored));
}

TEST_F(IsolationTest, AStepThatFailsIsLoggedAndTheNextStepsRun) {
    struct Case {
        const char* failing_call;
        const char* error_line;
        std::vector<std::string> restore_calls;  // what restore still does
    };
    const Case cases[] = {
        {"list taskbars",
         "SessionIsolation: hiding desktop shell crashed - isolation step skipped",
         {"restore 3", "restore 4", "refresh"}},
        // The panel was hidden before the failure: it must come back all the same.
        {"hide 2",
         "SessionIsolation: hiding desktop shell crashed - isolation step skipped",
         {"restore 3", "restore 4", "refresh", "show 1", "refresh"}},
        // The editor was minimised before the failure: it must come back all the same.
        {"minimize 4",
         "SessionIsolation: minimize_all_windows crashed - skipping window minimization",
         {"restore 3", "refresh", "show 1", "show 2", "refresh"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.failing_call);
        desktop = World().desktop;  // the same windows, numbered alike
        desktop->throw_on = c.failing_call;
        log.clear();
        auto isolation = make();
        EXPECT_FALSE(isolation->apply(config(true)));
        EXPECT_TRUE(log.wait_for(kTrayCreated));
        EXPECT_TRUE(log.wait_for(kHookInstalled));
        EXPECT_EQ(log.count(c.error_line), 1);
        const std::size_t before = desktop->calls_made().size();
        isolation->restore_once();
        const auto calls = desktop->calls_made();
        EXPECT_EQ(std::vector<std::string>(calls.begin() + before, calls.end()), c.restore_calls);
    }
}

TEST_F(IsolationTest, SteamFailuresMakeApplyFalseAndTheSessionGoesOn) {
    {
        steam.files.clear();
        auto isolation = make();
        EXPECT_FALSE(isolation->apply(config(true, true, "570")));
        EXPECT_EQ(log.count("SessionIsolation: Steam launch failed - continuing without it"), 1);
        EXPECT_EQ(log.count(kHidden), 1);
    }
    steam.files = {"/usr/games/steam"};
    steam.throw_on_run = true;
    auto isolation = make();
    EXPECT_FALSE(isolation->apply(config(false, true, "570")));
    EXPECT_EQ(log.count("SessionIsolation: Steam launch crashed - continuing without Steam "
                        "automation"),
              1);
}

TEST_F(IsolationTest, WithoutADesktopEveryStepSaysWhatItCannotDo) {
    desktop->no_desktop = true;
    auto isolation = make();
    EXPECT_TRUE(isolation->apply(config(true)));
    EXPECT_TRUE(
        log.wait_for("SessionIsolation: Super key grab failed (no X display (DISPLAY "
                     "is not set)) - Windows key remains available"));
    EXPECT_TRUE(
        log.wait_for("SessionIsolation: no system tray available (no X display "
                     "(DISPLAY is not set)) - continuing without tray control"));
    isolation->restore_once();
    auto got = lines();
    ASSERT_EQ(got.size(), 6u);
    EXPECT_EQ(got[0],
              "SessionIsolation: no desktop to isolate (no X display (DISPLAY is not set)) - the "
              "shell and the windows stay as they are");
    // The tray's start and the two threads' refusals come in any order.
    std::sort(got.begin() + 1, got.begin() + 4);
    EXPECT_EQ(got[3], kTrayStarted);
    EXPECT_EQ(got[4], kTrayDestroyed);
    EXPECT_EQ(got[5], kHookRemoved);
    EXPECT_TRUE(desktop->calls_made().empty());
}

TEST_F(IsolationTest, ARefusedGrabOrTrayLeavesTheRestIsolated) {
    desktop->grab_refusal = "another program holds the Super key (BadAccess)";
    desktop->tray_refusal = platform::TrayRefusal::failed;
    auto isolation = make();
    EXPECT_TRUE(isolation->apply(config(true)));
    EXPECT_TRUE(
        log.wait_for("SessionIsolation: Super key grab failed (another program holds "
                     "the Super key (BadAccess)) - Windows key remains available"));
    EXPECT_TRUE(log.wait_for("SessionIsolation: failed to create tray window (err=X error 8)"));
    EXPECT_TRUE(desktop->facts_of(editor).minimized);
    isolation->restore_once();
    EXPECT_FALSE(desktop->facts_of(editor).minimized);
}

TEST_F(IsolationTest, RestoreLeavesClosedAndAlreadyRestoredWindowsAlone) {
    desktop->window_manager_running = false;
    auto isolation = isolated();
    desktop->change(editor, [](platform::WindowFacts& f) { f = {}; });  // closed
    desktop->change(browser, [](platform::WindowFacts& f) { f.minimized = false; });
    const std::size_t before = desktop->calls_made().size();
    isolation->restore_once();
    const auto calls = desktop->calls_made();
    EXPECT_EQ(std::vector<std::string>(calls.begin() + before, calls.end()),
              (std::vector<std::string>{"refresh", "show 1", "show 2"}));
    EXPECT_EQ(log.count("SessionIsolation: restored 2 windows"), 1);
    EXPECT_EQ(log.count("SessionIsolation: the desktop's window manager is not running - there "
                        "is no shell to restart"),
              1);
    EXPECT_EQ(log.count(kShellRestored), 1);
}

TEST_F(IsolationTest, RestoreRunsOnceWhenTwoThreadsAskAtOnce) {
    auto isolation = isolated();
    std::barrier start(2);
    auto restore = [&] {
        start.arrive_and_wait();
        isolation->restore_once();
    };
    std::thread a(restore);
    std::thread b(restore);
    a.join();
    b.join();
    const auto calls = desktop->calls_made();
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "restore 3"), 1);
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "show 1"), 1);
    EXPECT_EQ(log.count("SessionIsolation: restored 2 windows"), 1);
    isolation->restore_once();
    EXPECT_EQ(log.count(kShellRestored), 1);
}

// The windows come back through a process of its own (the crashing one may be stuck in the middle
// of a desktop request): within the answer limit, or, when the desktop does not answer by then,
// once it does, the process outliving the agent. The log says which.
TEST_F(IsolationTest, TheCrashHandlerRestoresWindowsButLeavesTheShellAndTheThreads) {
    struct Case {
        platform::ProcessState process;
        const char* outcome;
        const char* not_said;
    };
    const Case cases[] = {
        {platform::ProcessState::exited, "[info] ", "handed the restore"},
        {platform::ProcessState::running,
         "SessionIsolation: handed the restore of 2 windows to process 4711, which waits up to "
         "600 s for the desktop",
         "SessionIsolation: restored 2 windows"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.outcome);
        desktop = World().desktop;
        desktop->restore_process_ends = c.process;
        auto isolation = isolated();
        g_active_isolation.store(isolation.get());
        testing::internal::CaptureStderr();
        restore_isolation_on_crash();
        const std::string written = testing::internal::GetCapturedStderr();
        EXPECT_EQ(g_active_isolation.load(), nullptr);
        const auto calls = desktop->calls_made();
        EXPECT_EQ(calls.back(),
                  "start --desktop-restore-process log= shell= windows=0x3,0x4 focus=0x0");
        EXPECT_FALSE(contains(calls, "show 1"));
        for (const char* line :
             {kTrayDestroyed, kHookRemoved, c.outcome, "[warning] ",
              "SessionIsolation: skipping ShowWindow in crash-handler context"}) {
            EXPECT_NE(written.find(line), std::string::npos) << line << " in\n" << written;
        }
        if (c.process == platform::ProcessState::exited) {
            EXPECT_NE(written.find("SessionIsolation: restored 2 windows"), std::string::npos);
        }
        EXPECT_EQ(written.find(c.not_said), std::string::npos) << written;
        EXPECT_EQ(g_tray_owner.load(), nullptr);
        restore_isolation_on_crash();  // nothing active: nothing done
        EXPECT_EQ(desktop->calls_made().size(), calls.size());
        // Nobody waited for the threads; the object still goes without ending the process.
        isolation.reset();
        EXPECT_FALSE(desktop->grab_held);
    }
}

// A crash while the session's end waits for a desktop that does not answer: the restore that
// began goes whole, the shell with it, to a process of its own.
TEST_F(IsolationTest, ACrashDuringARestoreThatWaitsHandsOnTheWholeRestore) {
    desktop->restore_process_ends = platform::ProcessState::running;
    auto isolation =
        std::make_unique<SessionIsolation>(desktop, steam.env(), std::chrono::seconds(30));
    EXPECT_TRUE(isolation->apply(config(true)));
    EXPECT_TRUE(desktop->wait_until([&] { return desktop->grab_held && desktop->tray_shown; }));
    g_active_isolation.store(isolation.get());
    desktop->freeze();
    std::thread session_end([&] { isolation->restore_once(); });
    // The grab and the tray let go of the desktop first, and wait for it.
    EXPECT_TRUE(desktop->wait_until([&] { return desktop->waiting_for_answer > 0; }));
    testing::internal::CaptureStderr();
    restore_isolation_on_crash();
    const std::string written = testing::internal::GetCapturedStderr();
    EXPECT_NE(written.find("SessionIsolation: handed the restore of 2 windows and the desktop "
                           "shell to process 4711, which waits up to 600 s for the desktop"),
              std::string::npos)
        << written;
    EXPECT_TRUE(contains(desktop->calls_made(),
                         "start --desktop-restore-process log= shell=0x1,0x2 windows=0x3,0x4 "
                         "focus=0x0"));
    desktop->thaw();
    session_end.join();
}

TEST_F(IsolationTest, TheDestructorRestoresAndUnpublishes) {
    auto isolation = isolated();
    g_active_isolation.store(isolation.get());
    isolation.reset();
    EXPECT_EQ(g_active_isolation.load(), nullptr);
    EXPECT_FALSE(desktop->facts_of(editor).minimized);
    EXPECT_TRUE(desktop->facts_of(panel).viewable);
}

// A desktop that stops answering (an X server stopped with SIGSTOP) holds up neither the
// session's start nor its end. What waits for it is left behind owning all it uses: once the
// desktop answers, a restore that was waiting finishes, and an isolation given up on changes
// nothing any more.
TEST_F(IsolationTest, ADesktopThatStopsAnsweringHoldsUpNeitherApplyNorRestore) {
    struct Case {
        const char* name;
        bool before_apply;
    };
    for (const Case c : {Case{"frozen before apply", true}, Case{"frozen while isolated", false}}) {
        SCOPED_TRACE(c.name);
        log.clear();
        auto frozen = World().desktop;
        // What the desktop saw, read when the last user lets go of it.
        struct Seen {
            std::vector<std::string> calls;
            bool grab_held = true;
            bool tray_shown = true;
        } seen;
        std::promise<void> released;
        frozen->on_destroyed = [&, fake = frozen.get()] {
            seen = {fake->calls, fake->grab_held, fake->tray_shown};
            released.set_value();
        };
        auto isolation = std::make_unique<SessionIsolation>(frozen, steam.env(), kShortWait);
        if (c.before_apply) {
            frozen->freeze();
            EXPECT_TRUE(returns([&] { EXPECT_FALSE(isolation->apply(config(true))); }, *frozen));
        } else {
            EXPECT_TRUE(isolation->apply(config(true)));
            EXPECT_TRUE(
                frozen->wait_until([&] { return frozen->grab_held && frozen->tray_shown; }));
            frozen->freeze();
        }
        EXPECT_TRUE(returns(
            [&] {
                isolation->restore_once();
                isolation.reset();
            },
            *frozen));
        EXPECT_GE(log.count("SessionIsolation: desktop did not answer within"), 1);
        // Nothing was isolated before the freeze: nothing to hand on. What was, is handed to a
        // process that outlives the agent (the agent may stop before the desktop answers).
        EXPECT_EQ(log.count("SessionIsolation: handed the restore of 2 windows and the desktop "
                            "shell to process 4711, which waits up to 600 s for the desktop"),
                  c.before_apply ? 0 : 1);

        frozen->thaw();
        auto all_let_go = released.get_future();
        frozen.reset();
        ASSERT_EQ(all_let_go.wait_for(std::chrono::seconds(10)), std::future_status::ready);
        EXPECT_FALSE(seen.grab_held);
        EXPECT_FALSE(seen.tray_shown);
        if (c.before_apply) {
            EXPECT_EQ(seen.calls, std::vector<std::string>{});
        } else {
            EXPECT_TRUE(contains(seen.calls,
                                 "start --desktop-restore-process log= shell=0x1,0x2 "
                                 "windows=0x3,0x4 focus=0x0"));
            EXPECT_TRUE(contains(seen.calls, "run on 4711"));
            const std::vector<std::string> restored(seen.calls.end() - 6, seen.calls.end());
            EXPECT_EQ(restored, (std::vector<std::string>{"restore 3", "restore 4", "refresh",
                                                          "show 1", "show 2", "refresh"}));
        }
    }
}

// An isolation skipped because the desktop did not answer changed nothing: its end neither waits
// for the desktop nor says that anything comes back.
TEST_F(IsolationTest, ASkippedIsolationEndsWithoutWaitingForTheDesktop) {
    auto frozen = World().desktop;
    std::promise<void> released;
    frozen->on_destroyed = [&] { released.set_value(); };
    frozen->freeze();
    auto isolation = std::make_unique<SessionIsolation>(frozen, steam.env(), kShortWait);
    EXPECT_TRUE(returns([&] { EXPECT_FALSE(isolation->apply(config(true))); }, *frozen));
    const auto lines_after_apply = lines();
    EXPECT_TRUE(returns([&] { isolation->restore_once(); }, *frozen));
    EXPECT_EQ(lines(), lines_after_apply);  // nothing said: nothing waited for, nothing handed on
    EXPECT_TRUE(returns([&] { isolation.reset(); }, *frozen));
    frozen->thaw();
    auto all_let_go = released.get_future();
    frozen.reset();
    ASSERT_EQ(all_let_go.wait_for(std::chrono::seconds(10)), std::future_status::ready);
}

// Restoring a window activates it: the window that had the focus before the session is
// activated last, when it still exists.
TEST_F(IsolationTest, TheFocusGoesBackToTheWindowThatHadIt) {
    struct Case {
        const char* name;
        bool focus_closed;
        bool no_focus;
    };
    for (const Case c : {Case{"focus on the agent's window", false, false},
                         Case{"that window closed meanwhile", true, false},
                         Case{"nothing had the focus", false, true}}) {
        SCOPED_TRACE(c.name);
        World world;
        desktop = world.desktop;
        desktop->active = c.no_focus ? 0 : world.own;
        auto isolation = isolated();
        if (c.focus_closed) {
            desktop->change(world.own, [](platform::WindowFacts& f) { f = {}; });
        }
        isolation->restore_once();
        const auto calls = desktop->calls_made();
        const bool back = !c.focus_closed && !c.no_focus;
        EXPECT_EQ(calls.back(), back ? "restore 5" : "refresh");
        EXPECT_EQ(desktop->active, back ? world.own : world.browser);
    }
}

// A desktop frozen for good must not gather a waiting thread per session: once one waits for it,
// later sessions do not ask it again.
TEST_F(IsolationTest, ADesktopStillFrozenFromAnEarlierSessionIsNotAskedAgain) {
    auto frozen = World().desktop;
    std::promise<void> released;
    frozen->on_destroyed = [&] { released.set_value(); };
    frozen->freeze();
    for (int session = 1; session <= 3; ++session) {
        SCOPED_TRACE(session);
        auto isolation = std::make_unique<SessionIsolation>(frozen, steam.env(), kShortWait);
        EXPECT_TRUE(returns([&] { EXPECT_FALSE(isolation->apply(config(true))); }, *frozen));
        EXPECT_TRUE(frozen->wait_until([&] { return frozen->waiting_for_answer == 1; }));
        EXPECT_TRUE(returns([&] { isolation.reset(); }, *frozen));
    }
    EXPECT_EQ(log.count("SessionIsolation: the desktop has not answered since an earlier session"),
              2);
    frozen->thaw();
    auto all_let_go = released.get_future();
    frozen.reset();
    ASSERT_EQ(all_let_go.wait_for(std::chrono::seconds(10)), std::future_status::ready);
}

TEST_F(IsolationTest, SuperKeysAreSwallowedWhileIsolated) {
    auto isolation = isolated();
    constexpr std::uint8_t kSuperL = 133;
    constexpr std::uint8_t kA = 38;
    for (const platform::KeyEvent key :
         {platform::KeyEvent{kSuperL, true, true}, platform::KeyEvent{kA, true, false},
          platform::KeyEvent{kSuperL, false, true}}) {
        desktop->press_key(key);
    }
    EXPECT_TRUE(desktop->wait_until(
        [&] { return desktop->swallowed.size() + desktop->passed.size() == 3; }));
    EXPECT_EQ(desktop->swallowed.size(), 2u);
    ASSERT_EQ(desktop->passed.size(), 1u);
    EXPECT_EQ(desktop->passed[0].keycode, kA);
}

TEST_F(IsolationTest, TheTrayMenuBringsWindowsAndSteamBack) {
    auto isolation = isolated(config(true, true));
    auto handled = [&](int n) {
        return desktop->wait_until([&] { return desktop->handled_tray_events == n; });
    };
    desktop->click_tray();
    ASSERT_TRUE(handled(1));
    std::vector<std::string> texts;
    for (const auto& item : desktop->menus.at(0)) {
        texts.push_back(item.text);
    }
    EXPECT_EQ(texts,
              (std::vector<std::string>{"Velmora Agent", "", "Show Steam", "", "Restore: Editor",
                                        "Restore: Browser", "", "Restore All Windows"}));

    desktop->choose(kRestoreWindowCommand + 1);
    ASSERT_TRUE(handled(2));
    EXPECT_FALSE(desktop->facts_of(browser).minimized);
    EXPECT_TRUE(desktop->facts_of(editor).minimized);
    EXPECT_EQ(log.count("SessionIsolation: tray -> restored window #1"), 1);

    desktop->choose(kRestoreWindowCommand + 7);  // past the list: nothing
    desktop->choose(kRestoreAllCommand);
    ASSERT_TRUE(handled(4));
    EXPECT_FALSE(desktop->facts_of(editor).minimized);
    EXPECT_EQ(log.count("SessionIsolation: tray -> restored all windows"), 1);

    // No Steam window on the desktop: the session wants Steam, so it is started again.
    const std::size_t launches = steam.runs().size();
    desktop->choose(kShowSteamCommand);
    ASSERT_TRUE(handled(5));
    EXPECT_EQ(log.count("SessionIsolation: Steam window not found, relaunching Steam"), 1);
    EXPECT_EQ(steam.runs().size(), launches + 1);
    EXPECT_EQ(log.count("SessionIsolation: tray -> Steam window not found"), 0);

    const WindowId steam_window = desktop->add_window("Steam", 5151, "steam");
    desktop->change(steam_window, [](platform::WindowFacts& f) { f.minimized = true; });
    desktop->choose(kShowSteamCommand);
    ASSERT_TRUE(handled(6));
    EXPECT_FALSE(desktop->facts_of(steam_window).minimized);
    EXPECT_EQ(log.count("SessionIsolation: restored Steam window"), 1);
}

TEST_F(IsolationTest, TheTrayStopsActingWhenRestoreBegins) {
    auto isolation = isolated();
    // Commands pour in from the tray while the driver restores: each either ran before the
    // restore took the object away or does nothing.
    std::atomic<bool> done{false};
    std::thread clicks([&] {
        for (int i = 0; i < 200 && !done.load(); ++i) {
            desktop->choose(kRestoreAllCommand);
            desktop->click_tray();
        }
    });
    isolation->restore_once();
    done.store(true);
    clicks.join();
    EXPECT_FALSE(desktop->tray_shown);
    EXPECT_EQ(g_tray_owner.load(), nullptr);
}

}  // namespace
}  // namespace vx::desktop
