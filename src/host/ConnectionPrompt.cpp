#include "ConnectionPrompt.h"

#include "PlatformWording.h"

ConnectionPrompt::ConnectionPrompt(SwitchboardRequests::PendingSession viewer, Clock::time_point askedAt,
                                   std::chrono::milliseconds limit)
    : m_viewer(std::move(viewer))
    , m_deadline(askedAt + limit)
{
}

ConnectionPrompt::Outcome ConnectionPrompt::answer(Answer answer, Clock::time_point at)
{
    // A click that arrives as the time runs out is too late: the viewer is being told already.
    if (expire(at) != Outcome::pending)
        return m_outcome;
    m_outcome = answer == Answer::allow ? Outcome::allowed : Outcome::refused;
    return m_outcome;
}

ConnectionPrompt::Outcome ConnectionPrompt::expire(Clock::time_point at)
{
    if (m_outcome == Outcome::pending && at >= m_deadline)
        m_outcome = Outcome::timedOut;
    return m_outcome;
}

QString ConnectionPrompt::closeReason() const
{
    switch (m_outcome) {
    case Outcome::refused:
        return refusedReason;
    case Outcome::timedOut:
        return timedOutReason;
    case Outcome::pending:
    case Outcome::allowed:
        break;
    }
    return {};
}

QString ConnectionPrompt::question(const SwitchboardRequests::PendingSession &viewer)
{
    // Every part is the viewer's own say, except the address: the person weighs them as such.
    const QString name = viewer.clientName && !viewer.clientName->isEmpty() ? *viewer.clientName
                                                                           : QStringLiteral("A viewer without a name");
    const QString platform = viewer.clientPlatform && !viewer.clientPlatform->isEmpty()
        ? QStringLiteral(" (%1)").arg(*viewer.clientPlatform)
        : QString();
    const QString from = viewer.clientAddress && !viewer.clientAddress->isEmpty()
        ? QStringLiteral("from %1").arg(*viewer.clientAddress)
        : QStringLiteral("from an address the switchboard could not tell");
    return QStringLiteral("%1%2 wants to see and control %3, %4.")
        .arg(name, platform, PlatformWording::thisComputer(), from);
}
