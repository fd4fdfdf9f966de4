// Log text on its way into an upload: any bytes a log line may hold. Redaction and sanitising
// must be idempotent, sanitised text valid UTF-8, a summary a prefix that splits no character.
#include <cstdint>

#include "backend/diagnostics/fuzz_entry.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return vx::network::fuzz_log_text(data, size);
}
