#pragma once

#include <QString>

// The switchboard this machine runs itself: the node child serves it on this port, the tunnel
// publishes it, the host always talks to it, and a viewer without a cloud address falls back
// to it.
namespace LocalSwitchboard {

inline constexpr quint16 port = 17880;

// Plain http, 127.0.0.1 and the port, with no path and no trailing slash.
QString loopbackOrigin(quint16 onPort = port);

} // namespace LocalSwitchboard
