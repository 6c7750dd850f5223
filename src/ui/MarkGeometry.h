#pragma once

#include <QPointF>
#include <QRectF>

// The measures of the logo drawn in an s × s square. Stroke widths stay fixed whatever
// the size; everything else scales with it.
struct MarkGeometry
{
    static constexpr qreal kOuterStroke = 1.6;
    static constexpr qreal kInnerStroke = 1.4;

    qreal size = 0;
    QRectF outer;        // the whole square
    qreal outerRadius = 0;
    QRectF inner;        // 0.42·s square, centred, then 0.04·s left and up
    qreal innerRadius = 0;
    qreal glyphSize = 0; // the play glyph's font size, 0.18·s
    QPointF glyphCentre; // mark centre moved 0.18·s right and down

    static MarkGeometry forSize(qreal size);

    friend bool operator==(const MarkGeometry &, const MarkGeometry &) = default;
};
