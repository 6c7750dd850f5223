#include "MarkGeometry.h"

MarkGeometry MarkGeometry::forSize(qreal s)
{
    MarkGeometry g;
    g.size = s;
    g.outer = QRectF(0, 0, s, s);
    g.outerRadius = 0.28 * s;

    const QPointF centre(s / 2, s / 2);
    const qreal side = 0.42 * s;
    g.inner = QRectF(0, 0, side, side);
    g.inner.moveCenter(centre + QPointF(-0.04 * s, -0.04 * s));
    g.innerRadius = 0.12 * s;

    g.glyphSize = 0.18 * s;
    g.glyphCentre = centre + QPointF(0.18 * s, 0.18 * s);
    return g;
}
