// The window's images and font. Images are the PNG resources drawn at build
// time (":/skin/<id>.png"), loaded once and kept for the life of the skin;
// the two backgrounds can be replaced by "res/bg2.bmp" (collapsed) and
// "res/bg.bmp" (expanded) in the working directory.
#pragma once

#include <QColor>
#include <QFont>
#include <QHash>
#include <QPixmap>
#include <QRegion>
#include <QString>

#include "app/Translation.h"

namespace lfui {

// Image ids.
enum SkinImage : int {
    kIconImage = 128,
    kExpandedBackground = 140,
    kBarBackground = 170,
    kBarDownload = 171,
    kBarVerify = 172,
    kCollapsedBackground = 186,
};

// The key colour cut out of the window and the main buttons.
inline const QColor kKeyColour(232, 5, 246);

class CSkin {
public:
    // The image with that id ("null" pixmap when there is none).
    const QPixmap& Image(int id);
    // Collapsed or expanded background, the override file when it exists.
    const QPixmap& Background(bool expanded);
    // Region of an image without the key-coloured pixels of rows
    // firstRow..lastRow (clamped to the image); rows outside stay whole.
    static QRegion KeyRegion(const QImage& image, int firstRow, int lastRow);

    // The window's text font: "微软雅黑" when installed, else a CJK face
    // (Noto Sans CJK, WenQuanYi), sized to a cell height of 18 pixels.
    static QFont TextFont();
    static QString FontFamily();

private:
    // Images with texts come in the user's language (":/skin/en/<id>.png").
    bool m_english = lfapp::LanguageFromEnvironment() == lfapp::UiLanguage::English;
    QHash<int, QPixmap> m_images;
    QHash<QString, QPixmap> m_files;
};

}  // namespace lfui
