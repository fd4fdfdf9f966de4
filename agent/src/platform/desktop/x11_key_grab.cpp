// The Super keys taken from the desktop with passive key grabs on the root window.

#include <X11/XKBlib.h>
#include <X11/keysym.h>

#include <algorithm>
#include <vector>

#include "platform/desktop/x11_desktop.hpp"

namespace vx::platform::x11 {

std::vector<std::uint8_t> super_keycodes(int min_keycode, int per_keycode,
                                         const std::vector<unsigned long>& keysyms) {
    std::vector<std::uint8_t> out;
    if (per_keycode <= 0) {
        return out;
    }
    const auto per = static_cast<std::size_t>(per_keycode);
    for (std::size_t first = 0; first + per <= keysyms.size(); first += per) {
        const int keycode = min_keycode + static_cast<int>(first / per);
        const auto begin = keysyms.begin() + static_cast<std::ptrdiff_t>(first);
        const bool super =
            std::any_of(begin, begin + static_cast<std::ptrdiff_t>(per),
                        [](unsigned long sym) { return sym == XK_Super_L || sym == XK_Super_R; });
        if (super && keycode >= 0 && keycode <= 255) {
            out.push_back(static_cast<std::uint8_t>(keycode));
        }
    }
    return out;
}

namespace {

// The modifier bits the Super keys set, taken off the keys forwarded while Super is held.
unsigned super_modifiers(Display* display) {
    unsigned bits = 0;
    XModifierKeymap* map = XGetModifierMapping(display);
    if (map == nullptr) {
        return bits;
    }
    for (int modifier = 0; modifier < 8; ++modifier) {
        for (int k = 0; k < map->max_keypermod; ++k) {
            const KeyCode code = map->modifiermap[modifier * map->max_keypermod + k];
            const KeySym sym = code != 0 ? XkbKeycodeToKeysym(display, code, 0, 0) : NoSymbol;
            bits |= (sym == XK_Super_L || sym == XK_Super_R) ? 1u << modifier : 0;
        }
    }
    XFreeModifiermap(map);
    return bits;
}

// Every keycode that produces Super in the keymap of the moment (a keymap may give Super to
// more keys than the two Windows keys, Caps Lock for one).
std::vector<std::uint8_t> super_keycodes_now(Display* display) {
    int min_keycode = 0;
    int max_keycode = 0;
    XDisplayKeycodes(display, &min_keycode, &max_keycode);
    int per_keycode = 0;
    KeySym* map = XGetKeyboardMapping(display, static_cast<KeyCode>(min_keycode),
                                      max_keycode - min_keycode + 1, &per_keycode);
    if (map == nullptr) {
        return {};
    }
    const std::vector<unsigned long> keysyms(
        map, map + static_cast<std::ptrdiff_t>(max_keycode - min_keycode + 1) * per_keycode);
    XFree(map);
    return super_keycodes(min_keycode, per_keycode, keysyms);
}

std::string x_error_text(XDisplay& d, int code) {
    char text[128] = {};
    XGetErrorText(d.get(), code, text, sizeof text);
    return text;
}

bool key_down(const char (&keys)[32], unsigned keycode) {
    return (static_cast<unsigned char>(keys[keycode / 8]) & (1u << (keycode % 8))) != 0;
}

class SuperKeyGrab final : public KeyGrab {
  public:
    explicit SuperKeyGrab(std::unique_ptr<XDisplay> display) : d_(std::move(display)) {}

    ~SuperKeyGrab() override {
        if (!d_->lost()) {
            ErrorTrap trap(*d_);
            ungrab_keys();
            if (holding_) {
                XUngrabKeyboard(d_->get(), CurrentTime);
            }
            XSync(d_->get(), False);
        }
    }

    bool grab(std::string& error) {
        ErrorTrap trap(*d_);
        grab_keys();
        if (keycodes_.empty()) {
            error = "the keyboard map has no Super key";
            return false;
        }
        if (!trap.synced_ok()) {
            error = d_->lost() ? std::string("the X connection was lost")
                               : "another program holds the Super key (" +
                                     x_error_text(*d_, trap.error_code()) + ")";
            ungrab_keys();
            return false;
        }
        return true;
    }

    int wait_fd() const override { return ConnectionNumber(d_->get()); }

    bool pump(KeyFilter& filter) override {
        ErrorTrap trap(*d_);
        do {
            while (!d_->lost() && XPending(d_->get()) > 0) {
                XEvent event;
                XNextEvent(d_->get(), &event);
                handle(event, filter);
            }
            hold_while_awaited(filter);
        } while (!d_->lost() && XEventsQueued(d_->get(), QueuedAlready) > 0);
        if (!d_->lost()) {
            XFlush(d_->get());
        }
        return !d_->lost();
    }

  private:
    void handle(XEvent& event, KeyFilter& filter) {
        if (event.type == MappingNotify) {
            // Xlib's copy of the keymap first, then the grabs of the keys that produce Super now.
            XRefreshKeyboardMapping(&event.xmapping);
            if (event.xmapping.request != MappingPointer) {
                ungrab_keys();
                grab_keys();
            }
            return;
        }
        if (event.type != KeyPress && event.type != KeyRelease) {
            return;
        }
        const KeyEvent key{static_cast<std::uint8_t>(event.xkey.keycode), event.type == KeyPress,
                           is_super(event.xkey.keycode)};
        if (!filter.swallow(key)) {
            forward(event);
        }
    }

    // A passive grab ends with the release of the key that began it: with two Super keys held,
    // the second one's release would reach the focused window. While the filter awaits a
    // release, the keyboard is held by an active grab of ours, which ends only when we end it.
    void hold_while_awaited(KeyFilter& filter) {
        if (d_->lost()) {
            return;
        }
        const bool awaited = awaits_any(filter);
        if (awaited && !holding_) {
            holding_ = XGrabKeyboard(d_->get(), d_->root(), False, GrabModeAsync, GrabModeAsync,
                                     CurrentTime) == GrabSuccess;
            if (holding_) {
                forget_releases_gone_elsewhere(filter);
            }
        }
        if (holding_ && !awaits_any(filter)) {
            XUngrabKeyboard(d_->get(), CurrentTime);
            holding_ = false;
        }
    }

    // A key that went up before our grab began had its release delivered elsewhere: waiting for
    // it would hold the keyboard for ever. The events that came before the keyboard's state was
    // read are handled first (their serial is older than the request), so a release that did
    // come here is not counted twice.
    void forget_releases_gone_elsewhere(KeyFilter& filter) {
        const unsigned long query = NextRequest(d_->get());
        char keys[32] = {};
        XQueryKeymap(d_->get(), keys);
        XEvent event;
        while (!d_->lost() && XEventsQueued(d_->get(), QueuedAlready) > 0) {
            XPeekEvent(d_->get(), &event);
            if (static_cast<long>(event.xany.serial - query) >= 0) {
                break;
            }
            XNextEvent(d_->get(), &event);
            handle(event, filter);
        }
        for (unsigned keycode = 0; keycode < 256; ++keycode) {
            if (filter.awaiting_release(static_cast<std::uint8_t>(keycode)) &&
                !key_down(keys, keycode)) {
                filter.released_unseen(static_cast<std::uint8_t>(keycode));
            }
        }
    }

    static bool awaits_any(const KeyFilter& filter) {
        for (unsigned keycode = 0; keycode < 256; ++keycode) {
            if (filter.awaiting_release(static_cast<std::uint8_t>(keycode))) {
                return true;
            }
        }
        return false;
    }

    bool is_super(unsigned keycode) const {
        return std::find(keycodes_.begin(), keycodes_.end(), keycode) != keycodes_.end();
    }

    // While a Super key is down the grab holds the whole keyboard, so the other keys of a Super
    // combination arrive here: they go on to the focused window without the Super modifier.
    void forward(XEvent event) {
        Window focus = None;
        int revert = 0;
        XGetInputFocus(d_->get(), &focus, &revert);
        if (focus == None || focus == PointerRoot) {
            return;
        }
        event.xkey.window = focus;
        event.xkey.state &= ~super_bits_;
        XSendEvent(d_->get(), focus, True, event.type == KeyPress ? KeyPressMask : KeyReleaseMask,
                   &event);
    }

    // A grab matches only the modifier state it names: under any other (Ctrl, Shift, Alt, Caps
    // Lock or Num Lock on) the key would reach the desktop.
    void grab_keys() {
        super_bits_ = super_modifiers(d_->get());
        keycodes_ = super_keycodes_now(d_->get());
        for (const std::uint8_t code : keycodes_) {
            XGrabKey(d_->get(), code, AnyModifier, d_->root(), False, GrabModeAsync, GrabModeAsync);
        }
    }

    void ungrab_keys() {
        if (d_->lost()) {
            return;
        }
        for (const std::uint8_t code : keycodes_) {
            XUngrabKey(d_->get(), code, AnyModifier, d_->root());
        }
    }

    std::unique_ptr<XDisplay> d_;
    unsigned super_bits_ = 0;
    std::vector<std::uint8_t> keycodes_;
    bool holding_ = false;  // the keyboard is actively grabbed (hold_while_awaited)
};

}  // namespace

std::unique_ptr<KeyGrab> grab_super_keys(const std::string& display_name, std::string& error) {
    auto display = XDisplay::open(display_name, error);
    if (!display) {
        return nullptr;
    }
    auto grab = std::make_unique<SuperKeyGrab>(std::move(display));
    if (!grab->grab(error)) {
        return nullptr;
    }
    return grab;
}

}  // namespace vx::platform::x11
