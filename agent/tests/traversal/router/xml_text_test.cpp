#include "traversal/router/http/xml_text.hpp"

#include <gtest/gtest.h>

#include "traversal/router/device_description.hpp"

namespace vx::network {
namespace {

TEST(XmlEntities, DecodesTheKnownAndKeepsTheRest) {
    struct Case {
        const char* text;
        std::string decoded;
    };
    const Case cases[] = {
        {"a &lt; b &amp;&amp; c", "a < b && c"},
        {"&#65;&#x42;&#X43;", "ABC"},
        {"&#233;", "?"},
        {"&copy; &;", "&copy; &;"},
        {"& b", "& b"},
        {"tail &", "tail &"},
        {"&#xZZ;", std::string(1, '\0')},
        {"&#;", std::string(1, '\0')},
        {"&#x;", std::string(1, '\0')},
        {"&quot;&apos;&gt;", "\"'>"},
        {"&#99999999;", "?"},  // saturates, never wraps to a small code
        {"&#xFFFFFFF;", "?"},
        {"&#0000000065;", "&#0000000065;"},  // ';' too far: copied as written
        {"&amp;lt;", "&lt;"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(decode_xml_entities(c.text), c.decoded) << c.text;
}

TEST(XmlElementText, FindsByLocalNameInAnyCase) {
    const std::string soap =
        "<?xml version=\"1.0\"?><s:Envelope><s:Body><m:GetExternalIPAddressResponse "
        "xmlns:m=\"urn:x\"><m:NewExternalIPAddress> 203.0.113.9 </m:NewExternalIPAddress>"
        "</m:GetExternalIPAddressResponse></s:Body></s:Envelope>";
    EXPECT_EQ(find_xml_element_text(soap, "newexternalipaddress"), "203.0.113.9");
    EXPECT_EQ(find_xml_element_text("<a x='>' y=\"<\">v&amp;w</a>", "A"), "v&w");
    EXPECT_EQ(find_xml_element_text("<a/>", "a"), std::nullopt);
    EXPECT_EQ(find_xml_element_text("<a/><a>late</a>", "a"), "late");
    EXPECT_EQ(find_xml_element_text("<a>open", "a"), std::nullopt);
    EXPECT_EQ(find_xml_element_text("<b>x</b>", "a"), std::nullopt);
    EXPECT_EQ(find_xml_element_text("<!-- <a>no</a> --><a>yes</a>", "a"), "yes");
    EXPECT_EQ(find_xml_element_text("<x><![CDATA[<a>no</a>]]></x><a>yes</a>", "a"), "yes");
    EXPECT_EQ(find_xml_element_text("<a>unterminated <b", "a"), std::nullopt);
}

TEST(XmlElementText, HostileInputCostsOneLinearPass) {
    // Many opening tags with no closing one, tags whose quote never ends, and text of '&' with
    // no ';': a scanner or decoder that searched forward from each of them would take time
    // quadratic in their number (seconds here, the mapper's lock held all along).
    std::string opens;
    for (int i = 0; i < 50000; ++i)
        opens += "<errorCode>";
    std::string quotes;
    for (int i = 0; i < 50000; ++i)
        quotes += "<a b=\"";
    EXPECT_EQ(find_xml_element_text(opens, "errorCode"), std::nullopt);
    EXPECT_EQ(find_xml_element_text(quotes, "a"), std::nullopt);
    EXPECT_EQ(parse_device_description(opens + quotes).services.size(), 0u);
    const std::string amps(500'000, '&');
    EXPECT_EQ(parse_device_description("<friendlyName>" + amps + "</friendlyName>").friendly_name,
              amps);
    EXPECT_EQ(find_xml_element_text("<errorCode>" + amps + "</errorCode>", "errorCode"), amps);
}

TEST(XmlScanner, CdataEndsAtItsOwnTerminator) {
    XmlScanner scanner("<x><![CDATA[a>b]>c]]></x>");
    XmlToken token;
    ASSERT_TRUE(scanner.next(token));
    EXPECT_EQ(token.kind, XmlToken::Kind::open);
    ASSERT_TRUE(scanner.next(token));
    EXPECT_EQ(token.kind, XmlToken::Kind::cdata);
    EXPECT_EQ(token.content, "a>b]>c");
    ASSERT_TRUE(scanner.next(token));
    EXPECT_EQ(token.kind, XmlToken::Kind::close);
    EXPECT_FALSE(scanner.next(token));
}

const char* kTwoServices = R"(<?xml version="1.0"?>
<root xmlns="urn:schemas-upnp-org:device-1-0"><device>
 <friendlyName>Outer &amp; Co</friendlyName>
 <serviceList><service>
  <serviceType>urn:schemas-upnp-org:service:WANPPPConnection:1</serviceType>
  <serviceId>urn:upnp-org:serviceId:WANPPPConn1</serviceId>
  <controlURL>/ppp</controlURL><SCPDURL>/ppp.xml</SCPDURL>
 </service><s:service>
  <S:SERVICETYPE>urn:schemas-upnp-org:service:WANIPConnection:1</S:SERVICETYPE>
  <s:ControlURL><![CDATA[/ctl?a=1&b=2]]></s:ControlURL>
 </s:service></serviceList>
 <friendlyName>Inner</friendlyName>
</device></root>)";

TEST(DeviceDescription, ReadsServicesWithPrefixesCaseAndCdata) {
    const DeviceDescription description = parse_device_description(kTwoServices);
    EXPECT_EQ(description.friendly_name, "Inner");
    ASSERT_EQ(description.services.size(), 2u);
    EXPECT_EQ(description.services[0].service_id, "urn:upnp-org:serviceId:WANPPPConn1");
    EXPECT_EQ(description.services[0].scpd_url, "/ppp.xml");
    EXPECT_EQ(description.services[1].control_url, "/ctl?a=1&b=2");
    const auto chosen = find_wan_connection_service(description);
    ASSERT_TRUE(chosen);
    EXPECT_EQ(chosen->control_url, "/ctl?a=1&b=2");
}

TEST(DeviceDescription, EntitiesTagsInsideAndACutDocument) {
    const auto description = parse_device_description(
        "<service><serviceType>urn:x:WANIPConnection:1</serviceType><controlURL> /a?x=1&amp;y=2"
        "<b>/c</b> </controlURL></service><service><serviceType>cut");
    ASSERT_EQ(description.services.size(), 2u);
    EXPECT_EQ(description.services[0].control_url, "/a?x=1&y=2/c");
    EXPECT_EQ(description.services[1].service_type, "");  // its capture never ended
}

DeviceDescription services(std::initializer_list<std::pair<const char*, const char*>> rows) {
    DeviceDescription description;
    for (const auto& [type, url] : rows)
        description.services.push_back({type, "", url, ""});
    return description;
}

TEST(DeviceDescription, ServiceChoiceRanksIpOverPppAndVersion2) {
    struct Case {
        DeviceDescription description;
        const char* chosen;  // control URL, or null for none
    };
    const Case cases[] = {
        {services({{"urn:s:WANPPPConnection:1", "/ppp"}, {"urn:s:WANIPConnection:1", "/ip"}}),
         "/ip"},
        {services({{"urn:s:WANIPConnection:1", "/ip1"}, {"urn:s:WANIPConnection:2", "/ip2"}}),
         "/ip2"},
        {services({{"urn:s:WANPPPConnection:2", "/ppp2"}, {"urn:s:WANPPPConnection:1", "/ppp1"}}),
         "/ppp2"},
        {services({{"urn:s:WANIPConnection:2", ""}, {"urn:s:WANIPConnection:1", "/ip1"}}), "/ip1"},
        {services({{"urn:s:WANIPConnection:1", "/first"}, {"urn:s:WANIPConnection:1", "/second"}}),
         "/first"},
        {services({{"urn:s:wanipconnection:1", "/lower"}, {"urn:s:Layer3Forwarding:1", "/l3"}}),
         nullptr},
    };
    for (const auto& c : cases) {
        const auto chosen = find_wan_connection_service(c.description);
        if (c.chosen == nullptr) {
            EXPECT_FALSE(chosen);
        } else {
            ASSERT_TRUE(chosen) << c.chosen;
            EXPECT_EQ(chosen->control_url, c.chosen);
        }
    }
}

}  // namespace
}  // namespace vx::network
