#include "desktop/session_isolation.hpp"

#include "desktop/isolation_core.hpp"

namespace vx::desktop {

std::atomic<SessionIsolation*> g_active_isolation{nullptr};
std::atomic<IsolationCore*> g_tray_owner{nullptr};

SessionIsolation::SessionIsolation(std::shared_ptr<platform::DesktopPlatform> desktop,
                                   SteamEnvironment steam, std::chrono::milliseconds answer_limit)
    : core_(std::make_shared<IsolationCore>(std::move(desktop), std::move(steam), answer_limit)) {}

SessionIsolation::~SessionIsolation() {
    core_->restore_once();
    core_->finish();
    SessionIsolation* self = this;
    g_active_isolation.compare_exchange_strong(self, nullptr);
}

bool SessionIsolation::apply(const SessionIsolationConfig& config) {
    return core_->apply(config);
}

void SessionIsolation::restore_once() {
    core_->restore_once();
}

void SessionIsolation::enter_crash_context() {
    core_->enter_crash_context();
}

bool SessionIsolation::launch_steam() {
    return core_->launch_steam();
}

void restore_isolation_on_crash() noexcept {
    try {
        if (SessionIsolation* isolation = g_active_isolation.load()) {
            isolation->enter_crash_context();
            isolation->restore_once();
        }
    } catch (...) {
    }
    g_active_isolation.store(nullptr);
}

}  // namespace vx::desktop
