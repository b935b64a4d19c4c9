#include "ui/terminal/Text.h"

#include <cctype>

namespace ui::terminal {

std::string stripMnemonic(const std::string& text, int* mnemonicAt) {
    std::string out;
    int at = -1;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '&' && i + 1 < text.size()) {
            ++i;
            if (text[i] != '&' && at < 0) at = int(out.size());
        }
        out += text[i];
    }
    if (mnemonicAt) *mnemonicAt = at;
    return out;
}

char mnemonicOf(const std::string& text) {
    int at = -1;
    std::string plain = stripMnemonic(text, &at);
    return at < 0 ? '\0' : char(std::tolower(static_cast<unsigned char>(plain[std::size_t(at)])));
}

std::vector<std::string> wrap(const std::string& text, int width) {
    std::vector<std::string> lines;
    width = std::max(1, width);
    std::string paragraph;
    auto flush = [&](const std::string& p) {
        std::string line;
        std::size_t i = 0;
        if (p.empty()) {
            lines.emplace_back();
            return;
        }
        while (i < p.size()) {
            std::size_t spaceEnd = p.find_first_not_of(' ', i);
            if (spaceEnd == std::string::npos) break;
            std::size_t wordEnd = p.find(' ', spaceEnd);
            if (wordEnd == std::string::npos) wordEnd = p.size();
            std::string spaces = p.substr(i, spaceEnd - i);
            std::string word = p.substr(spaceEnd, wordEnd - spaceEnd);
            if (!line.empty() && int(line.size() + spaces.size() + word.size()) > width) {
                lines.push_back(line);
                line.clear();
                spaces.clear();
            }
            if (line.empty()) spaces.clear();
            line += spaces;
            while (int(line.size() + word.size()) > width) {
                std::size_t room = std::size_t(width) - line.size();
                line += word.substr(0, room);
                word.erase(0, room);
                lines.push_back(line);
                line.clear();
            }
            line += word;
            i = wordEnd;
        }
        lines.push_back(line);
    };
    for (char ch : text) {
        if (ch == '\r') continue;
        if (ch == '\n') {
            flush(paragraph);
            paragraph.clear();
        } else {
            paragraph += ch == '\t' ? ' ' : ch;
        }
    }
    flush(paragraph);
    return lines;
}

}  // namespace ui::terminal
