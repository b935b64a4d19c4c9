// The wizard's pictures: the application icon 128 (32x32 and 16x16), the logo icon group 168
// (225x59 and 32x32), and the 128x48 animation frames 143 and 155 ... 161. All are 16-colour
// images, drawn by res/draw/DrawPictures.cpp at build time and embedded as pixel data.
#pragma once

#include <cstdint>

#include "res/Resource.h"

namespace res {

enum class PictureKind { Icon, Bitmap };

struct Image {
    int width, height;
    const std::uint8_t* pixels;  // width * height palette indices, rows top-down
    int transparent;             // palette index drawn as background (icons), or -1
};

struct Picture {
    int id;
    PictureKind kind;
    const Image* images;  // largest first
    int imageCount;
};

// The 16 colours of every picture, as 0xRRGGBB (the classic 16-colour palette).
extern const std::uint32_t kPalette16[16];

// Picture `id`, or nullptr.
const Picture* FindPicture(int id);

// The image of `picture` that is exactly width x height, else its first (largest) image.
const Image& ImageOfSize(const Picture& picture, int width, int height);

}  // namespace res
