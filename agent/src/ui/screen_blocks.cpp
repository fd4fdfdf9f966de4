#include "ui/screen_blocks.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <optional>

#include "status/status_texts.hpp"
#include "ui/banner.hpp"
#include "ui/screen_texts.hpp"
#include "ui/text_fit.hpp"

namespace vx::ui {
namespace {

constexpr std::string_view kDot = " · ";
constexpr std::int64_t kShowLostAfterS = 60;
// Upper bounds for measured values, so a broken measurement cannot blow up a row.
constexpr double kMaxPingMs = 99999.0;
constexpr double kMaxLossPct = 100.0;
constexpr double kMaxRateMbps = 99999.0;

std::string pick(const TextPair& pair, bool russian) {
    return std::string(pick_text(pair, russian));
}

// A measurement, or nothing when it is unknown (negative or not a number).
std::optional<double> known(double value, double max) {
    if (std::isnan(value) || value < 0) {
        return std::nullopt;
    }
    return std::min(value, max);
}

void join(std::string& out, std::string_view part) {
    if (part.empty()) {
        return;
    }
    if (!out.empty()) {
        out += kDot;
    }
    out += part;
}

int label_column() {
    int widest = 0;
    for (bool ru : {true, false}) {
        for (const TextPair& p : {texts::kLinkLabel, texts::kInternetLabel, texts::kThisPcLabel}) {
            widest = std::max(widest, display_width(pick_text(p, ru)));
        }
    }
    return widest + 2;
}

Segment label(const TextPair& pair, bool russian) {
    std::string text = pick(pair, russian);
    text.append(static_cast<std::size_t>(std::max(0, label_column() - display_width(text))), ' ');
    return {std::move(text), Style::dim, false};
}

std::string link_transport(LinkTransport transport, bool russian) {
    switch (transport) {
        case LinkTransport::udp:
            return "UDP";
        case LinkTransport::udp_relay:
            return pick(texts::kViaRelay, russian);
        case LinkTransport::websocket:
            return "WebSocket";
        default:
            return {};
    }
}

std::string internet_value(const StatusSnapshot& snap, bool russian) {
    std::string out = sanitize_for_console(snap.public_address);
    const auto verdict = static_cast<std::size_t>(snap.verdict);
    if (verdict > 0 && verdict < std::size(texts::kVerdicts)) {
        join(out, pick_text(texts::kVerdicts[verdict], russian));
    }
    return out;
}

std::string pc_value(const StatusSnapshot& snap) {
    std::string out = sanitize_for_console(snap.gpu_name);
    join(out, sanitize_for_console(snap.encoder_name));
    return out;
}

// "HH:MM:SS" since the session start; empty when the start is unknown.
std::string session_clock(const StatusSnapshot& snap, std::int64_t now_s) {
    if (snap.session_start_s <= 0) {
        return {};
    }
    const long long elapsed = std::max<std::int64_t>(0, now_s - snap.session_start_s);
    char buf[48];
    std::snprintf(buf, sizeof buf, "%02lld:%02lld:%02lld", elapsed / 3600, elapsed / 60 % 60,
                  elapsed % 60);
    return buf;
}

struct StateText {
    std::string word;
    std::vector<std::string> lines;
};

StateText idle_state(const StatusSnapshot& snap, bool russian) {
    switch (snap.link) {
        case LinkState::connecting:
            return {pick(texts::kStarting, russian), {pick(texts::kStartingText, russian)}};
        case LinkState::lost:
            return {pick(texts::kNoConnection, russian), {pick(texts::kNoConnectionText, russian)}};
        case LinkState::standalone:
            return {pick(texts::kWaiting, russian), {pick(texts::kWaitingLauncher, russian)}};
        default:
            return {pick(texts::kWaiting, russian), {pick(texts::kWaitingCatalog, russian)}};
    }
}

StateText state_text(const StatusSnapshot& snap, bool russian, std::int64_t now_s) {
    if (snap.stopping) {
        const bool playing = snap.session == SessionState::player_connected;
        return {pick(texts::kStopping, russian),
                {pick(playing ? texts::kStoppingSession : texts::kStoppingIdle, russian)}};
    }
    if (snap.session == SessionState::rented) {
        std::string stream = render_stream_line(snap, russian);
        if (stream.empty()) {
            stream = pick(texts::kStartingCapture, russian);
        }
        return {pick(texts::kPlayerConnecting, russian), {std::move(stream)}};
    }
    if (snap.session == SessionState::player_connected) {
        StateText st{pick(texts::kPlayerConnected, russian), {}};
        join(st.word, session_clock(snap, now_s));
        for (std::string line :
             {render_stream_line(snap, russian), render_path_line(snap, russian)}) {
            if (!line.empty()) {
                st.lines.push_back(std::move(line));
            }
        }
        return st;
    }
    return idle_state(snap, russian);
}

}  // namespace

std::string render_title_line(const StatusSnapshot& snap, bool russian) {
    std::string out = pick(texts::kAgent, russian);
    const std::string version = sanitize_for_console(snap.version);
    if (!version.empty()) {
        out += " " + version;
    }
    const std::string name = sanitize_for_console(snap.computer_name);
    if (!name.empty()) {
        out += std::string(kDot) + name;
    }
    return out;
}

Screen render_header(const StatusSnapshot& snap, bool russian, int width) {
    const std::string title = render_title_line(snap, russian);
    Row mark = product_mark();
    if (row_width(mark) + 2 + display_width(title) <= width) {
        mark.push_back({"  " + title, Style::dim, false});
        return {mark};
    }
    return {fit_row(mark, width), {{truncate_with_ellipsis(title, width), Style::dim, false}}};
}

Row render_link_line(const StatusSnapshot& snap, bool russian, std::int64_t now_s) {
    switch (snap.link) {
        case LinkState::connected: {
            std::string text = pick(texts::kConnected, russian);
            join(text, link_transport(snap.transport, russian));
            return {{"\u25CF ", Style::accent, false}, {std::move(text), Style::normal, false}};
        }
        case LinkState::standalone:
            return {{pick(texts::kStandalone, russian), Style::normal, false}};
        case LinkState::lost: {
            std::string text = pick(texts::kReconnecting, russian);
            const std::int64_t since = now_s - snap.link_changed_s;
            if (snap.link_changed_s > 0 && since >= kShowLostAfterS) {
                text += " (" + format_duration(since, russian) + ")";
            }
            return {{std::move(text), Style::normal, false}};
        }
        default:
            return {{pick(texts::kConnecting, russian), Style::normal, false}};
    }
}

std::string render_stream_line(const StatusSnapshot& snap, bool russian) {
    std::string out;
    if (snap.width != 0 && snap.height != 0) {
        join(out, std::to_string(snap.width) + "\u00D7" + std::to_string(snap.height));
    }
    if (snap.fps != 0) {
        join(out, std::to_string(snap.fps) + " " + pick(texts::kFps, russian));
    }
    join(out, sanitize_for_console(snap.codec));
    if (const auto rate = known(snap.sent_mbps, kMaxRateMbps)) {
        join(out, format_fixed(*rate, russian) + " " + pick(texts::kMbits, russian));
    }
    return out;
}

std::string render_path_line(const StatusSnapshot& snap, bool russian) {
    std::string out;
    if (snap.path == MediaPathKind::direct) {
        out = pick(texts::kDirect, russian);
    } else if (snap.path == MediaPathKind::relay) {
        out = pick(texts::kThroughRelay, russian);
    }
    if (const auto ping = known(snap.ping_ms, kMaxPingMs)) {
        const auto whole = static_cast<long long>(*ping + 0.5);
        join(out, pick(texts::kPing, russian) + " " + std::to_string(whole) + " " +
                      pick(texts::kMs, russian));
    }
    if (const auto loss = known(snap.loss_pct, kMaxLossPct)) {
        join(out, pick(texts::kLoss, russian) + " " + format_fixed(*loss, russian) +
                      pick(texts::kPercent, russian));
    }
    return out;
}

Screen render_sections(const StatusSnapshot& snap, bool russian, std::int64_t now_s) {
    Screen rows;
    Row link{label(texts::kLinkLabel, russian)};
    for (Segment& s : render_link_line(snap, russian, now_s)) {
        link.push_back(std::move(s));
    }
    rows.push_back(std::move(link));
    if (std::string value = internet_value(snap, russian); !value.empty()) {
        rows.push_back({label(texts::kInternetLabel, russian), {std::move(value)}});
    }
    if (std::string value = pc_value(snap); !value.empty()) {
        rows.push_back({label(texts::kThisPcLabel, russian), {std::move(value)}});
    }
    return rows;
}

Screen render_state_block(const StatusSnapshot& snap, bool russian, std::int64_t now_s, int width) {
    StateText st = state_text(snap, russian, now_s);
    Screen rows{{{"\u258C ", Style::accent, false}, {std::move(st.word), Style::accent, true}}};
    for (const std::string& text : st.lines) {
        for (std::string& line : wrap_to_width(text, std::max(width - 2, 1))) {
            rows.push_back({{"  "}, {std::move(line)}});
        }
    }
    return rows;
}

std::string problem_text(const StatusSnapshot& snap, ProblemKind kind, bool russian,
                         std::int64_t event_value) {
    std::uint16_t port = snap.busy_port;
    if (kind == ProblemKind::port_busy && event_value > 0 && event_value <= 65535) {
        port = static_cast<std::uint16_t>(event_value);
    }
    return sanitize_for_console(problem_hint(kind, russian, snap.flags, port));
}

Screen render_problems(const StatusSnapshot& snap, bool russian, int width) {
    Screen rows;
    for (std::size_t k = 0; k < kProblemKinds; ++k) {
        if (!snap.problems[k]) {
            continue;
        }
        const auto lines = wrap_to_width(problem_text(snap, static_cast<ProblemKind>(k), russian),
                                         std::max(width - 4, 1));
        Row first{{" ! ", Style::inverse, true}};
        if (!lines.empty()) {
            first.push_back({" " + lines.front()});
        }
        rows.push_back(std::move(first));
        for (std::size_t i = 1; i < lines.size(); ++i) {
            rows.push_back({{"    " + lines[i]}});
        }
    }
    return rows;
}

std::string event_text(const StatusSnapshot& snap, const StatusEvent& event, bool russian) {
    return sanitize_for_console(status_event_text(event, russian, snap.busy_port));
}

Screen render_recent_events(const StatusSnapshot& snap, bool russian, std::size_t count) {
    const std::size_t k = std::min(count, snap.events.size());
    if (k == 0) {
        return {};
    }
    Screen rows{{{pick(texts::kRecent, russian), Style::dim, false}}};
    for (std::size_t i = snap.events.size() - k; i < snap.events.size(); ++i) {
        const StatusEvent& e = snap.events[i];
        const bool loud = e.kind == StatusEventKind::problem || e.kind == StatusEventKind::failed;
        rows.push_back(
            {{sanitize_for_console(e.time_text) + "  ", Style::dim, false},
             {event_text(snap, e, russian), loud ? Style::accent : Style::normal, false}});
    }
    return rows;
}

Screen render_footer(const StatusSnapshot& snap, bool russian, int width) {
    Screen rows;
    const std::string path = sanitize_for_console(snap.log_path);
    if (!path.empty()) {
        const std::string head = pick(texts::kFullLog, russian) + " ";
        const int left = width - display_width(head);
        rows.push_back(
            {{head, Style::dim, false}, {cut_left_with_ellipsis(path, left), Style::dim, false}});
    }
    rows.push_back(
        {{truncate_with_ellipsis(pick_text(texts::kKeyHint, russian), width), Style::dim, false}});
    return rows;
}

}  // namespace vx::ui
