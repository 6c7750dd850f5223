#pragma once

#include "HoverPacing.h"
#include "KeyModifiers.h"
#include "RemoteInput.h"
#include "SessionProtocol.h"

#include <QList>
#include <QTimer>
#include <QWidget>

#include <functional>
#include <utility>

// The surface under the remote picture: the user's pointer, wheel and keyboard on it become
// messages for the remote machine. Pointer positions are normalised over the picture as it is
// drawn (fitted and centred in the view, RemotePicture::fittedRect), or over the whole view while
// there is no picture; a press in a letterbox band lands on the picture's nearest edge.
//
// Pointer: primary and secondary presses and releases, primary drags, the wheel; a press the
// platform reports as a double click carries click count 2. Moves without the primary button
// (hovering) go as moves too, paced by HoverPacing: at most about 60 a second, each the newest
// position (ViewerSession sends them only to a host that named "hover"). Other buttons send
// nothing.
//
// Keyboard: while it has focus (it takes it when clicked) every key goes to the remote machine
// and none acts locally; the keyboard is grabbed so that the window manager's own keys (Alt+Tab,
// Super) go there too. Printable characters and input-method commits become text; the special
// keys become key presses and releases by codeName; a key held with Ctrl, Alt or Meta becomes a
// shortcut, its base character with those modifiers. Keys still held are released when focus
// goes. Ctrl+Alt+Shift+Escape gives the keyboard back, as does returnKeyboard().
class ClickView : public QWidget
{
    Q_OBJECT

public:
    // Where each message goes, in the order the user made them; the remote desktop view hands
    // them to the viewer client.
    using Sink = std::function<void(const SessionProtocol::ViewerMessage &)>;

    // The chord that gives the keyboard back: Escape with these held.
    static constexpr KeyModifiers releaseChord{KeyModifier::Shift, KeyModifier::Control, KeyModifier::Alt};
    // Qt's angle delta for one wheel notch.
    static constexpr int wheelNotchAngle = 120;

    explicit ClickView(Sink sink, QWidget *parent = nullptr);

    void setSink(Sink sink) { m_sink = std::move(sink); }
    // The natural size of the picture shown over this view; empty: none is shown.
    void setPictureSize(QSizeF size) { m_pictureSize = size; }
    // Where the picture lies in this view (the whole view while there is none).
    QRectF pictureRect() const;

    // Whether keys go to the remote machine (the view has focus and holds the keyboard).
    bool keyboardTaken() const { return m_keyboardTaken; }
    void takeKeyboard();
    void returnKeyboard();

    // The event for a pointer at `position` over a picture drawn in `picture` (both in view
    // coordinates): fractions of the picture's width and height, top-left origin, clamped to
    // [0, 1]; no wheel deltas.
    static RemoteInput inputAt(RemoteInput::Kind kind, QPointF position, QRectF picture, std::int64_t button,
                               std::int64_t clickCount = 1, KeyModifiers modifiers = {});
    // The wheel's movement as pixels: the device's own pixel delta where it gives one, else one
    // notch (120) per DesktopInput::pixelsPerWheelClick.
    static QPointF wheelPixels(QPoint pixelDelta, QPoint angleDelta);
    static KeyModifiers modifiersOf(Qt::KeyboardModifiers modifiers);

signals:
    void keyboardTakenChanged(bool taken);
    // Ctrl+Alt+Shift+Esc while the keyboard is taken: besides giving the keyboard back, the view
    // leaves full screen.
    void releaseChordPressed();

protected:
    bool event(QEvent *event) override;
    bool focusNextPrevChild(bool next) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void wheelEvent(QWheelEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void keyReleaseEvent(QKeyEvent *event) override;
    void inputMethodEvent(QInputMethodEvent *event) override;
    QVariant inputMethodQuery(Qt::InputMethodQuery query) const override;
    void focusInEvent(QFocusEvent *event) override;
    void focusOutEvent(QFocusEvent *event) override;

private:
    void sendPointer(RemoteInput::Kind kind, QMouseEvent *event, std::int64_t button, std::int64_t clickCount);
    void send(const SessionProtocol::ViewerMessage &message);
    void releaseHeldKeys();
    void setKeyboardTaken(bool taken);
    // The newest hover position, now or once the pacing allows.
    void hoverTo(QPointF position, KeyModifiers modifiers);
    void sendHover();

    Sink m_sink;
    QSizeF m_pictureSize;
    bool m_keyboardTaken = false;
    HoverPacing m_hoverPacing;
    // Fires when the newest hover move waiting may go.
    QTimer m_hoverTimer;
    QPointF m_hoverPosition;
    KeyModifiers m_hoverModifiers;
    // Keys pressed and not yet released, by physical key (its scan code, else its Qt key): the
    // release is the press's message with down false, whatever the modifiers are by then.
    QList<std::pair<quint32, SessionProtocol::Key>> m_heldKeys;
};
