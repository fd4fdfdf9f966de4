#pragma once

#include <exception>
#include <string>
#include <system_error>

namespace vx::util {

// "<message> (code <value>)": the platform's text for the code, then its decimal value.
std::string describe_error(const std::error_code& ec);
std::string describe_error(const std::exception& e);

}  // namespace vx::util
