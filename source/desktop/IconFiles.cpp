// reflasher_icon_files FOLDER: the application icon (picture 128) as FOLDER/reflasher-<size>.png,
// one file per size it has, for the desktop's icon theme. Run at build time.
#include <QImage>
#include <QString>

#include <cstdio>

#include "res/Pictures.h"
#include "ui/desktop/QtPictures.h"

int main(int argc, char** argv) {
    const res::Picture* icon = res::FindPicture(res::idi::kApplication);
    if (argc != 2 || !icon) {
        std::fprintf(stderr, "usage: reflasher_icon_files FOLDER\n");
        return 2;
    }
    for (int i = 0; i < icon->imageCount; ++i) {
        const res::Image& image = icon->images[i];
        const QString file =
            QString::fromLocal8Bit(argv[1]) + QStringLiteral("/reflasher-%1.png").arg(image.width);
        if (!ui::desktop::imageOf(image).save(file, "PNG")) {
            std::fprintf(stderr, "reflasher_icon_files: cannot write %s\n",
                         file.toLocal8Bit().constData());
            return 1;
        }
    }
    return 0;
}
