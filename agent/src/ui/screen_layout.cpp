#include "ui/screen_layout.hpp"

#include <algorithm>

#include "ui/banner.hpp"
#include "ui/screen_blocks.hpp"
#include "ui/screen_texts.hpp"
#include "ui/text_fit.hpp"

namespace vx::ui {
namespace {

// Everything that does not depend on the variant, built once per frame.
struct Blocks {
    Screen banner;
    Screen header;
    Screen sections;
    Screen state;
    Screen problems;
    Screen footer;
};

Blocks build_blocks(const StatusSnapshot& snap, const RenderParams& p, int width) {
    return Blocks{
        render_banner(render_title_line(snap, p.russian), width),
        render_header(snap, p.russian, width),
        render_sections(snap, p.russian, p.now_s),
        render_state_block(snap, p.russian, p.now_s, width),
        render_problems(snap, p.russian, width),
        render_footer(snap, p.russian, width),
    };
}

void append(Screen& out, const Screen& rows) {
    out.insert(out.end(), rows.begin(), rows.end());
}

Screen assemble(const Blocks& b, const StatusSnapshot& snap, const RenderParams& p,
                const LayoutVariant& v) {
    Screen out;
    const auto blank = [&] {
        if (v.blank_rows) {
            out.emplace_back();
        }
    };
    append(out, v.banner && !b.banner.empty() ? b.banner : b.header);
    blank();
    append(out, b.sections);
    blank();
    append(out, b.state);
    if (!b.problems.empty()) {
        blank();
        append(out, b.problems);
    }
    const Screen recent = render_recent_events(snap, p.russian, v.recent_events);
    if (!recent.empty()) {
        blank();
        append(out, recent);
    }
    blank();
    Screen footer = b.footer;
    if (!v.key_hint && footer.size() == 2) {
        footer.pop_back();
    }
    append(out, footer);
    return out;
}

// Indents a non-empty row by one space (a console of one or two columns has no room for it)
// and fits it to the width.
Row finish_row(const Row& row, int width, bool indent) {
    if (row.empty()) {
        return row;
    }
    Row out;
    if (indent) {
        out.push_back({" ", Style::normal, false});
    }
    for (Segment& s : fit_row(row, width)) {
        out.push_back(std::move(s));
    }
    return out;
}

struct ChosenVariant {
    std::size_t index = 0;
    Screen rows;
};

// The first variant whose rows fit the console's height, else the last one (still too tall).
ChosenVariant choose_variant(const StatusSnapshot& snap, const RenderParams& params) {
    const auto height = static_cast<std::size_t>(std::max(params.rows, 1));
    const Blocks blocks = build_blocks(snap, params, layout_width(params.columns));
    ChosenVariant chosen;
    for (std::size_t i = 0; i < std::size(kLayoutVariants); ++i) {
        chosen = {i, assemble(blocks, snap, params, kLayoutVariants[i])};
        if (chosen.rows.size() <= height) {
            break;
        }
    }
    return chosen;
}

}  // namespace

int layout_width(int columns) {
    return std::max(columns - 2, 1);
}

std::size_t pick_layout_variant(const StatusSnapshot& snap, const RenderParams& params) {
    return choose_variant(snap, params).index;
}

Screen render_status_screen(const StatusSnapshot& snap, const RenderParams& params) {
    const int width = layout_width(params.columns);
    const auto height = static_cast<std::size_t>(std::max(params.rows, 1));
    Screen rows = choose_variant(snap, params).rows;
    rows.resize(std::min(rows.size(), height));
    for (Row& row : rows) {
        row = finish_row(row, width, params.columns > 2);
    }
    return rows;
}

std::string render_plain_header(const StatusSnapshot& snap, bool russian) {
    std::string out = "VELMORA  " + render_title_line(snap, russian) + "\n";
    const std::string path = sanitize_for_console(snap.log_path);
    if (!path.empty()) {
        out += std::string(pick_text(texts::kFullLog, russian)) + " " + path + "\n";
    }
    out += std::string(pick_text(texts::kKeyHint, russian)) + "\n";
    return out;
}

std::string format_event_line(const StatusSnapshot& snap, const StatusEvent& event, bool russian) {
    // Appended piece by piece: GCC 12 at -O3 warns falsely (-Wrestrict) on "literal" + temporary.
    std::string out = "[";
    out += sanitize_for_console(event.time_text);
    out += "] ";
    if (event.kind == StatusEventKind::problem) {
        return out + "! " + problem_text(snap, event.problem, russian, event.value);
    }
    out += event_text(snap, event, russian);
    if (event.kind == StatusEventKind::player_connected) {
        if (const std::string stream = render_stream_line(snap, russian); !stream.empty()) {
            out += " · " + stream;
        }
    }
    return out;
}

std::string render_final_screen(const StatusSnapshot& snap, bool russian) {
    std::string out = std::string(pick_text(texts::kAgentStopped, russian)) + "\n";
    if (std::any_of(snap.problems.begin(), snap.problems.end(), [](bool b) { return b; })) {
        out += std::string(pick_text(texts::kNeedsAttention, russian)) + "\n";
        for (std::size_t k = 0; k < kProblemKinds; ++k) {
            if (snap.problems[k]) {
                out += "  ! " + problem_text(snap, static_cast<ProblemKind>(k), russian) + "\n";
            }
        }
    }
    const std::size_t shown = std::min<std::size_t>(3, snap.events.size());
    for (std::size_t i = snap.events.size() - shown; i < snap.events.size(); ++i) {
        const StatusEvent& e = snap.events[i];
        out +=
            "  " + sanitize_for_console(e.time_text) + "  " + event_text(snap, e, russian) + "\n";
    }
    const std::string path = sanitize_for_console(snap.log_path);
    if (!path.empty()) {
        out += std::string(pick_text(texts::kFullLog, russian)) + " " + path + "\n";
    }
    return out;
}

}  // namespace vx::ui
