#include "ClickView.h"

#include "RemotePicture.h"

#include <QMouseEvent>

#include <algorithm>
#include <optional>

namespace {

constexpr std::int64_t kPrimary = 0;
constexpr std::int64_t kSecondary = 1;

std::optional<std::int64_t> buttonNumber(Qt::MouseButton button)
{
    switch (button) {
    case Qt::LeftButton:
        return kPrimary;
    case Qt::RightButton:
        return kSecondary;
    default:
        return std::nullopt;
    }
}

} // namespace

ClickView::ClickView(Sink sink, QWidget *parent)
    : QWidget(parent)
    , m_sink(std::move(sink))
{
    // Moves arrive only while a button is held; hovering sends nothing.
    setMouseTracking(false);
    setFocusPolicy(Qt::ClickFocus);
}

QRectF ClickView::pictureRect() const
{
    const QSizeF area(size());
    if (m_pictureSize.isEmpty())
        return QRectF(QPointF(0, 0), area);
    return RemotePicture::fittedRect(m_pictureSize, area);
}

RemoteInput ClickView::inputAt(RemoteInput::Kind kind, QPointF position, QRectF picture,
                               std::int64_t button)
{
    // An unlaid-out view counts as 1 × 1, so the fractions below never divide by zero.
    const double w = std::max(picture.width(), 1.0);
    const double h = std::max(picture.height(), 1.0);
    // Fractions of the picture as drawn, with the origin at its top-left (Qt's own), clamped to
    // its edges: a press in a letterbox band, or a drag that leaves the view, reports the
    // nearest edge. Measured over the whole view instead, a click would land off the point it
    // was aimed at whenever the picture's shape differs from the view's.
    const double x = std::clamp((position.x() - picture.left()) / w, 0.0, 1.0);
    const double y = std::clamp((position.y() - picture.top()) / h, 0.0, 1.0);
    // Always a single click (a double click arrives as two presses) and no wheel movement.
    RemoteInput input;
    input.kind = kind;
    input.x = x;
    input.y = y;
    input.button = button;
    input.clickCount = 1;
    input.deltaX = 0;
    input.deltaY = 0;
    return input;
}

void ClickView::send(RemoteInput::Kind kind, QMouseEvent *event, std::int64_t button)
{
    event->accept();
    if (m_sink)
        m_sink(inputAt(kind, event->position(), pictureRect(), button));
}

void ClickView::mousePressEvent(QMouseEvent *event)
{
    if (const auto button = buttonNumber(event->button()))
        send(RemoteInput::Kind::down, event, *button);
    else
        event->ignore();
}

// The second press of a double click is an ordinary press: each sends clickCount 1.
void ClickView::mouseDoubleClickEvent(QMouseEvent *event)
{
    mousePressEvent(event);
}

void ClickView::mouseReleaseEvent(QMouseEvent *event)
{
    if (const auto button = buttonNumber(event->button()))
        send(RemoteInput::Kind::up, event, *button);
    else
        event->ignore();
}

void ClickView::mouseMoveEvent(QMouseEvent *event)
{
    if (event->buttons().testFlag(Qt::LeftButton))
        send(RemoteInput::Kind::move, event, kPrimary);
    else
        event->ignore();
}
