#pragma once

// A home network in namespaces with a real router daemon: a LAN host (192.168.77.20/24, and
// .21 for a second host), a router (192.168.77.1 on the LAN, 100.128.0.2 on the WAN, nftables
// as miniupnpd needs it) and an "internet" host (100.128.0.1). The WAN address sits just above
// 100.64/10 so that both the agent and miniupnpd take it for public.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "traversal/stun/netns_lab.hpp"

extern char** environ;

namespace vx::test {

inline constexpr const char* kMiniupnpd = "/usr/sbin/miniupnpd";
inline constexpr const char* kUpnpc = "/usr/bin/upnpc";
inline constexpr const char* kNatpmpc = "/usr/bin/natpmpc";

struct RouterConfig {
    bool daemon = true;     // run miniupnpd at all (without it the router answers ICMP)
    bool upnp = true;       // enable_upnp
    bool natpmp = true;     // enable_natpmp (NAT-PMP and PCP)
    bool pcp_only = false;  // drop NAT-PMP datagrams (first byte 0) before the daemon
    bool secure = true;     // secure_mode
    int min_lifetime = 120;
    int max_lifetime = 86400;
    bool default_route = true;  // the LAN host's route via the router
};

// Output of a command, or empty; for short, bounded tools (nft, ip).
inline std::string capture(const std::string& command) {
    std::string out;
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
        char buffer[4096];
        std::size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
            out.append(buffer, n);
        ::pclose(pipe);
    }
    return out;
}

// A program in a namespace (`ip netns exec`, which becomes the program), its output collected
// so a test can wait for a line. Stopped by its own pid.
class NetnsProcess {
  public:
    NetnsProcess(const std::string& ns, const std::vector<std::string>& command) {
        int out[2];
        if (::pipe2(out, O_CLOEXEC) != 0)
            return;
        std::vector<std::string> args = {"/usr/sbin/ip", "netns", "exec", ns};
        args.insert(args.end(), command.begin(), command.end());
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_adddup2(&actions, out[1], 2);
        if (::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        reader_ = std::thread([this, fd = out[0]] { read_output(fd); });
    }
    ~NetnsProcess() {
        stop();
        if (reader_.joinable())
            reader_.join();
    }
    NetnsProcess(const NetnsProcess&) = delete;
    NetnsProcess& operator=(const NetnsProcess&) = delete;

    // Waits (bounded) for a line of the program's output; false when it never came.
    bool wait_for(const std::string& text,
                  std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, limit, [&] {
            return output_.find(text) != std::string::npos || ended_;
        }) && output_.find(text) != std::string::npos;
    }
    std::string output() const {
        std::lock_guard lock(mutex_);
        return output_;
    }

    // Waits (bounded) for the program to end by itself, then for the rest of its output; its
    // exit code, or nothing when it did not end in time (it is stopped then) or a signal ended it.
    std::optional<int> wait_exit(std::chrono::milliseconds limit) {
        const std::optional<int> code = reap(static_cast<int>(limit.count()));
        if (!code)
            stop();
        if (reader_.joinable())
            reader_.join();
        return code;
    }

    // SIGTERM, then SIGKILL when it has not ended within two seconds; the exit code when it
    // ended by itself after the SIGTERM.
    std::optional<int> stop() {
        if (pid_ <= 0)
            return exit_code_;
        ::kill(pid_, SIGTERM);
        if (!reap(2000)) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
        return exit_code_;
    }

  private:
    std::optional<int> reap(int limit_ms) {
        if (pid_ <= 0)
            return exit_code_;
        const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
        pollfd entry{pidfd, POLLIN, 0};
        const bool ended = pidfd >= 0 && ::poll(&entry, 1, limit_ms) > 0;
        if (pidfd >= 0)
            ::close(pidfd);
        if (!ended)
            return std::nullopt;
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        if (WIFEXITED(status))
            exit_code_ = WEXITSTATUS(status);
        return exit_code_;
    }

    void read_output(int fd) {
        char buffer[4096];
        ssize_t n;
        while ((n = ::read(fd, buffer, sizeof buffer)) > 0) {
            std::lock_guard lock(mutex_);
            output_.append(buffer, static_cast<std::size_t>(n));
            changed_.notify_all();
        }
        ::close(fd);
        std::lock_guard lock(mutex_);
        ended_ = true;
        changed_.notify_all();
    }

    pid_t pid_ = -1;
    std::optional<int> exit_code_;
    std::thread reader_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::string output_;
    bool ended_ = false;
};

class RouterLab {
  public:
    static std::string unavailable_reason() {
        if (::access(kMiniupnpd, X_OK) != 0)
            return "miniupnpd is not installed (package miniupnpd-nftables)";
        return NetnsLab::unavailable_reason();
    }

    RouterLab(const std::string& tag, const RouterConfig& config) : lab_(tag), config_(config) {
        lan = lab_.add('l');
        router = lab_.add('r');
        internet = lab_.add('i');
        ready = wire() && firewall() && (!config.daemon || start_daemon());
    }
    ~RouterLab() {
        daemon_.reset();
        std::remove(config_path().c_str());
        std::remove(pid_path().c_str());
    }

    std::string lan, router, internet;
    bool ready = false;

    std::string lan_if() const { return lab_.ifname("l"); }
    std::string daemon_output() const { return daemon_ ? daemon_->output() : std::string(); }
    // miniupnpd's forwarding rules as nftables holds them.
    std::string nat_rules() const {
        return capture("/usr/sbin/ip netns exec " + router +
                       " /usr/sbin/nft list chain inet filter prerouting_miniupnpd 2>&1");
    }
    bool run_in(const std::string& ns, const std::string& command) {
        return lab_.ok("/usr/sbin/ip netns exec " + ns + " " + command);
    }
    // More nftables rules in a namespace of the lab (a router that stops answering something).
    bool load_rules(const std::string& ns, const std::string& rules) { return lab_.nft(ns, rules); }

  private:
    bool wire() {
        const std::string ip = "/usr/sbin/ip ";
        const std::string l = lab_.ifname("l"), r = lab_.ifname("r");
        const std::string w = lab_.ifname("w"), i = lab_.ifname("i");
        return lab_.ok(ip + "-n " + lan + " link add " + l + " type veth peer name " + r +
                       " netns " + router) &&
               lab_.ok(ip + "-n " + router + " link add " + w + " type veth peer name " + i +
                       " netns " + internet) &&
               lab_.ok(ip + "-n " + lan + " addr add 192.168.77.20/24 dev " + l) &&
               lab_.ok(ip + "-n " + lan + " addr add 192.168.77.21/24 dev " + l) &&
               lab_.ok(ip + "-n " + lan + " link set " + l + " up") &&
               (!config_.default_route ||
                lab_.ok(ip + "-n " + lan + " route add default via 192.168.77.1")) &&
               lab_.ok(ip + "-n " + router + " addr add 192.168.77.1/24 dev " + r) &&
               lab_.ok(ip + "-n " + router + " addr add 100.128.0.2/24 dev " + w) &&
               lab_.ok(ip + "-n " + router + " link set " + r + " up") &&
               lab_.ok(ip + "-n " + router + " link set " + w + " up") &&
               lab_.ok(ip + "netns exec " + router + " sysctl -qw net.ipv4.ip_forward=1") &&
               lab_.ok(ip + "-n " + internet + " addr add 100.128.0.1/24 dev " + i) &&
               lab_.ok(ip + "-n " + internet + " link set " + i + " up");
    }

    // The skeleton miniupnpd fills: without it AddPortMapping answers 501.
    bool firewall() {
        const std::string r = lab_.ifname("r"), w = lab_.ifname("w");
        std::string rules =
            "table inet filter { chain miniupnpd { } chain prerouting_miniupnpd { } "
            "chain postrouting_miniupnpd { } "
            "chain forward { type filter hook forward priority 0; policy drop; "
            "ct state established,related accept; iifname \"" +
            r + "\" oifname \"" + w +
            "\" accept; jump miniupnpd; } "
            "chain prerouting { type nat hook prerouting priority -100; "
            "jump prerouting_miniupnpd; } "
            "chain postrouting { type nat hook postrouting priority 100; "
            "jump postrouting_miniupnpd; oifname \"" +
            w + "\" masquerade; } } ";
        if (config_.pcp_only) {
            rules +=
                "table inet pcponly { chain input { type filter hook input priority 0; "
                "udp dport 5351 @ih,0,8 0 drop; } } ";
        }
        return lab_.nft(router, rules);
    }

    std::string config_path() const { return "/tmp/vx-miniupnpd-" + router + ".conf"; }
    std::string pid_path() const { return "/tmp/vx-miniupnpd-" + router + ".pid"; }

    bool start_daemon() {
        std::ofstream(config_path())
            << "ext_ifname=" << lab_.ifname("w") << "\nlistening_ip=" << lab_.ifname("r")
            << "\nhttp_port=5000\nenable_upnp=" << (config_.upnp ? "yes" : "no")
            << "\nenable_natpmp=" << (config_.natpmp ? "yes" : "no")
            << "\nsecure_mode=" << (config_.secure ? "yes" : "no")
            << "\nsystem_uptime=yes\nmin_lifetime=" << config_.min_lifetime
            << "\nmax_lifetime=" << config_.max_lifetime
            << "\nuuid=3d3cec3a-8cf0-11e0-98ee-001a6bd2d07b\nupnp_table_name=filter\n"
               "upnp_nat_table_name=filter\nupnp_forward_chain=miniupnpd\n"
               "upnp_nat_chain=prerouting_miniupnpd\n"
               "upnp_nat_postrouting_chain=postrouting_miniupnpd\n"
               "allow 1024-65535 192.168.77.0/24 1024-65535\ndeny 0-65535 0.0.0.0/0 0-65535\n";
        daemon_ = std::make_unique<NetnsProcess>(
            router,
            std::vector<std::string>{kMiniupnpd, "-f", config_path(), "-d", "-P", pid_path()});
        // The last line it writes once every service listens.
        return daemon_->wait_for(config_.natpmp ? "Listening for NAT-PMP/PCP traffic"
                                                : "HTTP listening on port");
    }

    NetnsLab lab_;
    RouterConfig config_;
    std::unique_ptr<NetnsProcess> daemon_;
};

}  // namespace vx::test
