#include "ViewerWording.h"

#include "KivrenIds.h"

namespace {

constexpr qsizetype kIdDigits = 9;
constexpr qsizetype kPasswordCharacters = 8;

} // namespace

QString ViewerWording::idHint(const QString &typedId, const QString &typedPassword, const QString &ownId)
{
    const QString id = KivrenIds::compactId(typedId);
    const qsizetype digits = KivrenIds::characterCount(id);
    if (digits == 0)
        return QStringLiteral("Enter the ID shown on the other computer");
    if (digits < kIdDigits) {
        const qsizetype left = kIdDigits - digits;
        return left == 1 ? QStringLiteral("1 more digit")
                         : QStringLiteral("%1 more digits").arg(left);
    }
    if (digits > kIdDigits)
        return QStringLiteral("An ID has 9 digits: this one has %1").arg(digits);
    if (!ownId.isEmpty() && id == ownId)
        return refusal(id, QString(), ownId);
    const qsizetype characters = KivrenIds::characterCount(KivrenIds::compactPassword(typedPassword));
    if (characters == 0)
        return QStringLiteral("Now enter the password shown on that computer");
    if (characters != kPasswordCharacters)
        return QStringLiteral("The password has 8 characters");
    return QStringLiteral("Press Enter or Connect");
}

QString ViewerWording::refusal(const QString &compactId, const QString &compactPassword, const QString &ownId)
{
    if (KivrenIds::characterCount(compactId) != kIdDigits)
        return QStringLiteral("Enter the 9-digit ID shown on the other computer");
    if (!ownId.isEmpty() && compactId == ownId)
        return QStringLiteral("That is this computer's own ID: enter the ID of the computer you want to reach");
    if (KivrenIds::characterCount(compactPassword) != kPasswordCharacters)
        return QStringLiteral("Enter the 8-character password shown on that computer");
    return {};
}

QString ViewerWording::passwordFor(const QString &name)
{
    return QStringLiteral("Enter the password shown on %1, then press Enter").arg(name);
}

QString ViewerWording::lookingUp(const QString &formattedId)
{
    return QStringLiteral("Looking for %1\u2026").arg(formattedId);
}

QString ViewerWording::checkingPassword()
{
    return QStringLiteral("Checking the password\u2026");
}

QString ViewerWording::waitingForAccept()
{
    return QStringLiteral("Waiting for the person at the other computer to accept");
}

QString ViewerWording::connected(const QString &hostName)
{
    return QStringLiteral("Connected to ") + hostName;
}

QString ViewerWording::ended()
{
    return QStringLiteral("Disconnected");
}

QString ViewerWording::failure(const KivrenError &error, Step step)
{
    if (error.domain == KivrenError::kivrenDomain) {
        if (error.description == QLatin1String("Wrong password"))
            return QStringLiteral("Wrong password: type the password that computer shows now");
        switch (error.code) {
        case 404:
            if (error.description == QLatin1String("Unknown ID"))
                return QStringLiteral("No computer has this ID: check the ID");
            if (step == Step::live)
                return QStringLiteral("The session is over: connect again");
            break;
        case 409:
            if (error.description == QLatin1String("That PC is offline"))
                return QStringLiteral("That computer is not reachable now: KivrenRemote must be open on it");
            break;
        case 410:
            // The other side's own words (cleaned and bounded by the switchboard).
            return error.description.isEmpty() ? QStringLiteral("The session has ended") : error.description;
        default:
            break;
        }
        return error.description;
    }

    using E = KivrenError;
    switch (error.code) {
    case E::timedOut:
    case E::cannotFindHost:
    case E::cannotConnectToHost:
    case E::networkConnectionLost:
    case E::secureConnectionFailed:
        return step == Step::live
            ? QStringLiteral("The connection to that computer was lost: check the internet connection, then connect again")
            : QStringLiteral("The cloud address cannot be reached: check the internet connection and the cloud address");
    case E::badServerResponse:
    case E::serverCertificateUntrusted:
    case E::badURL:
        return QStringLiteral("The cloud address does not answer as KivrenRemote does: check the cloud address");
    default:
        break;
    }
    return error.description;
}
