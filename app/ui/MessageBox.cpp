#include "app/ui/MessageBox.h"

#include <memory>

#include "app/Translation.h"

namespace lfui {

QPalette WindowPalette() {
    const QColor body(64, 14, 12), deep(92, 36, 28), text(248, 222, 197), button(150, 44, 24),
        buttonText(255, 244, 226), accent(222, 112, 44), faded(150, 112, 100);
    QPalette p;
    for (QPalette::ColorGroup g : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        const bool off = g == QPalette::Disabled;
        p.setColor(g, QPalette::Window, body);
        p.setColor(g, QPalette::WindowText, off ? faded : text);
        p.setColor(g, QPalette::Base, deep);
        p.setColor(g, QPalette::AlternateBase, QColor(59, 47, 47));
        p.setColor(g, QPalette::Text, off ? faded : text);
        p.setColor(g, QPalette::PlaceholderText, faded);
        p.setColor(g, QPalette::Button, off ? QColor(92, 40, 30) : button);
        p.setColor(g, QPalette::ButtonText, off ? faded : buttonText);
        p.setColor(g, QPalette::Highlight, accent);
        p.setColor(g, QPalette::HighlightedText, buttonText);
        p.setColor(g, QPalette::ToolTipBase, deep);
        p.setColor(g, QPalette::ToolTipText, text);
        p.setColor(g, QPalette::Light, QColor(255, 190, 110));
        p.setColor(g, QPalette::Midlight, QColor(176, 64, 20));
        p.setColor(g, QPalette::Mid, QColor(110, 26, 18));
        p.setColor(g, QPalette::Dark, QColor(30, 6, 6));
        p.setColor(g, QPalette::Shadow, Qt::black);
        p.setColor(g, QPalette::Link, QColor(235, 157, 85));
    }
    return p;
}

void UseWindowColours(QWidget* dialog) {
    dialog->setPalette(WindowPalette());
    dialog->setAutoFillBackground(true);
}

QMessageBox* NewMessageBox(QWidget* owner, const std::string& text, const std::string& caption,
                           QMessageBox::StandardButtons buttons) {
    auto* box = new QMessageBox(
        QMessageBox::NoIcon, QString::fromStdString(lfapp::TranslateKnown("Message", caption)),
        QString::fromStdString(lfapp::TranslateKnown("Message", text)), buttons, owner);
    UseWindowColours(box);
    return box;
}

bool AskYesNo(QWidget* owner, const std::string& text, const std::string& caption) {
    std::unique_ptr<QMessageBox> box(
        NewMessageBox(owner, text, caption, QMessageBox::Yes | QMessageBox::No));
    box->setDefaultButton(QMessageBox::Yes);
    return box->exec() == QMessageBox::Yes;
}

}  // namespace lfui
