// Draws the wizard's pictures and writes them as a C++ source of pixel data (the build embeds it).
// Usage: DrawPictures <output.cpp> [<folder for .ppm previews>]
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "res/Resource.h"

namespace {

// Palette indices of the classic 16-colour palette.
enum Colour : std::uint8_t {
    Black,
    Maroon,
    DarkGreen,
    Olive,
    Navy,
    Purple,
    Teal,
    Silver,
    Grey,
    Red,
    Green,
    Yellow,
    Blue,
    Fuchsia,
    Aqua,
    White
};

constexpr std::uint32_t kPalette[16] = {
    0x000000, 0x800000, 0x008000, 0x808000, 0x000080, 0x800080, 0x008080, 0xC0C0C0,
    0x808080, 0xFF0000, 0x00FF00, 0xFFFF00, 0x0000FF, 0xFF00FF, 0x00FFFF, 0xFFFFFF,
};

struct Canvas {
    int w, h;
    std::vector<std::uint8_t> px;
    Canvas(int width, int height, std::uint8_t fill)
        : w(width), h(height), px(std::size_t(width * height), fill) {}
    void set(int x, int y, std::uint8_t c) {
        if (x >= 0 && y >= 0 && x < w && y < h) px[std::size_t(y * w + x)] = c;
    }
    void fill(int x, int y, int cx, int cy, std::uint8_t c) {
        for (int j = y; j < y + cy; ++j)
            for (int i = x; i < x + cx; ++i) set(i, j, c);
    }
    void frame(int x, int y, int cx, int cy, std::uint8_t c) {
        for (int i = x; i < x + cx; ++i) {
            set(i, y, c);
            set(i, y + cy - 1, c);
        }
        for (int j = y; j < y + cy; ++j) {
            set(x, j, c);
            set(x + cx - 1, j, c);
        }
    }
    void line(int x0, int y0, int x1, int y1, std::uint8_t c) {
        int dx = std::abs(x1 - x0), sx = x0 < x1 ? 1 : -1;
        int dy = -std::abs(y1 - y0), sy = y0 < y1 ? 1 : -1;
        int err = dx + dy;
        for (;;) {
            set(x0, y0, c);
            if (x0 == x1 && y0 == y1) break;
            int e2 = 2 * err;
            if (e2 >= dy) {
                err += dy;
                x0 += sx;
            }
            if (e2 <= dx) {
                err += dx;
                y0 += sy;
            }
        }
    }
    // Right-facing arc of radius r around (cx, cy), about +-45 degrees.
    void arc(int cx, int cy, int r, std::uint8_t c) {
        for (int j = -r; j <= r; ++j) {
            for (int i = 0; i <= r; ++i) {
                int d = i * i + j * j;
                if (d >= (r - 1) * (r - 1) + 1 && d <= r * r && std::abs(j) <= i)
                    set(cx + i, cy + j, c);
            }
        }
    }
};

// A 5x7 font with just the letters the logo needs.
struct Glyph {
    char ch;
    const char* rows[7];
};
constexpr Glyph kFont[] = {
    {'R', {"####.", "#...#", "#...#", "####.", "#.#..", "#..#.", "#...#"}},
    {'E', {"#####", "#....", "#....", "####.", "#....", "#....", "#####"}},
    {'F', {"#####", "#....", "#....", "####.", "#....", "#....", "#...."}},
    {'L', {"#....", "#....", "#....", "#....", "#....", "#....", "#####"}},
    {'A', {".###.", "#...#", "#...#", "#####", "#...#", "#...#", "#...#"}},
    {'S', {".####", "#....", "#....", ".###.", "....#", "....#", "####."}},
    {'H', {"#...#", "#...#", "#...#", "#####", "#...#", "#...#", "#...#"}},
};

void text(Canvas& c, int x, int y, int scale, const char* s, std::uint8_t colour) {
    for (; *s; ++s, x += 6 * scale) {
        for (const Glyph& g : kFont) {
            if (g.ch != *s) continue;
            for (int row = 0; row < 7; ++row)
                for (int col = 0; col < 5; ++col)
                    if (g.rows[row][col] == '#')
                        c.fill(x + col * scale, y + row * scale, scale, scale, colour);
        }
    }
}

// The receiver: a grey case with a screen and an antenna, scaled to fit (x, y, cx, cy).
void receiver(Canvas& c, int x, int y, int cx, int cy, std::uint8_t screen) {
    int antenna = cy / 4;
    c.line(x + cx - 3, y, x + cx - 3, y + antenna, Black);
    c.fill(x, y + antenna, cx, cy - antenna, Silver);
    c.frame(x, y + antenna, cx, cy - antenna, Black);
    int m = cx >= 12 ? 2 : 1;
    c.fill(x + m + 1, y + antenna + m + 1, cx - 2 * m - 2, (cy - antenna) / 2, screen);
    c.frame(x + m, y + antenna + m, cx - 2 * m, (cy - antenna) / 2 + 2, Grey);
    if (cx >= 12) {
        int by = y + antenna + (cy - antenna) * 3 / 4;
        c.fill(x + 3, by, 3, 2, Red);
        c.fill(x + cx - 6, by, 3, 2, Green);
    }
}

// The PC: a monitor on a foot.
void computer(Canvas& c, int x, int y) {
    c.fill(x, y, 32, 24, Silver);
    c.frame(x, y, 32, 24, Black);
    c.fill(x + 3, y + 3, 26, 18, Navy);
    c.fill(x + 12, y + 24, 8, 4, Grey);
    c.fill(x + 6, y + 28, 20, 3, Silver);
    c.frame(x + 6, y + 28, 20, 3, Black);
}

Canvas appIcon(int size) {
    Canvas c(size, size, Teal);  // Teal is the transparent index of the icons
    if (size >= 32) {
        receiver(c, 4, 2, 14, 28, Aqua);
        c.arc(21, 7, 4, Blue);
        c.arc(21, 7, 7, Blue);
        c.arc(21, 7, 10, Blue);
        // the flash: a yellow bolt over the case
        c.line(10, 15, 7, 21, Yellow);
        c.line(7, 21, 11, 21, Yellow);
        c.line(11, 21, 8, 27, Yellow);
    } else {
        receiver(c, 2, 1, 8, 14, Aqua);
        c.arc(11, 4, 3, Blue);
        c.arc(11, 4, 5, Blue);
    }
    return c;
}

Canvas logo() {
    Canvas c(225, 59, White);
    c.frame(0, 0, 225, 59, Navy);
    receiver(c, 8, 6, 20, 46, Aqua);
    c.arc(30, 13, 6, Blue);
    c.arc(30, 13, 10, Blue);
    text(c, 50, 16, 3, "REFLASHER", Navy);
    c.fill(50, 42, 161, 3, Red);
    return c;
}

// Animation frame: the PC sends a packet along the cable to the receiver. Step 1 ... 7 move the
// packet; step 0 is the rest frame (bitmap 143): the receiver shows a green screen and a tick.
Canvas frame(int step) {
    Canvas c(128, 48, White);
    computer(c, 4, 6);
    receiver(c, 100, 2, 22, 40, step == 0 ? Green : Aqua);
    c.line(20, 37, 20, 44, Black);
    c.line(20, 44, 110, 44, Black);
    c.line(110, 44, 110, 42, Black);
    if (step > 0) {
        int px = 26 + (step - 1) * 11;
        c.fill(px, 40, 8, 6, Yellow);
        c.frame(px, 40, 8, 6, Olive);
        for (int r = 0; r < (step + 1) / 2 && r < 3; ++r) c.arc(40 + 14 * r, 16, 5 + 4 * r, Blue);
    } else {
        c.line(104, 18, 108, 22, Black);
        c.line(108, 22, 116, 12, Black);
    }
    return c;
}

void writePreview(const std::string& folder, const std::string& name, const Canvas& c) {
    std::string path = folder + "/" + name + ".ppm";
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return;
    std::fprintf(f, "P6\n%d %d\n255\n", c.w, c.h);
    for (std::uint8_t p : c.px) {
        std::uint32_t rgb = kPalette[p & 15];
        std::fputc(int(rgb >> 16 & 0xFF), f);
        std::fputc(int(rgb >> 8 & 0xFF), f);
        std::fputc(int(rgb & 0xFF), f);
    }
    std::fclose(f);
}

struct Named {
    std::string name;
    Canvas canvas;
};

void writeArray(FILE* out, const Named& n) {
    std::fprintf(out, "const std::uint8_t k%s[%zu] = {", n.name.c_str(), n.canvas.px.size());
    for (std::size_t i = 0; i < n.canvas.px.size(); ++i) {
        std::fprintf(out, "%s%u,", i % 64 == 0 ? "\n" : "", unsigned(n.canvas.px[i]));
    }
    std::fprintf(out, "\n};\n");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s output.cpp [preview-folder]\n", argv[0]);
        return 2;
    }
    std::vector<Named> all;
    all.push_back({"Icon128Large", appIcon(32)});
    all.push_back({"Icon128Small", appIcon(16)});
    all.push_back({"Logo168", logo()});
    all.push_back({"Logo168Small", appIcon(32)});
    // Frame k of the animation (1 ... 7) is bitmap idb::kAnimation[k - 1]; frame 0, the one it
    // rests on, is the last of them.
    using res::idb::kAnimation, res::idb::kAnimationFrames;
    all.push_back({"Bitmap" + std::to_string(kAnimation[kAnimationFrames - 1]), frame(0)});
    for (int k = 1; k < kAnimationFrames; ++k)
        all.push_back({"Bitmap" + std::to_string(kAnimation[k - 1]), frame(k)});

    FILE* out = std::fopen(argv[1], "w");
    if (!out) return 1;
    std::fprintf(out, "// Generated by res/draw/DrawPictures.cpp; do not edit.\n");
    std::fprintf(out, "#include \"res/Pictures.h\"\n\nnamespace res {\nnamespace {\n\n");
    for (const Named& n : all) writeArray(out, n);
    auto image = [](const Named& n, int transparent) {
        // Appended piece by piece: GCC 12 at -O3 warns falsely (-Wrestrict) on "{" + std::string.
        std::string text = "{";
        text += std::to_string(n.canvas.w) + ", " + std::to_string(n.canvas.h) + ", k" + n.name +
                ", " + std::to_string(transparent) + "}";
        return text;
    };
    std::fprintf(out, "\nconst Image kIcon128[] = {%s, %s};\n", image(all[0], Teal).c_str(),
                 image(all[1], Teal).c_str());
    std::fprintf(out, "const Image kIcon168[] = {%s, %s};\n", image(all[2], -1).c_str(),
                 image(all[3], Teal).c_str());
    for (std::size_t i = 4; i < all.size(); ++i)
        std::fprintf(out, "const Image kImage%s[] = {%s};\n", all[i].name.c_str(),
                     image(all[i], -1).c_str());
    std::fprintf(out, "\n}  // namespace\n\nextern const Picture kPictures[] = {\n");
    std::fprintf(
        out,
        "    {%d, PictureKind::Icon, kIcon128, 2},\n    {%d, PictureKind::Icon, kIcon168, 2},\n",
        res::idi::kApplication, res::idi::kLogo);
    for (std::size_t i = 4; i < all.size(); ++i)
        std::fprintf(out, "    {%s, PictureKind::Bitmap, kImage%s, 1},\n", all[i].name.c_str() + 6,
                     all[i].name.c_str());
    std::fprintf(out, "};\nextern const int kPictureCount = %zu;\n\n}  // namespace res\n",
                 all.size() - 2);
    if (std::fclose(out) != 0) return 1;

    if (argc > 2)
        for (const Named& n : all) writePreview(argv[2], n.name, n.canvas);
    return 0;
}
