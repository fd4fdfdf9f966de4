// The XML a router sends: a device description or any document. Input: an element name, a line
// feed, then the document. The scanner's tokens must lie inside the document, in order.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "fuzz_input.hpp"
#include "traversal/router/device_description.hpp"
#include "traversal/router/http/xml_text.hpp"

using namespace vx::network;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text = vx::fuzz::as_text(data, size);
    const std::size_t newline = text.find('\n');
    const std::string_view name = newline == std::string_view::npos ? "" : text.substr(0, newline);
    const std::string_view xml =
        newline == std::string_view::npos ? text : text.substr(newline + 1);

    XmlScanner scanner(xml);
    XmlToken token;
    std::size_t last_end = 0;
    for (std::size_t n = 0; scanner.next(token); ++n) {
        if (token.begin < last_end || token.end <= token.begin || token.end > xml.size() ||
            n > xml.size()) {
            std::abort();
        }
        last_end = token.end;
    }
    const DeviceDescription description = parse_device_description(xml);
    find_wan_connection_service(description);
    find_xml_element_text(xml, name);
    decode_xml_entities(xml);
    return 0;
}
