// Draws the application icon from the logo mark at build time, so the installed icon can
// never drift from the mark the window shows.
#include "KivrenMark.h"
#include "KivrenTheme.h"

#include <QApplication>
#include <QImage>
#include <QPainter>

#include <cstdio>

int main(int argc, char *argv[])
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s <size> <out.png>\n", argv[0]);
        return 2;
    }
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int size = QString::fromLocal8Bit(argv[1]).toInt();
    if (size < 16)
        return 2;

    // The mark sits on the window's background, inset so its outer stroke is not cut off.
    const int inset = size / 8;
    KivrenMark mark(size - 2 * inset);
    mark.resize(size - 2 * inset, size - 2 * inset);
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(KivrenTheme::bg());
    painter.drawRoundedRect(QRectF(0, 0, size, size), size * 0.22, size * 0.22);
    mark.render(&painter, QPoint(inset, inset), QRegion(), QWidget::DrawChildren);
    painter.end();
    return image.save(QString::fromLocal8Bit(argv[2])) ? 0 : 1;
}
