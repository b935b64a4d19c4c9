// What the console window shows of a program's terminal output.
#include <gtest/gtest.h>

#include "ui/desktop/ConsoleText.h"

namespace {

using ui::desktop::ConsoleText;

TEST(ConsoleText, AProgressLineIsRedrawnInPlaceAndLinesFollowIt) {
    ConsoleText text;
    text.feed("Erasing...\r\n");
    text.feed("\rWriting [....]  0/8 bytes");
    text.feed("\rWriting [##..]  4/8 bytes");
    text.feed(
        "\rWriting [####]  8/8");  // shorter: the end of the longer line stays, as on a terminal
    text.feed("\r\nDone\r\n");
    EXPECT_EQ(text.text(), "Erasing...\nWriting [####]  8/8 bytes\nDone\n");
    EXPECT_EQ(text.cursorRow(), 3);
    EXPECT_EQ(text.cursorColumn(), 0);
}

TEST(ConsoleText, EscapeSequencesAndControlsShowNothingOfThemselves) {
    ConsoleText text;
    text.feed(
        "\x1b]0;title\x07"
        "a\x1b[1;31mred\x1b[0m\x1b(B\a b\bc\td");
    EXPECT_EQ(text.text(), "ared c  d");
    text.feed("\rxy\x1b[K");  // erase to the end of the line
    EXPECT_EQ(text.text(), "xy");
    text.feed("\x1b]2;split title\x1b\\z\x1b[2J");  // an ESC-backslash ended string, then clear
    EXPECT_EQ(text.text(), "");
    text.feed("\xc3\xa9t\xc3\xa9");  // UTF-8: one cell each
    EXPECT_EQ(text.text(), "?t?");
    EXPECT_EQ(text.cursorColumn(), 3);
    // Numbers no console has: each is held to the line's ends.
    text.feed("\r\x1b[2Ka\x1b[2147483647Cb\x1b[99999999999999999999Dc\x1b[4294967297Gd");
    EXPECT_EQ(text.text(), "c" + std::string(78, ' ') + "d");
}

TEST(ConsoleText, LongLinesWrapAtTheWidthAndOldLinesGo) {
    ConsoleText text(10, 3);
    text.feed("0123456789");  // exactly full: the cursor waits at the end
    EXPECT_EQ(text.cursorRow(), 0);
    text.feed("abc\r\n");
    EXPECT_EQ(text.text(), "0123456789\nabc\n");
    text.feed("x\ny\r\nz");
    EXPECT_EQ(text.lines().size(), 3u);
    EXPECT_EQ(text.text(), "x\n y\nz");  // the oldest lines went; a line feed keeps the column
}

}  // namespace
