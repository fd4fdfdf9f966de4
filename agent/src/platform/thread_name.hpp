#pragma once

namespace vx::platform {

// Names the calling thread (at most 15 characters are kept) so that tools that list a process's
// threads (top -H, /proc/<pid>/task/*/comm, the idle-cost bench) tell them apart. A thread the
// calling thread starts afterwards begins with the same name.
void name_this_thread(const char* name);

// Names the threads a library starts out of our reach: the calling thread carries `name` while
// the scope lasts, so a thread started meanwhile inherits it, and gets its own name back at the
// end.
class ScopedThreadName {
  public:
    explicit ScopedThreadName(const char* name);
    ~ScopedThreadName();
    ScopedThreadName(const ScopedThreadName&) = delete;
    ScopedThreadName& operator=(const ScopedThreadName&) = delete;

  private:
    char saved_[16] = {};
};

}  // namespace vx::platform
