#pragma once

#include <QImage>
#include <QPoint>
#include <QPointF>

#include <cstdint>

// The desktop's pointer as a viewer sees it drawn: where it is and what it looks like.
struct DesktopCursor
{
    // Global desktop coordinates, as DesktopCapture's.
    QPointF position;
    // Names the shape: the same number, the same shape (a desktop may count up on every change).
    std::uint64_t shape = 0;
    // The shape's pixels (premultiplied ARGB) and the pixel that is the pointer's tip; null when
    // the desktop did not read them again because `shape` is the one it reported last.
    QImage image;
    QPoint hotspot;
};
