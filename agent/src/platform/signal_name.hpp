#pragma once

namespace vx::platform {

// Name of a signal ("SIGINT", "SIGSEGV"), or "signal" for one this file does not know. Returns a
// static text and touches nothing else, so the crash handler may call it.
const char* signal_name(int signal_number);

}  // namespace vx::platform
