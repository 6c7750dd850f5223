#pragma once

#include "DesktopCursor.h"
#include "ScreenImage.h"

#include <QRectF>

#include <optional>

// The pictures of the desktop's main display. Points are global desktop coordinates (y grows
// downwards).
class DesktopCapture
{
public:
    virtual ~DesktopCapture() = default;

    // Full-resolution image of the main display; none when it cannot be taken.
    virtual std::optional<ScreenImage> captureMainDisplay() = 0;
    // False only when the desktop knows that nothing on the main display changed since the last
    // captureMainDisplay(), so that a still screen costs no capture. Desktops that cannot tell
    // answer true; the caller then compares the pictures itself.
    virtual bool mainDisplayMayHaveChanged() { return true; }
    // The main display's rectangle in global coordinates.
    virtual QRectF mainDisplayBounds() = 0;
    // The pointer, its image read again only when its shape may have changed since the last
    // call; none when the desktop cannot tell (the picture then shows whatever it captured).
    virtual std::optional<DesktopCursor> cursor() { return std::nullopt; }
};
