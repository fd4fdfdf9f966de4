#include "ui/banner.hpp"

namespace vx::ui {
namespace {

// 22 x 41: a ring with a chevron inside, the mark of the service.
const std::vector<std::string_view> kLogo = {
    "              #############              ", "          #####################          ",
    "       #######             #######       ", "      ####                     ####      ",
    "    ####                         ####    ", "   ####  ####               ####  ####   ",
    "  ###     ####             ####     ###  ", " ####      ####           ####      #### ",
    " ###       #####         #####       ### ", "####        #####       #####        ####",
    "###          #####     #####          ###", "###           ####     ####           ###",
    "####           ####   ####           ####", " ###            #### ####            ### ",
    " ####            #######            #### ", "  ###            #######            ###  ",
    "   ####           #####           ####   ", "    ####                         ####    ",
    "      ####                     ####      ", "       #######             #######       ",
    "          #####################          ", "              #############              ",
};

// A 7-row block font; glyphs are separated by one blank column.
const std::vector<std::string_view> kFirstWord = {
    // V          E      L
    "##      ## ###### ##    ", "##      ## ##     ##    ", " ##    ##  ##     ##    ",
    " ##    ##  #####  ##    ", "  ##  ##   ##     ##    ", "  ##  ##   ##     ##    ",
    "   ####    ###### ######",
};

const std::vector<std::string_view> kSlash = {
    "  ##", "  ##", " ## ", " ## ", " ## ", "##  ", "##  ",
};

const std::vector<std::string_view> kSecondWord = {
    // M        O      R      A
    "##    ##  ####  #####   #### ", "###  ### ##  ## ##  ## ##  ##",
    "######## ##  ## ##  ## ##  ##", "## ## ## ##  ## #####  ######",
    "##    ## ##  ## ## ##  ##  ##", "##    ## ##  ## ##  ## ##  ##",
    "##    ##  ####  ##  ## ##  ##",
};

constexpr std::string_view kMarkFirst = "VEL";
constexpr std::string_view kMarkSlash = "/";
constexpr std::string_view kMarkSecond = "MORA";

std::string_view half_block(bool upper, bool lower) {
    if (upper && lower) {
        return "\u2588";
    }
    if (upper) {
        return "\u2580";
    }
    return lower ? "\u2584" : " ";
}

Row wide_row(std::size_t i, const std::vector<std::string>& logo,
             const std::vector<std::string>& first, const std::vector<std::string>& slash,
             const std::vector<std::string>& second, std::string_view title) {
    Row row{{logo[i], Style::accent, false}, {"   ", Style::normal, false}};
    if (i >= 2 && i <= 5) {
        row.push_back({first[i - 2], Style::accent, false});
        row.push_back({" " + slash[i - 2] + " ", Style::normal, false});
        row.push_back({second[i - 2], Style::accent, false});
    } else if (i == 7) {
        row.push_back({std::string(title), Style::dim, false});
    }
    return row;
}

Row stacked_row(std::size_t i, const std::vector<std::string>& logo,
                const std::vector<std::string>& first, const std::vector<std::string>& slash,
                const std::vector<std::string>& second, std::string_view title) {
    Row row{{logo[i], Style::accent, false}, {"   ", Style::normal, false}};
    if (i <= 3) {
        row.push_back({first[i], Style::accent, false});
        row.push_back({" " + slash[i], Style::normal, false});
    } else if (i >= 5 && i <= 8) {
        row.push_back({second[i - 5], Style::accent, false});
    } else if (i == 10) {
        row.push_back({std::string(title), Style::dim, false});
    }
    return row;
}

}  // namespace

std::vector<std::string> half_block_rows(const std::vector<std::string_view>& bitmap) {
    std::vector<std::string> rows;
    for (std::size_t i = 0; i < bitmap.size(); i += 2) {
        const std::string_view upper = bitmap[i];
        const std::string_view lower = i + 1 < bitmap.size() ? bitmap[i + 1] : std::string_view{};
        std::string row;
        for (std::size_t x = 0; x < upper.size(); ++x) {
            const bool down = x < lower.size() && lower[x] == '#';
            row += half_block(upper[x] == '#', down);
        }
        rows.push_back(std::move(row));
    }
    return rows;
}

Row product_mark() {
    return {{std::string(kMarkFirst), Style::accent, true},
            {std::string(kMarkSlash), Style::normal, true},
            {std::string(kMarkSecond), Style::accent, true}};
}

Screen render_banner(std::string_view title, int width) {
    if (width < kBannerMinWidth) {
        return {};
    }
    const auto logo = half_block_rows(kLogo);
    const auto first = half_block_rows(kFirstWord);
    const auto slash = half_block_rows(kSlash);
    const auto second = half_block_rows(kSecondWord);
    Screen rows;
    for (std::size_t i = 0; i < logo.size(); ++i) {
        rows.push_back(width >= kBannerWideWidth
                           ? wide_row(i, logo, first, slash, second, title)
                           : stacked_row(i, logo, first, slash, second, title));
    }
    return rows;
}

}  // namespace vx::ui
