// Drawing the windows: pages, message boxes, the window menu, an open drop-down list, a
// minimised window, and the one-line notice of a window that does not fit.
#include "ui/terminal/TerminalBackend.h"

// Before curses.h: its macros (OK, ...) would clash with the framework's names.
#include "ui/Dialog.h"

#include "ui/terminal/Layout.h"
#include "ui/terminal/Screen.h"
#include "ui/terminal/Text.h"

#include <algorithm>
#include <iterator>

namespace ui::terminal {

namespace {

int luminance(std::uint32_t rgb) {
    return int(((rgb >> 16) & 0xFF) * 299 + ((rgb >> 8) & 0xFF) * 587 + (rgb & 0xFF) * 114) / 1000;
}

}  // namespace

void TerminalBackend::prepareColours() {
    colour_ = has_colors() && start_color() == OK && COLORS >= 8 && COLOR_PAIRS >= 16;
    if (!colour_) return;
    init_pair(kDesk, COLOR_WHITE, COLOR_BLUE);
    init_pair(kDialog, COLOR_BLACK, COLOR_WHITE);
    init_pair(kTitle, COLOR_BLUE, COLOR_WHITE);
    init_pair(kField, COLOR_BLACK, COLOR_CYAN);
    init_pair(kFocus, COLOR_WHITE, COLOR_BLUE);
    init_pair(kWarning, COLOR_RED, COLOR_WHITE);
    init_pair(kInactive, COLOR_BLACK, COLOR_WHITE);
    nextPair_ = kFirstPicturePair;
    // The pictures' 16 colours on the terminal's 8 or 16: the nearest one.
    static const std::uint32_t kTerminalRgb[16] = {
        0x000000, 0x800000, 0x008000, 0x808000, 0x000080, 0x800080, 0x008080, 0xC0C0C0,
        0x808080, 0xFF0000, 0x00FF00, 0xFFFF00, 0x0000FF, 0xFF00FF, 0x00FFFF, 0xFFFFFF};
    const int available = COLORS >= 16 ? 16 : 8;
    for (int p = 0; p < 16; ++p) {
        long best = -1;
        for (int t = 0; t < available; ++t) {
            long d = 0;
            for (int shift : {16, 8, 0}) {
                long a = long((res::kPalette16[p] >> shift) & 0xFF),
                     b = long((kTerminalRgb[t] >> shift) & 0xFF);
                d += (a - b) * (a - b);
            }
            if (best < 0 || d < best) {
                best = d;
                colourOf_[p] = short(t);
            }
        }
    }
}

short TerminalBackend::pair(short fg, short bg) {
    int key = (fg << 8) | bg;
    auto it = pairs_.find(key);
    if (it != pairs_.end()) return it->second;
    if (nextPair_ >= COLOR_PAIRS || nextPair_ >= 0x7FFF)
        return kDialog;  // out of pairs: plain colours
    short number = nextPair_++;
    init_pair(number, fg, bg);
    pairs_[key] = number;
    return number;
}

void TerminalBackend::drawPicture(const Box& b, const res::Picture& pic) {
    if (pic.imageCount <= 0) return;
    const res::Image& img = pic.images[0];
    // Each cell shows two pixel rows (upper and lower half), each the block's most common colour.
    const int pixelRows = b.height * 2;
    // Shrunk several times, thin strokes (the logo's lettering) would vanish under the most
    // common colour; a block therefore shows its strongest colour other than the picture's
    // background when that covers a fifth of it.
    auto colourAt = [&](int x, int y) {
        int p = img.pixels[std::size_t(y) * std::size_t(img.width) + std::size_t(x)] & 15;
        return p == img.transparent ? 16 : p;  // 16: nothing
    };
    int background = 16;
    {
        int counts[17] = {};
        for (int y = 0; y < img.height; ++y) {
            for (int x = 0; x < img.width; ++x) ++counts[colourAt(x, y)];
        }
        background =
            int(std::max_element(std::begin(counts), std::end(counts)) - std::begin(counts));
    }
    auto sample = [&](int col, int prow) {
        int x0 = col * img.width / b.width, x1 = std::max(x0 + 1, (col + 1) * img.width / b.width);
        int y0 = prow * img.height / pixelRows,
            y1 = std::max(y0 + 1, (prow + 1) * img.height / pixelRows);
        int counts[17] = {};
        int total = 0;
        for (int y = y0; y < std::min(y1, img.height); ++y) {
            for (int x = x0; x < std::min(x1, img.width); ++x, ++total) ++counts[colourAt(x, y)];
        }
        int strongest = -1;
        for (int p = 0; p < 17; ++p) {
            if (p != background && (strongest < 0 || counts[p] > counts[strongest])) strongest = p;
        }
        if (strongest >= 0 && counts[strongest] * 5 >= total && counts[strongest] > 0)
            return strongest;
        return int(std::max_element(std::begin(counts), std::end(counts)) - std::begin(counts));
    };
    static const char* const kShadesUtf8[] = {" ", "\u2591", "\u2592", "\u2593", "\u2588"};
    static const char kShadesAscii[] = " .:#@";
    for (int r = 0; r < b.height; ++r) {
        for (int c = 0; c < b.width; ++c) {
            int upper = sample(c, 2 * r), lower = sample(c, 2 * r + 1);
            int row = b.top + r, col = b.left + c;
            if (colour_) {
                short bgUpper = upper == 16 ? short(COLOR_WHITE) : colourOf_[upper];
                short bgLower = lower == 16 ? short(COLOR_WHITE) : colourOf_[lower];
                if (unicode_) {
                    putGlyph(row, col, "\u2580", A_NORMAL, pair(bgUpper, bgLower));
                } else {
                    put(row, col, " ", A_NORMAL, pair(COLOR_BLACK, upper == 16 ? bgLower : bgUpper),
                        1);
                }
            } else {
                int lum = 0, n = 0;
                for (int p : {upper, lower}) {
                    if (p != 16) lum += luminance(res::kPalette16[p]), ++n;
                }
                // Ink on paper: dark pixels dense, light ones blank, whatever the terminal's own
                // colours.
                int shade = n == 0 ? 0 : std::clamp((255 - lum / n) * 5 / 256, 0, 4);
                if (unicode_) {
                    putGlyph(row, col, kShadesUtf8[shade], A_NORMAL, 0);
                } else {
                    put(row, col, std::string(1, kShadesAscii[shade]), A_NORMAL, 0, 1);
                }
            }
        }
    }
}

void TerminalBackend::render() {
    if (handedOver_ || !screen_) return;
    fill({0, 0, LINES, COLS}, A_NORMAL, colour_ ? kDesk : 0);
    const Window* top = topVisible();
    for (const Window* w : open_) {
        if (!w->visible) continue;
        const bool isActive = w == top;
        if (w->kind == WindowKind::MessageBox) {
            drawMessageBox(*w, isActive);
        } else if (w->iconic) {
            if (isActive) drawIconic(*w);
        } else if (w->tmpl) {
            drawDialog(*w, isActive);
        }
    }
    if (top && top->kind == WindowKind::Dialog) {
        if (menu_.open) drawMenu(*top);
        if (view(*top).dropped) drawDropList(*top);
    }
    attr_set(A_NORMAL, 0, nullptr);
    move(std::max(0, LINES - 1), std::max(0, COLS - 1));
    refresh();
}

void TerminalBackend::drawNotice(const std::string& text) {
    fill({0, 0, LINES, COLS}, A_NORMAL, colour_ ? kDesk : 0);
    const std::vector<std::string> lines = wrap(text, std::max(1, COLS - 2));
    int row = std::max(0, (LINES - int(lines.size())) / 2);
    for (const std::string& line : lines) {
        put(row++, std::max(0, (COLS - int(line.size())) / 2), line, A_BOLD, colour_ ? kDesk : 0,
            COLS);
    }
}

// The frame and title of a window; behind the active one they are drawn inactive, as a desktop
// shows an owner behind its modal dialog.
namespace {
void drawFrame(const Box& b, const std::string& title, bool isActive, bool colour) {
    const short dialog = colour ? kDialog : 0;
    const attr_t frameAttr = isActive ? A_NORMAL : A_DIM;
    fill(b, A_NORMAL, dialog);
    frame(b, frameAttr, colour && !isActive ? kInactive : dialog);
    put(b.top, b.left + std::max(1, (b.width - int(title.size()) - 2) / 2), " " + title + " ",
        isActive ? A_BOLD : A_DIM, colour ? (isActive ? kTitle : kInactive) : 0, b.width - 2);
}
}  // namespace

void TerminalBackend::drawMessageBox(const Window& w, bool isActive) {
    const MessageBoxLayout l = layoutMessageBox(w, COLS, LINES);
    if (!l.problem.empty()) {
        if (isActive) drawNotice(l.problem + " Enter answers it with OK.");
        return;
    }
    const Box& b = l.frame;
    const short dialog = colour_ ? kDialog : 0;
    drawFrame(b, w.title, isActive, colour_);
    if (l.indent > 0) put(b.top + 1, b.left + 2, "/!\\", A_BOLD, colour_ ? kWarning : 0, 3);
    for (std::size_t i = 0; i < l.lines.size(); ++i) {
        put(b.top + 1 + int(i), b.left + 2 + l.indent, l.lines[i], A_NORMAL, dialog,
            b.width - 4 - l.indent);
    }
    const std::string ok = "< OK >";
    put(b.bottom() - 2, b.left + (b.width - int(ok.size())) / 2, ok,
        isActive ? A_REVERSE | A_BOLD : A_NORMAL, colour_ && isActive ? kFocus : dialog,
        int(ok.size()));
}

void TerminalBackend::drawIconic(const Window& w) {
    // A minimised window: its icon and title at the bottom, and how to bring it back.
    View& v = view(w);
    const short dialog = colour_ ? kDialog : 0;
    Box b{std::max(0, LINES - 6), 1, 5, 18};
    fill(b, A_NORMAL, dialog);
    frame(b, A_NORMAL, dialog);
    put(b.top, b.left + 2, w.title, A_BOLD, colour_ ? kTitle : 0, b.width - 4);
    const res::Picture* icon = v.icon ? v.icon : res::FindPicture(w.largeIcon);
    if (icon) drawPicture({b.top + 1, b.left + 5, 3, 8}, *icon);
    const std::string hint = "Minimised: press Enter (or Alt+Space) and choose Restore.";
    put(b.bottom(), b.left, hint, A_BOLD, colour_ ? kDesk : 0, COLS - b.left);
}

void TerminalBackend::drawDialog(const Window& w, bool isActive) {
    const DialogLayout l = layoutDialog(w, COLS, LINES);
    if (!l.problem.empty()) {
        if (isActive) drawNotice(l.problem + " Enlarge it to see the window; Escape cancels it.");
        return;
    }
    View& v = view(w);
    const short dialog = colour_ ? kDialog : 0;
    const short title = colour_ ? kTitle : 0, field = colour_ ? kField : 0;
    drawFrame(l.frame, w.title, isActive, colour_);
    if (isActive) fixFocus(w);

    for (std::size_t i = 0; i < w.controls.size(); ++i) {
        const Control& c = w.controls[i];
        if (!c.visible || !c.tmpl) continue;
        const Box& b = l.controls[i];
        const bool hasFocus = isActive && !menu_.open && v.focus == int(i);
        const attr_t focusAttr = hasFocus ? A_REVERSE : A_NORMAL;
        const int toEdge =
            l.inner.right() - b.left;  // a single-line text may run on (Layout checked it fits)
        switch (c.tmpl->kind) {
            case res::ControlKind::Label: {
                std::string plain = stripMnemonic(c.text);
                int col = b.left;
                if (c.tmpl->style & res::kCentered)
                    col += std::max(0, (b.width - int(plain.size())) / 2);
                putMnemonic(b.top, col, c.text, A_NORMAL, dialog, toEdge);
                break;
            }
            case res::ControlKind::GroupBox:
                frame(b, A_NORMAL, dialog);
                putMnemonic(b.top, b.left + 1, " " + c.text + " ", A_NORMAL, dialog, b.width - 2);
                break;
            case res::ControlKind::Edit: {
                if (c.tmpl->style & res::kMultiLine) {
                    std::vector<std::string> textLines = wrap(c.text, b.width);
                    if (int(textLines.size()) > b.height && (c.tmpl->style & res::kVScroll) &&
                        b.width > 2) {
                        textLines =
                            wrap(c.text, b.width - 1);  // the right column shows the scroll marks
                    }
                    int& top = v.scroll[int(i)];
                    top = std::clamp(top, 0, std::max(0, int(textLines.size()) - b.height));
                    for (int r = 0; r < b.height && top + r < int(textLines.size()); ++r) {
                        put(b.top + r, b.left, textLines[std::size_t(top + r)], focusAttr, dialog,
                            b.width);
                    }
                    if (top > 0)
                        putGlyph(b.top, b.left + b.width - 1, unicode_ ? "\u2191" : "^", A_BOLD,
                                 title);
                    if (top + b.height < int(textLines.size())) {
                        putGlyph(b.top + b.height - 1, b.left + b.width - 1,
                                 unicode_ ? "\u2193" : "v", A_BOLD, title);
                    }
                } else {
                    const bool bordered = !(c.tmpl->style & res::kNoBorder);
                    if (bordered) fill(b, A_NORMAL, field);
                    put(b.top, b.left, c.text,
                        focusAttr | (colour_ || !bordered ? A_NORMAL : A_UNDERLINE),
                        bordered ? field : dialog, b.width);
                }
                break;
            }
            case res::ControlKind::PushButton:
            case res::ControlKind::DefPushButton: {
                const std::string label = stripMnemonic(c.text);
                const int width = int(label.size()) + 4;
                const int col = b.left + std::max(0, (b.width - width) / 2);
                const bool def = c.tmpl->kind == res::ControlKind::DefPushButton;
                attr_t attr =
                    (hasFocus ? A_REVERSE : A_NORMAL) | (def && c.enabled ? A_BOLD : A_NORMAL);
                short colourPair = hasFocus && colour_ ? kFocus : dialog;
                if (!c.enabled) {
                    put(b.top, col, "  " + label + "  ", A_DIM, dialog, width);
                } else {
                    put(b.top, col, "< ", attr, colourPair, 2);
                    putMnemonic(b.top, col + 2, c.text, attr, colourPair, int(label.size()));
                    put(b.top, col + 2 + int(label.size()), " >", attr, colourPair, 2);
                }
                break;
            }
            case res::ControlKind::RadioButton:
                put(b.top, b.left, c.checked ? "(*) " : "( ) ", A_NORMAL, dialog, toEdge);
                putMnemonic(b.top, b.left + 4, c.text, focusAttr | (c.enabled ? A_NORMAL : A_DIM),
                            dialog, toEdge - 4);
                break;
            case res::ControlKind::DropList: {
                std::string shown = c.selection >= 0 && c.selection < int(c.items.size())
                                        ? c.items[std::size_t(c.selection)]
                                        : std::string();
                int inner = std::max(1, b.width - 2);
                shown.resize(std::size_t(inner), ' ');
                put(b.top, b.left, shown, focusAttr, field, inner);
                put(b.top, b.left + inner, " ", focusAttr, field, 1);
                putGlyph(b.top, b.left + inner + 1, unicode_ ? "\u25BC" : "v", focusAttr, field);
                break;
            }
            case res::ControlKind::IconPicture:
            case res::ControlKind::BitmapPicture:
                if (c.picture) drawPicture(b, *c.picture);
                break;
        }
    }
}

void TerminalBackend::drawMenu(const Window& w) {
    // The window menu, over the top left of its window (or above the minimised box).
    const DialogLayout l = layoutDialog(w, COLS, LINES);
    int width = 0;
    for (const MenuItem& m : menu_.items)
        width = std::max(width, int(stripMnemonic(m.text).size()));
    Box b{l.frame.top + 1, l.frame.left + 1, int(menu_.items.size()) + 2, width + 4};
    if (w.iconic || !l.problem.empty())
        b = {std::max(0, LINES - b.height - 6), 1, b.height, b.width};
    const short dialog = colour_ ? kDialog : 0;
    fill(b, A_NORMAL, dialog);
    frame(b, A_NORMAL, dialog);
    for (std::size_t k = 0; k < menu_.items.size(); ++k) {
        const MenuItem& m = menu_.items[k];
        int row = b.top + 1 + int(k);
        if (m.command == 0) {
            for (int c = b.left + 1; c < b.right() - 1; ++c)
                putChar(row, c, ACS_HLINE, A_NORMAL, dialog);
            continue;
        }
        bool sel = int(k) == menu_.selected;
        put(row, b.left + 1, std::string(std::size_t(width + 2), ' '), sel ? A_REVERSE : A_NORMAL,
            dialog, width + 2);
        putMnemonic(row, b.left + 2, m.text, sel ? A_REVERSE : A_NORMAL, dialog, width);
    }
}

void TerminalBackend::drawDropList(const Window& w) {
    // The open list below its field (above it when the screen ends first), the entry to be taken
    // highlighted.
    View& v = view(w);
    if (v.focus < 0 || v.focus >= int(w.controls.size())) return;
    const Control& c = w.controls[std::size_t(v.focus)];
    const DialogLayout l = layoutDialog(w, COLS, LINES);
    if (!l.problem.empty()) return;
    const Box& field = l.controls[std::size_t(v.focus)];
    Box b{field.bottom(), field.left, int(c.items.size()) + 2, field.width};
    if (b.bottom() > LINES) b.top = std::max(0, field.top - b.height);
    const short colourPair = colour_ ? kField : 0;
    fill(b, A_NORMAL, colourPair);
    frame(b, A_NORMAL, colourPair);
    for (std::size_t k = 0; k < c.items.size(); ++k) {
        const bool hot = int(k) == v.hot;
        std::string text = c.items[k];
        text.resize(std::size_t(std::max(0, b.width - 2)), ' ');
        put(b.top + 1 + int(k), b.left + 1, text, hot ? A_REVERSE : A_NORMAL,
            colour_ && hot ? kFocus : colourPair, b.width - 2);
    }
}

}  // namespace ui::terminal
