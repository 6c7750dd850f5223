#pragma once

#include "RemoteInput.h"

#include <QWidget>

#include <functional>

// The surface under the remote picture that turns primary and secondary presses, releases
// and primary drags into pointer events, normalised over the picture as it is drawn (fitted and
// centred in the view, RemotePicture::fittedRect), or over the whole view while there is no
// picture. A press in a letterbox band lands on the picture's nearest edge. Nothing else is
// sent: no hover moves, no secondary drags, no other buttons, no wheel, no keys.
class ClickView : public QWidget
{
    Q_OBJECT

public:
    // Where each event goes; the remote desktop view hands it to the viewer client.
    using Sink = std::function<void(const RemoteInput &)>;

    explicit ClickView(Sink sink, QWidget *parent = nullptr);

    void setSink(Sink sink) { m_sink = std::move(sink); }
    // The natural size of the picture shown over this view; empty: none is shown.
    void setPictureSize(QSizeF size) { m_pictureSize = size; }
    // Where the picture lies in this view (the whole view while there is none).
    QRectF pictureRect() const;

    // The event for a pointer at `position` over a picture drawn in `picture` (both in view
    // coordinates): fractions of the picture's width and height, top-left origin, clamped to
    // [0, 1]; clickCount 1, no wheel deltas.
    static RemoteInput inputAt(RemoteInput::Kind kind, QPointF position, QRectF picture,
                               std::int64_t button);

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;

private:
    void send(RemoteInput::Kind kind, QMouseEvent *event, std::int64_t button);

    Sink m_sink;
    QSizeF m_pictureSize;
};
