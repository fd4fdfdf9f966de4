#pragma once

// Protocol steps the test scripts: each answers what the test set and counts its calls, so the
// mapper's decisions run without a router and on a fake clock.

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "support/fake_clock.hpp"
#include "support/log_lines.hpp"
#include "traversal/router/port_mapper.hpp"
#include "traversal/router/port_mapper_steps.hpp"

namespace vx::network::test {

struct SoapCall {
    std::string control_url;
    std::uint16_t external_port = 0;
    std::uint32_t lease_s = 0;
    std::string lan_address;
};

inline SoapResult soap_ok() {
    SoapResult result;
    result.ok = true;
    result.http_status = 200;
    return result;
}

inline SoapResult soap_error(std::int32_t code, std::string description) {
    SoapResult result;
    result.http_status = 500;
    result.error_code = code;
    result.error_description = std::move(description);
    return result;
}

inline IgdInfo gateway_igd(const std::string& wan,
                           const std::string& control_url = "http://192.168.77.1:5000/ctl/IPConn") {
    IgdInfo info;
    info.found = true;
    info.control_url = control_url;
    info.service_type = "urn:schemas-upnp-org:service:WANIPConnection:2";
    info.lan_address = "192.168.77.20";
    info.wan_address = wan;
    return info;
}

struct ScriptedSteps final : PortMapperSteps {
    // What the steps answer; a test changes these between calls.
    IgdInfo igd;
    std::string igd_error = "no SSDP response from an InternetGatewayDevice";
    std::function<SoapResult(const SoapCall&)> add = [](const SoapCall&) { return soap_ok(); };
    SoapResult delete_answer = soap_ok();
    SoapResult entry_answer = soap_ok();
    std::string gateway = "192.168.77.1";
    std::optional<std::string> lan_address = "192.168.77.20";
    bool natpmp_answers = false;
    std::string natpmp_wan = "100.128.0.2";
    std::string natpmp_silence = "no response from gateway";
    std::function<bool(std::uint16_t, NatPmpMapResponse&, std::string&)> natpmp_mapper;
    std::function<bool(std::uint16_t, const PcpNonce&, PcpMapResponse&, std::string&)> pcp_mapper;
    bool delete_ok = true;

    // A PCP server that grants each port where `place` puts it (external address and port).
    using PcpPlace = std::pair<std::string, std::uint16_t>;
    void pcp_grants(std::function<PcpPlace(std::uint16_t)> place, std::uint32_t lifetime_s = 600) {
        pcp_mapper = [place = std::move(place), lifetime_s](std::uint16_t port,
                                                            const PcpNonce& nonce,
                                                            PcpMapResponse& answer, std::string&) {
            answer = {};
            answer.nonce = nonce;
            answer.protocol = 17;
            answer.internal_port = port;
            std::tie(answer.external_address, answer.external_port) = place(port);
            answer.lifetime = lifetime_s;
            return true;
        };
    }

    // What the steps were asked.
    int discoveries = 0;
    std::vector<SoapCall> adds, deletes, entries;
    int natpmp_address_requests = 0;
    std::vector<std::uint16_t> natpmp_maps, natpmp_deletes, pcp_maps, pcp_deletes;
    std::vector<std::uint32_t> natpmp_lifetimes;
    std::vector<PcpNonce> pcp_delete_nonces;
    int nonces = 0;

    int total_calls() const {
        return discoveries +
               static_cast<int>(adds.size() + deletes.size() + entries.size() + natpmp_maps.size() +
                                pcp_maps.size()) +
               natpmp_address_requests;
    }

    IgdInfo discover_igd(const DirectPortMapperOptions&, std::string& error) override {
        ++discoveries;
        if (!igd.found)
            error = igd_error;
        return igd;
    }
    SoapResult add_port_mapping(const UpnpService& service, std::uint16_t external_port,
                                std::uint16_t, const std::string& lan, std::uint32_t lease_s,
                                std::int64_t, std::string& error) override {
        adds.push_back({service.control_url, external_port, lease_s, lan});
        return answered(add(adds.back()), error);
    }
    SoapResult delete_port_mapping(const UpnpService& service, std::uint16_t external_port,
                                   std::int64_t, std::string& error) override {
        deletes.push_back({service.control_url, external_port, 0, ""});
        return answered(delete_answer, error);
    }
    SoapResult get_specific_port_mapping_entry(const UpnpService& service,
                                               std::uint16_t external_port, std::int64_t,
                                               std::string& error) override {
        entries.push_back({service.control_url, external_port, 0, ""});
        return answered(entry_answer, error);
    }
    std::string default_gateway() override { return gateway; }
    std::optional<std::string> lan_address_towards_host(const std::string&, std::int64_t) override {
        return lan_address;
    }
    bool natpmp_external_address(const std::string&, const DirectPortMapperOptions&,
                                 std::string& address, std::string& error) override {
        ++natpmp_address_requests;
        if (!natpmp_answers) {
            error = natpmp_silence;
            return false;
        }
        address = natpmp_wan;
        return true;
    }
    bool natpmp_map(const std::string&, std::uint16_t port, std::uint32_t lifetime_s,
                    const DirectPortMapperOptions&, NatPmpMapResponse& answer,
                    std::string& error) override {
        natpmp_maps.push_back(port);
        natpmp_lifetimes.push_back(lifetime_s);
        if (natpmp_mapper)
            return natpmp_mapper(port, answer, error);
        answer = {0, 1, port, port, lifetime_s};
        return true;
    }
    bool natpmp_delete(const std::string&, std::uint16_t port, const DirectPortMapperOptions&,
                       std::string& error) override {
        natpmp_deletes.push_back(port);
        if (!delete_ok)
            error = "no response from gateway";
        return delete_ok;
    }
    PcpNonce pcp_nonce() override {
        PcpNonce nonce{};
        nonce[0] = static_cast<std::uint8_t>(++nonces);
        return nonce;
    }
    bool pcp_map(const std::string&, std::uint16_t port, std::uint32_t, const std::string&,
                 const PcpNonce& nonce, const DirectPortMapperOptions&, PcpMapResponse& answer,
                 std::string& error) override {
        pcp_maps.push_back(port);
        if (pcp_mapper)
            return pcp_mapper(port, nonce, answer, error);
        error = "no response from gateway";
        return false;
    }
    bool pcp_delete(const std::string&, std::uint16_t port, const PcpNonce& nonce,
                    const std::string&, const DirectPortMapperOptions&, std::string&) override {
        pcp_deletes.push_back(port);
        pcp_delete_nonces.push_back(nonce);
        return true;
    }

  private:
    // A result without an HTTP status stands for a router that did not answer at all.
    static SoapResult answered(const SoapResult& result, std::string& error) {
        if (!result.ok)
            error = result.http_status == 0 ? "no HTTP response" : describe_upnp_error(result);
        return result;
    }
};

// A mapper over scripted steps on a fake clock, made when a test first asks for it.
class ScriptedMapperTest : public ::testing::Test {
  protected:
    DirectPortMapper& mapper() {
        if (!mapper_)
            mapper_ =
                std::make_unique<DirectPortMapper>(DirectPortMapperOptions{}, script, clock.fn());
        return *mapper_;
    }
    void destroy() { mapper_.reset(); }

    vx::test::FakeClock clock;
    vx::test::LogLines logs;
    // Shared with the mapper, so the test still reads it after the mapper is gone.
    std::shared_ptr<ScriptedSteps> script = std::make_shared<ScriptedSteps>();
    ScriptedSteps* steps = script.get();

  private:
    std::unique_ptr<DirectPortMapper> mapper_;
};

}  // namespace vx::network::test
