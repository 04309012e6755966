// The program's message boxes and dialogs in the window's colours, with
// the program's texts in the user's language and Qt's standard buttons
// translated by Qt's own translations.
#pragma once

#include <QMessageBox>
#include <QPalette>
#include <string>

namespace lfui {

// Dark red body, the window's light text and orange accents.
QPalette WindowPalette();
// Gives a dialog (and everything on it) the window's colours.
void UseWindowColours(QWidget* dialog);

// A box with a message of the controller or the engine: text and caption
// are looked up among the program's messages, anything else is shown as it
// came. Owned by the caller (or by Qt with WA_DeleteOnClose).
QMessageBox* NewMessageBox(QWidget* owner, const std::string& text, const std::string& caption,
                           QMessageBox::StandardButtons buttons = QMessageBox::Ok);
// The question with Yes and No (Yes the default); true for Yes.
bool AskYesNo(QWidget* owner, const std::string& text, const std::string& caption);

}  // namespace lfui
