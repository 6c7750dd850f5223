#pragma once

#include "DesktopCursor.h"
#include "DisplayGeometry.h"
#include "SessionProtocol.h"

#include <QByteArray>
#include <QPoint>
#include <QPointF>

#include <cstdint>
#include <optional>

// What a viewer that named "cursor" is told of this desktop's pointer, so that it can draw it
// over the picture (captures leave it out): the shape as a PNG only when it changed or the
// viewer may not hold it, the position only when it moved. A shape wider or taller than
// SessionProtocol::maxCursorSide is not sent: the viewer is given an empty (transparent) one
// instead, so it draws no pointer rather than a stale one. One per session; main thread.
class CursorShare
{
public:
    // The message for the pointer as it is now; none when the viewer holds all of it already.
    // Counts what it returns as sent.
    std::optional<SessionProtocol::Cursor> next(const DesktopCursor &now, const DisplayGeometry &display);
    // The viewer may hold nothing of it (a new hello, a push not taken): the next message
    // carries the shape and the position again.
    void forget();

    // The PNG of a shape, or the empty one for a shape too large or without pixels.
    static QByteArray pngOf(const QImage &image);

private:
    std::optional<std::uint64_t> m_shape;
    QByteArray m_png;
    QPoint m_hotspot;
    bool m_shapeSent = false;
    std::optional<QPointF> m_sentPosition;
};
