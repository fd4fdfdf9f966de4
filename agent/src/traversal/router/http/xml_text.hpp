#pragma once

// The little XML a router sends (device descriptions, SOAP answers), read by a forgiving scanner
// that visits every byte once: a hostile description of any size costs one linear pass.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace vx::network {

struct XmlToken {
    enum class Kind {
        text,          // character data between tags
        open,          // <name ...>
        close,         // </name>
        self_closing,  // <name .../>
        cdata,         // <![CDATA[...]]>: `content` is what lies inside
        other,         // comments, declarations, processing instructions, empty tags
    };
    Kind kind = Kind::other;
    std::string_view content;  // text, CDATA content, or the tag between '<' and '>'
    std::string_view name;     // tags: the local name as written (namespace prefix removed)
    std::size_t begin = 0;     // offset of the token's first byte
    std::size_t end = 0;       // offset just after its last byte
};

class XmlScanner {
  public:
    explicit XmlScanner(std::string_view xml) : xml_(xml) {}
    // The next token; false at the end, or at a tag whose end never comes (the rest is not read).
    bool next(XmlToken& token);

  private:
    bool read_markup(XmlToken& token);
    std::string_view xml_;
    std::size_t at_ = 0;
};

// &lt; &gt; &amp; &quot; &apos; and numeric references (a code of 128 or more becomes '?', a
// reference with no or bad digits one zero byte); anything else is copied as written.
std::string decode_xml_entities(std::string_view text);

// The trimmed, decoded text of the first element with this local name (any prefix, any letter
// case) that has a closing tag; none when there is no such element.
std::optional<std::string> find_xml_element_text(std::string_view xml, std::string_view name);

}  // namespace vx::network
