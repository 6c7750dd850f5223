#include "ClickView.h"

#include "DesktopInput.h"
#include "RemotePicture.h"
#include "NamedKey.h"

#include <QFocusEvent>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QWheelEvent>

#include <algorithm>
#include <array>
#include <optional>

using namespace SessionProtocol;

namespace {

constexpr std::int64_t kPrimary = 0;
constexpr std::int64_t kSecondary = 1;
constexpr std::int64_t kDoubleClick = 2;

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

constexpr std::array<std::pair<int, NamedKey>, 29> namedKeys{{
    {Qt::Key_Return, NamedKey::Enter},      {Qt::Key_Enter, NamedKey::Enter},
    {Qt::Key_Backspace, NamedKey::Backspace}, {Qt::Key_Tab, NamedKey::Tab},
    {Qt::Key_Backtab, NamedKey::Tab},       {Qt::Key_Escape, NamedKey::Escape},
    {Qt::Key_Left, NamedKey::ArrowLeft},    {Qt::Key_Up, NamedKey::ArrowUp},
    {Qt::Key_Right, NamedKey::ArrowRight},  {Qt::Key_Down, NamedKey::ArrowDown},
    {Qt::Key_Delete, NamedKey::Delete},     {Qt::Key_Space, NamedKey::Space},
    {Qt::Key_Home, NamedKey::Home},         {Qt::Key_End, NamedKey::End},
    {Qt::Key_PageUp, NamedKey::PageUp},     {Qt::Key_PageDown, NamedKey::PageDown},
    {Qt::Key_Insert, NamedKey::Insert},     {Qt::Key_F1, NamedKey::F1},
    {Qt::Key_F2, NamedKey::F2},             {Qt::Key_F3, NamedKey::F3},
    {Qt::Key_F4, NamedKey::F4},             {Qt::Key_F5, NamedKey::F5},
    {Qt::Key_F6, NamedKey::F6},             {Qt::Key_F7, NamedKey::F7},
    {Qt::Key_F8, NamedKey::F8},             {Qt::Key_F9, NamedKey::F9},
    {Qt::Key_F10, NamedKey::F10},           {Qt::Key_F11, NamedKey::F11},
    {Qt::Key_F12, NamedKey::F12},
}};

std::optional<NamedKey> namedKeyOf(int qtKey)
{
    for (const auto &[key, special] : namedKeys) {
        if (key == qtKey)
            return special;
    }
    return std::nullopt;
}

// Text a key types by itself: nothing with control characters in it (Ctrl+C gives "\x03").
bool printable(const QString &text)
{
    return !text.isEmpty()
        && std::all_of(text.cbegin(), text.cend(), [](QChar c) { return c.category() != QChar::Other_Control; });
}

// The character a shortcut's key stands for, as its unmodified key types it where Qt tells
// (letters in lower case: Ctrl+Shift+A is "a" with shift and control); empty for keys that
// stand for no character (modifiers alone, media keys).
QString shortcutKey(const QKeyEvent &event)
{
    const int key = event.key();
    // Qt's codes for character keys are the characters' own, upper case for letters; its
    // other keys start at 0x01000000.
    constexpr int firstNonCharacterKey = 0x01000000;
    if (key <= ' ' || key >= firstNonCharacterKey)
        return {};
    const char32_t character = static_cast<char32_t>(key);
    return QString::fromUcs4(&character, 1).toLower();
}

bool isShortcut(KeyModifiers modifiers)
{
    return modifiers.contains(KeyModifier::Control) || modifiers.contains(KeyModifier::Alt)
        || modifiers.contains(KeyModifier::Meta);
}

quint32 physicalKey(const QKeyEvent &event)
{
    return event.nativeScanCode() ? event.nativeScanCode() : static_cast<quint32>(event.key());
}

} // namespace

ClickView::ClickView(Sink sink, QWidget *parent)
    : QWidget(parent)
    , m_sink(std::move(sink))
{
    // Moves arrive while hovering too: menus and tooltips on the host open under the pointer.
    setMouseTracking(true);
    m_hoverTimer.setSingleShot(true);
    connect(&m_hoverTimer, &QTimer::timeout, this, &ClickView::sendHover);
    setFocusPolicy(Qt::ClickFocus);
    // Dead keys and input methods compose here; their results arrive as commits.
    setAttribute(Qt::WA_InputMethodEnabled, true);
}

QRectF ClickView::pictureRect() const
{
    const QSizeF area(size());
    if (m_pictureSize.isEmpty())
        return QRectF(QPointF(0, 0), area);
    return RemotePicture::fittedRect(m_pictureSize, area);
}

KeyModifiers ClickView::modifiersOf(Qt::KeyboardModifiers modifiers)
{
    KeyModifiers held;
    if (modifiers.testFlag(Qt::ShiftModifier))
        held.add(KeyModifier::Shift);
    if (modifiers.testFlag(Qt::ControlModifier))
        held.add(KeyModifier::Control);
    if (modifiers.testFlag(Qt::AltModifier))
        held.add(KeyModifier::Alt);
    if (modifiers.testFlag(Qt::MetaModifier))
        held.add(KeyModifier::Meta);
    return held;
}

RemoteInput ClickView::inputAt(RemoteInput::Kind kind, QPointF position, QRectF picture, std::int64_t button,
                               std::int64_t clickCount, KeyModifiers modifiers)
{
    // An unlaid-out view counts as 1 × 1, so the fractions below never divide by zero.
    const double w = std::max(picture.width(), 1.0);
    const double h = std::max(picture.height(), 1.0);
    // Fractions of the picture as drawn, with the origin at its top-left (Qt's own), clamped to
    // its edges: a press in a letterbox band, or a drag that leaves the view, reports the
    // nearest edge. Measured over the whole view instead, a click would land off the point it
    // was aimed at whenever the picture's shape differs from the view's.
    RemoteInput input;
    input.kind = kind;
    input.x = std::clamp((position.x() - picture.left()) / w, 0.0, 1.0);
    input.y = std::clamp((position.y() - picture.top()) / h, 0.0, 1.0);
    input.button = button;
    input.clickCount = clickCount;
    input.deltaX = 0;
    input.deltaY = 0;
    input.modifiers = modifiers;
    return input;
}

QPointF ClickView::wheelPixels(QPoint pixelDelta, QPoint angleDelta)
{
    // Qt's signs are the host's: positive y scrolls up (the content moves down).
    if (!pixelDelta.isNull())
        return QPointF(pixelDelta);
    return QPointF(angleDelta) * (DesktopInput::pixelsPerWheelClick / wheelNotchAngle);
}

void ClickView::send(const ViewerMessage &message)
{
    if (m_sink)
        m_sink(message);
}

void ClickView::sendPointer(RemoteInput::Kind kind, QMouseEvent *event, std::int64_t button, std::int64_t clickCount)
{
    event->accept();
    send(Input{inputAt(kind, event->position(), pictureRect(), button, clickCount, modifiersOf(event->modifiers()))});
}

void ClickView::mousePressEvent(QMouseEvent *event)
{
    // The press carries its own position: a hover move still waiting would only come after it.
    m_hoverTimer.stop();
    if (const auto button = buttonNumber(event->button()))
        sendPointer(RemoteInput::Kind::down, event, *button, 1);
    else
        event->ignore();
}

// The second press of a double click tells the host so: X has no click count of its own, and
// the two clicks may reach the host's desktop further apart than they were made.
void ClickView::mouseDoubleClickEvent(QMouseEvent *event)
{
    m_hoverTimer.stop();
    if (const auto button = buttonNumber(event->button()))
        sendPointer(RemoteInput::Kind::down, event, *button, kDoubleClick);
    else
        event->ignore();
}

void ClickView::mouseReleaseEvent(QMouseEvent *event)
{
    if (const auto button = buttonNumber(event->button()))
        sendPointer(RemoteInput::Kind::up, event, *button, 1);
    else
        event->ignore();
}

void ClickView::mouseMoveEvent(QMouseEvent *event)
{
    if (event->buttons().testFlag(Qt::LeftButton)) {
        sendPointer(RemoteInput::Kind::move, event, kPrimary, 1);
        return;
    }
    event->accept();
    hoverTo(event->position(), modifiersOf(event->modifiers()));
}

void ClickView::hoverTo(QPointF position, KeyModifiers modifiers)
{
    m_hoverPosition = position;
    m_hoverModifiers = modifiers;
    // One already waits: it goes with this newer position.
    if (m_hoverTimer.isActive())
        return;
    const std::chrono::milliseconds wait = m_hoverPacing.waitAt(HoverPacing::Clock::now());
    if (wait.count() > 0)
        m_hoverTimer.start(wait);
    else
        sendHover();
}

void ClickView::sendHover()
{
    m_hoverPacing.sentAt(HoverPacing::Clock::now());
    send(Input{inputAt(RemoteInput::Kind::move, m_hoverPosition, pictureRect(), kPrimary, 1, m_hoverModifiers)});
}

void ClickView::wheelEvent(QWheelEvent *event)
{
    event->accept();
    const QPointF pixels = wheelPixels(event->pixelDelta(), event->angleDelta());
    if (pixels.isNull())
        return;
    RemoteInput input = inputAt(RemoteInput::Kind::wheel, event->position(), pictureRect(), kPrimary, 1,
                                modifiersOf(event->modifiers()));
    input.deltaX = pixels.x();
    input.deltaY = pixels.y();
    send(Input{input});
}

bool ClickView::event(QEvent *event)
{
    // Every key is the remote machine's while we have focus: no local shortcut may take it.
    if (event->type() == QEvent::ShortcutOverride) {
        event->accept();
        return true;
    }
    return QWidget::event(event);
}

// Tab and Shift+Tab go to the remote machine instead of moving the focus.
bool ClickView::focusNextPrevChild(bool)
{
    return false;
}

void ClickView::keyPressEvent(QKeyEvent *event)
{
    event->accept();
    const KeyModifiers modifiers = modifiersOf(event->modifiers());
    if (event->key() == Qt::Key_Escape && modifiers == releaseChord) {
        returnKeyboard();
        emit releaseChordPressed();
        return;
    }

    std::optional<Key> key;
    if (const std::optional<NamedKey> special = namedKeyOf(event->key())) {
        KeyModifiers held = modifiers;
        // A space typed with Shift still held from a capital is a space.
        if (*special == NamedKey::Space && !isShortcut(held))
            held = {};
        key = Key{codeName(*special), QString(), true, held};
    } else if (!isShortcut(modifiers)) {
        if (printable(event->text()))
            send(Text{event->text()});
        return;
    } else if (const QString character = shortcutKey(*event); !character.isEmpty()) {
        key = Key{QString(), character, true, modifiers};
    }
    if (!key)
        return;

    const quint32 physical = physicalKey(*event);
    const bool held = std::any_of(m_heldKeys.cbegin(), m_heldKeys.cend(),
                                  [physical](const auto &entry) { return entry.first == physical; });
    if (!held)
        m_heldKeys.append({physical, *key});
    // A key the user holds repeats on the remote machine as it does here.
    send(*key);
}

void ClickView::keyReleaseEvent(QKeyEvent *event)
{
    event->accept();
    if (event->isAutoRepeat())
        return;
    const quint32 physical = physicalKey(*event);
    for (qsizetype i = 0; i < m_heldKeys.size(); ++i) {
        if (m_heldKeys[i].first != physical)
            continue;
        Key release = m_heldKeys.takeAt(i).second;
        release.down = false;
        send(release);
        return;
    }
}

void ClickView::inputMethodEvent(QInputMethodEvent *event)
{
    event->accept();
    if (!event->commitString().isEmpty())
        send(Text{event->commitString()});
}

QVariant ClickView::inputMethodQuery(Qt::InputMethodQuery query) const
{
    switch (query) {
    case Qt::ImEnabled:
        return true;
    case Qt::ImHints:
        // Composition only: no prediction or correction of what goes to another machine.
        return int(Qt::ImhNoPredictiveText | Qt::ImhNoAutoUppercase);
    default:
        return QWidget::inputMethodQuery(query);
    }
}

void ClickView::releaseHeldKeys()
{
    const QList<std::pair<quint32, Key>> held = std::exchange(m_heldKeys, {});
    for (const auto &[physical, key] : held) {
        Key release = key;
        release.down = false;
        send(release);
    }
}

void ClickView::takeKeyboard()
{
    setFocus(Qt::OtherFocusReason);
}

void ClickView::returnKeyboard()
{
    if (hasFocus())
        clearFocus();
    else
        setKeyboardTaken(false);
}

void ClickView::focusInEvent(QFocusEvent *event)
{
    QWidget::focusInEvent(event);
    setKeyboardTaken(true);
}

void ClickView::focusOutEvent(QFocusEvent *event)
{
    QWidget::focusOutEvent(event);
    setKeyboardTaken(false);
}

void ClickView::setKeyboardTaken(bool taken)
{
    if (!taken)
        releaseHeldKeys();
    if (taken == m_keyboardTaken)
        return;
    m_keyboardTaken = taken;
    if (taken)
        grabKeyboard();
    else
        releaseKeyboard();
    emit keyboardTakenChanged(taken);
}
