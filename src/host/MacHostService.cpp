#include "MacHostService.h"

#include "Clipboard.h"
#include "ComputerName.h"
#include "DesktopBackend.h"
#include "KivrenAPI.h"
#include "KivrenIds.h"
#include "KivrenTunnel.h"
#include "SessionProtocol.h"
#include "SettingsStore.h"

#include <QJsonValue>
#include <QPointer>
#include <QTimer>

namespace {

const QString fallbackComputerName = QStringLiteral("Mac");
const QString fallbackClientName = QStringLiteral("Phone");

// Status lines: fixed sentences joined to an ID or a name by " · " (U+00B7); "…" is U+2026.
const QString statusStarting = QStringLiteral("Starting switchboard\u2026");
const QString statusLocal = QStringLiteral("Switchboard on this Mac");
const QString statusReadyAnywhere = QStringLiteral("Ready anywhere");
const QString statusConnected = QStringLiteral("Connected");
const QString separator = QStringLiteral(" \u00B7 ");

QString joined(const QString &sentence, const QString &detail)
{
    return sentence + separator + detail;
}

QString freshPassword()
{
    return KivrenIds::pick(4) + QLatin1Char('-') + KivrenIds::pick(4);
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
    SettingsStore &settings = *m_options.settings;

    m_status = statusStarting;

    // The tunnel is made here but started later, by start().
    m_api = new KivrenAPI(m_options.switchboardBase, this);
    const QStringList directories = m_options.tunnelDirectories.isEmpty()
        ? KivrenTunnel::defaultSearchDirectories(m_options.launcherRoots.home)
        : m_options.tunnelDirectories;
    m_tunnel = new KivrenTunnel(directories, this);

    // Stored values are used as they are; missing ones are drawn fresh.
    const QString id = settings.text(idKey).value_or(KivrenIds::nineDigit());
    const QString password = settings.text(passwordKey).value_or(freshPassword());
    const QString hostToken = settings.text(hostTokenKey).value_or(KivrenIds::token(24));

    // Written back on every launch, read or new, so the identity survives even a store that
    // only keeps what was written.
    settings.setText(idKey, id);
    settings.setText(passwordKey, password);
    settings.setText(hostTokenKey, hostToken);
    settings.sync();

    m_publicId = id;
    m_password = password;
    m_hostToken = hostToken;

    start();
}

// The owned tasks stop as their members go: each resumes later (stops are delivered through the
// event loop), finds its stop and ends without touching the service.
MacHostService::~MacHostService() = default;

void MacHostService::start()
{
    // The local switchboard first and synchronously: the tunnel and the loop need it.
    if (m_options.startChildren)
        KivrenCloudProcess::start(m_options.launcherRoots);

    // Every origin the tunnel reports is taken on in a task of its own.
    QPointer<MacHostService> self(this);
    m_tunnel->setOnOrigin([self](const QString &origin) {
        if (self)
            self->m_background.start([&](std::stop_token stop) { return self->reportOrigin(origin, std::move(stop)); });
    });

    // The tunnel a little later, once node has had a moment to listen; the timer dies with the
    // service.
    if (m_options.startChildren)
        QTimer::singleShot(m_options.timing.tunnelDelay, this, [this] { m_tunnel->start(LocalSwitchboard::port); });

    m_registration.start([this] { return registerHost(); }, [this] { return heartbeat(); }, m_options.timing.firstPass,
                         m_options.timing.period);
}

QCoro::Task<> MacHostService::reportOrigin(QString origin, std::stop_token stop)
{
    QPointer<MacHostService> self(this);
    // The store learns the origin whatever happens to the request.
    setOrigin(origin);
    m_options.settings->setText(cloudKey, origin);
    m_options.settings->sync();
    // The switchboard's answer and failure alike are ignored.
    co_await m_api->post(QStringLiteral("origin"), QJsonObject{{QStringLiteral("origin"), origin}}, stop);
    if (stop.stop_requested() || !self)
        co_return;
    // A live session keeps showing who is connected; its end writes this same text.
    if (!self->m_live)
        self->setStatus(self->readyStatus());
}

QCoro::Task<> MacHostService::registerHost()
{
    return registerHost(m_background.token());
}

QCoro::Task<> MacHostService::registerHost(std::stop_token stop)
{
    QPointer<MacHostService> self(this);
    const QString name = m_options.computerName && !m_options.computerName->isEmpty() ? *m_options.computerName
                                                                                       : fallbackComputerName;
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
    if (stop.stop_requested() || !self)
        co_return;
    // While a viewer is connected the status says so: the loop registers every few seconds and
    // would otherwise hide the session from the person at this machine. With an origin known,
    // only the tunnel's report or a session's end writes the public status again.
    if (self->m_live)
        co_return;
    if (!answer.ok())
        self->setStatus(statusStarting);
    else if (self->m_origin.isEmpty())
        self->setStatus(joined(statusLocal, KivrenIds::formatId(self->m_publicId)));
}

QCoro::Task<> MacHostService::heartbeat()
{
    QPointer<MacHostService> self(this);
    const std::stop_token stop = m_background.token();
    const QJsonObject body{{QStringLiteral("id"), m_publicId}, {QStringLiteral("hostToken"), m_hostToken}};
    const KivrenAnswer answer = co_await m_api->post(QStringLiteral("heartbeat"), body, stop);
    // A failed heartbeat changes nothing; the next pass tries again.
    if (stop.stop_requested() || !self || !answer.ok())
        co_return;
    // The heartbeat only fills in an origin still unknown; the tunnel's reports replace it.
    const QJsonValue origin = answer.object.value(QStringLiteral("origin"));
    if (self->m_origin.isEmpty() && origin.isString() && origin.toString().startsWith(QStringLiteral("http")))
        self->setOrigin(origin.toString());
    const QJsonValue pending = answer.object.value(QStringLiteral("pending"));
    if (pending.isObject())
        self->begin(pending.toObject());
}

void MacHostService::rotatePassword()
{
    setPassword(freshPassword());
    m_options.settings->setText(passwordKey, m_password);
    m_options.settings->sync();
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
    const QJsonValue name = pending.value(QStringLiteral("clientName"));
    setClientName(name.isString() ? std::optional<QString>(name.toString()) : std::nullopt);
    setLive(true);
    setStatus(joined(statusConnected, m_clientName.value_or(fallbackClientName)));

    HostSession::Options session;
    session.api = m_api;
    session.desktop = m_options.desktop;
    session.keys = {id.toString(), token.toString()};
    session.pause = m_options.timing.sessionPause;
    session.onClosed = [this] { endSession(); };
    m_session.start(std::move(session));
}

void MacHostService::endSession()
{
    m_session.reset();
    setLive(false);
    setStatus(m_origin.isEmpty() ? statusLocal : readyStatus());
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

QString MacHostService::readyStatus() const
{
    return joined(statusReadyAnywhere, KivrenIds::formatId(m_publicId));
}

void MacHostService::setPassword(const QString &password)
{
    if (m_password == password)
        return;
    m_password = password;
    emit passwordChanged(m_password);
}

void MacHostService::setStatus(const QString &status)
{
    if (m_status == status)
        return;
    m_status = status;
    emit statusChanged(m_status);
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
