#include "RemotePicture.h"

#include "KivrenTheme.h"

#include <QPainter>
#include <QtMath>

#include <algorithm>

RemotePicture::RemotePicture(QWidget *parent)
    : QWidget(parent)
{
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void RemotePicture::setImage(const QImage &image)
{
    m_image = image;
    update();
    emit imageSizeChanged(QSizeF(m_image.size()));
}

void RemotePicture::updateImage(const QImage &image, const QRegion &area)
{
    if (image.isNull() || image.size() != m_image.size()) {
        setImage(image);
        return;
    }
    m_image = image;
    const QRectF fitted = fittedRect(QSizeF(m_image.size()), QSizeF(size()));
    if (fitted.isEmpty())
        return;
    // Smooth scaling blends each widget pixel from the picture pixels around it: the repaint
    // reaches one picture pixel (at least one widget pixel) past each changed rectangle.
    const qreal scale = fitted.width() / m_image.width();
    const int margin = 1 + qCeil(scale);
    for (const QRect &rect : area) {
        const QRectF drawn(fitted.topLeft() + QPointF(rect.topLeft()) * scale, QSizeF(rect.size()) * scale);
        update(drawn.toAlignedRect().adjusted(-margin, -margin, margin, margin));
    }
}

void RemotePicture::setStale(bool stale)
{
    if (m_stale == stale)
        return;
    m_stale = stale;
    update();
}

void RemotePicture::setPointer(const RemotePointer &pointer)
{
    if (m_pointer == pointer)
        return;
    const QRect before = pointerArea();
    m_pointer = pointer;
    update(before);
    update(pointerArea());
}

void RemotePicture::setRemoteSize(QSizeF size)
{
    if (m_remoteSize == size)
        return;
    m_remoteSize = size;
    update(pointerArea());
}

QRect RemotePicture::pointerArea() const
{
    if (m_image.isNull() || m_pointer.isNull())
        return {};
    const QRectF drawn = fittedRect(QSizeF(m_image.size()), QSizeF(size()));
    // Smooth scaling reaches a pixel past the shape's edge.
    return pointerRect(m_pointer, drawn, m_remoteSize).toAlignedRect().adjusted(-1, -1, 1, 1);
}

QRectF RemotePicture::pointerRect(const RemotePointer &pointer, QRectF drawn, QSizeF remoteSize)
{
    if (pointer.isNull() || drawn.isEmpty())
        return {};
    // The shape is in the display's pixels: drawn at the picture's own scale of that display
    // (before the display's size is known, at its natural size).
    const qreal scale = remoteSize.width() > 0 ? drawn.width() / remoteSize.width() : 1.0;
    const QPointF tip(drawn.left() + pointer.position.x() * drawn.width(), drawn.top() + pointer.position.y() * drawn.height());
    return QRectF(tip - QPointF(pointer.hotspot) * scale, QSizeF(pointer.image.size()) * scale);
}

QRectF RemotePicture::fittedRect(QSizeF picture, QSizeF area)
{
    if (picture.isEmpty() || area.isEmpty())
        return {};
    const qreal scale = std::min(area.width() / picture.width(), area.height() / picture.height());
    const QSizeF fitted = picture * scale;
    return QRectF(QPointF((area.width() - fitted.width()) / 2, (area.height() - fitted.height()) / 2),
                  fitted);
}

void RemotePicture::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.fillRect(rect(), KivrenTheme::bg());
    if (m_image.isNull()) {
        painter.setPen(KivrenTheme::muted());
        painter.drawText(rect(), Qt::AlignCenter, waitingText);
        return;
    }
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    const QRectF fitted = fittedRect(QSizeF(m_image.size()), QSizeF(size()));
    painter.drawImage(fitted, m_image);
    // Only where the picture is: a pointer on another of the host's displays is not drawn.
    const QPointF at = m_pointer.position;
    if (!m_pointer.isNull() && at.x() >= 0 && at.x() <= 1 && at.y() >= 0 && at.y() <= 1) {
        painter.save();
        painter.setClipRect(fitted);
        painter.drawImage(pointerRect(m_pointer, fitted, m_remoteSize), m_pointer.image);
        painter.restore();
    }
    if (m_stale) {
        // Greyed: the window's background laid half over it, so it reads as a picture from before.
        QColor veil = KivrenTheme::bg();
        veil.setAlphaF(staleVeilOpacity);
        painter.fillRect(fitted, veil);
    }
}
