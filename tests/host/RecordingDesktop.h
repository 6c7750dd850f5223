#pragma once

#include "DesktopBackend.h"

#include <QString>
#include <QStringList>

#include <limits>

// A desktop that writes down every call as one readable line, and hands out a preset image.
class RecordingDesktop final : public DesktopBackend
{
public:
    QStringList calls;
    std::optional<ScreenImage> image;
    QRectF bounds{0, 0, 1512, 982};
    qsizetype typeLimit = std::numeric_limits<qsizetype>::max();

    std::optional<ScreenImage> captureMainDisplay() override { return image; }
    QRectF mainDisplayBounds() override { return bounds; }

    void warpPointer(QPointF point) override { calls << QStringLiteral("warp %1").arg(at(point)); }
    void postMouse(MouseEvent type, QPointF point, std::int64_t clickState) override
    {
        calls << QStringLiteral("mouse %1 %2 state %3").arg(name(type), at(point)).arg(clickState);
    }
    void postScroll(QPointF point, std::int32_t deltaY) override
    {
        calls << QStringLiteral("scroll %1 %2").arg(deltaY).arg(at(point));
    }
    void postKey(NamedKey key, bool down) override
    {
        calls << QStringLiteral("key %1 %2").arg(codeName(key), down ? u"down" : u"up");
    }
    // Types at most `typeLimit` UTF-16 units per call, as a desktop short of keycodes does.
    qsizetype typeText(const QString &text) override
    {
        const QString typed = text.left(typeLimit);
        calls << QStringLiteral("text ") + typed;
        return typed.size();
    }
    void holdModifiers(KeyModifiers modifiers) override
    {
        calls << QStringLiteral("hold ") + modifiers.names().join(u'+');
    }

private:
    static QString at(QPointF point) { return QStringLiteral("%1,%2").arg(point.x()).arg(point.y()); }
    static QString name(MouseEvent type)
    {
        switch (type) {
        case MouseEvent::LeftDown:
            return QStringLiteral("leftDown");
        case MouseEvent::LeftUp:
            return QStringLiteral("leftUp");
        case MouseEvent::RightDown:
            return QStringLiteral("rightDown");
        case MouseEvent::RightUp:
            return QStringLiteral("rightUp");
        case MouseEvent::Moved:
            return QStringLiteral("moved");
        case MouseEvent::LeftDragged:
            return QStringLiteral("leftDragged");
        }
        return {};
    }
};
