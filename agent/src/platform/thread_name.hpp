#pragma once

namespace vx::platform {

// Names the calling thread (at most 15 characters are kept) so that tools that list a process's
// threads (top -H, /proc/<pid>/task/*/comm, the idle-cost bench) tell them apart. A thread the
// calling thread starts afterwards begins with the same name, so every thread names itself.
void name_this_thread(const char* name);

}  // namespace vx::platform
