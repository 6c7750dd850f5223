#include "ContinuousCorners.h"

#include <QTransform>

#include <algorithm>
#include <cmath>

namespace {

constexpr qreal kPi = 3.14159265358979323846;

qreal radians(qreal degrees) { return degrees * kPi / 180.0; }

// One corner in a frame whose corner point is the origin, with the incoming edge running
// along +x (y = 0) and the outgoing edge along +y (x = 0); y grows downwards.
struct CornerCurve
{
    QPointF start;                    // on the incoming edge, `extent` before the corner
    QPointF c1a, c1b, arcStart;       // easing cubic into the arc
    QPointF c2a, c2b, arcEnd;         // the circular middle part, as one cubic
    QPointF c3a, c3b, end;            // easing cubic out to the outgoing edge
};

CornerCurve cornerCurve(qreal radius, qreal extent, qreal smoothing)
{
    const qreal arcMeasure = 90.0 * (1.0 - smoothing);
    const qreal arcLength = std::sin(radians(arcMeasure / 2.0)) * radius * std::sqrt(2.0);
    const qreal alpha = (90.0 - arcMeasure) / 2.0;
    const qreal p3ToP4 = radius * std::tan(radians(alpha / 2.0));
    const qreal beta = 45.0 * smoothing;
    const qreal c = p3ToP4 * std::cos(radians(beta));
    const qreal d = c * std::tan(radians(beta));
    const qreal b = std::max<qreal>(0.0, (extent - arcLength - c - d) / 3.0);
    const qreal a = 2.0 * b;

    CornerCurve k;
    k.start = {-extent, 0};
    k.c1a = {-extent + a, 0};
    k.c1b = {-extent + a + b, 0};
    k.arcStart = {-extent + a + b + c, d};
    k.arcEnd = k.arcStart + QPointF(arcLength, arcLength);
    k.end = {0, extent};
    k.c3a = k.arcEnd + QPointF(d, c);
    k.c3b = k.arcEnd + QPointF(d, b + c);

    // The middle part lies on the circle of an ordinary rounded corner; a single cubic with
    // the usual 4/3·tan(φ/4) handles is exact to well under a hundredth of a pixel here.
    const QPointF centre(-radius, radius);
    const qreal phi = radians(arcMeasure);
    const qreal handle = radius * 4.0 / 3.0 * std::tan(phi / 4.0);
    const QPointF v1 = k.arcStart - centre;
    const QPointF v2 = k.arcEnd - centre;
    // Clockwise on screen: the tangent is the radius vector turned by +90° (y down).
    const QPointF t1 = QPointF(-v1.y(), v1.x()) / radius;
    const QPointF t2 = QPointF(-v2.y(), v2.x()) / radius;
    k.c2a = k.arcStart + t1 * handle;
    k.c2b = k.arcEnd - t2 * handle;
    return k;
}

void appendCorner(QPainterPath &path, const CornerCurve &k, const QTransform &place)
{
    path.lineTo(place.map(k.start));
    path.cubicTo(place.map(k.c1a), place.map(k.c1b), place.map(k.arcStart));
    path.cubicTo(place.map(k.c2a), place.map(k.c2b), place.map(k.arcEnd));
    path.cubicTo(place.map(k.c3a), place.map(k.c3b), place.map(k.end));
}

} // namespace

namespace ContinuousCorners {

QPainterPath roundedRect(const QRectF &rect, qreal radius)
{
    QPainterPath path;
    const QRectF r = rect.normalized();
    const qreal budget = std::min(r.width(), r.height()) / 2.0;
    if (radius <= 0 || budget <= 0) {
        path.addRect(r);
        return path;
    }

    // Limit the radius and the eased reach to what the shorter side allows; a corner without
    // room to ease falls back towards a circular arc.
    const qreal radiusUsed = std::min(radius, budget);
    const qreal extent = std::min((1.0 + kSmoothing) * radiusUsed, budget);
    const qreal smoothing = std::clamp(extent / radiusUsed - 1.0, 0.0, kSmoothing);
    const CornerCurve corner = cornerCurve(radiusUsed, extent, smoothing);

    // Clockwise from the top edge, the one corner shape rotated into each corner, so all four
    // match exactly.
    path.moveTo(r.left() + extent, r.top());
    appendCorner(path, corner, QTransform(1, 0, 0, 1, r.right(), r.top()));
    appendCorner(path, corner, QTransform(0, 1, -1, 0, r.right(), r.bottom()));
    appendCorner(path, corner, QTransform(-1, 0, 0, -1, r.left(), r.bottom()));
    appendCorner(path, corner, QTransform(0, -1, 1, 0, r.left(), r.top()));
    path.closeSubpath();
    return path;
}

} // namespace ContinuousCorners
