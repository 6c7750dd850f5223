#include "KivrenMark.h"

#include "ContinuousCorners.h"
#include "KivrenTheme.h"

#include <QPainter>

#include <cmath>

namespace {
// The play glyph of a symbol font is about as tall as the font's cap height (~0.72 of its
// size) and, being equilateral-ish, √3/2 of that wide.
constexpr qreal kGlyphHeightPerFontSize = 0.72;
constexpr qreal kGlyphWidthPerHeight = 0.866;
} // namespace

KivrenMark::KivrenMark(qreal size, QWidget *parent)
    : QWidget(parent)
    , m_geometry(MarkGeometry::forSize(size))
{
    const int side = int(std::ceil(size));
    setFixedSize(side, side);
    // Decoration only: screen readers skip it.
    setAccessibleName(QString());
    setFocusPolicy(Qt::NoFocus);
}

QPolygonF KivrenMark::playTriangle(const MarkGeometry &g)
{
    const qreal h = g.glyphSize * kGlyphHeightPerFontSize;
    const qreal w = h * kGlyphWidthPerHeight;
    // Centre the triangle's bounding box on the glyph position, as a glyph would be.
    const QPointF c = g.glyphCentre;
    return QPolygonF({QPointF(c.x() - w / 2, c.y() - h / 2), QPointF(c.x() + w / 2, c.y()),
                      QPointF(c.x() - w / 2, c.y() + h / 2)});
}

void KivrenMark::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const MarkGeometry &g = m_geometry;

    QPen pen(KivrenTheme::accent(), MarkGeometry::kOuterStroke, Qt::SolidLine, Qt::FlatCap,
             Qt::MiterJoin);
    pen.setMiterLimit(10);
    painter.setBrush(Qt::NoBrush);

    // A widget cannot paint outside itself, so the outer frame's line is drawn just inside
    // the square instead of straddling its edge.
    const qreal half = MarkGeometry::kOuterStroke / 2;
    painter.setPen(pen);
    painter.drawPath(ContinuousCorners::roundedRect(g.outer.adjusted(half, half, -half, -half),
                                                    g.outerRadius - half));

    pen.setWidthF(MarkGeometry::kInnerStroke);
    painter.setPen(pen);
    painter.drawPath(ContinuousCorners::roundedRect(g.inner, g.innerRadius));

    painter.setPen(Qt::NoPen);
    painter.setBrush(KivrenTheme::accent());
    painter.drawPolygon(playTriangle(g));
}
