#pragma once

#include <memory>

class X11Connection;
// Xlib's own forward declaration of XEvent (this header stays free of Xlib).
union _XEvent;

// Whether anything was drawn on the X screen since the last reset, from the DAMAGE extension's
// reports on the root window (drawing in any window lands there). A screen that nobody draws on
// then costs no capture at all. Without the extension every question is answered "maybe".
// Main thread only.
class X11DamageWatch
{
public:
    explicit X11DamageWatch(std::shared_ptr<X11Connection> connection);
    ~X11DamageWatch();
    X11DamageWatch(const X11DamageWatch &) = delete;
    X11DamageWatch &operator=(const X11DamageWatch &) = delete;

    // False when the server has no DAMAGE extension: then anything may have changed, always.
    bool watching() const { return m_damage != 0; }
    // Something may have been drawn since the last reset() (or since the watch began).
    bool mayHaveChanged() const { return !watching() || m_damaged; }
    // Forgets what was reported so far. Called right before the screen is read, so that drawing
    // which lands during the read is reported again rather than lost.
    void reset();
    // After a read that failed: what was reset has not been seen.
    void assumeChanged() { m_damaged = true; }
    // Takes the damage reports; false for every other event.
    bool handle(_XEvent &event);

private:
    std::shared_ptr<X11Connection> m_connection;
    unsigned long m_damage = 0;
    int m_eventBase = 0;
    bool m_damaged = true; // nothing seen yet
};
