// Lookup of the embedded pictures (their pixel data is generated at build time).
#include "res/Pictures.h"

namespace res {

extern const Picture kPictures[];
extern const int kPictureCount;

const std::uint32_t kPalette16[16] = {
    0x000000, 0x800000, 0x008000, 0x808000, 0x000080, 0x800080, 0x008080, 0xC0C0C0,
    0x808080, 0xFF0000, 0x00FF00, 0xFFFF00, 0x0000FF, 0xFF00FF, 0x00FFFF, 0xFFFFFF,
};

const Picture* FindPicture(int id) {
    for (int i = 0; i < kPictureCount; ++i) {
        if (kPictures[i].id == id) return &kPictures[i];
    }
    return nullptr;
}

const Image& ImageOfSize(const Picture& picture, int width, int height) {
    for (int i = 0; i < picture.imageCount; ++i) {
        if (picture.images[i].width == width && picture.images[i].height == height)
            return picture.images[i];
    }
    return picture.images[0];
}

}  // namespace res
