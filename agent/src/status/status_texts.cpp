#include "status/status_texts.hpp"

#include <array>

namespace vx {
namespace {

constexpr std::array<TextPair, 14> kEventTexts = {{
    {"Агент запущен", "Agent started"},
    {"Связь с платформой установлена", "Connected to the platform"},
    {"Связь с платформой потеряна", "Lost the connection to the platform"},
    {"ПК арендован, ждём игрока", "PC rented, waiting for the player"},
    {"Игрок подключился", "Player connected"},
    {"Сессия завершена", "Session ended"},
    {"Сессия не запустилась", "Session failed to start"},
    {"Связь с игроком прервалась", "Lost the connection to the player"},
    {"Игрок снова на связи", "Player is back"},
    {"Поток переведён на релей", "Stream moved to the relay"},
    {"Поток идёт напрямую", "Stream switched to the direct path"},
    {"Проблема", "Problem"},
    {"Агент останавливается", "Agent is stopping"},
    {"Агент остановлен из-за ошибки", "Agent stopped after an error"},
}};

// Short names of the problems, used by `problem` events.
constexpr std::array<TextPair, kProblemKinds> kProblemTitles = {{
    {"Драйвер NVIDIA не найден", "NVIDIA driver not found"},
    {"Экран не захватывается", "Screen capture failed"},
    {"Кодировщик видео не запустился", "The video encoder did not start"},
    {"Порт занят", "A port is busy"},
    {"Платформа отклонила токен агента", "The platform refused the agent token"},
    {"Запущен второй агент с тем же токеном", "Another agent with the same token took over"},
    {"Нет доступа к /dev/uinput", "No access to /dev/uinput"},
}};

constexpr std::array<TextPair, kProblemKinds> kProblemHints = {{
    {"Драйвер NVIDIA не найден: установите или переустановите его и перезапустите агент.",
     "NVIDIA driver not found: install or reinstall it, then restart the agent."},
    {"Экран не захватывается: подключите монитор или HDMI-заглушку к видеокарте.",
     "Screen capture failed: connect a monitor or an HDMI dummy plug to the graphics card."},
    {"Кодировщик видео не запустился: обновите драйвер видеокарты и перезапустите агент.",
     "The video encoder did not start: update the graphics driver and restart the agent."},
    {"Порт агента занят другой программой: закройте её или задайте другой --port-base.",
     "A port the agent needs is used by another program: close it or pick another "
     "--port-base."},
    {"Платформа отклонила токен агента: проверьте --agent-token в личном кабинете.",
     "The platform refused the agent token: check --agent-token on your account page."},
    {"Этот агент заменён другим с тем же токеном: остановите лишнюю копию.",
     "Another agent with the same token replaced this one: stop the extra copy."},
    {"Нет доступа к /dev/uinput, ввод игрока не работает: добавьте пользователя в группу "
     "input.",
     "No access to /dev/uinput, so player input does not work: add the user to the input "
     "group."},
}};

constexpr TextPair kCaptureLoginHint = {
    "Экран не захватывается: войдите в сеанс рабочего стола на этом ПК.",
    "Screen capture failed: sign in to the desktop session on this PC."};

std::string port_busy_text(bool russian, std::uint16_t port, bool hint) {
    const std::string p = std::to_string(port);
    if (hint) {
        return russian ? "Порт " + p +
                             " занят другой программой: закройте её или задайте другой "
                             "--port-base."
                       : "Port " + p +
                             " is used by another program: close it or pick another "
                             "--port-base.";
    }
    return russian ? "Порт " + p + " занят" : "Port " + p + " is busy";
}

std::string problem_title(ProblemKind kind, bool russian, std::uint16_t port) {
    const auto index = static_cast<std::size_t>(kind);
    if (index >= kProblemKinds) {
        return std::string(pick_text(kEventTexts[11], russian));
    }
    if (kind == ProblemKind::port_busy && port != 0) {
        return port_busy_text(russian, port, false);
    }
    return std::string(pick_text(kProblemTitles[index], russian));
}

}  // namespace

std::string status_event_text(const StatusEvent& event, bool russian, std::uint16_t busy_port) {
    const auto index = static_cast<std::size_t>(event.kind);
    if (index >= kEventTexts.size()) {
        return {};
    }
    if (event.kind == StatusEventKind::problem) {
        const bool own_port = event.value > 0 && event.value <= 65535;
        const auto port = own_port ? static_cast<std::uint16_t>(event.value) : busy_port;
        return problem_title(event.problem, russian, port);
    }
    std::string text(pick_text(kEventTexts[index], russian));
    if (event.kind == StatusEventKind::session_ended && event.value > 0) {
        text += " (" + format_duration(event.value, russian) + ")";
    }
    return text;
}

std::string problem_hint(ProblemKind kind, bool russian, std::uint8_t flags,
                         std::uint16_t busy_port) {
    const auto index = static_cast<std::size_t>(kind);
    if (index >= kProblemKinds) {
        return {};
    }
    if (kind == ProblemKind::capture_failed && flags == 1) {
        return std::string(pick_text(kCaptureLoginHint, russian));
    }
    if (kind == ProblemKind::port_busy && busy_port != 0) {
        return port_busy_text(russian, busy_port, true);
    }
    return std::string(pick_text(kProblemHints[index], russian));
}

std::string format_duration(std::int64_t seconds, bool russian) {
    if (seconds < 0) {
        seconds = 0;
    }
    const std::int64_t hours = seconds / 3600;
    const std::int64_t minutes = seconds % 3600 / 60;
    const std::string_view min = russian ? " мин" : " min";
    // Appended piece by piece: GCC 12 at -O3 warns falsely (-Wrestrict) on "literal" + temporary.
    std::string text;
    if (hours > 0) {
        text = std::to_string(hours);
        text += russian ? " ч" : " h";
        if (minutes > 0) {
            text += ' ';
            text += std::to_string(minutes);
            text += min;
        }
    } else if (minutes > 0) {
        text = std::to_string(minutes);
        text += min;
    } else {
        text = std::to_string(seconds);
        text += russian ? " с" : " s";
    }
    return text;
}

}  // namespace vx
