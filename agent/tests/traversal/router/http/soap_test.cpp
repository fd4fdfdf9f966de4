#include "traversal/router/http/soap.hpp"

#include <gtest/gtest.h>

namespace vx::network {
namespace {

std::string fault(const std::string& detail) {
    return "<?xml version=\"1.0\"?>\r\n<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/"
           "envelope/\"><s:Body><s:Fault><faultcode>s:Client</faultcode><faultstring>UPnPError"
           "</faultstring><detail><UPnPError xmlns=\"urn:schemas-upnp-org:control-1-0\">" +
           detail + "</UPnPError></detail></s:Fault></s:Body></s:Envelope>";
}

TEST(SoapEnvelope, ExactBytesOfAnAddPortMapping) {
    const std::string arguments = build_add_port_mapping_body(48002, 48002, "192.168.1.20", 600);
    EXPECT_EQ(arguments,
              "<NewRemoteHost></NewRemoteHost><NewExternalPort>48002</NewExternalPort>"
              "<NewProtocol>UDP</NewProtocol><NewInternalPort>48002</NewInternalPort>"
              "<NewInternalClient>192.168.1.20</NewInternalClient><NewEnabled>1</NewEnabled>"
              "<NewPortMappingDescription>Velmora</NewPortMappingDescription>"
              "<NewLeaseDuration>600</NewLeaseDuration>");
    EXPECT_EQ(
        build_soap_envelope("urn:schemas-upnp-org:service:WANIPConnection:1", "X", "<a>1</a>"),
        "<?xml version=\"1.0\" encoding=\"utf-8\"?><s:Envelope xmlns:s=\"http://schemas."
        "xmlsoap.org/soap/envelope/\" s:encodingStyle=\"http://schemas.xmlsoap.org/soap/"
        "encoding/\"><s:Body><u:X xmlns:u=\"urn:schemas-upnp-org:service:WANIPConnection:1"
        "\"><a>1</a></u:X></s:Body></s:Envelope>");
    EXPECT_EQ(build_mapping_key_body(1),
              "<NewRemoteHost></NewRemoteHost><NewExternalPort>1</NewExternalPort>"
              "<NewProtocol>UDP</NewProtocol>");
}

TEST(SoapAnswer, FaultsCodesAndTexts) {
    struct Case {
        std::string body;
        std::int32_t status;
        bool ok;
        std::int32_t code;
        const char* text;  // describe_upnp_error, for failures
    };
    const Case cases[] = {
        {fault("<errorCode>718</errorCode><errorDescription>ConflictInMappingEntry"
               "</errorDescription>"),
         500, false, 718, "UPnP error 718 (ConflictInMappingEntry)"},
        {fault(""), 500, false, -1, "UPnP error -1 (UPnPError)"},
        {fault("<errorCode> 718 </errorCode>"), 500, false, 718, "UPnP error 718 (UPnPError)"},
        {fault("<errorCode></errorCode>"), 500, false, -1, "UPnP error -1 (UPnPError)"},
        {fault("<errorCode>7a8</errorCode>"), 500, false, -1, "UPnP error -1 (UPnPError)"},
        {fault("<errorCode>4294967014</errorCode>"), 500, false, -1, "UPnP error -1 (UPnPError)"},
        {"<r><errorCode>0</errorCode></r>", 200, true, 0, ""},
        {"", 200, true, 0, ""},
        {"", 401, false, 0, "HTTP 401"},
        {"<u:errorCode>606</u:errorCode>", 200, false, 606, "UPnP error 606"},
    };
    for (const auto& c : cases) {
        const SoapResult result = parse_soap_response(c.body, c.status);
        EXPECT_EQ(result.ok, c.ok) << c.body;
        EXPECT_EQ(result.error_code, c.code) << c.body;
        if (!c.ok) {
            EXPECT_EQ(describe_upnp_error(result), c.text) << c.body;
        }
    }
}

// What a router writes reaches the failure texts, and through them the log and the
// --check-direct report on the terminal: its control characters are defused on the way in, so a
// fault cannot retitle the terminal, clear it or start a report line of its own.
TEST(SoapAnswer, RouterTextIsDefusedOnTheWayIn) {
    const std::string injection =
        "&#27;]0;OWNED&#7;&#27;[2J&#10;  result: direct video path available";
    const std::string defused = "?]0;OWNED??[2J\\n  result: direct video path available";
    const SoapResult fault_answer = parse_soap_response(
        fault("<errorCode>501</errorCode><errorDescription>" + injection + "</errorDescription>"),
        500);
    EXPECT_EQ(describe_upnp_error(fault_answer), "UPnP error 501 (" + defused + ")");
    const SoapResult values = parse_soap_response("<NewExternalIPAddress>" + injection +
                                                      "</NewExternalIPAddress><NewInternalClient>" +
                                                      injection + "</NewInternalClient>",
                                                  200);
    EXPECT_EQ(values.external_address, defused);
    EXPECT_EQ(values.internal_client, defused);
}

TEST(SoapAnswer, ValuesUnderAnyPrefix) {
    for (const char* body :
         {"<m:NewExternalIPAddress>100.128.0.2</m:NewExternalIPAddress>",
          "<NewExternalIPAddress>100.128.0.2</NewExternalIPAddress>",
          "<u:GetExternalIPAddressResponse xmlns:u=\"x\"><NEWEXTERNALIPADDRESS>100.128.0.2"
          "</NEWEXTERNALIPADDRESS></u:GetExternalIPAddressResponse>"}) {
        EXPECT_EQ(parse_soap_response(body, 200).external_address, "100.128.0.2") << body;
    }
    const SoapResult entry = parse_soap_response(
        "<u:GetSpecificPortMappingEntryResponse><NewInternalPort>48002</NewInternalPort>"
        "<NewInternalClient>192.168.77.21</NewInternalClient></"
        "u:GetSpecificPortMappingEntryResponse>",
        200);
    EXPECT_TRUE(entry.ok);
    EXPECT_EQ(entry.internal_client, "192.168.77.21");
    EXPECT_EQ(parse_soap_response("<NewExternalIPAddress/>", 200).external_address, "");
}

}  // namespace
}  // namespace vx::network
