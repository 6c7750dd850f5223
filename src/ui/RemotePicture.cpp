#include "RemotePicture.h"

#include "KivrenTheme.h"

#include <QPainter>

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
    painter.drawImage(fittedRect(QSizeF(m_image.size()), QSizeF(size())), m_image);
}
