// A push button drawn from images: normal, pressed, hover, focus and
// disabled (a missing image falls back to normal), sized to its normal
// image. Shown: disabled when disabled, pressed while held down over it,
// hover while the mouse is over it, otherwise normal.
#pragma once

#include <QAbstractButton>
#include <QPixmap>

namespace lfui {

class CPictureButton : public QAbstractButton {
    Q_OBJECT
public:
    CPictureButton(int id, QWidget* parent);

    int Id() const { return m_id; }
    void SetImages(const QPixmap& normal, const QPixmap& hover, const QPixmap& pressed,
                   const QPixmap& disabled, const QPixmap& focus = QPixmap());
    // Cuts the key-coloured pixels of the normal image out of the button.
    void ShapeFromKeyColour();
    // The image the button shows now.
    const QPixmap& CurrentImage() const;
    bool Hovered() const { return m_hover; }

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    int m_id;
    bool m_hover = false;
    QPixmap m_normal, m_hoverImage, m_pressed, m_disabled, m_focus;
};

}  // namespace lfui
