// The wizard's 16-colour pictures (res/Pictures.h) as Qt images, pixmaps and icons.
#pragma once

#include <QIcon>
#include <QImage>
#include <QPixmap>

#include "res/Pictures.h"

namespace ui::desktop {

// One image; its transparent palette index (icons) becomes transparent.
QImage imageOf(const res::Image& image);
// The picture's largest image.
QPixmap pixmapOf(const res::Picture& picture);
// All of the picture's images, for the window manager to pick a size.
QIcon iconOf(const res::Picture& picture);
// Icon resource `id` (128: the application's), or an empty icon.
QIcon iconOf(int id);

}  // namespace ui::desktop
