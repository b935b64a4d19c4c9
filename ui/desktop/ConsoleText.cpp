// The console's lines: a small subset of a terminal, enough for a flasher's output.
#include "ui/desktop/ConsoleText.h"

#include <algorithm>

namespace ui::desktop {

namespace {
constexpr char kEscape = '\x1b';
constexpr char kBell = '\a';
constexpr int kTabWidth = 8;
// No sequence we act on needs longer parameters; the rest of a longer one is dropped unread, so
// that a flasher's endless sequence costs no memory.
constexpr std::size_t kMaxParameterBytes = 32;
// Every number of a sequence is held to this: far beyond any console width, and small enough that
// no cursor arithmetic overflows.
constexpr int kMaxParameter = 9999;

// The first number of a control sequence's parameters, or `fallback` when there is none.
int firstParameter(const std::string& parameters, int fallback) {
    if (parameters.empty() || parameters[0] < '0' || parameters[0] > '9') return fallback;
    int value = 0;
    for (std::size_t i = 0; i < parameters.size() && parameters[i] >= '0' && parameters[i] <= '9';
         ++i) {
        value = std::min(kMaxParameter, value * 10 + (parameters[i] - '0'));
    }
    return value;
}
}  // namespace

ConsoleText::ConsoleText(int columns, std::size_t keptLines)
    : columns_(std::clamp(columns, 1, kMaxParameter)),
      keptLines_(std::max<std::size_t>(keptLines, 1)) {
    clear();
}

void ConsoleText::clear() {
    lines_.assign(1, std::string());
    row_ = column_ = 0;
    pendingWrap_ = false;
    state_ = State::Text;
    parameters_.clear();
}

void ConsoleText::feed(const char* bytes, std::size_t count) noexcept {
    // Whatever the flasher prints, the wizard goes on: the only failure left below is memory
    // running out, and then the console drops the rest of this piece instead of ending the wizard.
    try {
        feedAll(bytes, count);
    } catch (...) {
        state_ = State::Text;
    }
}

void ConsoleText::feedAll(const char* bytes, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        const char c = bytes[i];
        switch (state_) {
            case State::Escape:
                if (c == '[') {
                    state_ = State::Csi;
                    parameters_.clear();
                } else if (c == ']' || c == 'P' || c == 'X' || c == '^' || c == '_') {
                    state_ = State::String;  // a title or device string: up to BEL or ESC backslash
                } else if (c >= 0x20 && c <= 0x2F) {
                    // an intermediate byte (a character set: ESC ( B); the final byte follows
                } else {
                    state_ = State::Text;  // a two-byte sequence: nothing we show
                }
                continue;
            case State::Csi:
                if (c >= 0x40 && c <= 0x7E) {
                    controlSequence(c);
                    state_ = State::Text;
                } else if (c >= 0x20 && c <= 0x3F) {
                    if (parameters_.size() < kMaxParameterBytes) parameters_ += c;
                } else {
                    state_ = State::Text;  // broken off
                }
                continue;
            case State::String:
                if (c == kBell) state_ = State::Text;
                if (c == kEscape) state_ = State::StringEscape;
                continue;
            case State::StringEscape:
                state_ = c == '\\' ? State::Text : State::String;
                continue;
            case State::Text:
                break;
        }
        const auto byte = static_cast<unsigned char>(c);
        switch (c) {
            case kEscape:
                state_ = State::Escape;
                break;
            case '\r':
                column_ = 0;
                pendingWrap_ = false;
                break;
            case '\n':
            case '\v':
            case '\f':
                lineFeed();
                break;
            case '\b':
                if (pendingWrap_) {
                    pendingWrap_ = false;
                } else if (column_ > 0) {
                    --column_;
                }
                break;
            case '\t':
                column_ = std::min(columns_ - 1, (column_ / kTabWidth + 1) * kTabWidth);
                pendingWrap_ = false;
                break;
            default:
                if (byte >= 0x20 && byte < 0x7F) {
                    put(c);
                } else if (byte >= 0xC0) {
                    put('?');  // a character we cannot show: one cell, however many bytes it has
                }
                break;  // other control bytes and UTF-8 continuation bytes show nothing
        }
    }
}

void ConsoleText::put(char c) {
    if (pendingWrap_) {
        lineFeed();
        column_ = 0;
        pendingWrap_ = false;
    }
    std::string& line = lines_[std::size_t(row_)];
    if (line.size() <= std::size_t(column_)) line.resize(std::size_t(column_) + 1, ' ');
    line[std::size_t(column_)] = c;
    if (column_ + 1 < columns_) {
        ++column_;
    } else {
        pendingWrap_ = true;
    }
}

void ConsoleText::lineFeed() {
    pendingWrap_ = false;
    ++row_;
    if (std::size_t(row_) == lines_.size()) lines_.emplace_back();
    while (lines_.size() > keptLines_) {
        lines_.pop_front();
        --row_;
    }
}

void ConsoleText::controlSequence(char final) {
    std::string& line = lines_[std::size_t(row_)];
    const std::size_t at = std::size_t(column_);
    switch (final) {
        case 'K':  // erase in line
            switch (firstParameter(parameters_, 0)) {
                case 0:
                    if (line.size() > at) line.resize(at);
                    break;
                case 1:
                    std::fill(line.begin(),
                              line.begin() + std::ptrdiff_t(std::min(line.size(), at + 1)), ' ');
                    break;
                default:
                    line.clear();
                    break;
            }
            break;
        case 'J':  // erase the display: only "everything" matters for a console
            if (firstParameter(parameters_, 0) >= 2) clear();
            break;
        case 'G':  // to column n
            column_ = std::clamp(firstParameter(parameters_, 1) - 1, 0, columns_ - 1);
            pendingWrap_ = false;
            break;
        case 'C':  // forward n
            column_ = std::min(columns_ - 1, column_ + std::max(firstParameter(parameters_, 1), 1));
            pendingWrap_ = false;
            break;
        case 'D':  // back n
            column_ = std::max(0, column_ - std::max(firstParameter(parameters_, 1), 1));
            pendingWrap_ = false;
            break;
        default:
            break;  // colours, modes, positions: the console keeps its own colours and flow
    }
}

std::string ConsoleText::text() const {
    std::string all;
    for (std::size_t i = 0; i < lines_.size(); ++i) {
        if (i > 0) all += '\n';
        const std::string& line = lines_[i];
        all.append(line, 0, line.find_last_not_of(' ') + 1);
    }
    return all;
}

}  // namespace ui::desktop
