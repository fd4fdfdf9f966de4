#include "util/error_text.hpp"

#include <string_view>

namespace vx::util {
namespace {

std::string with_code(std::string_view message, int code) {
    std::string text(message.empty() ? std::string_view("unknown error") : message);
    text += " (code ";
    text += std::to_string(code);
    text += ')';
    return text;
}

}  // namespace

std::string describe_error(const std::error_code& ec) {
    std::string message;
    try {
        message = ec.message();
    } catch (...) {
        // A category's message() may allocate and throw; the code alone still says something.
    }
    return with_code(message, ec.value());
}

std::string describe_error(const std::exception& e) {
    // A system error already carries its code's text in what(); other exceptions have no code.
    if (const auto* se = dynamic_cast<const std::system_error*>(&e)) {
        return with_code(se->what(), se->code().value());
    }
    const char* what = e.what();
    return with_code(what != nullptr ? what : "", 0);
}

}  // namespace vx::util
