#include "KivrenGhost.h"

#include "ContinuousCorners.h"
#include "KivrenTheme.h"

#include <QPainter>

#include <cmath>

namespace {
constexpr qreal kPixelSize = 15;
} // namespace

KivrenGhost::KivrenGhost(const QString &text, QWidget *parent)
    : QAbstractButton(parent)
{
    setText(text);
    setFont(KivrenTheme::font(kPixelSize, QFont::Medium));
    setCursor(Qt::PointingHandCursor);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

QSize KivrenGhost::sizeHint() const
{
    const QFontMetricsF metrics(font());
    const int width = int(std::ceil(metrics.horizontalAdvance(text()))) + 2 * kSideInset;
    const int height = std::max(kMinHeight, int(std::ceil(metrics.height())));
    return {width, height};
}

QSize KivrenGhost::minimumSizeHint() const
{
    return sizeHint();
}

void KivrenGhost::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF box = rect();
    KivrenTheme::scaleWhilePressed(painter, box, isDown());

    // The outline is centred on the edge and clipped with the fill, so half of it shows.
    const QPainterPath shape = ContinuousCorners::roundedRect(box, kRadius);
    painter.setClipPath(shape);
    painter.fillPath(shape, KivrenTheme::elevated());
    QPen outline(KivrenTheme::border(), 1.0, Qt::SolidLine, Qt::FlatCap, Qt::MiterJoin);
    outline.setMiterLimit(10);
    painter.strokePath(shape, outline);
    if (hasFocus())
        KivrenTheme::drawFocusRing(painter, box, kRadius);

    painter.setPen(KivrenTheme::fg());
    painter.setFont(font());
    painter.drawText(box.adjusted(kSideInset, 0, -kSideInset, 0), Qt::AlignCenter, text());
}
