#include "DisplayGeometry.h"

#include "DesktopBackend.h"

DisplayGeometry DisplayGeometry::ofMainDisplay(DesktopBackend &backend)
{
    const QRectF bounds = backend.mainDisplayBounds();
    return DisplayGeometry{bounds.width(), bounds.height(), bounds.x(), bounds.y()};
}
