#pragma once

#include <sys/eventfd.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <limits>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/desktop_platform.hpp"

namespace vx::test {

// A desktop in memory: windows with their facts, what was done to them (`calls`, one text per
// call, e.g. "hide 3", "minimize 7", "restore 7", and "start <arguments>" for a restore process
// started), and a keyboard grab and tray icon that tests drive by queueing events. Every member is
// guarded by `mutex`; the threads of the isolation call in from their own threads.
class FakeDesktop : public platform::DesktopPlatform {
  public:
    struct Window {
        platform::WindowFacts facts;
        std::string image;  // the process image name `process_image_name` answers for it
    };

    FakeDesktop() = default;
    ~FakeDesktop() override {
        if (on_destroyed) {
            on_destroyed();
        }
    }
    FakeDesktop(const FakeDesktop&) = delete;
    FakeDesktop& operator=(const FakeDesktop&) = delete;

    // --- the world, set up by the test ---------------------------------------------------
    // An application window, shown, with a title, of another process.
    platform::WindowId add_window(const std::string& title, std::uint32_t pid = 4242,
                                  const std::string& image = "firefox-esr") {
        platform::WindowFacts facts;
        facts.exists = true;
        facts.viewable = true;
        facts.pid = pid;
        facts.title = title;
        return add(facts, image);
    }
    platform::WindowId add(const platform::WindowFacts& facts, const std::string& image) {
        std::lock_guard lock(mutex);
        const platform::WindowId id = next_id_++;
        windows[id] = {facts, image};
        return id;
    }
    platform::WindowId add_shell(platform::WindowType type) {
        platform::WindowFacts facts;
        facts.exists = true;
        facts.viewable = true;
        facts.pid = 77;
        facts.types = platform::type_bit(type);
        return add(facts, "xfce4-panel");
    }
    platform::WindowFacts facts_of(platform::WindowId id) {
        std::lock_guard lock(mutex);
        return windows[id].facts;
    }
    void change(platform::WindowId id, const std::function<void(platform::WindowFacts&)>& edit) {
        std::lock_guard lock(mutex);
        edit(windows[id].facts);
    }
    std::vector<std::string> calls_made() {
        std::lock_guard lock(mutex);
        return calls;
    }

    std::mutex mutex;
    std::map<platform::WindowId, Window> windows;
    std::vector<std::string> calls;
    bool no_desktop = false;  // connect, grab and tray all refuse
    bool window_manager_running = true;
    std::string grab_refusal;  // non-empty: the Super keys cannot be taken
    platform::TrayRefusal tray_refusal = platform::TrayRefusal::none;
    std::string throw_on;           // a call text that throws instead of happening
    platform::WindowId active = 0;  // the active window; a restored window becomes it
    // What a wait for a started restore process sees: `exited` (with status 0: it restored),
    // or `running` (it waits for the desktop).
    platform::ProcessState restore_process_ends = platform::ProcessState::exited;
    // Called by the destructor: once everything that used the desktop has let go of it.
    std::function<void()> on_destroyed;

    // A desktop that stops answering (an X server stopped with SIGSTOP): from `freeze` until
    // `thaw`, every call that would wait for the server's answer waits (opening a connection,
    // every window call, the last sync of the grab and of the tray icon).
    void freeze() {
        std::lock_guard lock(mutex);
        frozen_ = true;
    }
    void thaw() {
        std::lock_guard lock(mutex);
        frozen_ = false;
        changed_.notify_all();
    }

    // --- the keyboard grab and the tray, driven by the test ------------------------------
    void press_key(platform::KeyEvent key) { queue_event({Event::key_event, key, 0}); }
    void click_tray() { queue_event({Event::click_event, {}, 0}); }
    void choose(int command) { queue_event({Event::choose_event, {}, command}); }

    // Waits (10 s at most) until `done` holds; it runs under `mutex`.
    bool wait_until(const std::function<bool()>& done) {
        std::unique_lock lock(mutex);
        return changed_.wait_for(lock, std::chrono::seconds(10), done);
    }

    std::vector<platform::KeyEvent> swallowed;               // what the grab's owner kept
    std::vector<platform::KeyEvent> passed;                  // what went on to the focused window
    std::vector<std::vector<platform::TrayMenuItem>> menus;  // one per click
    int handled_tray_events = 0;
    bool grab_held = false;
    bool tray_shown = false;
    int waiting_for_answer = 0;  // calls inside the desktop, waiting while it is frozen

    // --- DesktopPlatform ----------------------------------------------------------------
    std::unique_ptr<platform::DesktopConnection> connect(std::string& error) override {
        auto lock = answer();
        if (no_desktop) {
            error = "no X display (DISPLAY is not set)";
            return nullptr;
        }
        return std::make_unique<Connection>(*this);
    }

    std::unique_ptr<platform::KeyGrab> grab_super_keys(std::string& error) override {
        auto lock = answer();
        if (no_desktop || !grab_refusal.empty()) {
            error = no_desktop ? "no X display (DISPLAY is not set)" : grab_refusal;
            return nullptr;
        }
        grab_held = true;
        changed_.notify_all();
        return std::make_unique<Grab>(*this);
    }

    std::unique_ptr<platform::TrayIcon> show_tray_icon(const std::string&,
                                                       platform::TrayRefusal& refusal,
                                                       std::string& error) override {
        auto lock = answer();
        refusal = no_desktop ? platform::TrayRefusal::no_tray : tray_refusal;
        if (refusal != platform::TrayRefusal::none) {
            error = no_desktop ? "no X display (DISPLAY is not set)"
                    : refusal == platform::TrayRefusal::no_tray ? "no program owns the tray"
                                                                : "X error 8";
            return nullptr;
        }
        tray_shown = true;
        changed_.notify_all();
        return std::make_unique<Tray>(*this);
    }

    std::unique_ptr<platform::DetachedProcess> prepare_restore_process(
        std::vector<std::string> args) override {
        std::string text = "start";
        for (const std::string& arg : args) {
            text += " " + arg;
        }
        return std::make_unique<Process>(*this, text);
    }

    std::string process_image_name(std::uint32_t pid) override {
        std::lock_guard lock(mutex);
        for (const auto& [id, window] : windows) {
            if (window.facts.pid == pid) {
                return window.image;
            }
        }
        return {};
    }

  private:
    struct Event {
        enum Kind { key_event, click_event, choose_event } kind;
        platform::KeyEvent key;
        int command;
    };

    // The desktop's lock, taken once the desktop answers (the safety net past a test that
    // forgot to thaw it is long: a caller is meant to wait).
    std::unique_lock<std::mutex> answer() {
        std::unique_lock lock(mutex);
        ++waiting_for_answer;
        changed_.notify_all();
        changed_.wait_for(lock, std::chrono::seconds(60), [&] { return !frozen_; });
        --waiting_for_answer;
        return lock;
    }

    // Records the call, or throws when the test asked this one to fail.
    void call(const std::string& text) {
        if (text == throw_on) {
            throw std::runtime_error("injected failure in " + text);
        }
        calls.push_back(text);
    }

    void queue_event(Event event) {
        std::lock_guard lock(mutex);
        events_.push_back(event);
        const std::uint64_t one = 1;
        [[maybe_unused]] auto n =
            ::write(event.kind == Event::key_event ? key_fd_.fd : tray_fd_.fd, &one, sizeof one);
    }

    // Takes the next queued event of the kinds `wanted` accepts.
    bool next_event(bool keys, Event& out) {
        std::lock_guard lock(mutex);
        for (auto it = events_.begin(); it != events_.end(); ++it) {
            if ((it->kind == Event::key_event) == keys) {
                out = *it;
                events_.erase(it);
                return true;
            }
        }
        return false;
    }

    void notify() { changed_.notify_all(); }

    static void drain(int fd) {
        std::uint64_t count = 0;
        [[maybe_unused]] auto n = ::read(fd, &count, sizeof count);
    }

    struct EventFd {
        int fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        ~EventFd() { ::close(fd); }
    };

    // A restore process that starts and ends as the test says, without a process.
    class Process : public platform::DetachedProcess {
      public:
        Process(FakeDesktop& d, std::string text) : d_(d), text_(std::move(text)) {}
        pid_t start() const noexcept override {
            std::lock_guard lock(d_.mutex);
            d_.calls.push_back(text_);
            d_.notify();
            return kPid;
        }
        platform::ProcessOutcome wait(pid_t pid,
                                      std::chrono::milliseconds) const noexcept override {
            std::lock_guard lock(d_.mutex);
            platform::ProcessOutcome out;
            out.pid = pid;
            out.state = d_.restore_process_ends;
            return out;
        }
        void run_on(pid_t pid) const override {
            std::lock_guard lock(d_.mutex);
            d_.calls.push_back("run on " + std::to_string(pid));
        }
        static constexpr pid_t kPid = 4711;

      private:
        FakeDesktop& d_;
        const std::string text_;
    };

    class Connection : public platform::DesktopConnection {
      public:
        explicit Connection(FakeDesktop& d) : d_(d) {}
        std::vector<platform::WindowId> client_windows() override {
            auto lock = d_.answer();
            std::vector<platform::WindowId> out;
            for (const auto& [id, w] : d_.windows) {
                if (w.facts.exists && (w.facts.types & kShellTypes) == 0) {
                    out.push_back(id);
                }
            }
            return out;
        }
        std::vector<platform::WindowId> shell_windows(platform::ShellPart part) override {
            auto lock = d_.answer();
            d_.call(part == platform::ShellPart::taskbars ? "list taskbars" : "list icons");
            const auto type = part == platform::ShellPart::taskbars ? platform::WindowType::dock
                                                                    : platform::WindowType::desktop;
            std::vector<platform::WindowId> out;
            for (const auto& [id, w] : d_.windows) {
                if (w.facts.exists && w.facts.viewable &&
                    (w.facts.types & platform::type_bit(type)) != 0) {
                    out.push_back(id);
                }
            }
            return out;
        }
        platform::WindowFacts describe(platform::WindowId window) override {
            auto lock = d_.answer();
            const auto it = d_.windows.find(window);
            return it == d_.windows.end() || !it->second.facts.exists ? platform::WindowFacts{}
                                                                      : it->second.facts;
        }
        bool set_shown(platform::WindowId window, bool shown) override {
            return act(window, shown ? "show" : "hide",
                       [&](platform::WindowFacts& f) { f.viewable = shown; });
        }
        bool minimize(platform::WindowId window) override {
            return act(window, "minimize", [](platform::WindowFacts& f) {
                f.minimized = true;
                f.viewable = false;
            });
        }
        bool restore(platform::WindowId window) override {
            return act(window, "restore", [&](platform::WindowFacts& f) {
                f.minimized = false;
                f.viewable = true;
                d_.active = window;
            });
        }
        platform::WindowId active_window() override {
            auto lock = d_.answer();
            return d_.active;
        }
        bool window_manager_running() override {
            auto lock = d_.answer();
            return d_.window_manager_running;
        }
        void refresh() override {
            auto lock = d_.answer();
            d_.call("refresh");
        }

      private:
        static constexpr platform::WindowTypes kShellTypes =
            platform::type_bit(platform::WindowType::dock) |
            platform::type_bit(platform::WindowType::desktop);

        bool act(platform::WindowId window, const std::string& verb,
                 const std::function<void(platform::WindowFacts&)>& edit) {
            auto lock = d_.answer();
            d_.call(verb + " " + std::to_string(window));
            auto it = d_.windows.find(window);
            if (it == d_.windows.end() || !it->second.facts.exists) {
                return false;
            }
            edit(it->second.facts);
            d_.notify();
            return true;
        }

        FakeDesktop& d_;
    };

    class Grab : public platform::KeyGrab {
      public:
        explicit Grab(FakeDesktop& d) : d_(d) {}
        ~Grab() override {
            auto lock = d_.answer();
            d_.grab_held = false;
            d_.notify();
        }
        int wait_fd() const override { return d_.key_fd_.fd; }
        bool pump(platform::KeyFilter& filter) override {
            drain(d_.key_fd_.fd);
            Event event{};
            while (d_.next_event(true, event)) {
                const bool kept = filter.swallow(event.key);
                std::lock_guard lock(d_.mutex);
                (kept ? d_.swallowed : d_.passed).push_back(event.key);
                d_.notify();
            }
            return true;
        }

      private:
        FakeDesktop& d_;
    };

    class Tray : public platform::TrayIcon {
      public:
        explicit Tray(FakeDesktop& d) : d_(d) {}
        ~Tray() override {
            auto lock = d_.answer();
            d_.tray_shown = false;
            d_.notify();
        }
        int wait_fd() const override { return d_.tray_fd_.fd; }
        bool pump(const platform::TrayCallbacks& callbacks) override {
            drain(d_.tray_fd_.fd);
            Event event{};
            while (d_.next_event(false, event)) {
                if (event.kind == Event::click_event) {
                    auto menu = callbacks.menu(std::numeric_limits<std::size_t>::max());
                    std::lock_guard lock(d_.mutex);
                    d_.menus.push_back(std::move(menu));
                } else {
                    callbacks.chosen(event.command);
                }
                std::lock_guard lock(d_.mutex);
                ++d_.handled_tray_events;
                d_.notify();
            }
            return true;
        }

      private:
        FakeDesktop& d_;
    };

    std::condition_variable changed_;
    bool frozen_ = false;
    std::deque<Event> events_;
    EventFd key_fd_;
    EventFd tray_fd_;
    platform::WindowId next_id_ = 1;
};

}  // namespace vx::test
