#pragma once

#include <QImage>
#include <QPoint>
#include <QPointF>

// The host's pointer as the viewer draws it over the picture: its shape in the host display's
// pixels, the pixel of it that is the tip, and where the tip is, as fractions of the display.
// A null image: no pointer to draw (the host sends none, or not yet).
struct RemotePointer
{
    QImage image;
    QPoint hotspot;
    QPointF position;

    bool isNull() const { return image.isNull(); }
    // The shape's pixels are compared by Qt's own image comparison, which is cheap for shared ones.
    friend bool operator==(const RemotePointer &, const RemotePointer &) = default;
};
