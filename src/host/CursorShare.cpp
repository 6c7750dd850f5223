#include "CursorShare.h"

#include <QBuffer>
#include <QImage>

QByteArray CursorShare::pngOf(const QImage &image)
{
    const bool fits = !image.isNull() && image.width() <= SessionProtocol::maxCursorSide
        && image.height() <= SessionProtocol::maxCursorSide;
    QImage shape = fits ? image : QImage(1, 1, QImage::Format_ARGB32_Premultiplied);
    if (!fits)
        shape.fill(Qt::transparent);
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    shape.save(&buffer, "PNG");
    return png;
}

std::optional<SessionProtocol::Cursor> CursorShare::next(const DesktopCursor &now, const DisplayGeometry &display)
{
    if (display.width <= 0 || display.height <= 0)
        return std::nullopt;
    // A shape read anew; one the desktop did not read again is the one held.
    if (!now.image.isNull() && (m_shape != now.shape || m_png.isEmpty())) {
        m_shape = now.shape;
        m_png = pngOf(now.image);
        const bool fits = now.image.width() <= SessionProtocol::maxCursorSide
            && now.image.height() <= SessionProtocol::maxCursorSide;
        m_hotspot = fits ? now.hotspot : QPoint();
        m_shapeSent = false;
    }
    // No shape known yet: a position alone would draw nothing.
    if (m_png.isEmpty())
        return std::nullopt;
    const QPointF position((now.position.x() - display.originX) / display.width,
                           (now.position.y() - display.originY) / display.height);
    const bool sendShape = !m_shapeSent;
    if (!sendShape && m_sentPosition == position)
        return std::nullopt;
    SessionProtocol::Cursor message{position.x(), position.y(), {}, {}};
    if (sendShape) {
        message.png = m_png;
        message.hotspot = m_hotspot;
        m_shapeSent = true;
    }
    m_sentPosition = position;
    return message;
}

void CursorShare::forget()
{
    m_shapeSent = false;
    m_sentPosition.reset();
}
