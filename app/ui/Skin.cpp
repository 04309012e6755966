#include "app/ui/Skin.h"

#include <QFileInfo>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QImage>

namespace lfui {

const QPixmap& CSkin::Image(int id) {
    auto it = m_images.find(id);
    if (it == m_images.end()) {
        QPixmap image;
        if (m_english) image = QPixmap(QStringLiteral(":/skin/en/%1.png").arg(id));
        if (image.isNull()) image = QPixmap(QStringLiteral(":/skin/%1.png").arg(id));
        it = m_images.insert(id, image);
    }
    return *it;
}

const QPixmap& CSkin::Background(bool expanded) {
    const QString file = expanded ? QStringLiteral("res/bg.bmp") : QStringLiteral("res/bg2.bmp");
    const QString path = QFileInfo(file).absoluteFilePath();
    auto it = m_files.find(path);
    if (it == m_files.end()) {
        QPixmap loaded;
        if (QFileInfo::exists(path)) loaded.load(path);
        it = m_files.insert(path, loaded);
    }
    if (!it->isNull()) return *it;
    return Image(expanded ? kExpandedBackground : kCollapsedBackground);
}

QRegion CSkin::KeyRegion(const QImage& source, int firstRow, int lastRow) {
    const QImage image = source.convertToFormat(QImage::Format_RGB32);
    QRegion region(0, 0, image.width(), image.height());
    if (image.isNull()) return region;
    const QRgb key = kKeyColour.rgb() | 0xff000000u;
    firstRow = std::max(firstRow, 0);
    lastRow = std::min(lastRow, image.height() - 1);
    for (int y = firstRow; y <= lastRow; ++y) {
        const QRgb* line = reinterpret_cast<const QRgb*>(image.constScanLine(y));
        int x = 0;
        while (x < image.width()) {
            if ((line[x] | 0xff000000u) != key) {
                ++x;
                continue;
            }
            const int start = x;
            while (x < image.width() && (line[x] | 0xff000000u) == key) ++x;
            region -= QRegion(start, y, x - start, 1);
        }
    }
    return region;
}

QString CSkin::FontFamily() {
    static const QString family = [] {
        const QStringList wanted = {
            "微软雅黑",           "Microsoft YaHei",     "Noto Sans CJK SC",
            "Noto Sans SC",       "WenQuanYi Micro Hei", "WenQuanYi Zen Hei",
            "Droid Sans Fallback"};
        const QStringList have = QFontDatabase::families();
        for (const QString& name : wanted) {
            if (have.contains(name, Qt::CaseInsensitive)) return name;
        }
        return QString();
    }();
    return family;
}

QFont CSkin::TextFont() {
    QFont font(FontFamily());
    font.setWeight(QFont::Normal);
    // A cell height of 18 pixels, as the window's layout expects.
    int size = 16;
    font.setPixelSize(size);
    while (size > 9 && QFontMetrics(font).height() > 18) {
        font.setPixelSize(--size);
    }
    return font;
}

}  // namespace lfui
