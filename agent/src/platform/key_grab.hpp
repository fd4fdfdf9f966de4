#pragma once

#include <cstdint>

namespace vx::platform {

struct KeyEvent {
    std::uint8_t keycode = 0;
    bool press = false;  // false: release
    bool super = false;  // a Super ("Windows") key
};

// Decides per key event whether it is kept from everyone, and remembers the keys whose release it
// still awaits.
class KeyFilter {
  public:
    virtual ~KeyFilter() = default;

    // True to keep the event from everyone; false lets it go on to the focused window.
    virtual bool swallow(const KeyEvent& key) = 0;
    // The key's press was kept and its release must be kept too. While one is awaited the grab
    // holds the whole keyboard, so that the release comes back here even when the release of
    // another key ended the grab that the press began.
    virtual bool awaiting_release(std::uint8_t keycode) const = 0;
    // The key went up before the grab held the keyboard: its release went elsewhere.
    virtual void released_unseen(std::uint8_t keycode) = 0;
};

// The Super keys taken away from the desktop for as long as the object lives, on a connection of
// its own owned by one thread. Key events reach `pump`'s filter, which decides per event whether
// it is swallowed or goes on to the focused window.
class KeyGrab {
  public:
    virtual ~KeyGrab() = default;

    // Becomes readable when events wait (together with what `pump` leaves buffered: call `pump`
    // before waiting).
    virtual int wait_fd() const = 0;
    // Handles every waiting event through `filter`. False once the connection is gone.
    virtual bool pump(KeyFilter& filter) = 0;
};

}  // namespace vx::platform
