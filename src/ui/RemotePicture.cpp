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
    if (m_stale) {
        // Greyed: the window's background laid half over it, so it reads as a picture from before.
        QColor veil = KivrenTheme::bg();
        veil.setAlphaF(staleVeilOpacity);
        painter.fillRect(fitted, veil);
    }
}
