// The router transports against peers on loopback: HTTP completion and failures, the SSDP
// search, the NAT-PMP/PCP exchange.
#include <gtest/gtest.h>

#include <chrono>
#include <future>

#include "traversal/router/fake_gateway.hpp"
#include "traversal/router/gateway_exchange.hpp"
#include "traversal/router/http/http_client.hpp"
#include "traversal/router/http/resolve.hpp"
#include "traversal/router/ssdp_search.hpp"
#include "util/error_text.hpp"

namespace vx::network {
namespace {

using test::FakeGateway;
using test::ScriptedHttpPeer;
using Clock = std::chrono::steady_clock;

const std::string kHead200 = "HTTP/1.1 200 OK\r\n";

HttpResult get(const std::string& url, std::int64_t timeout_ms = 5000) {
    return http_request({"GET", url, "", "", timeout_ms});
}

TEST(RouterHttp, StopsReadingOnceTheBodyIsWhole) {
    // The peer keeps the connection open: only the body's own end can finish the read.
    ScriptedHttpPeer peer({{{kHead200 + "Content-Length: 5\r\n\r\n0123456789"}, false},
                           {{kHead200 + "Transfer-Encoding: chunked\r\n\r\n9\r\nab\r\n0\r\n\r\n",
                             "\r\n3\r\nxyz\r\n0\r\n\r\n"},
                            false}});
    const auto start = Clock::now();
    const HttpResult plain = get(peer.url("/d.xml"), 20000);
    EXPECT_TRUE(plain.ok) << plain.error;
    EXPECT_EQ(plain.body, "01234");
    const HttpResult chunked = get(peer.url("/d.xml"), 20000);
    EXPECT_TRUE(chunked.ok) << chunked.error;
    EXPECT_EQ(chunked.body, "ab\r\n0\r\n\r\nxyz");
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(10));  // neither waited for its deadline
}

TEST(RouterHttp, RequestBytes) {
    ScriptedHttpPeer peer({{{kHead200 + "\r\n"}}, {{kHead200 + "\r\n"}}});
    get(peer.url("/rootDesc.xml?x=1"));
    http_request(
        {"POST", peer.url("/ctl"), "urn:x:service:WANIPConnection:1#AddPortMapping", "<b/>", 5000});
    const auto requests = peer.requests();
    ASSERT_EQ(requests.size(), 2u);
    const std::string host = "127.0.0.1:" + std::to_string(peer.port());
    EXPECT_EQ(requests[0], "GET /rootDesc.xml?x=1 HTTP/1.1\r\nHost: " + host +
                               "\r\nUser-Agent: VelmoraAgent/1.0 UPnP/1.1\r\nAccept: */*\r\n"
                               "Connection: close\r\n\r\n");
    EXPECT_EQ(requests[1], "POST /ctl HTTP/1.1\r\nHost: " + host +
                               "\r\nUser-Agent: VelmoraAgent/1.0 UPnP/1.1\r\nAccept: */*\r\n"
                               "Connection: close\r\nContent-Type: text/xml; charset=\"utf-8\"\r\n"
                               "SOAPAction: \"urn:x:service:WANIPConnection:1#AddPortMapping\"\r\n"
                               "Content-Length: 4\r\n\r\n<b/>");
}

TEST(RouterHttp, WhatAPeerCutsShortOrNeverSends) {
    const std::string chunked = kHead200 + "Transfer-Encoding: chunked\r\n\r\n";
    ScriptedHttpPeer peer({
        {{kHead200 + "Content-Length: 10\r\n\r\n01234"}},  // closes mid-body: what arrived
        {{chunked + "5\r\nhello\r\n"}},                    // closes between chunks
        {{chunked + "5\r\nhel"}},                          // closes inside a chunk
        {{}},                                              // closes without a word
        {{}, false},                                       // says nothing until the deadline
        {{kHead200 + "Content-Length: 10\r\n\r\n01"}, false},
        {{kHead200 + "Content-"}, false},  // half a head, then silence
        {{kHead200 + "\r\n" + std::string(600'000, 'x')}},
    });
    struct Case {
        const char* error;
        const char* body;
    };
    const Case cases[] = {
        {"", "01234"},
        {"", "hello"},
        {"malformed HTTP response", ""},
        {"no HTTP response", ""},
        {"no HTTP response", ""},
        {"HTTP response timed out", ""},
        {"HTTP response timed out", ""},
        {"HTTP response too large", ""},
    };
    for (const auto& c : cases) {
        const HttpResult result = get(peer.url(), 300);
        EXPECT_EQ(result.error, c.error);
        EXPECT_EQ(result.body, c.body);
    }
}

TEST(RouterHttp, RefusesUrlsBeforeConnecting) {
    struct Case {
        const char* url;
        const char* error;
    };
    const Case cases[] = {
        {"192.168.1.1/x", "invalid router URL"},
        {"https://192.168.1.1/x", "https router control URL is not supported"},
        {"http://192.168.1.1/a b", "invalid characters in router URL"},
        {"http://192.168.1.1/a\r\nX: y", "invalid characters in router URL"},
        {"http://192.168.1.1/a\"", "invalid characters in router URL"},
        {"http://192.168.1.1/a\x7f", "invalid characters in router URL"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(get(c.url).error, c.error) << c.url;
    test::LoopbackSocket closed(SOCK_DGRAM);  // a port with no TCP listener
    const HttpResult refused = get("http://127.0.0.1:" + std::to_string(closed.port()) + "/");
    EXPECT_EQ(refused.error.rfind("connect: ", 0), 0u) << refused.error;
}

TEST(RouterResolve, NamesThroughTheLookupWithinTheDeadline) {
    using Found = std::optional<asio::ip::tcp::endpoint>;
    const asio::ip::tcp::endpoint answer(asio::ip::make_address("192.168.1.1"), 5000);
    struct Case {
        std::error_code error;
        Found found;
        const char* text;
        std::string host = "router.lan";
    };
    const Case cases[] = {
        {{}, answer, ""},
        {asio::error::host_not_found, {}, "resolve: "},
        {{}, {}, "resolve timeout for router.lan"},
        // The name came from a LAN device's answer: it is quoted defused.
        {{}, {}, "resolve timeout for router?]0;x?.lan", "router\x1b]0;x\x07.lan"},
    };
    for (const Case& c : cases) {
        const NameLookup lookup = [&](const std::string& host, std::uint16_t port, Found& found) {
            EXPECT_EQ(host, c.host);
            EXPECT_EQ(port, 5000);
            found = c.found;
            return c.error;
        };
        asio::ip::tcp::endpoint endpoint;
        std::string error;
        EXPECT_EQ(resolve_with_timeout(c.host, 5000, Clock::now() + std::chrono::seconds(5),
                                       endpoint, error, lookup),
                  c.found.has_value());
        EXPECT_EQ(error.substr(0, std::string(c.text).size()), c.text);
        EXPECT_EQ(endpoint, c.found.value_or(asio::ip::tcp::endpoint{}));
    }
}

// A name server that keeps the lookup waiting (a name a LAN device put in its answer) holds only
// the lookup's own thread: the caller leaves at its deadline, the thread ends when it is answered.
TEST(RouterResolve, ASlowNameServerDoesNotHoldTheCaller) {
    std::promise<void> gate;
    auto finished = std::make_shared<std::promise<void>>();
    std::future<void> lookup_done = finished->get_future();
    const NameLookup stuck = [opened = gate.get_future().share(), finished](
                                 const std::string&, std::uint16_t,
                                 std::optional<asio::ip::tcp::endpoint>&) {
        opened.wait_for(std::chrono::seconds(10));
        finished->set_value();
        return std::error_code(asio::error::host_not_found);
    };
    asio::ip::tcp::endpoint endpoint;
    std::string error;
    EXPECT_FALSE(resolve_with_timeout("slow.example", 5000,
                                      Clock::now() + std::chrono::milliseconds(50), endpoint, error,
                                      stuck));
    EXPECT_EQ(lookup_done.wait_for(std::chrono::seconds(0)), std::future_status::timeout);
    EXPECT_EQ(error, "resolve: " + util::describe_error(asio::error::operation_aborted));
    gate.set_value();
    lookup_done.wait();
}

TEST(RouterSsdp, TheGatewayIsTriedFirstOnACrowdedLan) {
    FakeGateway::Options options;
    for (int i = 0; i < 20; ++i) {
        options.lan_noise.push_back("HTTP/1.1 200 OK\r\nST: upnp:rootdevice\r\nUSN: uuid:media" +
                                    std::to_string(i) +
                                    "::upnp:rootdevice\r\nLOCATION: http://192.168.1." +
                                    std::to_string(100 + i) + ":8200/desc.xml\r\n\r\n");
    }
    FakeGateway gateway(options);
    std::vector<IgdCandidate> tried;
    const GatewayTry works = [&](const IgdCandidate& candidate, std::int64_t, std::string&) {
        tried.push_back(candidate);
        return true;
    };
    std::string error;
    // The wait is only a bound: the gateway's success ends the search.
    ASSERT_TRUE(search_igd(10'000, gateway.scope(), works, error)) << error;
    ASSERT_EQ(tried.size(), 1u);
    EXPECT_EQ(tried[0].location, gateway.location());
    EXPECT_EQ(igd_candidate_score(tried[0]), 3);
    // No second burst: the success ended the search (the fake may still be reading the first).
    EXPECT_LE(gateway.counters().searches.load(), 3);
}

TEST(RouterSsdp, SilenceEndsAtTheWait) {
    FakeGateway::Options options;
    options.upnp = false;
    FakeGateway gateway(options);
    const GatewayTry never = [](const IgdCandidate&, std::int64_t, std::string&) {
        ADD_FAILURE() << "nothing answered, so nothing is tried";
        return false;
    };
    std::string error;
    EXPECT_FALSE(search_igd(0, gateway.scope(), never, error));  // the wait's floor: 200 ms
    EXPECT_EQ(error, "no SSDP response from an InternetGatewayDevice");
}

asio::ip::udp::endpoint loopback(std::uint16_t port) {
    return {asio::ip::make_address_v4("127.0.0.1"), port};
}

TEST(RouterGatewayExchange, AttemptsAreClampedAndSilenceIsReported) {
    FakeGateway::Options options;
    options.natpmp = options.pcp = false;
    FakeGateway gateway(options);
    const auto request = build_natpmp_address_request();
    for (const auto& [asked, sent] : {std::pair{0, 1}, std::pair{9, 5}}) {
        DirectPortMapperOptions mapper_options;
        mapper_options.gateway_timeout_ms = 0;  // the floor: 50 ms an attempt
        mapper_options.attempts = asked;
        std::vector<std::uint8_t> answer;
        std::string error;
        const int before = gateway.counters().gateway_datagrams.load();
        EXPECT_FALSE(gateway_udp_exchange(loopback(gateway.scope().gateway_port), request,
                                          gateway_settings(mapper_options, 0), answer, error));
        EXPECT_EQ(error, "no response from gateway");
        // Each attempt waited 50 ms after its send: the datagrams are long in.
        EXPECT_EQ(gateway.counters().gateway_datagrams.load() - before, sent) << asked;
    }
}

TEST(RouterGatewayExchange, IcmpPortUnreachableEndsAtOnce) {
    test::LoopbackSocket closed(SOCK_STREAM);  // its UDP twin port is free: nothing answers
    DirectPortMapperOptions options;
    options.gateway_timeout_ms = 5000;
    std::vector<std::uint8_t> answer;
    std::string error;
    const auto start = Clock::now();
    EXPECT_FALSE(gateway_udp_exchange(loopback(closed.port()), build_natpmp_address_request(),
                                      gateway_settings(options, 0), answer, error));
    EXPECT_EQ(error, "gateway refused the request");
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
}

TEST(RouterGatewayExchange, NatPmpAndPcpOperationsAgainstTheFake) {
    FakeGateway::Options options;
    options.max_lifetime = 20;
    FakeGateway gateway(options);
    const GatewaySettings settings = gateway_settings({}, gateway.scope().gateway_port);
    std::string address, error;
    ASSERT_TRUE(natpmp_external_address("127.0.0.1", settings, address, error)) << error;
    EXPECT_EQ(address, "100.128.0.2");
    NatPmpMapResponse mapped;
    ASSERT_TRUE(natpmp_map("127.0.0.1", 48002, 600, settings, mapped, error)) << error;
    EXPECT_EQ(mapped.external_port, 48002);
    EXPECT_EQ(mapped.lifetime, 20u);
    EXPECT_EQ(gateway.gateway_table().count(48002), 1u);
    ASSERT_TRUE(natpmp_delete("127.0.0.1", 48002, settings, error)) << error;
    EXPECT_EQ(gateway.gateway_table().count(48002), 0u);

    const PcpNonce nonce = pcp_nonce();
    PcpMapResponse pcp;
    ASSERT_TRUE(pcp_map("127.0.0.1", 48004, 600, "127.0.0.1", nonce, settings, pcp, error))
        << error;
    EXPECT_EQ(pcp.external_address, "100.128.0.2");
    EXPECT_EQ(pcp.lifetime, 20u);
    ASSERT_TRUE(pcp_delete("127.0.0.1", 48004, nonce, "127.0.0.1", settings, error)) << error;
    EXPECT_EQ(gateway.gateway_table().count(48004), 0u);
    EXPECT_FALSE(natpmp_delete("", 1, settings, error));
    EXPECT_EQ(error, "no gateway");
}

}  // namespace
}  // namespace vx::network
