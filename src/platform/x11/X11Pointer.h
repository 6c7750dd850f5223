#pragma once

#include "DesktopBackend.h"

#include <QPointF>

#include <cstdint>
#include <memory>

class X11Connection;

// The pointer of an X server driven through XTest: motion, buttons and the wheel. Does nothing
// when the server lacks XTest. Main thread only.
class X11Pointer
{
public:
    explicit X11Pointer(std::shared_ptr<X11Connection> connection);

    void warp(QPointF point);
    void post(DesktopBackend::MouseEvent type, QPointF point, std::int64_t clickState);
    void scroll(QPointF point, std::int32_t deltaY);

private:
    void moveTo(QPointF point);

    std::shared_ptr<X11Connection> m_connection;
};
