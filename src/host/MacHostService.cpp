#include "MacHostService.h"

#include "Clipboard.h"
#include "HostIdentity.h"
#include "KivrenAPI.h"
#include "KivrenIds.h"
#include "PlatformWording.h"
#include "SettingsStore.h"
#include "SwitchboardTrust.h"

#include <QDir>

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
    m_registration = std::make_unique<HostRegistration>(*m_api, *m_identity, *m_trust, std::move(registration));
    m_admission = std::make_unique<SessionAdmission>(
        *m_api, *m_trust,
        SessionAdmission::Options{m_options.desktop, m_options.timing.sessionPause, m_options.pushEveryPass,
                                  m_options.onePassLoop});

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
    connect(m_admission.get(), &SessionAdmission::clientNameChanged, this, [this](const std::optional<QString> &name) {
        emit clientNameChanged(name);
        refreshStatus();
    });
    connect(m_admission.get(), &SessionAdmission::sharingChanged, this, &MacHostService::refreshStatus);
    connect(m_admission.get(), &SessionAdmission::accessActionChanged, this, &MacHostService::accessActionChanged);
    connect(m_admission.get(), &SessionAdmission::sharingNoteChanged, this, &MacHostService::sharingNoteChanged);
    connect(m_admission.get(), &SessionAdmission::sessionEnded, m_registration.get(), &HostRegistration::sessionEnded);

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

void MacHostService::rotatePassword()
{
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
