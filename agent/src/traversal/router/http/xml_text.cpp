#include "traversal/router/http/xml_text.hpp"

#include <algorithm>
#include <cstdint>

#include "traversal/router/http/router_text.hpp"

namespace vx::network {
namespace {

constexpr std::size_t kMaxReferenceLength = 10;   // from '&' to ';'
constexpr std::uint32_t kCodeCeiling = 0x110000;  // past the last code point: stop growing here

// Offset of the '>' that ends the tag starting at `from`, quoted attribute values skipped.
std::size_t tag_end(std::string_view xml, std::size_t from) {
    char quote = 0;
    for (std::size_t i = from; i < xml.size(); ++i) {
        const char c = xml[i];
        if (quote != 0) {
            quote = c == quote ? 0 : quote;
        } else if (c == '"' || c == '\'') {
            quote = c;
        } else if (c == '>') {
            return i;
        }
    }
    return std::string_view::npos;
}

std::string_view local_name(std::string_view inner) {
    inner = inner.substr(0, std::min(inner.find_first_of(" \t\r\n/"), inner.size()));
    const auto colon = inner.rfind(':');
    return colon == std::string_view::npos ? inner : inner.substr(colon + 1);
}

void classify_tag(std::string_view inner, XmlToken& token) {
    token.content = inner;
    if (inner.empty() || inner.front() == '!' || inner.front() == '?') {
        token.kind = XmlToken::Kind::other;
    } else if (inner.front() == '/') {
        token.kind = XmlToken::Kind::close;
        token.name = local_name(inner.substr(1));
    } else {
        token.kind = inner.back() == '/' ? XmlToken::Kind::self_closing : XmlToken::Kind::open;
        token.name = local_name(inner);
    }
}

std::optional<std::uint32_t> numeric_reference(std::string_view digits) {
    int base = 10;
    if (!digits.empty() && (digits.front() == 'x' || digits.front() == 'X')) {
        base = 16;
        digits.remove_prefix(1);
    }
    if (digits.empty())
        return std::nullopt;
    std::uint32_t code = 0;
    for (char c : digits) {
        int digit = -1;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        if (digit < 0)
            return std::nullopt;
        code =
            std::min<std::uint32_t>(code * static_cast<std::uint32_t>(base) + digit, kCodeCeiling);
    }
    return code;
}

// What the reference `name` (between '&' and ';') stands for.
std::string expand_reference(std::string_view name) {
    if (name == "lt")
        return "<";
    if (name == "gt")
        return ">";
    if (name == "amp")
        return "&";
    if (name == "quot")
        return "\"";
    if (name == "apos")
        return "'";
    if (!name.empty() && name.front() == '#') {
        const auto code = numeric_reference(name.substr(1));
        if (!code)
            return std::string(1, '\0');
        return std::string(1, *code < 128 ? static_cast<char>(*code) : '?');
    }
    return "&" + std::string(name) + ";";
}

}  // namespace

bool XmlScanner::read_markup(XmlToken& token) {
    const std::string_view rest = xml_.substr(at_);
    std::size_t end = std::string_view::npos;
    if (rest.starts_with("<![CDATA[")) {
        // A CDATA section ends at "]]>", whatever '>' or quotes it holds.
        const auto close = rest.find("]]>", 9);
        if (close == std::string_view::npos)
            return false;
        token.kind = XmlToken::Kind::cdata;
        token.content = rest.substr(9, close - 9);
        end = close + 3;
    } else if (rest.starts_with("<!--")) {
        const auto close = rest.find("-->", 4);
        if (close == std::string_view::npos)
            return false;
        token.kind = XmlToken::Kind::other;
        token.content = rest.substr(1, close + 2 - 1);
        end = close + 3;
    } else {
        const auto close = tag_end(rest, 1);
        if (close == std::string_view::npos)
            return false;
        classify_tag(rest.substr(1, close - 1), token);
        end = close + 1;
    }
    token.begin = at_;
    token.end = at_ + end;
    at_ = token.end;
    return true;
}

bool XmlScanner::next(XmlToken& token) {
    token = XmlToken{};
    if (at_ >= xml_.size())
        return false;
    if (xml_[at_] == '<') {
        if (read_markup(token))
            return true;
        at_ = xml_.size();
        return false;
    }
    const auto lt = std::min(xml_.find('<', at_), xml_.size());
    token.kind = XmlToken::Kind::text;
    token.content = xml_.substr(at_, lt - at_);
    token.begin = at_;
    token.end = lt;
    at_ = lt;
    return true;
}

std::string decode_xml_entities(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        const char c = text[i];
        // Only the next few bytes can close a reference: looking further would make a text of
        // many '&' cost a pass over the rest of it for each one.
        const auto semicolon =
            c == '&' ? text.substr(i + 1, kMaxReferenceLength).find(';') : std::string_view::npos;
        if (semicolon == std::string_view::npos) {
            out += c;
            ++i;
            continue;
        }
        out += expand_reference(text.substr(i + 1, semicolon));
        i += semicolon + 2;
    }
    return out;
}

std::optional<std::string> find_xml_element_text(std::string_view xml, std::string_view name) {
    XmlScanner scanner(xml);
    XmlToken token;
    std::optional<std::size_t> content_begin;
    while (scanner.next(token)) {
        if (!equals_ignore_case(token.name, name))
            continue;
        if (token.kind == XmlToken::Kind::open && !content_begin) {
            content_begin = token.end;
        } else if (token.kind == XmlToken::Kind::close && content_begin) {
            const std::string_view inner = xml.substr(*content_begin, token.begin - *content_begin);
            return decode_xml_entities(trim_blanks(inner));
        }
    }
    return std::nullopt;
}

}  // namespace vx::network
