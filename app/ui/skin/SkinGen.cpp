// Draws the window's skin images (dark-red launcher look) and writes them as
// PNG files named by their image id: "<id>.png". Run at build time:
//   lf_skingen OUTDIR
// Sizes follow the window's geometry; the key colour RGB(232,5,246) marks
// the pixels that are cut out of the window and the main buttons.
#include <QDir>
#include <QFont>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <cstdio>

namespace {

const QColor kKey(232, 5, 246);
QString g_family;

QString PickFamily() {
    const QStringList wanted = {"Microsoft YaHei", "微软雅黑", "Noto Sans CJK SC",
                                "WenQuanYi Micro Hei", "WenQuanYi Zen Hei"};
    const QStringList have = QFontDatabase::families();
    for (const QString& name : wanted) {
        if (have.contains(name, Qt::CaseInsensitive)) return name;
    }
    return QString();
}

QFont Font(int pixelSize, bool bold = false) {
    QFont font(g_family);
    font.setPixelSize(pixelSize);
    font.setBold(bold);
    font.setHintingPreference(QFont::PreferFullHinting);
    return font;
}

// The texts drawn into the images: Chinese, and English for English locales.
struct SkinTexts {
    const char* title;
    const char* banner;
    const char* files;
    const char* start;
    const char* pause;
    const char* resume;
    const char* install;
};
const SkinTexts kChineseTexts = {"Moonvale 下载器", "客户端高速下载", "文件列表", "开始下载",
                                 "暂停下载",        "继续下载",       "开始安装"};
const SkinTexts kEnglishTexts = {"Moonvale Downloader",
                                 "High-speed client download",
                                 "Files",
                                 "Start",
                                 "Pause",
                                 "Resume",
                                 "Install"};

bool Save(const QImage& image, const QString& folder, int id) {
    const QString path = folder + "/" + QString::number(id) + ".png";
    if (!image.save(path, "PNG")) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return false;
    }
    return true;
}

// ---- backgrounds ---------------------------------------------------------------

void PaintBody(QPainter& p, int width, const SkinTexts& t) {
    // Body: deep red, darker towards the bottom.
    QLinearGradient body(0, 0, 0, 283);
    body.setColorAt(0.0, QColor(92, 18, 16));
    body.setColorAt(0.55, QColor(64, 12, 11));
    body.setColorAt(1.0, QColor(38, 8, 8));
    p.fillRect(QRect(0, 0, width, 283), body);

    // Caption band with the program name.
    QLinearGradient band(0, 0, 0, 38);
    band.setColorAt(0.0, QColor(58, 10, 9));
    band.setColorAt(1.0, QColor(34, 6, 6));
    p.fillRect(QRect(0, 0, width, 38), band);
    p.setPen(QColor(120, 36, 28));
    p.drawLine(0, 38, width, 38);

    // Emblem: a small glowing lantern.
    QRadialGradient glow(QPointF(22, 19), 13);
    glow.setColorAt(0.0, QColor(255, 214, 128));
    glow.setColorAt(0.6, QColor(232, 126, 46));
    glow.setColorAt(1.0, QColor(232, 126, 46, 0));
    p.setPen(Qt::NoPen);
    p.setBrush(glow);
    p.drawEllipse(QPointF(22, 19), 13, 13);
    p.setBrush(QColor(255, 236, 190));
    p.drawEllipse(QPointF(22, 19), 4, 5);

    p.setFont(Font(15, true));
    p.setPen(QColor(240, 196, 140));
    p.drawText(QRect(42, 0, 200, 38), Qt::AlignVCenter | Qt::AlignLeft, t.title);

    // Banner: moon and hills behind the game's name.
    const QRect banner(8, 46, width - 16, 150);
    QLinearGradient sky(0, banner.top(), 0, banner.bottom());
    sky.setColorAt(0.0, QColor(40, 10, 22));
    sky.setColorAt(0.7, QColor(110, 30, 20));
    sky.setColorAt(1.0, QColor(150, 52, 24));
    QPainterPath frame;
    frame.addRoundedRect(banner, 6, 6);
    p.fillPath(frame, sky);
    p.save();
    p.setClipPath(frame);
    QRadialGradient moon(QPointF(300, 92), 60);
    moon.setColorAt(0.0, QColor(255, 228, 170));
    moon.setColorAt(0.35, QColor(250, 190, 110));
    moon.setColorAt(0.5, QColor(210, 110, 60, 120));
    moon.setColorAt(1.0, QColor(210, 110, 60, 0));
    p.setPen(Qt::NoPen);
    p.setBrush(moon);
    p.drawEllipse(QPointF(300, 92), 60, 60);
    QPainterPath hills;
    hills.moveTo(banner.left(), banner.bottom());
    hills.cubicTo(60, 150, 120, 170, 180, 160);
    hills.cubicTo(240, 150, 300, 180, 360, 165);
    hills.cubicTo(380, 160, 400, 162, banner.right() + 1, 170);
    hills.lineTo(banner.right() + 1, banner.bottom() + 1);
    hills.closeSubpath();
    p.fillPath(hills, QColor(30, 6, 8));
    QPainterPath near;
    near.moveTo(banner.left(), banner.bottom());
    near.cubicTo(80, 175, 160, 190, 260, 182);
    near.cubicTo(320, 178, 370, 190, banner.right() + 1, 186);
    near.lineTo(banner.right() + 1, banner.bottom() + 1);
    near.closeSubpath();
    p.fillPath(near, QColor(18, 4, 5));
    p.restore();
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(QColor(150, 66, 40), 1));
    p.drawRoundedRect(QRectF(banner).adjusted(0.5, 0.5, -0.5, -0.5), 6, 6);
    p.setFont(Font(30, true));
    p.setPen(QColor(60, 8, 8, 200));
    p.drawText(banner.adjusted(22, 2, 0, -62), Qt::AlignLeft | Qt::AlignVCenter, "MOONVALE");
    p.setPen(QColor(255, 214, 150));
    p.drawText(banner.adjusted(20, 0, 0, -64), Qt::AlignLeft | Qt::AlignVCenter, "MOONVALE");
    p.setFont(Font(13));
    p.setPen(QColor(236, 170, 110));
    p.drawText(banner.adjusted(22, 54, 0, -40), Qt::AlignLeft | Qt::AlignVCenter, t.banner);

    // Information band (version, save folder) and the control panel.
    p.setPen(Qt::NoPen);
    p.fillRect(QRect(4, 202, width - 8, 31), QColor(30, 6, 6, 150));
    p.setPen(QColor(120, 40, 30));
    p.drawLine(8, 236, width - 8, 236);
}

void PaintTab(QPainter& p, bool pointsDown) {
    // The list toggle: a tab below the body, x 186..217, y 278..307.
    QPainterPath tab;
    tab.moveTo(186, 278);
    tab.lineTo(186, 300);
    tab.quadTo(186, 307, 193, 307);
    tab.lineTo(211, 307);
    tab.quadTo(218, 307, 218, 300);
    tab.lineTo(218, 278);
    tab.closeSubpath();
    QLinearGradient fill(0, 278, 0, 307);
    fill.setColorAt(0.0, QColor(46, 9, 9));
    fill.setColorAt(1.0, QColor(78, 18, 14));
    p.fillPath(tab, fill);
    p.setPen(QPen(QColor(150, 66, 40), 1));
    p.drawPath(tab);
    p.setPen(QPen(QColor(240, 176, 110), 2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    const int cy = 294;
    if (pointsDown) {
        p.drawPolyline(QPolygon({QPoint(196, cy - 3), QPoint(202, cy + 3), QPoint(208, cy - 3)}));
    } else {
        p.drawPolyline(QPolygon({QPoint(196, cy + 3), QPoint(202, cy - 3), QPoint(208, cy + 3)}));
    }
}

QImage Collapsed(const SkinTexts& t) {
    QImage image(411, 307, QImage::Format_RGB32);
    image.fill(kKey);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    PaintBody(p, 411, t);
    // Body ends at row 283 with a thin edge; below it only the tab remains.
    p.setPen(QColor(120, 40, 30));
    p.drawLine(0, 282, 410, 282);
    p.end();
    // Rows 283.. hold the key colour except under the tab; the tab is drawn
    // without anti-aliasing against the key so the cut-out stays clean.
    QPainter q(&image);
    PaintTab(q, true);
    q.end();
    return image;
}

QImage Expanded(const SkinTexts& t) {
    QImage image(411, 385, QImage::Format_RGB32);
    image.fill(QColor(38, 8, 8));
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    PaintBody(p, 411, t);
    QLinearGradient lower(0, 283, 0, 385);
    lower.setColorAt(0.0, QColor(38, 8, 8));
    lower.setColorAt(1.0, QColor(26, 5, 5));
    p.fillRect(QRect(0, 283, 411, 102), lower);
    p.setPen(QColor(120, 40, 30));
    p.drawLine(0, 282, 410, 282);
    PaintTab(p, false);
    p.setFont(Font(12));
    p.setPen(QColor(200, 140, 90));
    p.drawText(QRect(10, 307, 160, 15), Qt::AlignLeft | Qt::AlignVCenter, t.files);
    p.setPen(QColor(120, 40, 30));
    p.drawLine(0, 321, 410, 321);
    p.drawRect(QRect(0, 0, 410, 384));
    p.end();
    return image;
}

// ---- buttons -------------------------------------------------------------------

enum class State { Normal, Hover, Pressed, Disabled };

QImage MainButton(const QString& text, State state) {
    const QSize size(84, 30);
    QImage image(size, QImage::Format_RGB32);
    image.fill(kKey);
    QPainter p(&image);
    // No anti-aliasing on the outline: the key colour must stay exact.
    QPainterPath shape;
    shape.addRoundedRect(QRectF(0, 0, size.width(), size.height()), 5, 5);
    QColor top(222, 112, 44), bottom(164, 40, 22), edge(255, 190, 110), ink(255, 244, 226);
    if (state == State::Hover) {
        top = QColor(244, 144, 62);
        bottom = QColor(192, 58, 28);
    } else if (state == State::Pressed) {
        top = QColor(140, 34, 18);
        bottom = QColor(196, 86, 36);
        edge = QColor(210, 120, 70);
    } else if (state == State::Disabled) {
        top = QColor(112, 88, 84);
        bottom = QColor(78, 60, 58);
        edge = QColor(132, 112, 108);
        ink = QColor(176, 160, 156);
    }
    QLinearGradient fill(0, 0, 0, size.height());
    fill.setColorAt(0.0, top);
    fill.setColorAt(1.0, bottom);
    p.fillPath(shape, fill);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(edge, 1));
    p.drawRoundedRect(QRectF(1.5, 1.5, size.width() - 3, size.height() - 3), 4, 4);
    p.setFont(Font(14, true));
    const QRect textRect = QRect(0, state == State::Pressed ? 1 : 0, size.width(), size.height());
    p.setPen(QColor(70, 12, 8, 180));
    p.drawText(textRect.translated(0, 1), Qt::AlignCenter, text);
    p.setPen(ink);
    p.drawText(textRect, Qt::AlignCenter, text);
    return image;
}

// Small caption buttons (24 x 20) with transparency.
enum class Glyph { Settings, Minimise, Close, Folder };

QImage SmallButton(Glyph glyph, State state, QSize size) {
    QImage image(size, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    QColor back(0, 0, 0, 0), ink(236, 170, 110);
    if (state == State::Hover) {
        back = glyph == Glyph::Close ? QColor(196, 40, 30) : QColor(130, 40, 28);
        ink = QColor(255, 232, 200);
    } else if (state == State::Pressed) {
        back = QColor(80, 14, 10);
        ink = QColor(255, 210, 160);
    } else if (state == State::Disabled) {
        ink = QColor(120, 96, 92);
    }
    if (glyph == Glyph::Folder) {
        back = state == State::Disabled  ? QColor(70, 50, 48)
               : state == State::Hover   ? QColor(150, 50, 30)
               : state == State::Pressed ? QColor(84, 16, 12)
                                         : QColor(104, 28, 20);
    }
    p.setPen(Qt::NoPen);
    p.setBrush(back);
    p.drawRoundedRect(QRectF(0.5, 0.5, size.width() - 1, size.height() - 1), 3, 3);
    const QPointF c(size.width() / 2.0, size.height() / 2.0);
    p.setPen(QPen(ink, 1.6, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(Qt::NoBrush);
    switch (glyph) {
        case Glyph::Minimise:
            p.drawLine(QPointF(c.x() - 5, c.y() + 3), QPointF(c.x() + 5, c.y() + 3));
            break;
        case Glyph::Close:
            p.drawLine(QPointF(c.x() - 4.5, c.y() - 4.5), QPointF(c.x() + 4.5, c.y() + 4.5));
            p.drawLine(QPointF(c.x() - 4.5, c.y() + 4.5), QPointF(c.x() + 4.5, c.y() - 4.5));
            break;
        case Glyph::Settings: {
            p.drawEllipse(c, 4.2, 4.2);
            for (int i = 0; i < 8; ++i) {
                p.save();
                p.translate(c);
                p.rotate(45.0 * i);
                p.drawLine(QPointF(0, -5.2), QPointF(0, -7.0));
                p.restore();
            }
            p.setBrush(ink);
            p.drawEllipse(c, 1.3, 1.3);
            break;
        }
        case Glyph::Folder: {
            p.setPen(QPen(ink, 1.2));
            p.setBrush(QColor(ink.red(), ink.green(), ink.blue(), 90));
            QPainterPath folder;
            folder.moveTo(c.x() - 8, c.y() - 5);
            folder.lineTo(c.x() - 3, c.y() - 5);
            folder.lineTo(c.x() - 1.5, c.y() - 3);
            folder.lineTo(c.x() + 8, c.y() - 3);
            folder.lineTo(c.x() + 8, c.y() + 6);
            folder.lineTo(c.x() - 8, c.y() + 6);
            folder.closeSubpath();
            p.drawPath(folder);
            break;
        }
    }
    return image;
}

// ---- progress bar and icon ---------------------------------------------------------

QImage Bar(int kind) {
    QImage image(286, 12, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF r(0.5, 0.5, 285, 11);
    if (kind == 0) {
        p.setPen(QColor(110, 36, 28));
        p.setBrush(QColor(24, 5, 5));
        p.drawRoundedRect(r, 5, 5);
        return image;
    }
    QLinearGradient fill(0, 0, 0, 12);
    if (kind == 1) {
        fill.setColorAt(0.0, QColor(255, 196, 110));
        fill.setColorAt(0.5, QColor(234, 122, 40));
        fill.setColorAt(1.0, QColor(176, 64, 20));
    } else {
        fill.setColorAt(0.0, QColor(246, 232, 140));
        fill.setColorAt(0.5, QColor(206, 178, 60));
        fill.setColorAt(1.0, QColor(140, 112, 30));
    }
    p.setPen(Qt::NoPen);
    p.setBrush(fill);
    p.drawRoundedRect(r, 5, 5);
    return image;
}

QImage Icon(int size) {
    QImage image(size, size, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    const qreal s = size / 32.0;
    QRadialGradient body(QPointF(16 * s, 14 * s), 15 * s);
    body.setColorAt(0.0, QColor(255, 206, 120));
    body.setColorAt(0.6, QColor(222, 96, 34));
    body.setColorAt(1.0, QColor(120, 20, 14));
    p.setPen(QPen(QColor(70, 10, 8), 1.2 * s));
    p.setBrush(body);
    p.drawEllipse(QPointF(16 * s, 16 * s), 14 * s, 14 * s);
    // Down arrow.
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(255, 246, 226));
    QPolygonF arrow({QPointF(13 * s, 8 * s), QPointF(19 * s, 8 * s), QPointF(19 * s, 15 * s),
                     QPointF(23 * s, 15 * s), QPointF(16 * s, 23 * s), QPointF(9 * s, 15 * s),
                     QPointF(13 * s, 15 * s)});
    p.drawPolygon(arrow);
    return image;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTDIR\n", argv[0]);
        return 2;
    }
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    g_family = PickFamily();
    const QString out = QString::fromLocal8Bit(argv[1]);
    if (!QDir().mkpath(out)) return 1;

    bool ok = true;
    // The images with texts: Chinese in OUTDIR, English in OUTDIR/en.
    const QString en = out + "/en";
    ok &= QDir().mkpath(en);
    struct Language {
        const SkinTexts& texts;
        QString folder;
    };
    for (const Language& l : {Language{kChineseTexts, out}, Language{kEnglishTexts, en}}) {
        ok &= Save(Collapsed(l.texts), l.folder, 186);
        ok &= Save(Expanded(l.texts), l.folder, 140);
        struct Main {
            const char* text;
            int first;  // normal, hover, pressed, disabled follow
        };
        const Main mains[] = {{l.texts.start, 198},
                              {l.texts.pause, 202},
                              {l.texts.resume, 210},
                              {l.texts.install, 231}};
        for (const Main& m : mains) {
            ok &= Save(MainButton(m.text, State::Normal), l.folder, m.first);
            ok &= Save(MainButton(m.text, State::Hover), l.folder, m.first + 1);
            ok &= Save(MainButton(m.text, State::Pressed), l.folder, m.first + 2);
            ok &= Save(MainButton(m.text, State::Disabled), l.folder, m.first + 3);
        }
    }
    ok &= Save(Bar(0), out, 170);
    ok &= Save(Bar(1), out, 171);
    ok &= Save(Bar(2), out, 172);
    ok &= Save(Icon(32), out, 128);
    // The application icon at the desktop's usual sizes (hicolor theme).
    for (int size : {16, 24, 32, 48, 64, 128, 256}) {
        const QString folder = QString("%1/icons/%2x%2/apps").arg(out).arg(size);
        ok &= QDir().mkpath(folder) && Icon(size).save(folder + "/lanternfish.png", "PNG");
    }

    const QSize caption(24, 20);
    ok &= Save(SmallButton(Glyph::Settings, State::Normal, caption), out, 228);
    ok &= Save(SmallButton(Glyph::Settings, State::Hover, caption), out, 229);
    ok &= Save(SmallButton(Glyph::Settings, State::Pressed, caption), out, 230);
    ok &= Save(SmallButton(Glyph::Minimise, State::Normal, caption), out, 218);
    ok &= Save(SmallButton(Glyph::Minimise, State::Hover, caption), out, 219);
    ok &= Save(SmallButton(Glyph::Minimise, State::Pressed, caption), out, 220);
    ok &= Save(SmallButton(Glyph::Close, State::Normal, caption), out, 222);
    ok &= Save(SmallButton(Glyph::Close, State::Hover, caption), out, 223);
    ok &= Save(SmallButton(Glyph::Close, State::Pressed, caption), out, 224);
    const QSize folder(30, 22);
    ok &= Save(SmallButton(Glyph::Folder, State::Normal, folder), out, 214);
    ok &= Save(SmallButton(Glyph::Folder, State::Hover, folder), out, 215);
    ok &= Save(SmallButton(Glyph::Folder, State::Pressed, folder), out, 216);
    ok &= Save(SmallButton(Glyph::Folder, State::Disabled, folder), out, 235);
    return ok ? 0 : 1;
}
