#pragma once

#include "RemotePointer.h"

#include <QImage>
#include <QRegion>
#include <QWidget>

// The latest remote picture, scaled to fit (one factor for both axes, centred, never
// cropped) over the window background, or "Waiting for picture" until there is one, with the
// host's pointer drawn over it where the host has it.
// It takes no mouse events: clicks fall through to the click view beneath.
class RemotePicture : public QWidget
{
    Q_OBJECT

public:
    static inline const QString waitingText = QStringLiteral("Waiting for picture");
    // How much of the window's background covers a stale picture.
    static constexpr qreal staleVeilOpacity = 0.6;

    explicit RemotePicture(QWidget *parent = nullptr);

    // A null image shows the waiting text. Repaints all of the widget.
    void setImage(const QImage &image);
    // The same picture with `area` (in its pixels) drawn anew: only that part of the widget is
    // repainted. A picture of another size, or none, is taken as setImage takes it.
    void updateImage(const QImage &image, const QRegion &area);
    const QImage &image() const { return m_image; }
    // A stale picture (the other computer is not answering) is drawn greyed. Repaints when it
    // changes.
    void setStale(bool stale);
    bool stale() const { return m_stale; }

    // The host's pointer, drawn over the picture; a null one draws none.
    void setPointer(const RemotePointer &pointer);
    const RemotePointer &pointer() const { return m_pointer; }
    // The host display's size (the hello's), which the pointer's pixels and position are of.
    void setRemoteSize(QSizeF size);

    // Where a picture of `picture` size lands in an area of `area` size.
    static QRectF fittedRect(QSizeF picture, QSizeF area);
    // Where the pointer's shape is drawn over a picture drawn in `drawn` that shows a display of
    // `remoteSize`: its tip at its position, scaled as the picture is. Empty for a null pointer.
    static QRectF pointerRect(const RemotePointer &pointer, QRectF drawn, QSizeF remoteSize);

signals:
    // After every setImage and every change of size (empty: no picture), so clicks can be
    // measured over the picture.
    void imageSizeChanged(QSizeF size);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    // The area the pointer covers now, in widget pixels, rounded out.
    QRect pointerArea() const;

    QImage m_image;
    bool m_stale = false;
    RemotePointer m_pointer;
    QSizeF m_remoteSize;
};
