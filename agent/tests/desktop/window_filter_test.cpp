#include "desktop/window_filter.hpp"

#include <gtest/gtest.h>

namespace vx::desktop {
namespace {

using platform::type_bit;
using platform::WindowFacts;
using platform::WindowType;

constexpr std::uint32_t kOwnPid = 1000;

WindowFacts app_window() {
    WindowFacts f;
    f.exists = true;
    f.viewable = true;
    f.pid = 2000;
    f.title = "Document - Editor";
    return f;
}

struct FilterCase {
    const char* name;
    std::function<void(WindowFacts&)> edit;
    std::string image;  // what the process image reads as
    bool minimised;
};

TEST(WindowFilter, MinimisesOnlyOrdinaryApplicationWindowsOfOtherProcesses) {
    const FilterCase cases[] = {
        {"an ordinary window", [](WindowFacts&) {}, "/usr/bin/gedit", true},
        {"gone", [](WindowFacts& f) { f.exists = false; }, "gedit", false},
        {"not shown", [](WindowFacts& f) { f.viewable = false; }, "gedit", false},
        {"already minimised", [](WindowFacts& f) { f.minimized = true; }, "gedit", false},
        {"a dialog of another window", [](WindowFacts& f) { f.has_owner = true; }, "gedit", false},
        {"no process id", [](WindowFacts& f) { f.pid = 0; }, "gedit", false},
        {"the agent's own", [](WindowFacts& f) { f.pid = kOwnPid; }, "velmora-agent", false},
        {"untitled", [](WindowFacts& f) { f.title.clear(); }, "gedit", false},
        {"out of the taskbar", [](WindowFacts& f) { f.skip_taskbar = true; }, "gedit", false},
        {"a dock", [](WindowFacts& f) { f.types = type_bit(WindowType::dock); }, "gedit", false},
        {"the desktop", [](WindowFacts& f) { f.types = type_bit(WindowType::desktop); }, "gedit",
         false},
        {"a utility window", [](WindowFacts& f) { f.types = type_bit(WindowType::utility); },
         "gedit", false},
        {"a toolbar", [](WindowFacts& f) { f.types = type_bit(WindowType::toolbar); }, "gedit",
         false},
        {"a splash screen", [](WindowFacts& f) { f.types = type_bit(WindowType::splash); }, "gedit",
         false},
        {"a notification", [](WindowFacts& f) { f.types = type_bit(WindowType::notification); },
         "gedit", false},
        {"an unreadable process", [](WindowFacts&) {}, "", false},
        {"a Linux shell", [](WindowFacts&) {}, "/usr/bin/plasmashell", false},
        {"a panel", [](WindowFacts&) {}, "xfce4-panel", false},
        {"a Windows shell, any case", [](WindowFacts&) {}, "C:\\Windows\\EXPLORER.EXE", false},
        {"a shell's name inside another", [](WindowFacts&) {}, "gnome-shell-helper", true},
    };
    for (const FilterCase& c : cases) {
        WindowFacts facts = app_window();
        c.edit(facts);
        std::vector<std::uint32_t> asked;
        const bool got = should_minimize_window(facts, kOwnPid, [&](std::uint32_t pid) {
            asked.push_back(pid);
            return c.image;
        });
        EXPECT_EQ(got, c.minimised) << c.name;
    }
}

TEST(WindowFilter, ReadsTheProcessImageOnlyForWindowsThatPassedEverythingElse) {
    WindowFacts untitled = app_window();
    untitled.title.clear();
    int reads = 0;
    should_minimize_window(untitled, kOwnPid, [&](std::uint32_t) {
        ++reads;
        return std::string("gedit");
    });
    EXPECT_EQ(reads, 0);
}

TEST(WindowFilter, FileNameFromEitherKindOfPath) {
    EXPECT_EQ(file_name_from_path("/usr/lib/firefox-esr/firefox-esr"), "firefox-esr");
    EXPECT_EQ(file_name_from_path("C:\\Program Files\\Steam\\steam.exe"), "steam.exe");
    EXPECT_EQ(file_name_from_path("steam"), "steam");
    EXPECT_EQ(file_name_from_path("/dir/"), "");
}

}  // namespace
}  // namespace vx::desktop
