#include "MacHostService.h"

#include "Clipboard.h"
#include "ComputerName.h"
#include "DesktopBackend.h"
#include "KivrenAPI.h"
#include "KivrenIds.h"
#include "PlatformWording.h"
#include "SessionProtocol.h"
#include "SettingsStore.h"

#include <QEventLoop>
#include <QDir>
#include <QJsonValue>
#include <QTimer>

namespace {

const QString provePath = QStringLiteral("prove");
const QString closePath = QStringLiteral("close");

bool sharingBroken(DesktopBackend::State state)
{
    return state == DesktopBackend::State::Refused || state == DesktopBackend::State::Failed;
}

QString freshPassword()
{
    return KivrenIds::pick(4) + QLatin1Char('-') + KivrenIds::pick(4);
}

// A stored value this program did not write in that form (edited by hand, cut short, another
// version's) is treated as missing: used as it is, it would be refused by the switchboard on
// every registration, with nothing in the window able to mend it.
std::optional<QString> storedText(const SettingsStore &settings, const QString &key, bool (*wellFormed)(const QString &))
{
    const std::optional<QString> text = settings.text(key);
    if (text && wellFormed(*text))
        return text;
    return std::nullopt;
}

} // namespace

MacHostService::Options MacHostService::appOptions(SettingsStore &settings)
{
    Options options;
    options.settings = &settings;
    options.desktop = DesktopBackend::current();
    options.computerName = ComputerName::current();
    return options;
}

MacHostService::MacHostService(Options options, QObject *parent)
    : QObject(parent)
    , m_options(std::move(options))
{
    Q_ASSERT(m_options.settings);
    const SettingsStore &settings = *m_options.settings;

    m_status = HostStatus::of({}).text;

    // The tunnel is made here but started only once the switchboard is proven.
    m_api = new KivrenAPI(m_options.switchboardBase, this);
    const QStringList directories = m_options.tunnelDirectories.isEmpty()
        ? KivrenTunnel::defaultSearchDirectories(m_options.launcherRoots.home)
        : m_options.tunnelDirectories;
    const QString knownHosts = m_options.tunnelKnownHosts.isEmpty()
        ? QDir(settings.folder()).filePath(knownHostsName)
        : m_options.tunnelKnownHosts;
    m_tunnel = new KivrenTunnel(directories, knownHosts, m_options.tunnelTiming, this);

    const QString id = storedText(settings, idKey, KivrenIds::isCompactId).value_or(KivrenIds::nineDigit());
    const QString password = storedText(settings, passwordKey, KivrenIds::isDisplayPassword).value_or(freshPassword());
    const QString hostToken =
        storedText(settings, hostTokenKey, KivrenIds::isHostToken).value_or(KivrenIds::token(KivrenIds::hostTokenBytes));
    m_publicId = id;
    m_password = password;
    m_hostToken = hostToken;

    // Written back on every launch, read or new, so the identity survives even a store that
    // only keeps what was written. A store that cannot be written leaves the identity in memory
    // for this run, and the window says so.
    storeText(idKey, id);
    storeText(passwordKey, password);
    storeText(hostTokenKey, hostToken);

    start();
}

// The owned tasks stop as their members go: each resumes later (stops are delivered through the
// event loop), finds its stop and ends without touching the service. The desktop outlives the
// service, so it must not report to it any more.
MacHostService::~MacHostService()
{
    if (m_options.desktop)
        m_options.desktop->setStateObserver({});
}

QString MacHostService::asksEveryTimeNote()
{
    return QStringLiteral("This desktop cannot remember the permission: the person at %1 is asked to allow "
                          "screen sharing each time KivrenRemote starts")
        .arg(PlatformWording::thisComputer());
}

void MacHostService::start()
{
    // Every origin the tunnel reports is taken on in a task of its own.
    QPointer<MacHostService> self(this);
    m_tunnel->setOnOrigin([self](const QString &origin) {
        if (self)
            self->m_background.start([&](std::stop_token stop) { return self->reportOrigin(origin, std::move(stop)); });
    });
    connect(m_tunnel, &KivrenTunnel::stateChanged, this, &MacHostService::refreshStatus);
    if (DesktopBackend *desktop = m_options.desktop) {
        // Reported on the main thread; the destructor removes the observer.
        desktop->setStateObserver([this](DesktopBackend::State state) { onSharingChanged(state); });
        onSharingChanged(desktop->state());
    }

    if (m_options.startChildren) {
        startSwitchboard();
    } else if (m_options.switchboardKey) {
        m_key = m_options.switchboardKey;
        m_api->setHeader(HostKey::proofHeader, m_key->headerValue());
    } else {
        m_switchboard = HostStatus::Switchboard::proven;
        setProven(true);
    }
    refreshStatus();

    m_registration.start([this] { return registerOnly(m_background.token()); }, [this] { return heartbeat(); },
                         m_options.timing.firstPass, m_options.timing.period,
                         [this] { return proveSwitchboard(m_background.token()); });
}

void MacHostService::startSwitchboard()
{
    m_keeper = new SwitchboardKeeper(m_options.launcherRoots, m_options.switchboardPort, m_options.switchboardRestart,
                                     this);
    connect(m_keeper, &SwitchboardKeeper::launched, this, &MacHostService::onLaunched);
    m_keeper->start();
}

void MacHostService::onLaunched(KivrenCloudProcess::Launch launch)
{
    using Launch = KivrenCloudProcess::Launch;
    switch (launch) {
    case Launch::noNode:
        m_switchboard = HostStatus::Switchboard::noNode;
        break;
    case Launch::noScript:
        m_switchboard = HostStatus::Switchboard::noScript;
        m_missingFile = KivrenCloudProcess::missingFile(m_keeper->roots());
        break;
    case Launch::refused:
        m_switchboard = HostStatus::Switchboard::notStarted;
        break;
    case Launch::started:
    case Launch::alreadyRunning:
        // Until the new child is proven, the status keeps saying why the last one went.
        watch(m_keeper->child());
        return;
    }
    refreshStatus();
}

void MacHostService::watch(SwitchboardChild *child)
{
    m_child = child;
    m_key = child->hostKey();
    m_api->setHeader(HostKey::proofHeader, m_key->headerValue());
    connect(child, &SwitchboardChild::phaseChanged, this, &MacHostService::onChildPhase, Qt::UniqueConnection);
    onChildPhase(child->phase());
}

void MacHostService::onChildPhase(SwitchboardChild::Phase phase)
{
    using Phase = SwitchboardChild::Phase;
    switch (phase) {
    case Phase::starting:
        break;
    case Phase::listening:
        // Requests go to the port the child names; the next pass proves it is the child there.
        m_api->setBase(LocalSwitchboard::loopbackOrigin(m_child->listeningPort()));
        break;
    case Phase::portInUse:
        loseSwitchboard(HostStatus::Switchboard::portInUse);
        break;
    case Phase::failed:
        loseSwitchboard(HostStatus::Switchboard::notStarted);
        break;
    case Phase::ended:
        // Whoever takes the port next is not ours: nothing is sent there until the child the
        // keeper launches next is proven, under a key of its own.
        loseSwitchboard(HostStatus::Switchboard::restarting);
        break;
    }
    refreshStatus();
}

QCoro::Task<bool> MacHostService::proveSwitchboard(std::stop_token stop)
{
    QPointer<MacHostService> self(this);
    // A switchboard the caller vouches for needs no proof.
    if (!m_key)
        co_return true;
    const auto childListens = [](const MacHostService &service) {
        return !service.m_options.startChildren
            || (service.m_child && service.m_child->phase() == SwitchboardChild::Phase::listening);
    };
    // Before the child listens, and after it is gone, the port belongs to nobody we know.
    if (!childListens(*this))
        co_return false;

    // The answer is checked against this child's key: a child launched while it was on its way
    // has a key of its own and is proven by a later pass.
    const QByteArray askedKey = m_key->headerValue();
    const QByteArray nonce = HostKey::freshNonce();
    const QByteArray expected = m_key->answerTo(nonce);
    const KivrenAnswer answer =
        co_await m_api->post(provePath, QJsonObject{{QStringLiteral("nonce"), QString::fromLatin1(nonce)}}, stop);
    if (stop.stop_requested() || !self)
        co_return false;
    // The child may have ended while the answer was on its way.
    if (!childListens(*self) || self->m_key->headerValue() != askedKey)
        co_return false;
    // Not through (refused connection, timeout): nothing learned either way, so nothing is sent
    // this pass and nothing changes.
    if (!answer.ok() && answer.error->domain != KivrenError::kivrenDomain)
        co_return false;
    const QJsonValue proof = answer.object.value(QStringLiteral("proof"));
    if (!answer.ok() || !proof.isString() || !HostKey::sameAnswer(proof.toString().toLatin1(), expected)) {
        self->loseSwitchboard(HostStatus::Switchboard::portInUse);
        co_return false;
    }
    if (self->m_keeper)
        self->m_keeper->childProven();
    if (!self->m_proven) {
        self->m_switchboard = HostStatus::Switchboard::proven;
        self->setProven(true);
        self->refreshStatus();
        // Only a proven switchboard is published: a tunnel would otherwise publish whoever
        // holds the port.
        if (self->m_options.startChildren) {
            QTimer::singleShot(self->m_options.timing.tunnelDelay, self, [service = self.data()] {
                if (service->m_proven && service->m_child && service->m_tunnel->state() == KivrenTunnel::State::idle)
                    service->m_tunnel->start(service->m_child->listeningPort());
            });
        }
    }
    co_return true;
}

void MacHostService::loseSwitchboard(HostStatus::Switchboard why)
{
    m_switchboard = why;
    m_registered = HostStatus::Registration::none;
    setProven(false);
    // The tunnel ends with it; a new one reports an origin of its own.
    m_tunnel->stop();
    m_tunnelOrigin.clear();
    m_originTaken = false;
    if (m_session) {
        m_session.reset();
        setLive(false);
    }
    refreshStatus();
}

QCoro::Task<> MacHostService::reportOrigin(QString origin, std::stop_token stop)
{
    QPointer<MacHostService> self(this);
    // The store learns the origin whatever happens to the request.
    setOrigin(origin);
    storeText(cloudKey, origin);
    m_tunnelOrigin = origin;
    m_originTaken = false;
    co_await tellOrigin(stop);
    if (stop.stop_requested() || !self)
        co_return;
    self->refreshStatus();
}

QCoro::Task<> MacHostService::tellOrigin(std::stop_token stop)
{
    QPointer<MacHostService> self(this);
    if (!m_proven || m_tunnelOrigin.isEmpty() || m_originTaken)
        co_return;
    // The switchboard takes the origin only from this machine's host: the proof header that
    // every request carries, and the ID and token this host registered.
    const QString origin = m_tunnelOrigin;
    const QJsonObject body{
        {QStringLiteral("origin"), origin},
        {QStringLiteral("id"), m_publicId},
        {QStringLiteral("hostToken"), m_hostToken},
    };
    const KivrenAnswer answer = co_await m_api->post(QStringLiteral("origin"), body, stop);
    if (stop.stop_requested() || !self)
        co_return;
    // A refusal (the registration not through yet) or a failure: the next registration asks again.
    if (answer.ok() && self->m_proven && self->m_tunnelOrigin == origin)
        self->m_originTaken = true;
}

QCoro::Task<> MacHostService::registerHost()
{
    return registerHost(m_background.token());
}

QCoro::Task<> MacHostService::registerHost(std::stop_token stop)
{
    QPointer<MacHostService> self(this);
    const bool proven = co_await proveSwitchboard(stop);
    if (stop.stop_requested() || !self || !proven)
        co_return;
    co_await self->registerOnly(stop);
}

QCoro::Task<> MacHostService::registerOnly(std::stop_token stop)
{
    QPointer<MacHostService> self(this);
    // The password and token go only to a switchboard proven to be ours.
    if (!m_proven)
        co_return;
    const QString name = m_options.computerName && !m_options.computerName->isEmpty()
        ? *m_options.computerName
        : PlatformWording::computerNameFallback();
    const QJsonObject body{
        {QStringLiteral("id"), m_publicId},
        {QStringLiteral("name"), name},
        {QStringLiteral("platform"), SessionProtocol::platformName},
        {QStringLiteral("password"), m_password},
        {QStringLiteral("hostToken"), m_hostToken},
        {QStringLiteral("unattended"), true},
    };
    // Only the outcome counts; the answer's content is not read.
    const KivrenAnswer answer = co_await m_api->post(QStringLiteral("register"), body, stop);
    if (stop.stop_requested() || !self || !self->m_proven)
        co_return;
    if (answer.ok()) {
        self->m_registered = HostStatus::Registration::registered;
    } else if (answer.error->domain == KivrenError::kivrenDomain) {
        self->m_registered = HostStatus::Registration::refused;
        self->m_refusal = answer.error->description;
    } else {
        self->m_registered = HostStatus::Registration::none;
    }
    self->refreshStatus();
    if (answer.ok())
        co_await self->tellOrigin(stop);
}

QCoro::Task<> MacHostService::heartbeat()
{
    QPointer<MacHostService> self(this);
    const std::stop_token stop = m_background.token();
    if (!m_proven)
        co_return;
    const QJsonObject body{{QStringLiteral("id"), m_publicId}, {QStringLiteral("hostToken"), m_hostToken}};
    const KivrenAnswer answer = co_await m_api->post(QStringLiteral("heartbeat"), body, stop);
    // A failed heartbeat changes nothing; the next pass tries again.
    if (stop.stop_requested() || !self || !self->m_proven || !answer.ok())
        co_return;
    // The heartbeat only fills in an origin still unknown; the tunnel's reports replace it.
    const QJsonValue origin = answer.object.value(QStringLiteral("origin"));
    if (self->m_origin.isEmpty() && origin.isString() && origin.toString().startsWith(QStringLiteral("http"))) {
        self->setOrigin(origin.toString());
        self->refreshStatus();
    }
    const QJsonValue pending = answer.object.value(QStringLiteral("pending"));
    if (pending.isObject())
        self->begin(pending.toObject());
}

void MacHostService::rotatePassword()
{
    setPassword(freshPassword());
    storeText(passwordKey, m_password);
    // At once rather than on the next pass, so the switchboard never refuses the new password.
    m_background.start([this](std::stop_token stop) { return registerHost(std::move(stop)); });
}

void MacHostService::copyId()
{
    Clipboard::setPlainText(KivrenIds::formatId(m_publicId));
}

void MacHostService::copyPass()
{
    Clipboard::setPlainText(m_password);
}

void MacHostService::begin(const QJsonObject &pending)
{
    // One session at a time; the viewer waiting gets its turn on a later heartbeat.
    if (m_session.running())
        return;
    const QJsonValue id = pending.value(QStringLiteral("sessionId"));
    const QJsonValue token = pending.value(QStringLiteral("sessionToken"));
    if (!id.isString() || !token.isString())
        return;
    // Nothing would ever be shown to this viewer: it is told why at once rather than kept
    // waiting for a picture.
    if (sharingBroken(m_sharing)) {
        refuseSession({id.toString(), token.toString()},
                      m_sharing == DesktopBackend::State::Refused ? sharingRefusedReason : sharingFailedReason);
        return;
    }
    const QJsonValue name = pending.value(QStringLiteral("clientName"));
    setClientName(name.isString() ? std::optional<QString>(name.toString()) : std::nullopt);
    setLive(true);
    refreshStatus();

    HostSession::Options session;
    session.api = m_api;
    session.desktop = m_options.desktop;
    session.keys = {id.toString(), token.toString()};
    session.pause = m_options.timing.sessionPause;
    session.pushEveryPass = m_options.pushEveryPass;
    session.onClosed = [this] { endSession(); };
    m_session.start(std::move(session));
}

void MacHostService::endSession()
{
    m_session.reset();
    setLive(false);
    // The session showed that the switchboard knows this host. Until the next registration the
    // status names no ID, as it always did after a session.
    if (m_registered != HostStatus::Registration::refused)
        m_registered = HostStatus::Registration::sessionEnded;
    refreshStatus();
}

void MacHostService::onSharingChanged(DesktopBackend::State state)
{
    using State = DesktopBackend::State;
    m_sharing = state;
    setAccessAction(state == State::Refused ? askAgain : state == State::Failed ? tryAgain : QString());
    // Known once the desktop has begun to ask; it stays for the run.
    if (m_options.desktop && m_options.desktop->asksEveryTime())
        setSharingNote(asksEveryTimeNote());
    // The person stopped sharing, or the desktop's service broke off: the viewer sees no more
    // of this screen, and is told so rather than left looking at the last picture.
    if (sharingBroken(state) && m_session) {
        refuseSession(m_session->keys(), state == State::Refused ? sharingRefusedReason : sharingFailedReason);
        endSession();
        return;
    }
    refreshStatus();
}

void MacHostService::requestAccess()
{
    if (m_options.desktop)
        m_options.desktop->requestAccess();
}

void MacHostService::closeSessionBeforeQuit()
{
    if (!m_session)
        return;
    QEventLoop wait;
    auto taken = std::make_shared<QuitClose>(QuitClose{false, &wait});
    m_background.start([this, keys = m_session->keys(), taken](std::stop_token stop) {
        return postQuitClose(keys, taken, std::move(stop));
    });
    endSession();
    QTimer::singleShot(quitCloseLimit, &wait, &QEventLoop::quit);
    wait.exec();
    if (!taken->taken)
        return;
    QEventLoop read;
    QTimer::singleShot(quitCloseRead, &read, &QEventLoop::quit);
    read.exec();
}

QCoro::Task<> MacHostService::postQuitClose(SessionProtocol::SessionKeys keys, std::shared_ptr<QuitClose> state,
                                            std::stop_token stop)
{
    co_await postClose(std::move(keys), quitReason, stop);
    // Shared with the caller, which may have stopped waiting (its loop is then gone).
    if (stop.stop_requested())
        co_return;
    state->taken = true;
    if (state->wait)
        state->wait->quit();
}

void MacHostService::refuseSession(SessionProtocol::SessionKeys keys, const QString &reason)
{
    m_background.start([this, keys = std::move(keys), reason](std::stop_token stop) {
        return postClose(keys, reason, std::move(stop));
    });
}

QCoro::Task<> MacHostService::postClose(SessionProtocol::SessionKeys keys, QString reason, std::stop_token stop)
{
    // Sent only to a switchboard proven to be ours, like every session request; its answer does
    // not matter (a session it no longer knows is ended all the same).
    if (!m_proven)
        co_return;
    const QJsonObject body{{QStringLiteral("sessionId"), keys.id},
                           {QStringLiteral("token"), keys.token},
                           {QStringLiteral("reason"), reason}};
    co_await m_api->post(closePath, body, std::move(stop));
}

void MacHostService::handle(const QJsonObject &message, const DisplayGeometry &geometry)
{
    const std::optional<SessionProtocol::ViewerMessage> decoded = SessionProtocol::decodeViewerMessage(message);
    if (!decoded)
        return;
    if (HostSession *session = m_session.get()) {
        session->handle(*decoded, geometry);
        return;
    }
    // Without a session there is nothing to close and no viewer to learn about.
    HostSession::inject(m_options.desktop, *decoded, geometry);
}

void MacHostService::storeText(const QString &key, const QString &value)
{
    if (!m_options.settings->setText(key, value))
        setNotice(settingsNotSaved);
}

void MacHostService::refreshStatus()
{
    HostStatus::Condition condition;
    condition.switchboard = m_switchboard;
    condition.registration = m_registered;
    condition.refusal = m_refusal;
    condition.missingFile = m_missingFile;
    condition.tunnel = m_tunnel->state();
    condition.live = m_live;
    condition.clientName = m_clientName;
    condition.originKnown = !m_origin.isEmpty();
    condition.publicId = m_publicId;
    condition.port = m_child && m_child->listeningPort() != 0 ? m_child->listeningPort() : m_options.switchboardPort;
    condition.sharing = m_sharing;
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

void MacHostService::setPassword(const QString &password)
{
    if (m_password == password)
        return;
    m_password = password;
    emit passwordChanged(m_password);
}

void MacHostService::setNotice(const QString &notice)
{
    if (m_notice == notice)
        return;
    m_notice = notice;
    emit noticeChanged(m_notice);
}

void MacHostService::setSharingNote(const QString &note)
{
    if (m_sharingNote == note)
        return;
    m_sharingNote = note;
    emit sharingNoteChanged(m_sharingNote);
}

void MacHostService::setAccessAction(const QString &action)
{
    if (m_accessAction == action)
        return;
    m_accessAction = action;
    emit accessActionChanged(m_accessAction);
}

void MacHostService::setProven(bool proven)
{
    if (m_proven == proven)
        return;
    m_proven = proven;
    emit switchboardProvenChanged(m_proven);
}

void MacHostService::setOrigin(const QString &origin)
{
    if (m_origin == origin)
        return;
    m_origin = origin;
    emit originChanged(m_origin);
}

void MacHostService::setLive(bool live)
{
    if (m_live == live)
        return;
    m_live = live;
    emit liveChanged(m_live);
}

void MacHostService::setClientName(const std::optional<QString> &name)
{
    if (m_clientName == name)
        return;
    m_clientName = name;
    emit clientNameChanged(m_clientName);
}
