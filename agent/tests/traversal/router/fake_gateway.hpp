#pragma once

// A home router on loopback: SSDP answers, the device description and the WAN connection
// service over HTTP/SOAP, and NAT-PMP and PCP on UDP, each with counters the tests assert on.

#include <arpa/inet.h>

#include <array>
#include <atomic>
#include <map>

#include "traversal/router/loopback_peers.hpp"
#include "traversal/router/pcp_codec.hpp"

namespace vx::network::test {

// An SSDP answer to the IGD:1 search from a gateway whose description is at `location`.
inline std::string igd_answer(const std::string& location) {
    return "HTTP/1.1 200 OK\r\nST: urn:schemas-upnp-org:device:InternetGatewayDevice:1\r\nUSN: "
           "uuid:x::urn:schemas-upnp-org:device:InternetGatewayDevice:1\r\nLOCATION: " +
           location + "\r\n\r\n";
}

class FakeGateway {
  public:
    struct Options {
        std::string wan = "100.128.0.2";
        bool upnp = true;                         // answers SSDP and serves the IGD
        bool natpmp = true;                       // answers NAT-PMP (version 0)
        bool pcp = true;                          // answers PCP (version 2)
        std::uint32_t max_lifetime = 86400;       // NAT-PMP and PCP grants are cut to this
        std::vector<std::string> lan_noise;       // SSDP answers sent before the gateway's own
        std::string control_url = "/ctl/IPConn";  // as written in the description
        // On loopback by default. With a LAN address (inside a test's namespace) the gateway
        // also hears the real SSDP multicast group on port 1900.
        std::string address = "127.0.0.1";
        // Not empty: GetExternalIPAddress answers UPnP error 501 with this errorDescription.
        std::string wan_fault;
    };
    struct Counters {
        std::atomic<int> searches{0}, descriptions{0}, get_external{0}, adds{0}, deletes{0},
            entries{0}, gateway_datagrams{0}, natpmp_address{0}, natpmp_map{0}, pcp_map{0};
    };
    struct Entry {
        std::string client;      // UPnP: NewInternalClient
        std::uint16_t port = 0;  // UPnP: internal port; NAT-PMP/PCP: external port
        std::uint32_t lifetime = 0;
    };

    explicit FakeGateway(Options options)
        : options_(std::move(options)),
          ssdp_(SOCK_DGRAM, on_lan() ? "0.0.0.0" : options_.address.c_str(), on_lan() ? 1900 : 0),
          gateway_(SOCK_DGRAM, options_.address.c_str()),
          listener_(SOCK_STREAM, options_.address.c_str()) {
        if (on_lan()) {
            ip_mreq group{};
            ::inet_pton(AF_INET, "239.255.255.250", &group.imr_multiaddr);
            ::inet_pton(AF_INET, options_.address.c_str(), &group.imr_interface);
            ::setsockopt(ssdp_.fd(), IPPROTO_IP, IP_ADD_MEMBERSHIP, &group, sizeof group);
        }
        udp_.start({ssdp_.fd(), gateway_.fd()}, [this](int fd) { serve_datagram(fd); });
        http_.start({listener_.fd()}, [this](int fd) { serve_http(fd); });
    }
    ~FakeGateway() {
        udp_.stop();
        http_.stop();
    }

    RouterScope scope() const {
        RouterScope scope;
        scope.ssdp_destinations = {{asio::ip::make_address_v4("127.0.0.1"), ssdp_.port()}};
        scope.gateway = "127.0.0.1";
        scope.gateway_port = gateway_.port();
        scope.gateway_on_loopback = true;
        return scope;
    }
    std::string location() const {
        return "http://" + options_.address + ":" + std::to_string(listener_.port()) +
               "/rootDesc.xml";
    }
    Counters& counters() { return counters_; }
    // The UPnP table by external port, and NAT-PMP/PCP's by internal port.
    std::map<std::uint16_t, Entry> upnp_table() const {
        std::lock_guard lock(mutex_);
        return upnp_;
    }
    std::map<std::uint16_t, Entry> gateway_table() const {
        std::lock_guard lock(mutex_);
        return gateway_map_;
    }
    // Another LAN host's forwarding of an external port.
    void hold(std::uint16_t external_port, const std::string& client) {
        std::lock_guard lock(mutex_);
        upnp_[external_port] = {client, external_port, 0};
    }

  private:
    using Bytes = std::vector<std::uint8_t>;

    bool on_lan() const { return options_.address != "127.0.0.1"; }

    void serve_datagram(int fd) {
        std::array<char, 2048> buffer{};
        sockaddr_in from{};
        socklen_t size = sizeof from;
        const ssize_t got = ::recvfrom(fd, buffer.data(), buffer.size(), 0,
                                       reinterpret_cast<sockaddr*>(&from), &size);
        if (got <= 0)
            return;
        const std::string datagram(buffer.data(), static_cast<std::size_t>(got));
        if (fd == gateway_.fd())
            ++counters_.gateway_datagrams;
        std::vector<std::string> replies =
            fd == ssdp_.fd() ? ssdp_replies(datagram) : gateway_replies(datagram);
        for (const auto& reply : replies)
            ::sendto(fd, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&from), size);
    }

    std::vector<std::string> ssdp_replies(const std::string& search) {
        ++counters_.searches;
        if (!options_.upnp)
            return {};
        const auto at = search.find("\r\nST: ") + 6;
        const std::string st = search.substr(at, search.find("\r\n", at) - at);
        std::vector<std::string> replies = options_.lan_noise;
        replies.push_back("HTTP/1.1 200 OK\r\nST: " + st + "\r\nUSN: uuid:fake::" + st +
                          "\r\nLOCATION: " + location() + "\r\n\r\n");
        return replies;
    }

    std::vector<std::string> gateway_replies(const std::string& datagram) {
        const Bytes request(datagram.begin(), datagram.end());
        if (request.size() == 2 && request[0] == 0 && request[1] == 0 && options_.natpmp) {
            ++counters_.natpmp_address;
            Bytes answer{0, 128, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0};
            ::inet_pton(AF_INET, options_.wan.c_str(), &answer[8]);
            return {std::string(answer.begin(), answer.end())};
        }
        if (request.size() == 12 && request[0] == 0 && request[1] == 1 && options_.natpmp)
            return {natpmp_map_reply(request)};
        if (request.size() == 60 && request[0] == 2 && request[1] == 1 && options_.pcp)
            return {pcp_map_reply(request)};
        return {};
    }

    std::uint32_t grant(std::uint16_t internal, std::uint16_t external, std::uint32_t lifetime) {
        std::lock_guard lock(mutex_);
        if (lifetime == 0) {
            gateway_map_.erase(internal);
            return 0;
        }
        const std::uint32_t granted = std::min(lifetime, options_.max_lifetime);
        gateway_map_[internal] = {"", external, granted};
        return granted;
    }

    std::string natpmp_map_reply(const Bytes& request) {
        ++counters_.natpmp_map;
        const std::uint16_t internal = read_u16(request, 4);
        const std::uint16_t suggested = read_u16(request, 6);
        const std::uint32_t granted = grant(internal, suggested, read_u32(request, 8));
        Bytes answer(16, 0);
        answer[1] = 129;
        write_u32(&answer[4], 1);
        write_u16(&answer[8], internal);
        write_u16(&answer[10], granted == 0 ? 0 : suggested);
        write_u32(&answer[12], granted);
        return std::string(answer.begin(), answer.end());
    }

    std::string pcp_map_reply(const Bytes& request) {
        ++counters_.pcp_map;
        const std::uint16_t internal = read_u16(request, 40);
        const std::uint16_t suggested = read_u16(request, 42);
        const std::uint32_t granted = grant(internal, suggested, read_u32(request, 4));
        Bytes answer(request.begin(), request.end());
        answer[1] = 0x81;
        answer[3] = 0;
        write_u32(&answer[4], granted);
        write_u32(&answer[8], 1);
        std::fill(answer.begin() + 12, answer.begin() + 24, 0);
        answer[54] = answer[55] = 0xFF;
        ::inet_pton(AF_INET, options_.wan.c_str(), &answer[56]);
        return std::string(answer.begin(), answer.end());
    }

    void serve_http(int listener) {
        const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            return;
        const std::string request = read_request(fd);
        const auto [status, body] = route(request);
        send_all(fd, "HTTP/1.1 " + status + "\r\nContent-Type: text/xml\r\nContent-Length: " +
                         std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
        ::close(fd);
    }

    std::pair<std::string, std::string> route(const std::string& request) {
        if (request.starts_with("GET /rootDesc.xml ") && options_.upnp) {
            ++counters_.descriptions;
            return {"200 OK", description()};
        }
        const auto hash = request.find('#');
        if (!request.starts_with("POST ") || hash == std::string::npos)
            return {"404 Not Found", ""};
        const std::string action = request.substr(hash + 1, request.find('"', hash) - hash - 1);
        return soap(action, request.substr(request.find("\r\n\r\n") + 4));
    }

    std::string description() const {
        return "<?xml version=\"1.0\"?><root><device><deviceType>urn:schemas-upnp-org:device:"
               "InternetGatewayDevice:2</deviceType><serviceList><service><serviceType>urn:"
               "schemas-upnp-org:service:WANIPConnection:2</serviceType><controlURL>" +
               options_.control_url + "</controlURL></service></serviceList></device></root>";
    }

    static std::pair<std::string, std::string> fault(int code, const std::string& text) {
        return {"500 Internal Server Error",
                "<s:Envelope><s:Body><s:Fault><faultstring>UPnPError</faultstring><detail>"
                "<UPnPError><errorCode>" +
                    std::to_string(code) + "</errorCode><errorDescription>" + text +
                    "</errorDescription></UPnPError></detail></s:Fault></s:Body></s:Envelope>"};
    }
    static std::string value(const std::string& body, const char* name) {
        return find_xml_element_text(body, name).value_or("");
    }

    std::pair<std::string, std::string> soap(const std::string& action, const std::string& body) {
        const auto port =
            static_cast<std::uint16_t>(std::atoi(value(body, "NewExternalPort").c_str()));
        std::lock_guard lock(mutex_);
        if (action == "GetExternalIPAddress") {
            ++counters_.get_external;
            if (!options_.wan_fault.empty())
                return fault(501, options_.wan_fault);
            return {"200 OK",
                    "<u:R><NewExternalIPAddress>" + options_.wan + "</NewExternalIPAddress></u:R>"};
        }
        if (action == "AddPortMapping") {
            ++counters_.adds;
            const std::string client = value(body, "NewInternalClient");
            const auto lease =
                static_cast<std::uint32_t>(std::atol(value(body, "NewLeaseDuration").c_str()));
            if (upnp_.count(port) != 0 && upnp_[port].client != client)
                return fault(718, "ConflictInMappingEntry");
            upnp_[port] = {
                client,
                static_cast<std::uint16_t>(std::atoi(value(body, "NewInternalPort").c_str())),
                lease};
            return {"200 OK", "<u:AddPortMappingResponse/>"};
        }
        if (action == "DeletePortMapping") {
            ++counters_.deletes;
            return upnp_.erase(port) == 0 ? fault(714, "NoSuchEntryInArray")
                                          : std::pair<std::string, std::string>{"200 OK", ""};
        }
        if (action == "GetSpecificPortMappingEntry") {
            ++counters_.entries;
            if (upnp_.count(port) == 0)
                return fault(714, "NoSuchEntryInArray");
            return {"200 OK",
                    "<u:R><NewInternalClient>" + upnp_[port].client + "</NewInternalClient></u:R>"};
        }
        return fault(401, "Invalid Action");
    }

    Options options_;
    Counters counters_;
    LoopbackSocket ssdp_;
    LoopbackSocket gateway_;
    LoopbackSocket listener_;
    mutable std::mutex mutex_;
    std::map<std::uint16_t, Entry> upnp_;
    std::map<std::uint16_t, Entry> gateway_map_;
    PollThread udp_;
    PollThread http_;
};

// A router on the namespace lab's LAN (192.168.77.1) whose WAN address lies in carrier-grade NAT
// space, where miniupnpd will not run: it answers UPnP only.
inline FakeGateway::Options carrier_grade_lan_router() {
    FakeGateway::Options options;
    options.address = "192.168.77.1";
    options.wan = "100.64.12.34";
    options.natpmp = options.pcp = false;
    return options;
}

}  // namespace vx::network::test
