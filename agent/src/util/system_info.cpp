#include "util/system_info.hpp"

#include <sys/sysinfo.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <vector>

namespace vx::util {
namespace {

namespace fs = std::filesystem;

// At most `limit` bytes of a file; most are a few bytes of sysfs, so nothing is reserved ahead.
std::string read_text(const fs::path& path, std::size_t limit = 1 << 20) {
    std::ifstream in(path, std::ios::binary);
    std::string text;
    char chunk[4096];
    while (in && text.size() < limit) {
        in.read(chunk, static_cast<std::streamsize>(std::min(sizeof chunk, limit - text.size())));
        text.append(chunk, static_cast<std::size_t>(in.gcount()));
    }
    return text;
}

std::string_view trim(std::string_view s) {
    const auto is_space = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!s.empty() && is_space(s.front())) {
        s.remove_prefix(1);
    }
    while (!s.empty() && is_space(s.back())) {
        s.remove_suffix(1);
    }
    return s;
}

template <typename Fn>
void for_each_line(std::string_view text, Fn&& fn) {
    while (!text.empty()) {
        const auto nl = text.find('\n');
        const auto line = text.substr(0, nl);
        if (fn(line)) {
            return;
        }
        if (nl == std::string_view::npos) {
            return;
        }
        text.remove_prefix(nl + 1);
    }
}

// os-release values follow shell quoting: "..." with backslash escapes, or '...'.
std::string unquote(std::string_view v) {
    v = trim(v);
    if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) {
        const char quote = v.front();
        v = v.substr(1, v.size() - 2);
        std::string out;
        for (std::size_t i = 0; i < v.size(); ++i) {
            if (quote == '"' && v[i] == '\\' && i + 1 < v.size()) {
                ++i;
            }
            out += v[i];
        }
        return out;
    }
    return std::string(v);
}

std::optional<std::string> os_release_value(std::string_view text, std::string_view key) {
    std::optional<std::string> found;
    for_each_line(text, [&](std::string_view line) {
        line = trim(line);
        if (line.size() > key.size() && line.substr(0, key.size()) == key &&
            line[key.size()] == '=') {
            found = unquote(line.substr(key.size() + 1));
            return true;
        }
        return false;
    });
    return found;
}

struct DrmCard {
    std::string name;  // "card0"
    std::uint32_t vendor = 0;
    std::uint32_t device = 0;
    std::uint64_t vram_mb = 0;
};

std::uint64_t parse_number(std::string_view text, int base) {
    const std::string s(trim(text));
    if (s.empty()) {
        return 0;
    }
    try {
        std::size_t used = 0;
        const auto v = std::stoull(s, &used, base);
        return used == s.size() ? v : 0;
    } catch (...) {
        return 0;
    }
}

// PCI vendors whose cards stream: NVIDIA and AMD first, integrated graphics after.
int vendor_rank(std::uint32_t vendor) {
    switch (vendor) {
        case 0x10de:
            return 0;
        case 0x1002:
            return 1;
        case 0x8086:
            return 2;
        default:
            return 3;
    }
}

std::string vendor_name(std::uint32_t vendor) {
    switch (vendor) {
        case 0x10de:
            return "NVIDIA";
        case 0x1002:
            return "AMD";
        case 0x8086:
            return "Intel";
        default:
            return "GPU";
    }
}

std::vector<DrmCard> drm_cards(const fs::path& drm) {
    std::vector<DrmCard> cards;
    std::error_code ec;
    for (fs::directory_iterator it(drm, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        // Only "cardN": the "cardN-HDMI-A-1" entries are its connectors.
        if (name.rfind("card", 0) != 0 || name.size() == 4 ||
            name.find_first_not_of("0123456789", 4) != std::string::npos) {
            continue;
        }
        const fs::path device = it->path() / "device";
        DrmCard card;
        card.name = name;
        card.vendor = static_cast<std::uint32_t>(parse_number(read_text(device / "vendor"), 16));
        card.device = static_cast<std::uint32_t>(parse_number(read_text(device / "device"), 16));
        // amdgpu reports its memory; other drivers say nothing here.
        card.vram_mb = parse_number(read_text(device / "mem_info_vram_total"), 10) >> 20;
        if (card.vendor != 0) {
            cards.push_back(card);
        }
    }
    return cards;
}

void fill_gpu(SystemInfo& info, const fs::path& drm) {
    auto cards = drm_cards(drm);
    if (cards.empty()) {
        return;
    }
    std::sort(cards.begin(), cards.end(), [](const DrmCard& a, const DrmCard& b) {
        const int ra = vendor_rank(a.vendor), rb = vendor_rank(b.vendor);
        if (ra != rb) {
            return ra < rb;
        }
        if (a.name.size() != b.name.size()) {
            return a.name.size() < b.name.size();
        }
        return a.name < b.name;
    });
    const DrmCard& best = cards.front();
    char ids[32];
    std::snprintf(ids, sizeof ids, " [%04x:%04x]", best.vendor & 0xffff, best.device & 0xffff);
    info.gpu_name = vendor_name(best.vendor) + ids;
    info.gpu_vram_mb = best.vram_mb;
}

}  // namespace

std::string cpu_name_from_cpuinfo(std::string_view cpuinfo) {
    std::string name;
    for_each_line(cpuinfo, [&](std::string_view line) {
        const auto colon = line.find(':');
        if (colon == std::string_view::npos || trim(line.substr(0, colon)) != "model name") {
            return false;
        }
        name = std::string(trim(line.substr(colon + 1)));
        return true;
    });
    return name;
}

std::string os_text_from_os_release(std::string_view os_release) {
    if (auto pretty = os_release_value(os_release, "PRETTY_NAME"); pretty && !pretty->empty()) {
        return *pretty;
    }
    std::string text = os_release_value(os_release, "NAME").value_or("");
    const std::string version = os_release_value(os_release, "VERSION").value_or("");
    if (!text.empty() && !version.empty()) {
        text += " " + version;
    }
    return text.empty() ? "Linux" : text;
}

std::uint64_t total_ram_mb() {
    struct sysinfo si {};
    if (sysinfo(&si) != 0) {
        return 0;
    }
    return static_cast<std::uint64_t>(si.totalram) * si.mem_unit / (1024 * 1024);
}

SystemInfo read_system_info(const SystemInfoSources& sources) {
    SystemInfo info;
    info.cpu_name = cpu_name_from_cpuinfo(read_text(sources.cpuinfo));
    info.ram_mb = total_ram_mb();
    info.os_text = os_text_from_os_release(read_text(sources.os_release, 64 * 1024));
    fill_gpu(info, sources.drm);
    return info;
}

}  // namespace vx::util
