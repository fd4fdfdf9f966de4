#include "desktop/driver_isolation.hpp"

#include "platform/crash_handler.hpp"
#include "platform/desktop/open_desktop.hpp"

namespace vx::desktop {

std::unique_ptr<SessionIsolation> begin_session_isolation(const SessionIsolationConfig& config) {
    if (!config.hide_desktop && !config.launch_steam) {
        return nullptr;  // most sessions: no desktop to open, nothing for the crash handler
    }
    auto isolation = std::make_unique<SessionIsolation>(platform::open_desktop_platform(),
                                                        real_steam_environment());
    g_active_isolation.store(isolation.get());
    platform::set_crash_hook(platform::CrashHookSlot::isolation,
                             [] { restore_isolation_on_crash(); });
    isolation->apply(config);
    return isolation;
}

void end_session_isolation(std::unique_ptr<SessionIsolation>& isolation) {
    if (!isolation) {
        return;
    }
    isolation->restore_once();
    SessionIsolation* active = isolation.get();
    g_active_isolation.compare_exchange_strong(active, nullptr);
    isolation.reset();
}

}  // namespace vx::desktop
