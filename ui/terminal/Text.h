// Texts as the terminal shows them: mnemonics and word wrapping.
#pragma once

#include <string>
#include <vector>

namespace ui::terminal {

// The text without its '&' marks, and the position of the mnemonic letter in it (-1 for none).
std::string stripMnemonic(const std::string& text, int* mnemonicAt = nullptr);
// The mnemonic letter in lower case, or '\0'.
char mnemonicOf(const std::string& text);
// Breaks `text` into lines of at most `width` cells: "\r\n" and "\n" end a line, words wrap, a word
// longer than a line is broken.
std::vector<std::string> wrap(const std::string& text, int width);

}  // namespace ui::terminal
