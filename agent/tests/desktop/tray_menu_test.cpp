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
        // Both Super keys held, released in the order pressed: both releases are kept.
        {{kSuperL, true, true}, true},
        {{kSuperR, true, true}, true},
        {{kSuperL, false, true}, true},
        {{kSuperR, false, true}, true},
    };
    for (const Step& s : steps) {
        EXPECT_EQ(filter.swallow(s.key), s.swallowed)
            << int(s.key.keycode) << (s.key.press ? " down" : " up");
    }
}

// While a kept press waits for its release the grab holds the keyboard; a key that went up
// where the filter could not see it is awaited no more; a key the keymap took away from Super
// meanwhile still has its release kept.
TEST(SuperKeyFilter, KnowsWhichReleasesItAwaits) {
    constexpr std::uint8_t kSuperL = 133;
    constexpr std::uint8_t kSuperR = 134;
    SuperKeyFilter filter;
    EXPECT_TRUE(filter.swallow({kSuperL, true, true}));
    EXPECT_TRUE(filter.swallow({kSuperR, true, true}));
    EXPECT_TRUE(filter.awaiting_release(kSuperL));
    filter.released_unseen(kSuperL);
    EXPECT_FALSE(filter.awaiting_release(kSuperL));
    EXPECT_FALSE(filter.swallow({kSuperL, false, true}));
    EXPECT_TRUE(filter.awaiting_release(kSuperR));
    EXPECT_TRUE(filter.swallow({kSuperR, false, false}));
    EXPECT_FALSE(filter.awaiting_release(kSuperR));
}

// Titles are UTF-8: every character is kept whole, in any script; a line is cut only when it is
// longer than 64 characters, and then between two characters.
TEST(TrayMenu, WindowLinesKeepTheirCharactersAndAreCutBetweenThem) {
    const std::string fits(64, 'a');
    const std::string cyrillic = "\xD0\x91\xD1\x80\xD0\xB0\xD1\x83\xD0\xB7\xD0\xB5\xD1\x80";
    const std::string zh = "\xE6\x97\xA5";  // one character, three bytes
    const std::pair<std::string, std::string> cases[] = {
        {"Editor", "Editor"},
        {"Br\xC3\xB6wser \xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E",
         "Br\xC3\xB6wser \xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E"},
        {cyrillic, cyrillic},
        {"tab\there\xC2\x85", "tab here "},  // C0 and C1 controls
        {"bad\xFF\xC3", "bad\xEF\xBF\xBD\xEF\xBF\xBD"},
        {fits, fits},
        {fits + "b", std::string(61, 'a') + "..."},
        {std::string(63, 'a') + "\xE2\x80\x94z", std::string(61, 'a') + "..."},
        {std::string(60, 'a') + zh + zh + zh + zh + zh, std::string(60, 'a') + zh + "..."},
        {std::string(50, 'a') + cyrillic + cyrillic + cyrillic,
         std::string(50, 'a') + cyrillic + cyrillic.substr(0, 8) + "..."},
    };
    for (const auto& [title, shown] : cases) {
        EXPECT_EQ(fit_menu_line(title), shown) << title;
    }
    const TrayMenuState state{false, {std::string(70, 'x')}};
    EXPECT_EQ(build_tray_menu(state)[2].text, "Restore: " + std::string(52, 'x') + "...");
}

// What the tray hands its 16-bit font: one unit per character.
TEST(TrayMenu, LinesReachTheFontAsTheirCharacters) {
    const std::pair<std::string, std::u16string> cases[] = {
        {"Br\xC3\xB6wser \xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E", u"Br\u00F6wser \u65E5\u672C\u8A9E"},
        {"\xD0\x9A\xD0\xBE\xD1\x82", u"\u041A\u043E\u0442"},
        {"\xF0\x9F\x98\x80!", u"\uFFFD!"},                // beyond 16 bits
        {"\xC0\xAF\xE0\x80\xAF", u"\uFFFD\uFFFD\uFFFD"},  // overlong: bytes, then a sequence
        {"\xE6\x97", u"\uFFFD\uFFFD"},                    // cut short
        {"\xED\xA0\x80", u"\uFFFD"},                      // a surrogate
    };
    for (const auto& [text, units] : cases) {
        EXPECT_EQ(platform::x11::font_units(text), units) << text;
    }
}

// Every keycode that produces Super is taken, not only the first one the keymap names: with
// Caps Lock made a Super key, the Windows key is still one.
TEST(SuperKeys, EveryKeycodeWhoseKeysymsIncludeSuper) {
    constexpr unsigned long kCaps = 0xFFE5, kSuperL = 0xFFEB, kSuperR = 0xFFEC, kA = 'a';
    struct Case {
        const char* name;
        int min_keycode;
        int per_keycode;
        std::vector<unsigned long> keysyms;
        std::vector<std::uint8_t> keycodes;
    };
    const Case cases[] = {
        {"the usual two", 132, 2, {kA, 0, kSuperL, 0, kSuperR, 0}, {133, 134}},
        {"caps:super", 66, 1, {kSuperL, kA, kSuperL}, {66, 68}},
        {"Super on a second level", 8, 3, {kA, kCaps, 0, 0, 0, kSuperR}, {9}},
        {"no Super", 8, 2, {kA, kCaps, 0, 0}, {}},
        {"a short map is read as far as it goes", 8, 2, {kSuperL, 0, kSuperL}, {8}},
        {"no keysyms per keycode", 8, 0, {kSuperL}, {}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(platform::x11::super_keycodes(c.min_keycode, c.per_keycode, c.keysyms),
                  c.keycodes)
            << c.name;
    }
}

}  // namespace
}  // namespace vx::desktop
