#include "MacHostService.h"

#include "Clipboard.h"
#include "HostIdentity.h"
#include "KivrenAPI.h"
#include "KivrenIds.h"
#include "PlatformWording.h"
#include "SettingsStore.h"
#include "SwitchboardTrust.h"

#include <QDir>

#include <algorithm>

MacHostService::MacHostService(Options options, QObject *parent)
    : QObject(parent)
    , m_options(std::move(options))
{
    Q_ASSERT(m_options.settings);
    SettingsStore &settings = *m_options.settings;
    m_status = HostStatus::of({}).text;

    m_api = std::make_unique<KivrenAPI>(m_options.switchboardBase);
    m_identity = std::make_unique<HostIdentity>(settings);
    m_trust = std::make_unique<SwitchboardTrust>(
        *m_api, SwitchboardTrust::Options{m_options.startChildren, m_options.switchboardKey, m_options.switchboardPort,
                                          m_options.launcherRoots, m_options.switchboardRestart});

    HostRegistration::Options registration;
    registration.computerName = m_options.computerName && !m_options.computerName->isEmpty()
        ? *m_options.computerName
        : PlatformWording::computerNameFallback();
    registration.tunnelDirectories = m_options.tunnelDirectories.isEmpty()
        ? KivrenTunnel::defaultSearchDirectories(m_options.launcherRoots.home)
        : m_options.tunnelDirectories;
    registration.tunnelKnownHosts = m_options.tunnelKnownHosts.isEmpty() ? QDir(settings.folder()).filePath(knownHostsName)
                                                                          : m_options.tunnelKnownHosts;
    registration.tunnelTiming = m_options.tunnelTiming;
    registration.startTunnel = m_options.startChildren;
    registration.timing = {m_options.timing.firstPass, m_options.timing.period, m_options.timing.tunnelDelay};
    const bool askFirst = settings.text(askFirstKey) == QStringLiteral("true");
    registration.unattended = !askFirst;
    m_registration = std::make_unique<HostRegistration>(*m_api, *m_identity, *m_trust, std::move(registration));
    m_admission = std::make_unique<SessionAdmission>(
        *m_api, *m_trust,
        SessionAdmission::Options{m_options.desktop, m_options.timing.sessionPause, m_options.pushEveryPass,
                                  m_identity.get(), m_options.timing.askWithin, m_options.onePassLoop});
    m_admission->setAskFirst(askFirst);
    m_attempts = std::make_unique<AttemptLog>(QDir(settings.folder()).filePath(AttemptLog::fileName));

    connect(m_identity.get(), &HostIdentity::passwordChanged, this, &MacHostService::passwordChanged);
    connect(m_identity.get(), &HostIdentity::savedChanged, this, [this] { emit noticeChanged(notice()); });
    connect(m_trust.get(), &SwitchboardTrust::conditionChanged, this, &MacHostService::refreshStatus);
    connect(m_trust.get(), &SwitchboardTrust::provenChanged, this, [this](bool proven) {
        emit switchboardProvenChanged(proven);
        refreshStatus();
    });
    // The port is not (or no longer) ours: nothing more is sent there until a pass proves it.
    connect(m_trust.get(), &SwitchboardTrust::lost, this, [this] {
        m_registration->switchboardLost();
        m_admission->drop();
        refreshStatus();
    });
    connect(m_registration.get(), &HostRegistration::registrationChanged, this, &MacHostService::refreshStatus);
    connect(m_registration.get(), &HostRegistration::originChanged, this, [this](const QString &origin) {
        emit originChanged(origin);
        refreshStatus();
    });
    connect(&m_registration->tunnel(), &KivrenTunnel::stateChanged, this, &MacHostService::refreshStatus);
    connect(m_registration.get(), &HostRegistration::viewerWaiting, this, &MacHostService::begin);
    connect(m_admission.get(), &SessionAdmission::liveChanged, this, [this](bool live) {
        emit liveChanged(live);
        refreshStatus();
    });
    connect(m_admission.get(), &SessionAdmission::encryptedChanged, this, [this](bool encrypted) {
        emit encryptedChanged(encrypted);
        refreshStatus();
    });
    connect(m_identity.get(), &HostIdentity::encryptedOnlyChanged, this, [this](bool only) {
        emit encryptedOnlyChanged(only);
        // At once: the switchboard stops taking (or keeping) the password with the next registration.
        m_registration->registerNow();
    });
    connect(m_admission.get(), &SessionAdmission::clientNameChanged, this, [this](const std::optional<QString> &name) {
        emit clientNameChanged(name);
        refreshStatus();
    });
    connect(m_admission.get(), &SessionAdmission::sharingChanged, this, &MacHostService::refreshStatus);
    connect(m_admission.get(), &SessionAdmission::accessActionChanged, this, &MacHostService::accessActionChanged);
    connect(m_admission.get(), &SessionAdmission::sharingNoteChanged, this, &MacHostService::sharingNoteChanged);
    connect(m_admission.get(), &SessionAdmission::sessionEnded, m_registration.get(), &HostRegistration::sessionEnded);
    connect(m_admission.get(), &SessionAdmission::askingChanged, this, [this] { emit askingChanged(asking()); });
    connect(m_admission.get(), &SessionAdmission::sessionsChanged, this, &MacHostService::sessionsChanged);
    connect(m_admission.get(), &SessionAdmission::admitted, this,
            [this](const SwitchboardRequests::PendingSession &viewer, SessionAdmission::Admitted admitted) {
                using Outcome = AttemptLog::Outcome;
                const Outcome outcome = admitted == SessionAdmission::Admitted::allowed ? Outcome::allowed
                    : admitted == SessionAdmission::Admitted::refused                  ? Outcome::refused
                    : admitted == SessionAdmission::Admitted::timedOut                 ? Outcome::notAnswered
                    : admitted == SessionAdmission::Admitted::wrongPassword            ? Outcome::wrongPassword
                                                                                       : Outcome::busy;
                logAttempts({{QDateTime::currentDateTime(), outcome, viewer.clientName, viewer.clientPlatform,
                              viewer.clientAddress}});
            });
    connect(m_registration.get(), &HostRegistration::lockoutRead, this, &MacHostService::onLockoutRead);

    m_admission->start();
    m_trust->start();
    refreshStatus();
    m_registration->start();
}

// The parts go in the reverse order of their making: the session and the loops stop first (each
// resumes later, finds its stop and ends without touching anything), the transport last.
MacHostService::~MacHostService() = default;

QString MacHostService::publicId() const
{
    return m_identity->publicId();
}

QString MacHostService::password() const
{
    return m_identity->password();
}

QString MacHostService::hostToken() const
{
    return m_identity->hostToken();
}

QString MacHostService::notice() const
{
    return m_identity->saved() ? QString() : settingsNotSaved;
}

QString MacHostService::sharingNote() const
{
    return m_admission->sharingNote();
}

QString MacHostService::accessAction() const
{
    return m_admission->accessAction();
}

bool MacHostService::switchboardProven() const
{
    return m_trust->proven();
}

QString MacHostService::origin() const
{
    return m_registration->origin();
}

bool MacHostService::live() const
{
    return m_admission->live();
}

std::optional<QString> MacHostService::clientName() const
{
    return m_admission->clientName();
}

KivrenTunnel &MacHostService::tunnel()
{
    return m_registration->tunnel();
}

const HostSession *MacHostService::session() const
{
    return m_admission->session();
}

bool MacHostService::encrypted() const
{
    return m_admission->encrypted();
}

bool MacHostService::encryptedOnly() const
{
    return m_identity->encryptedOnly();
}

void MacHostService::setEncryptedOnly(bool only)
{
    m_identity->setEncryptedOnly(only);
}

bool MacHostService::askFirst() const
{
    return m_admission->askFirst();
}

void MacHostService::setAskFirst(bool askFirst)
{
    if (m_admission->askFirst() == askFirst)
        return;
    m_admission->setAskFirst(askFirst);
    // Kept like the identity: a store that cannot be written already says so in the notice.
    m_options.settings->setText(askFirstKey, askFirst ? QStringLiteral("true") : QStringLiteral("false"));
    m_registration->setUnattended(!askFirst);
    emit askFirstChanged(askFirst);
}

QString MacHostService::asking() const
{
    const std::optional<SwitchboardRequests::PendingSession> viewer = m_admission->asking();
    return viewer ? ConnectionPrompt::question(*viewer) : QString();
}

void MacHostService::allowViewer()
{
    m_admission->answer(ConnectionPrompt::Answer::allow);
}

void MacHostService::refuseViewer()
{
    m_admission->answer(ConnectionPrompt::Answer::refuse);
}

QList<LiveSession> MacHostService::sessions() const
{
    return m_admission->sessions();
}

void MacHostService::endSession(const QString &sessionId)
{
    m_admission->end(sessionId, SessionAdmission::endedReason);
}

void MacHostService::setViewOnly(const QString &sessionId, bool viewOnly)
{
    m_admission->setViewOnly(sessionId, viewOnly);
}

const QList<AttemptLog::Entry> &MacHostService::attempts() const
{
    return m_attempts->entries();
}

void MacHostService::liftLockout()
{
    m_registration->liftLockout();
}

QString MacHostService::lockoutWords(qint64 waitMs)
{
    constexpr qint64 minuteMs = 60'000;
    const qint64 minutes = std::max<qint64>(1, (waitMs + minuteMs - 1) / minuteMs);
    return minutes == 1 ? QStringLiteral("Connections are paused for a minute after wrong passwords")
                        : QStringLiteral("Connections are paused for %1 minutes after wrong passwords").arg(minutes);
}

void MacHostService::onLockoutRead(const SwitchboardRequests::LockoutAnswer &lockout)
{
    QList<AttemptLog::Entry> failed;
    for (const SwitchboardRequests::FailedAttempt &attempt : lockout.attempts) {
        const AttemptLog::Outcome outcome = attempt.outcome == QStringLiteral("locked-out")
            ? AttemptLog::Outcome::lockedOut
            : AttemptLog::Outcome::wrongPassword;
        failed.append({QDateTime::fromMSecsSinceEpoch(attempt.atMs), outcome, attempt.clientName,
                       attempt.clientPlatform, attempt.clientAddress});
    }
    logAttempts(failed);
    const QString note = lockout.locked && lockout.waitMs > 0 ? lockoutWords(lockout.waitMs) : QString();
    if (m_lockoutNote != note) {
        m_lockoutNote = note;
        emit lockoutNoteChanged(m_lockoutNote);
    }
}

void MacHostService::logAttempts(const QList<AttemptLog::Entry> &entries)
{
    if (entries.isEmpty())
        return;
    m_attempts->add(entries);
    emit attemptsChanged();
}

void MacHostService::rotatePassword()
{
    // The viewers came in with the password being replaced: none of them keeps its way in.
    m_admission->endAll(SessionAdmission::passwordChangedReason);
    m_identity->rotatePassword();
    // At once rather than on the next pass, so the switchboard never refuses the new password.
    m_registration->registerNow();
}

void MacHostService::copyId()
{
    Clipboard::setPlainText(KivrenIds::formatId(publicId()));
}

void MacHostService::copyPass()
{
    Clipboard::setPlainText(password());
}

void MacHostService::requestAccess()
{
    m_admission->requestAccess();
}

void MacHostService::closeSessionBeforeQuit()
{
    m_admission->closeBeforeQuit();
}

void MacHostService::begin(const SwitchboardRequests::PendingSession &pending)
{
    m_admission->begin(pending);
}

void MacHostService::refreshStatus()
{
    HostStatus::Condition condition;
    condition.switchboard = m_trust->condition();
    condition.registration = m_registration->registration();
    condition.refusal = m_registration->refusal();
    condition.missingFile = m_trust->missingFile();
    condition.tunnel = m_registration->tunnel().state();
    condition.live = m_admission->live();
    condition.clientName = m_admission->clientName();
    condition.encrypted = m_admission->encrypted();
    condition.originKnown = !m_registration->origin().isEmpty();
    condition.publicId = publicId();
    condition.port = m_trust->port();
    condition.sharing = m_admission->sharing();
    const HostStatus status = HostStatus::of(condition);

    if (m_status != status.text) {
        m_status = status.text;
        emit statusChanged(m_status);
    }
    if (m_statusTone != status.tone) {
        m_statusTone = status.tone;
        emit statusToneChanged(m_statusTone);
    }
}
