// Arbitrary flasher output through the desktop console's emulator and the unattended run's
// progress reader. The first byte gives the console's width and how many bytes arrive at a time.
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/FuzzCheck.h"
#include "service/FlasherProgress.h"
#include "ui/desktop/ConsoleText.h"

namespace {

void CheckShown(const ui::desktop::ConsoleText& text, int columns, std::size_t kept) {
    const auto& lines = text.lines();
    Check(!lines.empty() && lines.size() <= kept);
    for (const std::string& line : lines)
        Check(line.size() <= std::size_t(columns) && Printable(line));
    Check(text.cursorRow() >= 0 && std::size_t(text.cursorRow()) < lines.size());
    Check(text.cursorColumn() >= 0 && text.cursorColumn() < columns);
}

// A segment as the run's reader cuts them: between carriage returns and line feeds.
void CheckProgress(std::string_view segment) {
    const std::optional<FlasherProgress> progress = ParseFlasherProgress(segment);
    if (!progress) return;
    Check(segment.starts_with("Writing ["));
    Check(progress->done >= 0 && progress->total >= 0 && progress->percent >= 0 &&
          progress->percent <= 100);
    Check(progress->total > 0 || progress->percent == 0);
    // Read back the same from a line of our own making.
    const std::string again = "Writing [#] " + std::to_string(progress->done) + "/" +
                              std::to_string(progress->total) + " bytes";
    const std::optional<FlasherProgress> same = ParseFlasherProgress(again);
    Check(same && same->done == progress->done && same->total == progress->total &&
          same->percent == progress->percent);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const int columns = 1 + data[0] % 100;
    const std::size_t piece = 1 + data[0] / 16;
    const std::size_t kept = 1 + data[0] % 7;
    const char* bytes = reinterpret_cast<const char*>(data + 1);
    const std::size_t count = size - 1;

    // In pieces as the pseudo-terminal hands them over, and at once: the same lines either way.
    ui::desktop::ConsoleText pieces(columns, kept), whole(columns, kept);
    for (std::size_t at = 0; at < count; at += piece) {
        pieces.feed(bytes + at, std::min(piece, count - at));
        CheckShown(pieces, columns, kept);
    }
    whole.feed(bytes, count);
    Check(whole.lines() == pieces.lines() && whole.cursorRow() == pieces.cursorRow() &&
          whole.cursorColumn() == pieces.cursorColumn());

    const std::string_view output(bytes, count);
    std::size_t begin = 0;
    for (std::size_t i = 0; i <= count; ++i) {
        if (i == count || output[i] == '\r' || output[i] == '\n') {
            CheckProgress(output.substr(begin, std::min<std::size_t>(i - begin, 4096)));
            begin = i + 1;
        }
    }
    return 0;
}
