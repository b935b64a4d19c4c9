#include "ui/terminal/Layout.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "ui/terminal/Text.h"

namespace ui::terminal {

namespace {

// A control's extent in dialog units. A picture control takes the size of its image (pixels to
// units: 6 x 13 pixels per 4 x 8); a drop-down list takes its closed field (the rest of its
// template height is room for the open list).
struct Units {
    double x, y, cx, cy;
};
Units unitsOf(const Control& c) {
    const res::ControlTemplate& t = *c.tmpl;
    Units u{double(t.x), double(t.y), double(t.cx), double(t.cy)};
    if ((t.kind == res::ControlKind::IconPicture || t.kind == res::ControlKind::BitmapPicture) &&
        c.picture && c.picture->imageCount > 0) {
        u.cx = c.picture->images[0].width * 4.0 / 6.0;
        u.cy = c.picture->images[0].height * 8.0 / 13.0;
    }
    if (t.kind == res::ControlKind::DropList) u.cy = 14;
    return u;
}

// A run of rows taken by one multi-row control, or by the single-line controls that share a row.
struct Band {
    std::vector<std::size_t> members;
    double top = 0, bottom = 0;  // dialog units
    int left = 0, right = 0;     // cells
    bool singleRow = true;
    bool groupBox = false;
    int start = 0, end = 0;  // rows, end exclusive
};

bool sideBySide(const Band& a, const Band& b) {
    return a.right <= b.left || b.right <= a.left;
}

bool contains(const Band& outer, const Band& inner) {
    return outer.top <= inner.top && inner.bottom <= outer.bottom && outer.left <= inner.left &&
           inner.right <= outer.right;
}

// The cells a control needs on its row.
int cellsNeeded(const Control& c) {
    switch (c.tmpl->kind) {
        case res::ControlKind::Label:
            return int(stripMnemonic(c.text).size());
        case res::ControlKind::Edit:
            return int(c.text.size());
        case res::ControlKind::PushButton:
        case res::ControlKind::DefPushButton:
            return int(stripMnemonic(c.text).size()) + 4;  // "< Next >"
        case res::ControlKind::RadioButton:
            return int(stripMnemonic(c.text).size()) + 4;  // "(*) White top ..."
        case res::ControlKind::DropList: {
            std::size_t longest = 0;
            for (const std::string& item : c.items) longest = std::max(longest, item.size());
            return int(longest) + 2;  // the entry and the arrow
        }
        default:
            return 0;
    }
}

std::string tooSmall(const std::string& title, int needColumns, int needLines, int columns,
                     int lines) {
    char text[192];
    std::snprintf(text, sizeof text,
                  "\"%s\" needs at least %d x %d characters; this terminal has %d x %d.",
                  title.c_str(), needColumns, needLines, columns, lines);
    return text;
}

}  // namespace

bool isButton(const Control& c) {
    return c.tmpl->kind == res::ControlKind::PushButton ||
           c.tmpl->kind == res::ControlKind::DefPushButton;
}

bool isSingleRow(const Control& c) {
    const res::ControlTemplate& t = *c.tmpl;
    return !((t.kind == res::ControlKind::Edit && (t.style & res::kMultiLine)) ||
             t.kind == res::ControlKind::GroupBox || t.kind == res::ControlKind::IconPicture ||
             t.kind == res::ControlKind::BitmapPicture);
}

DialogLayout layoutDialog(const Window& w, int columns, int lines) {
    DialogLayout l;
    const int cx = std::max(1, w.tmpl->cx), cy = std::max(1, w.tmpl->cy);
    const double fitX = double(columns - 2) / cx, fitY = double(lines - 2) / cy;
    if (fitX < kMinCellsPerUnitX || fitY < kMinRowsPerUnitY) {
        l.problem = tooSmall(w.title, int(std::ceil(cx * kMinCellsPerUnitX)) + 2,
                             int(std::ceil(cy * kMinRowsPerUnitY)) + 2, columns, lines);
        return l;
    }
    const double sx = std::min(kMaxCellsPerUnitX, fitX), sy = std::min(kMaxRowsPerUnitY, fitY);
    l.inner.width = std::max(1, int(std::ceil(cx * sx - 1e-9)));
    l.controls.assign(w.controls.size(), Box{});

    // Bands: each multi-row control alone, single-line controls merged where their extents meet.
    std::vector<Band> bands;
    std::vector<std::size_t> singles;
    for (std::size_t i = 0; i < w.controls.size(); ++i) {
        const Control& c = w.controls[i];
        if (!c.visible || !c.tmpl) continue;
        const Units u = unitsOf(c);
        Box& b = l.controls[i];
        b.left = std::clamp(int(std::lround(u.x * sx)), 0, l.inner.width - 1);
        b.width =
            std::clamp(int(std::lround((u.x + u.cx) * sx)) - b.left, 1, l.inner.width - b.left);
        if (isSingleRow(c)) {
            singles.push_back(i);
            continue;
        }
        Band band;
        band.members = {i};
        band.top = u.y;
        band.bottom = u.y + u.cy;
        band.left = b.left;
        band.right = b.right();
        band.singleRow = false;
        band.groupBox = c.tmpl->kind == res::ControlKind::GroupBox;
        bands.push_back(band);
    }
    std::sort(singles.begin(), singles.end(), [&](std::size_t a, std::size_t b) {
        return unitsOf(w.controls[a]).y < unitsOf(w.controls[b]).y;
    });
    for (std::size_t i : singles) {
        const Units u = unitsOf(w.controls[i]);
        const Box& b = l.controls[i];
        // Merged with the row whose extent it meets (they come in order from the top).
        auto row = std::find_if(bands.begin(), bands.end(), [&](const Band& band) {
            return band.singleRow && u.y < band.bottom && band.top < u.y + u.cy;
        });
        if (row == bands.end()) {
            Band band;
            band.top = u.y;
            band.bottom = u.y + u.cy;
            band.left = b.left;
            band.right = b.right();
            bands.push_back(band);
            row = bands.end() - 1;
        } else {
            row->top = std::min(row->top, u.y);
            row->bottom = std::max(row->bottom, u.y + u.cy);
            row->left = std::min(row->left, b.left);
            row->right = std::max(row->right, b.right());
        }
        row->members.push_back(i);
    }
    std::stable_sort(bands.begin(), bands.end(),
                     [](const Band& a, const Band& b) { return a.top < b.top; });

    // Rows, top to bottom: where the scale puts a band, but never on a row that a band above it
    // (or the frame of a group box around it) still takes.
    int used = int(std::ceil(cy * sy - 1e-9));
    for (std::size_t k = 0; k < bands.size(); ++k) {
        Band& b = bands[k];
        int start = b.singleRow ? int(std::floor((b.top + b.bottom) / 2 * sy))
                                : int(std::lround(b.top * sy));
        for (std::size_t j = 0; j < k; ++j) {
            const Band& a = bands[j];
            if (sideBySide(a, b)) continue;
            if (a.groupBox && contains(a, b)) {
                start = std::max(start, a.start + 1);
            } else if (a.bottom <= b.top + 1) {
                start = std::max(start, a.end);
            } else {
                l.problem = "\"" + w.title + "\" has controls that overlap.";  // a template fault
            }
        }
        const int minimum = b.singleRow ? 1 : b.groupBox ? 3 : 2;
        const int height =
            b.singleRow ? 1 : std::max(minimum, int(std::lround(b.bottom * sy)) - start);
        b.start = start;
        b.end = start + height;
        for (std::size_t j = 0; j < k; ++j) {
            if (bands[j].groupBox && contains(bands[j], b))
                bands[j].end = std::max(bands[j].end, b.end + 1);
        }
        used = std::max(used, b.end);
    }
    for (const Band& b : bands) {
        for (std::size_t i : b.members) {
            l.controls[i].top = b.start;
            l.controls[i].height = b.end - b.start;
        }
    }
    l.inner.height = used;

    // Texts stay whole: a single-line control may use its row up to the next control on it, the
    // frame of a group box around it, or the window's border.
    for (const Band& b : bands) {
        if (!b.singleRow) continue;
        for (std::size_t i : b.members) {
            const Control& c = w.controls[i];
            const Box& box = l.controls[i];
            int room = isButton(c) ? box.width : l.inner.width - box.left;
            for (std::size_t j : b.members) {
                if (j != i && l.controls[j].left > box.left)
                    room = std::min(room, l.controls[j].left - box.left);
            }
            for (const Band& g : bands) {
                if (g.groupBox && contains(g, b)) room = std::min(room, g.right - 1 - box.left);
            }
            if (cellsNeeded(c) > room && l.problem.empty()) {
                l.problem = "\"" + w.title + "\" cannot show \"" + stripMnemonic(c.text) +
                            "\" whole at " + std::to_string(columns) + " x " +
                            std::to_string(lines) + " characters.";
            }
        }
    }

    l.frame.width = l.inner.width + 2;
    l.frame.height = l.inner.height + 2;
    if (l.frame.height > lines && l.problem.empty()) {
        l.problem =
            tooSmall(w.title, std::min(columns, l.frame.width), l.frame.height, columns, lines);
    }
    l.frame.top = std::max(0, (lines - l.frame.height) / 2);
    l.frame.left = std::max(0, (columns - l.frame.width) / 2);
    l.inner.top = l.frame.top + 1;
    l.inner.left = l.frame.left + 1;
    for (std::size_t i = 0; i < l.controls.size(); ++i) {
        if (!w.controls[i].visible) continue;
        l.controls[i].top += l.inner.top;
        l.controls[i].left += l.inner.left;
    }
    return l;
}

MessageBoxLayout layoutMessageBox(const Window& w, int columns, int lines) {
    MessageBoxLayout l;
    l.indent = w.icon == MessageIcon::Exclamation ? 5 : 0;
    const int maxText = std::min(columns - 6 - l.indent, 64);
    if (maxText < 20) {
        l.problem = tooSmall(w.title, 26 + l.indent, 8, columns, lines);
        return l;
    }
    l.lines = wrap(w.text, maxText);
    int textWidth = 0;
    for (const std::string& line : l.lines) textWidth = std::max(textWidth, int(line.size()));
    const int width = std::max({textWidth + l.indent + 4, int(w.title.size()) + 6, 14});
    const int height = int(l.lines.size()) + 4;  // border, text, a blank row, OK, border
    if (height > lines) {
        l.problem = tooSmall(w.title, width, height, columns, lines);
        return l;
    }
    l.frame = {std::max(0, (lines - height) / 2), std::max(0, (columns - width) / 2), height,
               width};
    return l;
}

}  // namespace ui::terminal
