#pragma once

#include <QPainterPath>
#include <QRectF>

// Rounded rectangles whose corners ease into the straight edges (a superellipse-like
// "squircle") instead of meeting them with a plain circular arc. Every rounded shape of the
// window is drawn with this one outline so cards, buttons, fields and the logo match.
namespace ContinuousCorners {

// How far the eased corner reaches into each edge, as a multiple of the radius.
inline constexpr qreal kSmoothing = 0.6;

// The outline of `rect` with continuous corners of `radius`. The radius is limited to half
// the shorter side; a radius of 0 or less gives the plain rectangle.
QPainterPath roundedRect(const QRectF &rect, qreal radius);

} // namespace ContinuousCorners
