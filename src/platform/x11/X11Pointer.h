#pragma once

#include "DesktopBackend.h"

#include <QPoint>
#include <QPointF>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>

class X11Connection;

// The pointer of an X server driven through XTest: motion, buttons and the wheel. Does nothing
// when the server lacks XTest. Main thread only.
//
// X keeps no click count: a client sees a double click when two presses of one button come
// close together in time and place. The pointer therefore remembers its last press, and a
// press asked to be a later click of a multiple click is made one (see press()).
class X11Pointer
{
public:
    // What the desktop's clients (Qt and GTK alike, by default) take as a double click: the
    // second press within this time of the first, and within a few pixels of it.
    static constexpr std::chrono::milliseconds doubleClickInterval{400};
    // A second press this soon after the first is passed on as it is; later than that, the
    // first click is repeated right before it, and when it is still within reach of the
    // interval we first wait until it no longer is (at most the difference, never long).
    static constexpr std::chrono::milliseconds doubleClickPassGap{300};
    static constexpr std::chrono::milliseconds doubleClickClearGap{430};

    explicit X11Pointer(std::shared_ptr<X11Connection> connection);

    void warp(QPointF point);
    void post(DesktopBackend::MouseEvent type, QPointF point, std::int64_t clickState);
    void scroll(QPointF point, std::int32_t deltaY);

private:
    struct Press
    {
        unsigned int button = 0;
        QPoint at;
        std::chrono::steady_clock::time_point time;
    };

    void moveTo(QPoint point);
    void press(unsigned int button, QPoint at, std::int64_t clickState);
    // Where the pointer goes for a move or release: on the press of a multiple click while it
    // stays near it, so the click does not turn into a small drag.
    QPoint heldAt(QPoint at) const;

    std::shared_ptr<X11Connection> m_connection;
    std::optional<Press> m_lastPress;
    // Between the press of a multiple click and its release.
    bool m_multipleClickHeld = false;
    // Pixels of wheel movement not yet scrolled, and when and which way the wheel last moved.
    double m_wheelCarry = 0;
    std::chrono::steady_clock::time_point m_lastWheel;
};
