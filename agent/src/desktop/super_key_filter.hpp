#pragma once

#include <array>

#include "platform/key_grab.hpp"

namespace vx::desktop {

// Decides which key events the keyboard hook swallows: every Super press, and a Super release
// only when its press was swallowed. A release whose press went through (the key was already
// down when isolation began) goes through too, or the desktop would see the key stuck.
class SuperKeyFilter {
  public:
    bool swallow(const platform::KeyEvent& key) {
        if (!key.super) {
            return false;
        }
        if (key.press) {
            swallowed_down_[key.keycode] = true;
            return true;
        }
        const bool was_swallowed = swallowed_down_[key.keycode];
        swallowed_down_[key.keycode] = false;
        return was_swallowed;
    }

  private:
    std::array<bool, 256> swallowed_down_{};
};

}  // namespace vx::desktop
