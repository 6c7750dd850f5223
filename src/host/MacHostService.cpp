#include "MacHostService.h"

#include "CancellablePause.h"
#include "JsonMembers.h"

#include "Base64.h"
#include "Clipboard.h"
#include "ComputerName.h"
#include "DesktopBackend.h"
#include "KivrenAPI.h"
#include "KivrenIds.h"
#include "KivrenTunnel.h"
#include "MacCapture.h"
#include "MacInput.h"
#include "RemoteInput.h"
#include "SessionMessages.h"
#include "SettingsStore.h"

#include <QJsonValue>
#include <QMetaObject>
#include <QPointer>
#include <QTimer>

#include <QCoroTimer>

#include <cmath>
#include <limits>

namespace {

const QString hostRole = QStringLiteral("host");
const QString platformName = QStringLiteral("macos");
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

RemoteInput remoteInputFrom(const QJsonObject &message)
{
    RemoteInput input;
    input.kind = remoteInputKindFromRaw(JsonMembers::text(message, QStringLiteral("kind"))).value_or(RemoteInput::Kind::move);
    input.x = JsonMembers::number(message, QStringLiteral("x"), 0);
    input.y = JsonMembers::number(message, QStringLiteral("y"), 0);
    input.button = JsonMembers::integer(message, QStringLiteral("button"), 0);
    input.clickCount = JsonMembers::integer(message, QStringLiteral("clickCount"), 1);
    input.deltaX = JsonMembers::number(message, QStringLiteral("deltaX"), 0);
    input.deltaY = JsonMembers::number(message, QStringLiteral("deltaY"), 0);
    return input;
}

} // namespace

QString MacHostService::loopbackOrigin()
{
    return KivrenCloudProcess::loopbackOrigin();
}

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

    // 1. Published fields start out idle.
    m_status = statusStarting;

    // 2. The transport and the tunnel (not started yet).
    m_api = new KivrenAPI(m_options.switchboardBase, this);
    const QStringList directories = m_options.tunnelDirectories.isEmpty()
        ? KivrenTunnel::defaultSearchDirectories(m_options.launcherRoots.home)
        : m_options.tunnelDirectories;
    m_tunnel = new KivrenTunnel(directories, this);

    // 3-5. Stored values are used as they are; missing ones are drawn fresh.
    const QString id = settings.text(idKey).value_or(KivrenIds::nineDigit());
    const QString password = settings.text(passwordKey).value_or(freshPassword());
    const QString hostToken = settings.text(hostTokenKey).value_or(KivrenIds::token(24));

    // 6. Written back on every launch, read or new.
    settings.setText(idKey, id);
    settings.setText(passwordKey, password);
    settings.setText(hostTokenKey, hostToken);
    settings.sync();

    // 7.
    m_publicId = id;
    m_password = password;
    m_hostToken = hostToken;

    // 8.
    start();
}

MacHostService::~MacHostService()
{
    // The tasks resume later (stops are delivered through the event loop), find the service
    // gone and end without touching it.
    m_sessionStop.request_stop();
    m_lifetime.request_stop();
}

void MacHostService::start()
{
    // 1. The local switchboard, synchronously.
    if (m_options.startChildren)
        KivrenCloudProcess::start(m_options.launcherRoots);

    // 2. Every origin the tunnel reports is taken on in a task of its own.
    QPointer<MacHostService> self(this);
    m_tunnel->setOnOrigin([self](const QString &origin) {
        if (self)
            self->reportOrigin(origin);
    });

    // 3. The tunnel a little later; the timer dies with the service.
    if (m_options.startChildren)
        QTimer::singleShot(m_options.timing.tunnelDelay, this, [this] { m_tunnel->start(KivrenCloudProcess::port); });

    // 4. The registration loop for the life of the service.
    m_beat = beatLoop();
}

QCoro::Task<> MacHostService::beatLoop()
{
    QPointer<MacHostService> self(this);
    const std::stop_token stop = m_lifetime.get_token();
    const Timing timing = m_options.timing;

    co_await cancellablePause(timing.firstPass, stop);
    while (!stop.stop_requested() && self) {
        co_await self->registerHost();
        if (stop.stop_requested() || !self)
            co_return;
        co_await self->heartbeat();
        if (stop.stop_requested() || !self)
            co_return;
        co_await cancellablePause(timing.period, stop);
    }
}

QCoro::Task<> MacHostService::reportOrigin(QString origin)
{
    QPointer<MacHostService> self(this);
    const std::stop_token stop = m_lifetime.get_token();
    // (a), (b): the store learns the origin whatever happens to the request.
    setOrigin(origin);
    m_options.settings->setText(cloudKey, origin);
    m_options.settings->sync();
    // (c) The switchboard's answer and failure alike are ignored.
    co_await m_api->post(QStringLiteral("origin"), QJsonObject{{QStringLiteral("origin"), origin}}, stop);
    if (stop.stop_requested() || !self)
        co_return;
    // (d) A live session keeps showing who is connected; its end writes this same text.
    if (!self->m_live)
        self->setStatus(self->readyStatus());
}

QCoro::Task<> MacHostService::registerHost()
{
    QPointer<MacHostService> self(this);
    const std::stop_token stop = m_lifetime.get_token();
    const QString name = m_options.computerName && !m_options.computerName->isEmpty() ? *m_options.computerName
                                                                                       : fallbackComputerName;
    // 1.
    const QJsonObject body{
        {QStringLiteral("id"), m_publicId},
        {QStringLiteral("name"), name},
        {QStringLiteral("platform"), platformName},
        {QStringLiteral("password"), m_password},
        {QStringLiteral("hostToken"), m_hostToken},
        {QStringLiteral("unattended"), true},
    };
    // 2.
    const KivrenAnswer answer = co_await m_api->post(QStringLiteral("register"), body, stop);
    if (stop.stop_requested() || !self)
        co_return;
    // 3-4. While a viewer is connected the status says so: the loop registers every few
    // seconds and would otherwise hide the session from the person at this machine.
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
    const std::stop_token stop = m_lifetime.get_token();
    // 1.
    const QJsonObject body{{QStringLiteral("id"), m_publicId}, {QStringLiteral("hostToken"), m_hostToken}};
    const KivrenAnswer answer = co_await m_api->post(QStringLiteral("heartbeat"), body, stop);
    // 2.
    if (stop.stop_requested() || !self || !answer.ok())
        co_return;
    // 3. The heartbeat only fills in an origin still unknown; the tunnel's reports replace it.
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
    // Detached: the task keeps itself alive until its request ends.
    registerHost();
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
    // 1. One session at a time.
    if (m_session)
        return;
    // 2.
    const QJsonValue id = pending.value(QStringLiteral("sessionId"));
    const QJsonValue token = pending.value(QStringLiteral("sessionToken"));
    if (!id.isString() || !token.isString())
        return;
    // 3-5.
    const QJsonValue name = pending.value(QStringLiteral("clientName"));
    setClientName(name.isString() ? std::optional<QString>(name.toString()) : std::nullopt);
    setLive(true);
    setStatus(joined(statusConnected, m_clientName.value_or(fallbackClientName)));
    // 6.
    m_sessionStop = std::stop_source();
    const quint64 serial = ++m_sessionSerial;
    m_session = runSession(id.toString(), token.toString(), m_sessionStop.get_token(), serial);
    // A session that somehow ended before its handle was stored must not block the next one.
    if (m_session->isReady())
        m_session.reset();
}

QCoro::Task<> MacHostService::runSession(QString id, QString token, std::stop_token stop, quint64 serial)
{
    QPointer<MacHostService> self(this);
    KivrenAPI *api = m_api;
    DesktopBackend *desktop = m_options.desktop;
    const std::chrono::milliseconds sessionPause = m_options.timing.sessionPause;
    const QString claimPath = QStringLiteral("claim");
    const QString pushPath = QStringLiteral("push");
    const QString pollPath = QStringLiteral("poll");

    // 1. The claim's outcome does not matter: the session goes on either way.
    co_await api->post(claimPath, QJsonObject{{QStringLiteral("sessionId"), id}, {QStringLiteral("sessionToken"), token}},
                       stop);
    if (!self)
        co_return;

    // 2. Fixed for the whole session.
    const DisplayGeometry geometry = desktop ? DisplayGeometry::ofMainDisplay(*desktop) : DisplayGeometry{};

    // 3. The hello with the display size; outcome ignored.
    if (!stop.stop_requested()) {
        const QJsonObject hello{
            {QStringLiteral("type"), QStringLiteral("hello")},
            {QStringLiteral("width"), geometry.width},
            {QStringLiteral("height"), geometry.height},
            {QStringLiteral("platform"), platformName},
        };
        co_await api->post(pushPath,
                           SessionMessages::pushBody(id, token, hostRole, SessionMessages::kindJson,
                                                     SessionMessages::encodeJsonPayload(hello)),
                           stop);
        if (!self)
            co_return;
    }

    // 4. Picture, poll, messages, pause, until a close message stops the session.
    while (!stop.stop_requested()) {
        // 4.1-4.2 No picture this time: nothing to push.
        if (desktop) {
            if (const auto picture = MacCapture::jpeg(*desktop, pictureMaxWidth, pictureQuality)) {
                co_await api->post(pushPath,
                                   SessionMessages::pushBody(id, token, hostRole, SessionMessages::kindJpeg,
                                                             Base64::encode(picture->jpeg)),
                                   stop);
                if (!self)
                    co_return;
            }
        }
        // 4.3
        const KivrenAnswer answer =
            co_await api->post(pollPath, SessionMessages::pollBody(id, token, hostRole, 0), stop);
        if (!self)
            co_return;
        // 4.4 Only json messages reach the host; a close stops the rest of the answer too.
        if (answer.ok() && !stop.stop_requested()) {
            for (const SessionMessages::Frame &frame : SessionMessages::decodeFrames(answer.object)) {
                if (frame.kind != SessionMessages::kindJson || !frame.message)
                    continue;
                self->handle(*frame.message, geometry);
                if (!self || stop.stop_requested())
                    break;
            }
            if (!self)
                co_return;
        }
        // 4.5 Whatever the poll's outcome.
        co_await cancellablePause(sessionPause, stop);
        if (!self)
            co_return;
    }

    // 5. The one state a stopped session writes, unless the service itself is going.
    self->endSession(serial);
}

void MacHostService::endSession(quint64 serial)
{
    if (m_lifetime.stop_requested() || serial != m_sessionSerial)
        return;
    setLive(false);
    m_session.reset();
    setStatus(m_origin.isEmpty() ? statusLocal : readyStatus());
}

void MacHostService::handle(const QJsonObject &message, const DisplayGeometry &geometry)
{
    const QString type = JsonMembers::text(message, QStringLiteral("type"));
    if (type == QStringLiteral("close")) {
        if (m_session)
            m_sessionStop.request_stop();
        return;
    }
    // Without a desktop nothing can be injected.
    DesktopBackend *desktop = m_options.desktop;
    if (!desktop)
        return;
    if (type == QStringLiteral("input")) {
        MacInput::apply(*desktop, remoteInputFrom(message), geometry);
    } else if (type == QStringLiteral("key")) {
        MacInput::applyKey(*desktop, JsonMembers::text(message, QStringLiteral("codeName")),
                           JsonMembers::text(message, QStringLiteral("key")), JsonMembers::boolean(message, QStringLiteral("down"), true));
    } else if (type == QStringLiteral("text")) {
        const QJsonValue text = message.value(QStringLiteral("key"));
        if (text.isString())
            MacInput::applyKey(*desktop, QString(), text.toString(), true);
    }
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
