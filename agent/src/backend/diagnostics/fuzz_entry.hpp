#pragma once

// Properties that hold for every input of the log text functions and of the report splitter.
// The property tests check them over generated text; the fuzz targets call the entries below.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vx::network {

// Empty when every property holds, else the name of the first one the input breaks.
std::string log_text_violation(std::string_view input);
std::string log_report_violation(std::string_view content);

// One entry per parser for a libFuzzer target: aborts when a property breaks; returns 0.
int fuzz_log_text(const std::uint8_t* data, std::size_t size);
int fuzz_log_report(const std::uint8_t* data, std::size_t size);

}  // namespace vx::network
