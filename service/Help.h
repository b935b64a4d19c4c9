// reflasher --help for people: the options as CLI11 knows them, written without the library's
// notation ("Excludes:", "{false}", "TEXT"), each with its value in words and the other options
// it goes with or not. The manual page reflasher(1) is made from this very text at build time
// (tools/manpage), so the two never differ.
#pragma once

#include <CLI/CLI.hpp>

#include <string>

namespace help {

// Column where descriptions start, and the width the text is wrapped to.
inline constexpr std::size_t kTextColumn = 26;
inline constexpr std::size_t kWidth = 79;

class PlainFormatter : public CLI::Formatter {
  public:
    std::string make_help(const CLI::App* app, std::string name,
                          CLI::AppFormatMode mode) const override;
};

// `text` wrapped at word boundaries to kWidth, every line after the first indented by `indent`
// (the first line continues after `used` columns).
std::string Wrap(const std::string& text, std::size_t used, std::size_t indent);

}  // namespace help
