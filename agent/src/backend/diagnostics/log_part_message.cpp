#include "backend/diagnostics/log_part_message.hpp"

#include <nlohmann/json.hpp>

namespace vx::network {

std::string make_upload_id(const util::RandomFn& random) {
    std::array<std::uint8_t, 8> bytes{};
    random(bytes.data(), bytes.size());
    static constexpr char kHex[] = "0123456789abcdef";
    std::string id;
    id.reserve(bytes.size() * 2);
    for (std::uint8_t b : bytes) {
        id.push_back(kHex[b >> 4]);
        id.push_back(kHex[b & 0x0F]);
    }
    return id;
}

std::vector<std::string> build_log_part_messages(const LogUploadInfo& upload,
                                                 const LogReport& report,
                                                 const std::vector<std::string>& parts) {
    using nlohmann::json;
    std::vector<std::string> messages;
    messages.reserve(parts.size());
    for (std::size_t index = 0; index < parts.size(); ++index) {
        // json objects are ordered maps: the keys come out in byte order.
        json m = json::object();
        m["type"] = "diagnostic_log_part";
        m["upload_id"] = upload.upload_id;
        m["kind"] = upload.kind;
        m["part"] = static_cast<std::uint64_t>(index);
        m["parts"] = static_cast<std::uint64_t>(parts.size());
        m["app_version"] = upload.app_version;
        m["content"] = parts[index];
        if (!upload.session_id.empty()) {
            m["session_id"] = upload.session_id;
        }
        if (index == 0) {
            m["level"] = report.level;
            m["summary"] = report.summary;
            m["truncated"] = report.truncated;
            m["lines"] = report.lines;
        }
        messages.push_back(m.dump(-1, ' ', false, json::error_handler_t::replace));
    }
    return messages;
}

}  // namespace vx::network
