#pragma once

#include <memory>

#include "desktop/session_isolation.hpp"

namespace vx::desktop {

// The session driver's two calls. `begin_session_isolation` makes the session's isolation on
// this machine's desktop, publishes it for the crash handler (g_active_isolation and the crash
// hook) and applies `config`, whose result it leaves to the log; `end_session_isolation`
// restores it, unpublishes it and destroys it. A config with nothing to do makes none (null),
// which `end_session_isolation` accepts.
std::unique_ptr<SessionIsolation> begin_session_isolation(const SessionIsolationConfig& config);
void end_session_isolation(std::unique_ptr<SessionIsolation>& isolation);

}  // namespace vx::desktop
