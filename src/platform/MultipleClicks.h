#pragma once

#include <QPoint>

#include <chrono>
#include <cstdint>
#include <optional>

// Desktops that keep no click count (X, Wayland) leave it to each client: a second press of a
// button close to the first in time and place is a double click. The viewer sends each click of
// a double click as its own press and release, the second press with click state 2, and they
// may reach the host in different polls, further apart than the client's double-click interval.
// This remembers the last press and plans each press so that one with click state n >= 2 is the
// n-th click where it lands: passed on as it is when it comes soon enough after the earlier one;
// otherwise the earlier clicks are repeated right before it, after the earlier press has aged
// past the interval (so the repeat is not itself the client's second click and this press its
// third). One per pointer. Main thread.
class MultipleClicks
{
public:
    using Clock = std::chrono::steady_clock;

    // The desktop's clients (Qt and GTK alike, and GNOME, by default) take as a double click the
    // second press within 400 ms of the first, and within a few pixels of it. A later click this
    // soon after the earlier press is passed on as it is (well inside that time); later than that,
    // the earlier clicks are repeated right before it, and while the earlier press is still
    // within reach of the interval the repeat first waits until it no longer is (at most the
    // difference, never long).
    static constexpr std::chrono::milliseconds passGap{300};
    static constexpr std::chrono::milliseconds clearGap{430};
    // A later press this close to the earlier one is put exactly on it, so that the client pairs
    // them (the viewer's picture is scaled, its clicks land a pixel or two apart).
    static constexpr int snapDistance = 12;

    struct Press
    {
        // Where the press goes: on the earlier press when it is a later click of it.
        QPoint at;
        // Clicks (press and release) of the button to send at `at` right before the press.
        int repeats = 0;
        // Not before this are the repeats sent.
        std::optional<Clock::time_point> waitUntil;
    };

    // How a press of `button` (any code the desktop uses) at `at` goes out.
    Press plan(int button, QPoint at, std::int64_t clickState, Clock::time_point now) const;
    // The press went out as planned, at `now`.
    void pressed(int button, QPoint at, std::int64_t clickState, Clock::time_point now);
    // The button went up.
    void released();
    // Where the pointer goes for a move or release: on the press of a multiple click while it
    // stays near it, so that the click does not turn into a small drag.
    QPoint heldAt(QPoint at) const;

private:
    struct LastPress
    {
        int button = 0;
        QPoint at;
        Clock::time_point time;
    };

    bool near(QPoint at) const;

    std::optional<LastPress> m_last;
    // Between the press of a multiple click and its release.
    bool m_multipleClickHeld = false;
};
