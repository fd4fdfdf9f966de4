#pragma once

#include "status/status_texts.hpp"

// Every fixed text of the status screen, Russian first. "\u00A0" marks the no-break spaces that
// keep a short word on the line of the word after it.
namespace vx::ui::texts {

inline constexpr TextPair kAgent{"Агент", "Agent"};
inline constexpr TextPair kLinkLabel{"Связь", "Link"};
inline constexpr TextPair kInternetLabel{"Интернет", "Internet"};
inline constexpr TextPair kThisPcLabel{"Этот ПК", "This PC"};

inline constexpr TextPair kConnected{"На\u00A0связи", "Connected"};
inline constexpr TextPair kViaRelay{"UDP через релей", "UDP via the relay"};
inline constexpr TextPair kStandalone{"Автономно, без\u00A0платформы", "Standalone, no platform"};
inline constexpr TextPair kReconnecting{"Нет связи, переподключаемся",
                                        "No connection, reconnecting"};
inline constexpr TextPair kConnecting{"Подключаемся…", "Connecting…"};

inline constexpr TextPair kVerdicts[] = {
    {"", ""},
    {"адрес задан вручную", "address set by hand"},
    {"порты открыты через UPnP, игроки идут напрямую",
     "ports open via UPnP, players connect directly"},
    {"роутер поддерживает UPnP", "the router supports UPnP"},
    {"на\u00A0роутере нет UPnP, игроки могут идти через релей",
     "no UPnP on the router, players may come through the relay"},
    {"за\u00A0CGNAT, игроки обычно идут через релей",
     "behind CGNAT, players usually connect through the relay"},
};

inline constexpr TextPair kStopping{"ОСТАНАВЛИВАЕМСЯ…", "STOPPING…"};
inline constexpr TextPair kStoppingSession{"Сессия завершится, ПК уйдёт из\u00A0каталога.",
                                           "The session ends and the PC leaves the catalog."};
inline constexpr TextPair kStoppingIdle{"ПК уйдёт из\u00A0каталога.", "The PC leaves the catalog."};
inline constexpr TextPair kStarting{"ЗАПУСК", "STARTING"};
inline constexpr TextPair kStartingText{"Подключаемся к\u00A0Velmora…", "Connecting to Velmora…"};
inline constexpr TextPair kNoConnection{"НЕТ СВЯЗИ", "NO CONNECTION"};
inline constexpr TextPair kNoConnectionText{"Пока связи нет, этот ПК нельзя арендовать.",
                                            "Players can't rent this PC until the link is back."};
inline constexpr TextPair kWaiting{"ЖДЁМ ИГРОКА", "WAITING FOR A PLAYER"};
inline constexpr TextPair kWaitingLauncher{"Ждём подключения лаунчера.",
                                           "Waiting for a launcher to connect."};
inline constexpr TextPair kWaitingCatalog{"Компьютер в\u00A0каталоге. Сессия начнётся сама.",
                                          "The PC is in the catalog. A session starts on its own."};
inline constexpr TextPair kPlayerConnecting{"ИГРОК ПОДКЛЮЧАЕТСЯ", "PLAYER IS CONNECTING"};
inline constexpr TextPair kStartingCapture{"Запускаем захват экрана и\u00A0кодировщик…",
                                           "Starting screen capture and the encoder…"};
inline constexpr TextPair kPlayerConnected{"ИГРОК ПОДКЛЮЧЁН", "PLAYER CONNECTED"};

inline constexpr TextPair kFps{"FPS", "fps"};
inline constexpr TextPair kMbits{"Мбит/с", "Mbit/s"};
inline constexpr TextPair kDirect{"Напрямую", "Direct"};
inline constexpr TextPair kThroughRelay{"Через релей", "Through the relay"};
inline constexpr TextPair kPing{"пинг", "ping"};
inline constexpr TextPair kMs{"мс", "ms"};
inline constexpr TextPair kLoss{"потери", "loss"};
inline constexpr TextPair kPercent{"\u00A0%", "%"};

inline constexpr TextPair kRecent{"События", "Recent"};
inline constexpr TextPair kFullLog{"Полный лог:", "Full log:"};
inline constexpr TextPair kKeyHint{"Ctrl+C — остановить · --verbose — весь лог в\u00A0этом окне",
                                   "Ctrl+C stops the agent · --verbose shows the full log here"};
inline constexpr TextPair kAgentStopped{"Агент Velmora остановлен.", "Velmora agent stopped."};
inline constexpr TextPair kNeedsAttention{"Нужно ваше внимание:", "Needs your attention:"};

}  // namespace vx::ui::texts
