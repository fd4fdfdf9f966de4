#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vx::util {

// What the registration tells the backend about this PC. Empty texts and zeros mean unknown.
struct SystemInfo {
    std::string cpu_name;
    std::uint64_t ram_mb = 0;
    std::string os_text;
    std::string gpu_name;
    std::uint64_t gpu_vram_mb = 0;
};

// Where the facts are read from; tests point these at files of their own.
struct SystemInfoSources {
    std::string cpuinfo = "/proc/cpuinfo";
    std::string os_release = "/etc/os-release";
    std::string drm = "/sys/class/drm";
};

// Reads everything it can; never fails (a missing source leaves its fields unknown).
SystemInfo read_system_info(const SystemInfoSources& sources = {});

// The first "model name" of /proc/cpuinfo text, trimmed; empty when there is none.
std::string cpu_name_from_cpuinfo(std::string_view cpuinfo);

// PRETTY_NAME of os-release text, unquoted; else NAME plus VERSION; else "Linux".
std::string os_text_from_os_release(std::string_view os_release);

// Total memory in MiB from sysinfo(2); 0 when it fails.
std::uint64_t total_ram_mb();

}  // namespace vx::util
