#include "app/ui/PictureButton.h"

#include <QEnterEvent>
#include <QPainter>

#include "app/ui/Skin.h"

namespace lfui {

CPictureButton::CPictureButton(int id, QWidget* parent) : QAbstractButton(parent), m_id(id) {
    setObjectName(QStringLiteral("button%1").arg(id));
    setFocusPolicy(Qt::NoFocus);
    setCursor(Qt::PointingHandCursor);
}

void CPictureButton::SetImages(const QPixmap& normal, const QPixmap& hover, const QPixmap& pressed,
                               const QPixmap& disabled, const QPixmap& focus) {
    m_normal = normal;
    m_hoverImage = hover;
    m_pressed = pressed;
    m_disabled = disabled;
    m_focus = focus;
    if (!m_normal.isNull()) setFixedSize(m_normal.size());
    update();
}

void CPictureButton::ShapeFromKeyColour() {
    if (m_normal.isNull()) return;
    const QImage image = m_normal.toImage();
    setMask(CSkin::KeyRegion(image, 0, image.height() - 1));
}

const QPixmap& CPictureButton::CurrentImage() const {
    auto pick = [this](const QPixmap& image) -> const QPixmap& {
        return image.isNull() ? m_normal : image;
    };
    if (!isEnabled()) return pick(m_disabled);
    if (isDown()) return pick(m_pressed);
    if (m_hover) return pick(m_hoverImage);
    if (hasFocus()) return pick(m_focus);
    return m_normal;
}

QSize CPictureButton::sizeHint() const {
    return m_normal.isNull() ? QSize(16, 16) : m_normal.size();
}

void CPictureButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.drawPixmap(0, 0, CurrentImage());
}

void CPictureButton::enterEvent(QEnterEvent* event) {
    m_hover = true;
    update();
    QAbstractButton::enterEvent(event);
}

void CPictureButton::leaveEvent(QEvent* event) {
    m_hover = false;
    update();
    QAbstractButton::leaveEvent(event);
}

}  // namespace lfui
