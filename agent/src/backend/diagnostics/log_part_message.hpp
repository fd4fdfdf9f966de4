#pragma once

// The "diagnostic_log_part" messages of one upload. A pure builder, kept beside the log upload so
// the connector's message set and the upload can both use it.

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "backend/diagnostics/log_report.hpp"
#include "util/random.hpp"

namespace vx::network {

// 16 lowercase hexadecimal characters of 8 random bytes.
std::string make_upload_id(const util::RandomFn& random);

struct LogUploadInfo {
    std::string upload_id;
    std::string kind;        // "session" or "agent"
    std::string session_id;  // empty: the messages carry no "session_id"
    std::string app_version;
};

// One serialised message per part (compact, keys in byte order); part 0 also carries the
// report's level, summary, truncated flag and line count.
std::vector<std::string> build_log_part_messages(const LogUploadInfo& upload,
                                                 const LogReport& report,
                                                 const std::vector<std::string>& parts);

}  // namespace vx::network
