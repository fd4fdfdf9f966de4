#pragma once

#include <cstdint>
#include <functional>

namespace vx::platform {

struct KeyEvent {
    std::uint8_t keycode = 0;
    bool press = false;  // false: release
    bool super = false;  // a Super ("Windows") key
};

// The Super keys taken away from the desktop for as long as the object lives, on a connection of
// its own owned by one thread. Key events reach `pump`'s caller, who decides per event whether it
// is swallowed or goes on to the focused window.
class KeyGrab {
  public:
    virtual ~KeyGrab() = default;

    // Becomes readable when events wait (together with what `pump` leaves buffered: call `pump`
    // before waiting).
    virtual int wait_fd() const = 0;
    // Handles every waiting event; `swallow` says true to keep an event from everyone. False
    // once the connection is gone.
    virtual bool pump(const std::function<bool(const KeyEvent&)>& swallow) = 0;
};

}  // namespace vx::platform
