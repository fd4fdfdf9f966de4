// A report's content cut into parts: every part fits its escaped size, splits no character of
// valid text, and the parts add up to the content.
#include <cstdint>
#include <cstdlib>

#include "fuzz_input.hpp"
#include "support/log_properties.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (!vx::network::log_report_violation(vx::fuzz::as_text(data, size)).empty()) {
        std::abort();
    }
    return 0;
}
