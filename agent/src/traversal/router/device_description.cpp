#include "traversal/router/device_description.hpp"

#include "traversal/router/http/router_text.hpp"
#include "traversal/router/http/xml_text.hpp"

namespace vx::network {
namespace {

class DescriptionReader {
  public:
    void on_token(const XmlToken& token) {
        switch (token.kind) {
            case XmlToken::Kind::text:
                if (capturing())
                    buffer_ += decode_xml_entities(token.content);
                break;
            case XmlToken::Kind::cdata:
                if (capturing())
                    buffer_ += token.content;
                break;
            case XmlToken::Kind::open:
            case XmlToken::Kind::close:
            case XmlToken::Kind::self_closing:
                on_tag(to_lower_ascii(token.name), token.kind);
                break;
            case XmlToken::Kind::other:
                break;
        }
    }

    DeviceDescription finish() {
        if (current_)
            description_.services.push_back(std::move(*current_));
        return std::move(description_);
    }

  private:
    bool capturing() const { return !captured_.empty(); }

    void on_tag(const std::string& name, XmlToken::Kind kind) {
        if (capturing()) {
            // Only the captured element's end matters; text of tags inside it stays.
            if (kind == XmlToken::Kind::close && name == captured_)
                store();
            return;
        }
        if (name == "service" && kind == XmlToken::Kind::open) {
            current_ = DeviceService{};
        } else if (name == "service" && kind == XmlToken::Kind::close) {
            if (current_)
                description_.services.push_back(std::move(*current_));
            current_.reset();
        } else if (kind == XmlToken::Kind::open && field(name) != nullptr) {
            captured_ = name;
            buffer_.clear();
        }
    }

    std::string* field(const std::string& name) {
        if (name == "friendlyname")
            return &description_.friendly_name;
        if (!current_)
            return nullptr;
        if (name == "servicetype")
            return &current_->service_type;
        if (name == "serviceid")
            return &current_->service_id;
        if (name == "controlurl")
            return &current_->control_url;
        if (name == "scpdurl")
            return &current_->scpd_url;
        return nullptr;
    }

    void store() {
        if (std::string* target = field(captured_))
            *target = std::string(trim_blanks(buffer_));
        captured_.clear();
        buffer_.clear();
    }

    DeviceDescription description_;
    std::optional<DeviceService> current_;
    std::string captured_;
    std::string buffer_;
};

int service_rank(const std::string& type) {
    const bool version2 = type.find(":2") != std::string::npos;
    if (type.find("WANIPConnection") != std::string::npos)
        return version2 ? 102 : 101;
    if (type.find("WANPPPConnection") != std::string::npos)
        return version2 ? 52 : 51;
    return 0;
}

}  // namespace

DeviceDescription parse_device_description(std::string_view xml) {
    DescriptionReader reader;
    XmlScanner scanner(xml);
    XmlToken token;
    while (scanner.next(token))
        reader.on_token(token);
    return reader.finish();
}

std::optional<DeviceService> find_wan_connection_service(const DeviceDescription& description) {
    const DeviceService* best = nullptr;
    int best_rank = 0;
    for (const auto& service : description.services) {
        const int rank = service.control_url.empty() ? 0 : service_rank(service.service_type);
        if (rank > best_rank) {
            best = &service;
            best_rank = rank;
        }
    }
    if (best == nullptr)
        return std::nullopt;
    return *best;
}

}  // namespace vx::network
