#include "PlatformWording.h"

namespace PlatformWording {

#ifdef __APPLE__

QString thisComputer()
{
    return QStringLiteral("this Mac");
}

QString switchboardHint()
{
    // The hyphen in Wi-Fi is U+2011, a non-breaking hyphen.
    return QStringLiteral("This Mac is the switchboard. Keep it open. Windows on this Wi\u2011Fi finds it "
                          "automatically.");
}

QString saveCloudHint()
{
    return QStringLiteral("Save this once from the Mac at home. After that only ID and password are needed "
                          "\u2014 including on mobile data.");
}

QString noCloudAddress()
{
    return QStringLiteral("Save the Mac cloud address once, then connect.");
}

QString computerNameFallback()
{
    return QStringLiteral("Mac");
}

#else

QString thisComputer()
{
    return QStringLiteral("this computer");
}

QString switchboardHint()
{
    // The switchboard listens on this computer's loopback address only: nothing on the local
    // network finds it by itself, so no such promise is made.
    return QStringLiteral("Connections to this computer go through KivrenRemote on it: keep it open.");
}

QString saveCloudHint()
{
    return QStringLiteral("Save this once from the computer at home. After that only ID and password are "
                          "needed \u2014 including on mobile data.");
}

QString noCloudAddress()
{
    return QStringLiteral("Save the cloud address of the computer at home once, then connect.");
}

QString computerNameFallback()
{
    return QStringLiteral("Computer");
}

#endif

} // namespace PlatformWording
