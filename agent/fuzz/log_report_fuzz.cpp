// A report's content cut into parts: every part fits its escaped size, splits no character of
// valid text, and the parts add up to the content.
#include <cstdint>

#include "backend/diagnostics/fuzz_entry.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return vx::network::fuzz_log_report(data, size);
}
