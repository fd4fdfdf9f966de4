#include <gtest/gtest.h>

#include "backend/connector/dispatch_address.hpp"
#include "connector_test_support.hpp"
#include "log_capture.hpp"
#include "util/address.hpp"

namespace vx::network {
namespace {

TEST(PublicAddress, Ipv4Table) {
    for (const char* yes : {"1.2.3.4", "8.8.8.8", "192.0.1.0", "191.255.255.255", "100.63.255.255",
                            "100.128.0.0", "172.15.255.255", "172.32.0.0", "198.17.255.255",
                            "198.20.0.0", "223.255.255.255", "11.0.0.0"}) {
        EXPECT_TRUE(is_public_address(yes)) << yes;
    }
    for (const char* no : {"0.0.0.0",         "0.1.2.3",      "10.1.2.3",       "100.64.0.1",
                           "100.127.255.255", "127.0.0.1",    "169.254.1.1",    "172.16.0.1",
                           "172.31.255.255",  "192.0.0.1",    "192.0.0.9",      "192.0.0.10",
                           "192.0.0.11",      "192.0.2.5",    "192.168.1.1",    "198.18.0.1",
                           "198.19.255.255",  "198.51.100.1", "203.0.113.9",    "224.0.0.1",
                           "239.255.255.255", "240.0.0.1",    "255.255.255.255"}) {
        EXPECT_FALSE(is_public_address(no)) << no;
    }
}

// The relayed launcher address and the observed address of this PC are judged by one table:
// the two once disagreed on 192.0.0.9 and 192.0.0.10.
TEST(PublicAddress, Ipv4AgreesWithTheAddressClasses) {
    int checked = 0;
    for (int a = 0; a < 256; ++a) {
        for (int b : {0, 1, 2, 15, 16, 31, 32, 51, 63, 64, 127, 128, 167, 168, 169, 254, 255}) {
            for (int c : {0, 1, 2, 100, 113, 255}) {
                for (int d : {0, 1, 9, 10, 11, 255}) {
                    const std::string v4 = std::to_string(a) + "." + std::to_string(b) + "." +
                                           std::to_string(c) + "." + std::to_string(d);
                    const bool expected = util::is_public_ipv4(v4);
                    ASSERT_EQ(is_public_address(v4), expected) << v4;
                    ASSERT_EQ(is_public_address("::ffff:" + v4), expected) << v4;
                    ++checked;
                }
            }
        }
    }
    EXPECT_EQ(checked, 256 * 17 * 6 * 6);
}

TEST(PublicAddress, Ipv6Table) {
    for (const char* yes :
         {"2001:1::1", "2001:1::2", "2001:3::5", "2001:4:112::1", "2001:20::1", "2001:2f:ffff::1",
          "2001:30::1", "2a00:1450::1", "fec0::1", "::ffff:1.2.3.4", "2001:200::1", "64:ff9b::1"}) {
        EXPECT_TRUE(is_public_address(yes)) << yes;
    }
    for (const char* no :
         {"::1", "::", "::ffff:192.168.1.1", "::ffff:100.64.0.1", "fe80::1", "febf::1", "fc00::1",
          "fd12:3456::1", "ff02::1", "2001:2::1", "2001:1::3", "2001:db8::1", "2002:c000:204::1",
          "3fff::1", "64:ff9b:1::1", "100::1", "2001:4:113::1", "2001:1ff::1"}) {
        EXPECT_FALSE(is_public_address(no)) << no;
    }
}

TEST(PublicAddress, TextsThatAreNotAddresses) {
    for (const char* no : {"", "example.com", "1.2.3", "1.2.3.4.5", "01.2.3.4", "1.2.3.4 ",
                           "256.1.1.1", "1.2.3.4:80", "[2001:1::1]"}) {
        EXPECT_FALSE(is_public_address(no)) << no;
    }
}

struct CandidateRig : test::ConnectorRig {
    CandidateRig() {
        connector.set_on_prepare_session([](const PrepareSessionParams&) {});
        connector.set_on_client_candidate(
            [this](std::string host, std::uint16_t port) { got.emplace_back(host, port); });
        connector.handle_message(R"({"type":"prepare_session","session_id":"s-1"})");
    }
    void candidate(const std::string& session_id, const std::string& candidate) {
        connector.handle_message(R"({"type":"client_candidate","session_id":")" + session_id +
                                 R"(","candidate":)" + candidate + "}");
    }
    std::vector<std::pair<std::string, std::uint16_t>> got;
};

TEST(ClientCandidate, ValidCandidateOfTheCurrentSessionReachesTheDriver) {
    test::LogCapture log;
    CandidateRig rig;
    rig.candidate("s-1", R"({"ip":"198.51.99.7","port":50000})");
    ASSERT_EQ(rig.got.size(), 1u);
    EXPECT_EQ(rig.got[0], std::make_pair(std::string("198.51.99.7"), std::uint16_t{50000}));
    EXPECT_TRUE(log.has("client_candidate: relaying media to 198.51.99.7:50000"));
}

TEST(ClientCandidate, ChecksComeInOrderSessionObjectAddressPortFamily) {
    test::LogCapture log;
    CandidateRig rig;
    rig.candidate("s-0", R"({"ip":"10.1.2.3","port":0})");
    EXPECT_TRUE(log.has("client_candidate for foreign session 's-0' (active 's-1') — dropped"));
    rig.candidate("", R"({"ip":"1.2.3.4","port":1})");
    EXPECT_TRUE(log.has("foreign session '<none>' (active 's-1')"));
    rig.candidate("s-1", R"("1.2.3.4:5")");
    EXPECT_TRUE(log.has("client_candidate without a candidate object — dropped"));
    rig.connector.handle_message(R"({"type":"client_candidate","session_id":"s-1"})");
    EXPECT_EQ(log.count("without a candidate object"), 2u);
    // The address is judged before the port.
    rig.candidate("s-1", R"({"ip":"10.1.2.3","port":70000})");
    EXPECT_TRUE(log.has("client_candidate with non-public IP '10.1.2.3' — dropped"));
    rig.candidate("s-1", R"({"port":5})");
    EXPECT_TRUE(log.has("non-public IP '' — dropped"));
    for (const char* port :
         {"0", "-1", "70000", "65536", "4294967297", "1e+300", "18446744073709551615"}) {
        rig.candidate("s-1", std::string(R"({"ip":"1.2.3.4","port":)") + port + "}");
        EXPECT_TRUE(
            log.has(std::string("client_candidate with invalid port ") + port + " — dropped"))
            << port;
    }
    rig.candidate("s-1", R"({"ip":"1.2.3.4"})");
    EXPECT_TRUE(log.has("client_candidate with invalid port 0 — dropped"));
    // A public IPv6 address passes the address check but media is IPv4 only.
    rig.candidate("s-1", R"({"ip":"2a00:1450::1","port":5000})");
    EXPECT_TRUE(log.has("client_candidate with non-IPv4 address '2a00:1450::1' — dropped"));
    rig.candidate("s-1", R"({"ip":"::ffff:1.2.3.4","port":5000})");
    EXPECT_TRUE(log.has("non-IPv4 address '::ffff:1.2.3.4'"));
    EXPECT_TRUE(rig.got.empty());
}

TEST(ClientCandidate, WrongTypesDropTheMessageButNotTheConnection) {
    test::LogCapture log;
    CandidateRig rig;
    EXPECT_NO_THROW(rig.candidate("s-1", R"({"ip":1234,"port":5000})"));
    EXPECT_NO_THROW(rig.candidate("s-1", R"({"ip":"1.2.3.4","port":"5000"})"));
    EXPECT_EQ(log.count("malformed 'client_candidate' message dropped"), 2u);
    EXPECT_TRUE(rig.got.empty());
    rig.candidate("s-1", R"({"ip":"1.2.3.4","port":5000.9})");
    EXPECT_EQ(rig.got.size(), 1u);
}

TEST(ClientCandidate, WithoutCallbackWarns) {
    test::LogCapture log;
    test::ConnectorRig rig;
    rig.connector.set_on_prepare_session([](const PrepareSessionParams&) {});
    rig.connector.handle_message(R"({"type":"prepare_session","session_id":"s-1"})");
    rig.connector.handle_message(
        R"({"type":"client_candidate","session_id":"s-1","candidate":{"ip":"1.2.3.4","port":9}})");
    EXPECT_TRUE(log.has("no client_candidate callback installed — relay address ignored"));
}

}  // namespace
}  // namespace vx::network
