#pragma once

#include <QString>

// The system clipboard (needs a QGuiApplication).
namespace Clipboard {

// Clears the clipboard, then puts one plain-text string on it.
void setPlainText(const QString &text);

// The clipboard's current plain text (used by tests).
QString plainText();

} // namespace Clipboard
