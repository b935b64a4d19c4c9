#include "ui/desktop/QtPictures.h"

namespace ui::desktop {

QImage imageOf(const res::Image& image) {
    QImage out(image.width, image.height, QImage::Format_ARGB32);
    for (int y = 0; y < image.height; ++y) {
        auto* line = reinterpret_cast<QRgb*>(out.scanLine(y));
        for (int x = 0; x < image.width; ++x) {
            const int index = image.pixels[y * image.width + x] & 0x0F;
            line[x] = index == image.transparent ? qRgba(0, 0, 0, 0)
                                                 : (0xFF000000u | res::kPalette16[index]);
        }
    }
    return out;
}

QPixmap pixmapOf(const res::Picture& picture) {
    return QPixmap::fromImage(imageOf(picture.images[0]));
}

QIcon iconOf(const res::Picture& picture) {
    QIcon icon;
    for (int i = 0; i < picture.imageCount; ++i)
        icon.addPixmap(QPixmap::fromImage(imageOf(picture.images[i])));
    return icon;
}

QIcon iconOf(int id) {
    const res::Picture* picture = res::FindPicture(id);
    return picture ? iconOf(*picture) : QIcon();
}

}  // namespace ui::desktop
