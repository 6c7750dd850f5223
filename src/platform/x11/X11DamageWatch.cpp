#include "X11DamageWatch.h"

#include "X11Connection.h"

#include <utility>

// Xlib last: its macros clash with Qt headers.
#include "X11ErrorTrap.h"

#include <X11/Xlib.h>
#include <X11/extensions/Xdamage.h>

X11DamageWatch::X11DamageWatch(std::shared_ptr<X11Connection> connection)
    : m_connection(std::move(connection))
{
    Display *display = m_connection->display();
    int errorBase = 0;
    if (!XDamageQueryExtension(display, &m_eventBase, &errorBase))
        return;
    // One report each time the damage goes from nothing to something: all that is wanted is
    // whether to look, not where, and a busy screen then sends one event per reset, not a flood.
    X11ErrorTrap trap;
    const Damage damage = XDamageCreate(display, m_connection->root(), XDamageReportNonEmpty);
    XSync(display, False);
    if (!trap.failed())
        m_damage = damage;
}

X11DamageWatch::~X11DamageWatch()
{
    if (!m_damage)
        return;
    X11ErrorTrap trap;
    XDamageDestroy(m_connection->display(), m_damage);
    XSync(m_connection->display(), False);
}

void X11DamageWatch::reset()
{
    if (!m_damage)
        return;
    XDamageSubtract(m_connection->display(), m_damage, None, None);
    m_damaged = false;
}

bool X11DamageWatch::handle(XEvent &event)
{
    if (!m_damage || event.type != m_eventBase + XDamageNotify)
        return false;
    m_damaged = true;
    return true;
}
