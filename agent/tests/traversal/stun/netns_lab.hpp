#pragma once

// Network namespaces made by one test and removed by it: named after the pid so parallel runs
// never meet, deleted by name only.

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

namespace vx::test {

// Runs a shell command; true on exit status 0. Output goes to the test's log.
inline bool sh(const std::string& command) {
    return std::system(command.c_str()) == 0;
}

class NetnsLab {
  public:
    // Why namespace tests cannot run here, or empty when they can.
    static std::string unavailable_reason() {
        if (::geteuid() != 0)
            return "network namespaces need root";
        if (::access("/usr/sbin/ip", X_OK) != 0)
            return "iproute2 (ip) is not installed";
        if (::access("/usr/sbin/nft", X_OK) != 0)
            return "nftables (nft) is not installed";
        const std::string probe = "vxprobe" + std::to_string(::getpid());
        if (!sh("/usr/sbin/ip netns add " + probe + " 2>/dev/null")) {
            return "cannot create a network namespace";
        }
        sh("/usr/sbin/ip netns del " + probe);
        return {};
    }

    explicit NetnsLab(std::string tag) : tag_(std::move(tag) + std::to_string(::getpid())) {}
    ~NetnsLab() {
        for (const auto& ns : namespaces_)
            sh("/usr/sbin/ip netns del " + ns + " 2>/dev/null");
    }
    NetnsLab(const NetnsLab&) = delete;
    NetnsLab& operator=(const NetnsLab&) = delete;

    // Creates namespace "<letter><tag>" with its loopback up; returns its name.
    std::string add(char letter) {
        const std::string ns = std::string(1, letter) + tag_;
        if (sh("/usr/sbin/ip netns add " + ns)) {
            namespaces_.push_back(ns);
            sh("/usr/sbin/ip -n " + ns + " link set lo up");
        }
        return ns;
    }
    // Interface names fit the kernel's 15 characters.
    std::string ifname(const std::string& role) const { return role + tag_.substr(0, 13); }
    bool ok(const std::string& command) { return sh(command); }

    // Loads an nftables ruleset into namespace `ns`; "; " and "} " in `rules` end lines.
    bool nft(const std::string& ns, std::string rules) {
        for (const char* separator : {"; ", "} "}) {
            for (std::size_t at; (at = rules.find(separator)) != std::string::npos;) {
                rules.replace(at, 2, separator[0] == '}' ? "}\n" : "\n");
            }
        }
        const std::string path = "/tmp/vx-nft-" + ns + ".conf";
        {
            std::ofstream out(path);
            out << rules << "\n";
        }
        const bool loaded = sh("/usr/sbin/ip netns exec " + ns + " /usr/sbin/nft -f " + path);
        std::remove(path.c_str());
        return loaded;
    }

    // Runs `work` on a fresh thread that lives in namespace `ns`; sockets it opens belong there.
    template <class F>
    static auto in_netns(const std::string& ns, F work) -> decltype(work()) {
        std::packaged_task<decltype(work())()> task([&] {
            const int fd = ::open(("/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
            if (fd < 0 || ::setns(fd, CLONE_NEWNET) != 0) {
                if (fd >= 0)
                    ::close(fd);
                throw std::runtime_error("setns into " + ns + " failed");
            }
            ::close(fd);
            return work();
        });
        auto result = task.get_future();
        std::thread(std::move(task)).join();
        return result.get();
    }

  private:
    std::string tag_;
    std::vector<std::string> namespaces_;
};

}  // namespace vx::test
