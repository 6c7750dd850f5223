#include "KivrenPrimary.h"

#include "ContinuousCorners.h"
#include "KivrenTheme.h"

#include <QPainter>

#include <cmath>

namespace {
constexpr qreal kPixelSize = 16;
} // namespace

KivrenPrimary::KivrenPrimary(const QString &text, QWidget *parent)
    : QAbstractButton(parent)
{
    setText(text);
    setFont(KivrenTheme::font(kPixelSize, QFont::DemiBold));
    setCursor(Qt::PointingHandCursor);
    // Full width of the container, at least 48 high (more only if the label needs it).
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

QSize KivrenPrimary::sizeHint() const
{
    const QFontMetricsF metrics(font());
    const int width = int(std::ceil(metrics.horizontalAdvance(text())));
    const int height = std::max(kMinHeight, int(std::ceil(metrics.height())));
    return {width, height};
}

QSize KivrenPrimary::minimumSizeHint() const
{
    return sizeHint();
}

void KivrenPrimary::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF box = rect();
    KivrenTheme::scaleWhilePressed(painter, box, isDown());

    QColor fill = KivrenTheme::accent();
    fill.setAlphaF(float(isDown() ? kPressedOpacity : 1.0));
    painter.fillPath(ContinuousCorners::roundedRect(box, kRadius), fill);

    if (hasFocus()) {
        // Inside the light fill, where a light ring would not show.
        constexpr qreal gap = 3;
        KivrenTheme::drawFocusRing(painter, box.adjusted(gap, gap, -gap, -gap), kRadius - gap, KivrenTheme::accentFg());
    }

    painter.setPen(KivrenTheme::accentFg());
    painter.setFont(font());
    painter.drawText(box, Qt::AlignCenter, text());
}
