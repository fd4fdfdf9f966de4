#include "traversal/router/http/url.hpp"

#include <gtest/gtest.h>

namespace vx::network {
namespace {

TEST(RouterUrl, ParsesWhatGatewaysWrite) {
    struct Case {
        const char* text;
        const char* scheme;
        const char* host;
        std::uint16_t port;
        const char* authority;
        const char* path;
    };
    const Case cases[] = {
        {"http://192.168.1.1:5000/rootDesc.xml", "http", "192.168.1.1", 5000, "192.168.1.1:5000",
         "/rootDesc.xml"},
        {"http://192.168.1.1", "http", "192.168.1.1", 80, "192.168.1.1", "/"},
        {"HTTP://[fe80::1]:80/x", "http", "fe80::1", 80, "[fe80::1]:80", "/x"},
        {"http://[fe80::1]/x", "http", "fe80::1", 80, "[fe80::1]", "/x"},
        {"http://admin@10.0.0.1:8080/a", "http", "10.0.0.1", 8080, "10.0.0.1:8080", "/a"},
        {"http://u:p@w@10.0.0.1/a", "http", "10.0.0.1", 80, "10.0.0.1", "/a"},
        {"https://router.lan/x", "https", "router.lan", 443, "router.lan", "/x"},
        {"http://10.0.0.1?q=1", "http", "10.0.0.1", 80, "10.0.0.1", "?q=1"},
        {"http://10.0.0.1#frag", "http", "10.0.0.1", 80, "10.0.0.1", "#frag"},
        {"http://10.0.0.1:65535/", "http", "10.0.0.1", 65535, "10.0.0.1:65535", "/"},
    };
    for (const auto& c : cases) {
        const ParsedUrl url = parse_url(c.text);
        ASSERT_TRUE(url.valid) << c.text;
        EXPECT_EQ(url.scheme, c.scheme) << c.text;
        EXPECT_EQ(url.host, c.host) << c.text;
        EXPECT_EQ(url.port, c.port) << c.text;
        EXPECT_EQ(url.authority, c.authority) << c.text;
        EXPECT_EQ(url.path, c.path) << c.text;
    }
}

TEST(RouterUrl, RefusesBrokenUrls) {
    for (const char* text : {"", "h:", "192.168.1.1/x", "ftp://10.0.0.1/", "http:///x",
                             "http://:80/x", "http://10.0.0.1:0/", "http://10.0.0.1:65536/",
                             "http://10.0.0.1:/", "http://10.0.0.1:000080/", "http://10.0.0.1:8a/",
                             "http://[fe80::1/x", "http://[]:80/", "http://user@/x"}) {
        EXPECT_FALSE(parse_url(text).valid) << text;
    }
}

TEST(RouterUrl, ResolvesReferencesAgainstTheDescription) {
    const std::string base = "http://10.0.0.1:1900/igd/desc.xml";
    struct Case {
        const char* reference;
        const char* expected;
    };
    const Case cases[] = {
        {"ctl/IPConn", "http://10.0.0.1:1900/igd/ctl/IPConn"},
        {"../ctl", "http://10.0.0.1:1900/ctl"},
        {"/ctl", "http://10.0.0.1:1900/ctl"},
        {"//10.0.0.2/x", "http://10.0.0.2/x"},
        {"http://10.0.0.3/abs", "http://10.0.0.3/abs"},
        {"HTTPS://10.0.0.3/abs", "HTTPS://10.0.0.3/abs"},
        {"", "http://10.0.0.1:1900/igd/desc.xml"},
        {"./a/./b/../c", "http://10.0.0.1:1900/igd/a/c"},
        {"../../../../x", "http://10.0.0.1:1900/x"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(resolve_url(base, c.reference), c.expected) << c.reference;
    EXPECT_EQ(resolve_url("http://10.0.0.1/a/b?x=/y/z#f", "c"), "http://10.0.0.1/a/c");
    EXPECT_EQ(resolve_url("http://10.0.0.1", "c"), "http://10.0.0.1/c");
    EXPECT_EQ(resolve_url("not a url", "ctl"), "ctl");
}

TEST(RouterUrl, RemovesDotSegments) {
    struct Case {
        const char* path;
        const char* expected;
    };
    const Case cases[] = {
        {"/a/b/../c", "/a/c"}, {"/a/./b/", "/a/b"}, {"/../..", "/"}, {"", "/"},
        {"a//b", "a/b"},       {"/", "/"},          {"/a/..", "/"},  {"x/../../y", "y"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(remove_dot_segments(c.path), c.expected) << c.path;
}

}  // namespace
}  // namespace vx::network
