#include "HostStatus.h"

#include "KivrenIds.h"
#include "PlatformWording.h"

namespace {

// Fixed sentences, joined to an ID, a name or a detail by " · " (U+00B7); "…" is U+2026.
const QString separator = QStringLiteral(" \u00B7 ");
const QString fallbackClientName = QStringLiteral("Phone");

QString joined(const QString &sentence, const QString &detail)
{
    return sentence + separator + detail;
}

// The internet address could not be had (or was lost): without a network this is what happens,
// and what still works is said with it.
const QString noInternet = QStringLiteral("No internet connection: other computers cannot reach this one yet. "
                                          "KivrenRemote keeps trying; the ID and password stay the same");

HostStatus problem(const QString &text)
{
    return {text, StatusTone::error};
}

HostStatus warning(const QString &text)
{
    return {text, StatusTone::warning};
}

HostStatus fine(const QString &text)
{
    return {text, StatusTone::ok};
}

} // namespace

HostStatus HostStatus::of(const Condition &c)
{
    using S = Switchboard;
    using T = KivrenTunnel::State;
    const QString starting = QStringLiteral("Getting ready\u2026");
    switch (c.switchboard) {
    case S::noNode:
        return problem(QStringLiteral("Other computers cannot reach this one: install the nodejs package, which KivrenRemote needs"));
    case S::noScript:
        return problem(QStringLiteral("KivrenRemote is incomplete (%1 is missing): reinstall it").arg(c.missingFile));
    case S::notStarted:
        return problem(QStringLiteral("Other computers cannot reach this one: a part of KivrenRemote did not start. Reinstall nodejs or KivrenRemote"));
    case S::portInUse:
        return problem(QStringLiteral("port %1 is in use by another program").arg(c.port));
    case S::restarting:
        return warning(QStringLiteral("A part of KivrenRemote stopped: starting it again\u2026"));
    case S::starting:
    case S::proven:
        break;
    }

    // Without the desktop's screen sharing a viewer would see nothing; the person at this
    // computer is the one who can mend it, and a dialog may be waiting for them right now.
    using D = DesktopSharing::State;
    const QString here = PlatformWording::thisComputer();
    switch (c.sharing) {
    case D::Refused:
        return problem(QStringLiteral("Screen sharing was not allowed on ") + here);
    case D::Failed:
        return problem(QStringLiteral("Screen sharing could not be set up on ") + here);
    case D::WaitingForConsent:
        return warning(QStringLiteral("Waiting for the person at %1 to allow screen sharing").arg(here));
    case D::Starting:
    case D::Ready:
        break;
    }
    if (c.switchboard == S::starting)
        return warning(starting);
    if (c.sharing == D::Starting)
        return warning(QStringLiteral("Starting screen sharing\u2026"));

    if (c.live)
        return fine(joined(joined(QStringLiteral("Connected"), c.clientName.value_or(fallbackClientName)),
                           c.encrypted ? QStringLiteral("Encrypted") : QStringLiteral("Not encrypted")));

    switch (c.registration) {
    case Registration::none:
        return warning(starting);
    case Registration::refused:
        return problem(joined(QStringLiteral("This computer could not get its ID"), c.refusal));
    case Registration::registered:
    case Registration::sessionEnded:
        break;
    }

    switch (c.tunnel) {
    case T::noTool:
        return warning(QStringLiteral("Other computers cannot reach this one: install cloudflared or openssh-client to give it an internet address"));
    case T::closed:
        return warning(noInternet);
    case T::silent:
        return warning(noInternet);
    case T::hostKeyChanged:
        // Possibly someone in the middle: nothing is published through it.
        return problem(QStringLiteral("The service that gives this computer its internet address is not the one it was before: "
                                       "for safety, other computers cannot reach this one"));
    case T::idle:
    case T::starting:
    case T::published:
        break;
    }

    const QString formattedId = KivrenIds::formatId(c.publicId);
    if (c.originKnown)
        return fine(joined(QStringLiteral("Ready anywhere"), formattedId));
    const QString local = QStringLiteral("Waiting for an internet address");
    return fine(c.registration == Registration::sessionEnded ? local : joined(local, formattedId));
}
