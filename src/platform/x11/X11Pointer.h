#pragma once

#include "DesktopInput.h"
#include "MultipleClicks.h"
#include "WheelClicks.h"

#include <QPoint>
#include <QPointF>

#include <cstdint>
#include <memory>

class X11Connection;

// The pointer of an X server driven through XTest: motion, buttons and the wheel. Does nothing
// when the server lacks XTest. Main thread only.
//
// X keeps no click count: a client sees a double click when two presses of one button come
// close together in time and place, which MultipleClicks sees to.
class X11Pointer
{
public:
    explicit X11Pointer(std::shared_ptr<X11Connection> connection);

    void warp(QPointF point);
    void post(DesktopInput::MouseEvent type, QPointF point, std::int64_t clickState);
    void scroll(QPointF point, std::int32_t deltaY);

private:
    void moveTo(QPoint point);
    void press(unsigned int button, QPoint at, std::int64_t clickState);

    std::shared_ptr<X11Connection> m_connection;
    MultipleClicks m_clicks;
    WheelClicks m_wheel;
};
