#include "desktop/tray_menu.hpp"

#include <gtest/gtest.h>

#include "desktop/super_key_filter.hpp"
#include "platform/desktop/x11_desktop.hpp"

namespace vx::desktop {
namespace {

// "-" a separator, "~text" a greyed line, "text=id" a line that sends `id`.
std::vector<std::string> shape(const std::vector<platform::TrayMenuItem>& menu) {
    std::vector<std::string> out;
    for (const auto& item : menu) {
        if (item.separator) {
            out.push_back("-");
        } else if (!item.enabled) {
            out.push_back("~" + item.text);
        } else {
            out.push_back(item.text + "=" + std::to_string(item.command));
        }
    }
    return out;
}

TEST(TrayMenu, LinesForEachStateOfSteamAndTheWindows) {
    struct Case {
        const char* name;
        TrayMenuState state;
        std::vector<std::string> menu;
    };
    const Case cases[] = {
        {"nothing to offer", {false, {}}, {"~Velmora Agent", "-", "~(no minimized windows)"}},
        {"Steam only", {true, {}}, {"~Velmora Agent", "-", "Show Steam=39998", "-"}},
        {"windows",
         {false, {"Editor", "Browser"}},
         {"~Velmora Agent", "-", "Restore: Editor=40000", "Restore: Browser=40001", "-",
          "Restore All Windows=39999"}},
        {"Steam and a window",
         {true, {"Editor"}},
         {"~Velmora Agent", "-", "Show Steam=39998", "-", "Restore: Editor=40000", "-",
          "Restore All Windows=39999"}},
        {"an untitled window keeps its place but gets no line",
         {false, {"", "Browser"}},
         {"~Velmora Agent", "-", "Restore: Browser=40001", "-", "Restore All Windows=39999"}},
        {"only untitled or closed windows",
         {false, {"", ""}},
         {"~Velmora Agent", "-", "~(no minimized windows)"}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(shape(build_tray_menu(c.state)), c.menu) << c.name;
    }
}

// A menu taller than the screen could not be scrolled: the window lines give way, so that Steam
// and "Restore All Windows" stay within reach.
TEST(TrayMenu, WindowLinesGiveWayToWhatFitsOnTheScreen) {
    const TrayMenuState four{true, {"A", "", "B", "C", "D"}};
    struct Case {
        std::size_t max_lines;
        std::vector<std::string> menu;
    };
    const Case cases[] = {
        {10,
         {"~Velmora Agent", "-", "Show Steam=39998", "-", "Restore: A=40000", "Restore: B=40002",
          "Restore: C=40003", "Restore: D=40004", "-", "Restore All Windows=39999"}},
        {9,
         {"~Velmora Agent", "-", "Show Steam=39998", "-", "Restore: A=40000", "Restore: B=40002",
          "~(2 more)", "-", "Restore All Windows=39999"}},
        {7,
         {"~Velmora Agent", "-", "Show Steam=39998", "-", "~(4 more)", "-",
          "Restore All Windows=39999"}},
        {3,
         {"~Velmora Agent", "-", "Show Steam=39998", "-", "~(4 more)", "-",
          "Restore All Windows=39999"}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(shape(build_tray_menu(four, c.max_lines)), c.menu) << c.max_lines;
    }
}

TEST(TrayMenu, CommandIdsAskForTheirAction) {
    using Kind = TrayCommand::Kind;
    struct Case {
        int id;
        std::size_t listed;
        Kind kind;
        std::size_t window;
    };
    const Case cases[] = {
        {39998, 0, Kind::show_steam, 0},     {39999, 2, Kind::restore_all, 0},
        {40000, 2, Kind::restore_window, 0}, {40001, 2, Kind::restore_window, 1},
        {40002, 2, Kind::none, 0},           {40000, 0, Kind::none, 0},
        {39997, 2, Kind::none, 0},           {0, 2, Kind::none, 0},
    };
    for (const Case& c : cases) {
        const TrayCommand got = decode_tray_command(c.id, c.listed);
        EXPECT_EQ(got.kind, c.kind) << c.id;
        EXPECT_EQ(got.window, c.window) << c.id;
    }
}

TEST(SuperKeyFilter, SwallowsSuperPressesAndOnlyTheReleasesOfSwallowedPresses) {
    constexpr std::uint8_t kSuperL = 133;
    constexpr std::uint8_t kSuperR = 134;
    constexpr std::uint8_t kE = 26;
    SuperKeyFilter filter;
    struct Step {
        platform::KeyEvent key;
        bool swallowed;
    };
    const Step steps[] = {
        // Super_R went down before isolation: its release must reach the desktop.
        {{kSuperR, false, true}, false},
        // Super_L with E: Super is swallowed, E goes on.
        {{kSuperL, true, true}, true},
        {{kE, true, false}, false},
        {{kE, false, false}, false},
        {{kSuperL, true, true}, true},  // key repeat
        {{kSuperL, false, true}, true},
        // A second release of the same key (nothing pressed any more) goes through.
        {{kSuperL, false, true}, false},
    };
    for (const Step& s : steps) {
        EXPECT_EQ(filter.swallow(s.key), s.swallowed)
            << int(s.key.keycode) << (s.key.press ? " down" : " up");
    }
}

TEST(TrayMenu, LinesAreDrawnInLatinOneAndCutOnlyWhenTooLong) {
    const std::string fits(64, 'a');
    const std::pair<std::string, std::string> cases[] = {
        {"Editor", "Editor"},
        {"tab\there", "tab here"},
        {"\xD0\x9A\xD0\xBE\xD1\x82", "???"},  // three Cyrillic letters
        {fits, fits},
        {fits + "b", std::string(61, 'a') + "..."},
        {std::string(63, 'a') + "\xE2\x80\x94z", std::string(61, 'a') + "..."},
    };
    for (const auto& [title, drawn] : cases) {
        EXPECT_EQ(platform::x11::drawable_text(title), drawn) << title;
    }
}

}  // namespace
}  // namespace vx::desktop
