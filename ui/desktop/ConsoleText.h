// What a console window shows: the lines a program wrote to its terminal, with the few controls
// a flasher's output uses (carriage return for a progress line redrawn in place, line feed,
// backspace, tab), escape sequences taken out, lines wrapped at the console's width. Plain data:
// the console window feeds it the bytes it reads and draws its lines.
#pragma once

#include <cstddef>
#include <deque>
#include <string>

namespace ui::desktop {

class ConsoleText {
  public:
    // `columns` wide (at most 9999); keeps at most `keptLines` lines, dropping the oldest.
    explicit ConsoleText(int columns = 80, std::size_t keptLines = 1000);

    // Takes any bytes at all: every number in an escape sequence is held within bounds.
    void feed(const char* bytes, std::size_t count) noexcept;
    void feed(const std::string& bytes) noexcept { feed(bytes.data(), bytes.size()); }
    void clear();

    const std::deque<std::string>& lines() const { return lines_; }
    // All lines joined by '\n', trailing blanks of each line removed.
    std::string text() const;
    int cursorRow() const { return row_; }
    int cursorColumn() const { return column_; }

  private:
    void feedAll(const char* bytes, std::size_t count);
    void put(char c);
    void lineFeed();
    void controlSequence(char final);

    enum class State { Text, Escape, Csi, String, StringEscape };
    int columns_;
    std::size_t keptLines_;
    std::deque<std::string> lines_;  // each padded with blanks only as far as something was written
    int row_ = 0;                    // index into lines_
    int column_ = 0;
    bool pendingWrap_ = false;  // the last column was written: the next character wraps
    State state_ = State::Text;
    std::string parameters_;  // of the control sequence being read
};

}  // namespace ui::desktop
