// Log text on its way into an upload: any bytes a log line may hold. Redaction and sanitising
// must be idempotent, sanitised text valid UTF-8, a summary a prefix that splits no character.
#include <cstdint>
#include <cstdlib>

#include "fuzz_input.hpp"
#include "support/log_properties.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (!vx::network::log_text_violation(vx::fuzz::as_text(data, size)).empty()) {
        std::abort();
    }
    return 0;
}
