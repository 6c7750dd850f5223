#include "DisplayGeometry.h"

#include "DesktopCapture.h"

DisplayGeometry DisplayGeometry::ofMainDisplay(DesktopCapture &capture)
{
    const QRectF bounds = capture.mainDisplayBounds();
    return DisplayGeometry{bounds.width(), bounds.height(), bounds.x(), bounds.y()};
}
