#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "support/log_lines.hpp"

namespace vx::test {

// The collected lines with their levels, for tests that care at which level a line came.
class LogCapture : public LogLines {
  public:
    std::vector<Line> lines() const { return entries(); }
    // Lines containing `part`, at `level` or any level.
    std::size_t count(const std::string& part, int level = -1) const {
        std::size_t n = 0;
        for (const Line& line : lines()) {
            if (line.text.find(part) != std::string::npos &&
                (level < 0 || line.level == static_cast<spdlog::level::level_enum>(level))) {
                ++n;
            }
        }
        return n;
    }
    bool has(const std::string& part) const { return count(part) > 0; }
    // Lines at warning level or above.
    std::size_t problems() const {
        std::size_t n = 0;
        for (const Line& line : lines()) {
            n += line.level >= spdlog::level::warn ? 1 : 0;
        }
        return n;
    }
};

}  // namespace vx::test
