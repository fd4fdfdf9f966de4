// The Super keys taken from the desktop with passive key grabs on the root window.

#include <X11/XKBlib.h>
#include <X11/keysym.h>

#include <vector>

#include "platform/desktop/x11_desktop.hpp"

namespace vx::platform::x11 {
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

std::string x_error_text(XDisplay& d, int code) {
    char text[128] = {};
    XGetErrorText(d.get(), code, text, sizeof text);
    return text;
}

class SuperKeyGrab final : public KeyGrab {
  public:
    explicit SuperKeyGrab(std::unique_ptr<XDisplay> display) : d_(std::move(display)) {}

    ~SuperKeyGrab() override {
        ungrab();
        if (!d_->lost()) {
            XSync(d_->get(), False);
        }
    }

    bool grab(std::string& error) {
        super_bits_ = super_modifiers(d_->get());
        for (const KeySym sym : {XK_Super_L, XK_Super_R}) {
            if (const KeyCode code = XKeysymToKeycode(d_->get(), sym); code != 0) {
                keycodes_.push_back(code);
            }
        }
        if (keycodes_.empty()) {
            error = "the keyboard map has no Super key";
            return false;
        }
        ErrorTrap trap(*d_);
        // A grab matches only the modifier state it names: under any other (Ctrl, Shift, Alt,
        // Caps Lock or Num Lock on) the key would reach the desktop.
        for (const KeyCode code : keycodes_) {
            XGrabKey(d_->get(), code, AnyModifier, d_->root(), False, GrabModeAsync, GrabModeAsync);
        }
        if (!trap.synced_ok()) {
            error = d_->lost() ? std::string("the X connection was lost")
                               : "another program holds the Super key (" +
                                     x_error_text(*d_, trap.error_code()) + ")";
            ungrab();
            return false;
        }
        return true;
    }

    int wait_fd() const override { return ConnectionNumber(d_->get()); }

    bool pump(const std::function<bool(const KeyEvent&)>& swallow) override {
        ErrorTrap trap(*d_);
        while (!d_->lost() && XPending(d_->get()) > 0) {
            XEvent event;
            XNextEvent(d_->get(), &event);
            if (event.type != KeyPress && event.type != KeyRelease) {
                continue;
            }
            const KeyEvent key{static_cast<std::uint8_t>(event.xkey.keycode),
                               event.type == KeyPress, is_super(event.xkey.keycode)};
            if (!swallow(key)) {
                forward(event);
            }
        }
        if (!d_->lost()) {
            XFlush(d_->get());
        }
        return !d_->lost();
    }

  private:
    bool is_super(unsigned keycode) const {
        for (const KeyCode code : keycodes_) {
            if (code == keycode) {
                return true;
            }
        }
        return false;
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

    void ungrab() {
        if (d_->lost()) {
            return;
        }
        ErrorTrap trap(*d_);
        for (const KeyCode code : keycodes_) {
            XUngrabKey(d_->get(), code, AnyModifier, d_->root());
        }
    }

    std::unique_ptr<XDisplay> d_;
    unsigned super_bits_ = 0;
    std::vector<KeyCode> keycodes_;
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
