#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "ui/screen_model.hpp"

namespace vx::ui {

// Turns a bitmap of "#" and space rows into half-block text rows: two bitmap rows per text row,
// an odd last row paired with an empty one; each text row is as wide as its upper bitmap row.
std::vector<std::string> half_block_rows(const std::vector<std::string_view>& bitmap);

// The product mark in one line of bold text: first word, slash, second word.
Row product_mark();

// Below this many columns the banner is empty and the compact header takes its place.
inline constexpr int kBannerMinWidth = 73;
// From this many columns the mark stands on one line beside the logo.
inline constexpr int kBannerWideWidth = 103;
inline constexpr int kBannerRows = 11;

// The banner: the logo with the product mark and the (already cleaned) title line beside it.
// Empty when `width` is below kBannerMinWidth. Rows are not fitted to the width here.
Screen render_banner(std::string_view title, int width);

}  // namespace vx::ui
