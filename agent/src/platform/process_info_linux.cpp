#include "platform/process_info.hpp"

#include <unistd.h>

#include <fstream>

namespace vx::platform {
namespace {

constexpr std::string_view kDeletedSuffix = " (deleted)";  // readlink of a replaced executable

std::string proc_path(std::uint32_t pid, const char* entry) {
    return "/proc/" + std::to_string(pid) + "/" + entry;
}

std::string executable_name(std::uint32_t pid) {
    char buffer[4096];
    const ssize_t n = ::readlink(proc_path(pid, "exe").c_str(), buffer, sizeof buffer);
    if (n <= 0 || static_cast<std::size_t>(n) >= sizeof buffer) {
        return {};
    }
    std::string path(buffer, static_cast<std::size_t>(n));
    if (path.size() > kDeletedSuffix.size() && path.ends_with(kDeletedSuffix)) {
        path.resize(path.size() - kDeletedSuffix.size());
    }
    return path.substr(path.find_last_of('/') + 1);
}

// Readable for every process of the machine, unlike the executable of another user's process.
std::string short_name(std::uint32_t pid) {
    std::ifstream in(proc_path(pid, "comm"));
    std::string name;
    std::getline(in, name);
    return name;
}

}  // namespace

std::string process_image_name(std::uint32_t pid) {
    if (pid == 0) {
        return {};
    }
    std::string name = executable_name(pid);
    return name.empty() ? short_name(pid) : name;
}

}  // namespace vx::platform
