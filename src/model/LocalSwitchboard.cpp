#include "LocalSwitchboard.h"

namespace LocalSwitchboard {

QString loopbackOrigin(quint16 onPort)
{
    return QStringLiteral("http://127.0.0.1:%1").arg(onPort);
}

} // namespace LocalSwitchboard
