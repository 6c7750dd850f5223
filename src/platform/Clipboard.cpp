#include "Clipboard.h"

#include <QClipboard>
#include <QGuiApplication>

namespace Clipboard {

void setPlainText(const QString &text)
{
    QClipboard *clipboard = QGuiApplication::clipboard();
    if (!clipboard)
        return;
    clipboard->clear();
    clipboard->setText(text);
}

QString plainText()
{
    QClipboard *clipboard = QGuiApplication::clipboard();
    return clipboard ? clipboard->text() : QString();
}

} // namespace Clipboard
