#pragma once

#include <array>

#include "platform/key_grab.hpp"

namespace vx::desktop {

// Decides which key events the keyboard hook swallows: every Super press, and the release of
// every key whose press was swallowed, however the releases of several held keys interleave. A
// Super release whose press went through (the key was already down when isolation began) goes
// through too, or the desktop would see the key stuck.
class SuperKeyFilter final : public platform::KeyFilter {
  public:
    bool swallow(const platform::KeyEvent& key) override {
        if (!key.press && awaiting_[key.keycode]) {
            awaiting_[key.keycode] = false;  // also when the keymap made it another key meanwhile
            return true;
        }
        if (!key.super || !key.press) {
            return false;
        }
        awaiting_[key.keycode] = true;
        return true;
    }
    bool awaiting_release(std::uint8_t keycode) const override { return awaiting_[keycode]; }
    void released_unseen(std::uint8_t keycode) override { awaiting_[keycode] = false; }

  private:
    std::array<bool, 256> awaiting_{};
};

}  // namespace vx::desktop
