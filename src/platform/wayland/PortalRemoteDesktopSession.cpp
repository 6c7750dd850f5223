#include "PortalRemoteDesktopSession.h"

#include "DBusReplies.h"
#include "DBusSignalCatcher.h"
#include "SettingsStore.h"

#include <QCoroDBus>
#include <QDBusArgument>
#include <QDBusObjectPath>
#include <QDBusUnixFileDescriptor>

#include <xkbcommon/xkbcommon-keysyms.h>

#include <chrono>
#include <memory>

namespace {

const QString portalService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString portalPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString remoteDesktopInterface = QStringLiteral("org.freedesktop.portal.RemoteDesktop");
const QString screenCastInterface = QStringLiteral("org.freedesktop.portal.ScreenCast");
const QString requestInterface = QStringLiteral("org.freedesktop.portal.Request");
const QString sessionInterface = QStringLiteral("org.freedesktop.portal.Session");
const QString propertiesInterface = QStringLiteral("org.freedesktop.DBus.Properties");

// Requests that only set the session up answer at once; starting it waits for the person.
constexpr std::chrono::milliseconds setUpTimeout{30000};
constexpr std::chrono::milliseconds noTimeout{-1};

constexpr uint keyboardDevice = 1;
constexpr uint pointerDevice = 2;
constexpr uint monitorSource = 1;
// Keep the permission until the person revokes it.
constexpr uint persistUntilRevoked = 2;
// The first RemoteDesktop version that can keep a permission.
constexpr uint persistentVersion = 2;
constexpr uint verticalAxis = 0;
constexpr uint released = 0;
constexpr uint pressed = 1;

// Response codes of org.freedesktop.portal.Request.
constexpr uint responseSuccess = 0;
constexpr uint responseCancelled = 1;

QDBusMessage portalCall(const QString &interface, const QString &method, const QList<QVariant> &arguments = {})
{
    QDBusMessage message = QDBusMessage::createMethodCall(portalService, portalPath, interface, method);
    message.setArguments(arguments);
    return message;
}

// A session handle arrives as an object path, or as a string from older portals.
QString pathIn(const QVariant &value)
{
    if (value.canConvert<QDBusObjectPath>())
        return value.value<QDBusObjectPath>().path();
    return value.toString();
}

// Handle and request tokens: unique within this connection.
QString nextToken()
{
    static quint64 serial = 0;
    return QStringLiteral("kivren%1").arg(++serial);
}

} // namespace

const QString PortalRemoteDesktopSession::restoreTokenKey = QStringLiteral("kivren.portalRestoreToken");

PortalRemoteDesktopSession::PortalRemoteDesktopSession(QDBusConnection bus, SettingsStore *settings,
                                                       QObject *parent)
    : RemoteDesktopSession(parent)
    , m_bus(std::move(bus))
    , m_settings(settings)
{}

PortalRemoteDesktopSession::~PortalRemoteDesktopSession()
{
    stop();
}

void PortalRemoteDesktopSession::start()
{
    stop();
    setState(State::Starting);
    m_run.start([this](std::stop_token stop) { return run(std::move(stop)); });
}

void PortalRemoteDesktopSession::stop()
{
    m_run.stop();
    if (!m_sessionPath.isEmpty())
        m_bus.send(QDBusMessage::createMethodCall(portalService, m_sessionPath, sessionInterface, QStringLiteral("Close")));
    forgetSession();
}

QCoro::Task<PortalRemoteDesktopSession::Response>
PortalRemoteDesktopSession::request(QDBusConnection bus, QDBusMessage call, QVariantMap options, std::stop_token stop)
{
    const QString token = nextToken();
    options.insert(QStringLiteral("handle_token"), token);
    QList<QVariant> arguments = call.arguments();
    arguments.append(options);
    call.setArguments(arguments);

    // The request's path follows from this connection's name and the token, so the answer can be
    // listened for before the call is made: it may come before the call returns.
    QString sender = bus.baseService();
    sender.remove(0, sender.startsWith(QLatin1Char(':')) ? 1 : 0);
    sender.replace(QLatin1Char('.'), QLatin1Char('_'));
    const QString expected = portalPath + QStringLiteral("/request/") + sender + QLatin1Char('/') + token;
    auto catcher = std::make_unique<DBusSignalCatcher>(bus, portalService, expected, requestInterface,
                                                       QStringLiteral("Response"));

    const QDBusMessage reply = co_await bus.asyncCall(call);
    const std::optional<QString> handle = DBusReplies::objectPath(reply);
    if (!handle)
        co_return Response{Response::Outcome::Failed, {}, call.member() + QStringLiteral(": ") + DBusReplies::error(reply)};
    if (*handle != expected) {
        // Portals older than the predictable paths: listen where it says, hoping it did not answer yet.
        catcher = std::make_unique<DBusSignalCatcher>(bus, portalService, *handle, requestInterface,
                                                      QStringLiteral("Response"));
    }
    const bool interactive = call.member() == QStringLiteral("Start");
    const std::optional<QDBusMessage> answer = co_await catcher->wait(interactive ? noTimeout : setUpTimeout, stop);
    if (!answer || answer->arguments().size() < 2)
        co_return Response{Response::Outcome::Failed, {}, call.member() + QStringLiteral(": no answer")};
    const uint code = answer->arguments().at(0).toUInt();
    Response response;
    response.results = DBusReplies::dictionary(answer->arguments().at(1));
    response.outcome = code == responseSuccess ? Response::Outcome::Granted
        : code == responseCancelled            ? Response::Outcome::Cancelled
                                               : Response::Outcome::Ended;
    co_return response;
}

QCoro::Task<PortalRemoteDesktopSession::Response> PortalRemoteDesktopSession::createSession(QDBusConnection bus,
                                                                                            std::stop_token stop)
{
    Response response = co_await request(bus, portalCall(remoteDesktopInterface, QStringLiteral("CreateSession")),
                                         {{QStringLiteral("session_handle_token"), nextToken()}}, stop);
    // A plain QCoro task, so it sees the stop itself: it holds nothing of the session's object.
    const QString path = sessionPathIn(response);
    if (!path.isEmpty() && stop.stop_requested())
        bus.send(QDBusMessage::createMethodCall(portalService, path, sessionInterface, QStringLiteral("Close")));
    co_return response;
}

QString PortalRemoteDesktopSession::sessionPathIn(const Response &response)
{
    return response.outcome == Response::Outcome::Granted ? pathIn(response.results.value(QStringLiteral("session_handle")))
                                                          : QString();
}

StoppableTask<> PortalRemoteDesktopSession::run(std::stop_token stop)
{
    QDBusConnection bus = m_bus;
    SettingsStore *settings = m_settings;

    Response response = co_await createSession(bus, stop);
    const QString sessionPath = sessionPathIn(response);
    if (sessionPath.isEmpty()) {
        fail(response.outcome == Response::Outcome::Failed ? response.failure
                                                            : QStringLiteral("CreateSession: the portal ended the request"));
        co_return;
    }
    // From here on the session is the object's: stop(), also from a new start() or the
    // destructor, closes it.
    m_sessionPath = sessionPath;
    bus.connect(portalService, sessionPath, sessionInterface, QStringLiteral("Closed"), this,
                SLOT(sessionClosed(QDBusMessage)));
    const QVariant session = QVariant::fromValue(QDBusObjectPath(sessionPath));
    const auto giveUp = [this](const QString &reason) {
        this->stop();
        fail(reason);
    };
    const auto refusal = [](const Response &answer, const QString &step) {
        return answer.outcome == Response::Outcome::Failed ? answer.failure
                                                           : step + QStringLiteral(": the portal ended the request");
    };

    const QDBusMessage versionReply = co_await bus.asyncCall(
        portalCall(propertiesInterface, QStringLiteral("Get"), {remoteDesktopInterface, QStringLiteral("version")}));
    const bool persistent = DBusReplies::variant(versionReply).toUInt() >= persistentVersion;
    m_asksEveryTime = !persistent;

    QVariantMap devices{{QStringLiteral("types"), keyboardDevice | pointerDevice}};
    if (persistent) {
        devices.insert(QStringLiteral("persist_mode"), persistUntilRevoked);
        const std::optional<QString> token = settings ? settings->text(restoreTokenKey) : std::nullopt;
        if (token && !token->isEmpty())
            devices.insert(QStringLiteral("restore_token"), *token);
    }
    response = co_await request(bus, portalCall(remoteDesktopInterface, QStringLiteral("SelectDevices"), {session}),
                                devices, stop);
    if (response.outcome != Response::Outcome::Granted) {
        giveUp(refusal(response, QStringLiteral("SelectDevices")));
        co_return;
    }

    // One monitor; which one, when there are several, is the person's to choose.
    const QVariantMap sources{{QStringLiteral("types"), monitorSource}, {QStringLiteral("multiple"), false}};
    response = co_await request(bus, portalCall(screenCastInterface, QStringLiteral("SelectSources"), {session}), sources,
                                stop);
    if (response.outcome != Response::Outcome::Granted) {
        giveUp(refusal(response, QStringLiteral("SelectSources")));
        co_return;
    }

    setState(State::WaitingForConsent);
    response = co_await request(bus, portalCall(remoteDesktopInterface, QStringLiteral("Start"), {session, QString()}), {},
                                stop);
    if (response.outcome == Response::Outcome::Cancelled) {
        this->stop();
        setState(State::Refused);
        co_return;
    }
    if (response.outcome != Response::Outcome::Granted) {
        giveUp(refusal(response, QStringLiteral("Start")));
        co_return;
    }
    // A token is good for one start only: the new one replaces it, or it is dropped.
    if (persistent && settings) {
        settings->setText(restoreTokenKey, response.results.value(QStringLiteral("restore_token")).toString());
        settings->sync();
    }

    std::optional<Stream> stream;
    const QVariant streams = response.results.value(QStringLiteral("streams"));
    if (streams.canConvert<QDBusArgument>()) {
        const QDBusArgument argument = streams.value<QDBusArgument>();
        argument.beginArray();
        while (!argument.atEnd()) {
            uint node = 0;
            QVariantMap properties;
            argument.beginStructure();
            argument >> node >> properties;
            argument.endStructure();
            const std::optional<QPoint> position = DBusReplies::intPair(properties.value(QStringLiteral("position")));
            const std::optional<QPoint> size = DBusReplies::intPair(properties.value(QStringLiteral("size")));
            if (stream || !size || size->x() <= 0 || size->y() <= 0)
                continue;
            stream = Stream{node, QRect(position.value_or(QPoint()), QSize(size->x(), size->y())), {}};
        }
        argument.endArray();
    }
    if (!stream) {
        giveUp(QStringLiteral("Start: no monitor stream with a size"));
        co_return;
    }

    const QDBusMessage remoteReply = co_await bus.asyncCall(
        portalCall(screenCastInterface, QStringLiteral("OpenPipeWireRemote"), {session, QVariantMap()}));
    const QDBusUnixFileDescriptor remote = remoteReply.type() == QDBusMessage::ReplyMessage && !remoteReply.arguments().isEmpty()
        ? remoteReply.arguments().constFirst().value<QDBusUnixFileDescriptor>()
        : QDBusUnixFileDescriptor();
    if (!remote.isValid()) {
        giveUp(QStringLiteral("OpenPipeWireRemote: ") + DBusReplies::error(remoteReply));
        co_return;
    }
    stream->remote = remote;
    m_streamNode = stream->nodeId;

    // Desktops may make the session's pointer and keyboard only when their first event comes, and
    // a client learns of them after that event: a move by nothing and a key that types nothing
    // bring both in before the viewer's first real event.
    post(QStringLiteral("NotifyPointerMotion"), {0.0, 0.0});
    post(QStringLiteral("NotifyKeyboardKeysym"), {static_cast<int>(XKB_KEY_VoidSymbol), pressed});
    post(QStringLiteral("NotifyKeyboardKeysym"), {static_cast<int>(XKB_KEY_VoidSymbol), released});

    setState(State::Ready, *stream);
}

// The person stopped sharing (or the desktop ended the session): as good as a refusal.
void PortalRemoteDesktopSession::sessionClosed(const QDBusMessage &message)
{
    if (message.path() != m_sessionPath)
        return;
    m_run.stop();
    forgetSession();
    setState(State::Refused);
}

void PortalRemoteDesktopSession::forgetSession()
{
    if (!m_sessionPath.isEmpty()) {
        m_bus.disconnect(portalService, m_sessionPath, sessionInterface, QStringLiteral("Closed"), this,
                         SLOT(sessionClosed(QDBusMessage)));
    }
    m_sessionPath.clear();
    m_streamNode = 0;
}

void PortalRemoteDesktopSession::notify(const QString &method, const QList<QVariant> &arguments)
{
    if (state() == State::Ready)
        post(method, arguments);
}

void PortalRemoteDesktopSession::post(const QString &method, const QList<QVariant> &arguments)
{
    if (m_sessionPath.isEmpty())
        return;
    QList<QVariant> all{QVariant::fromValue(QDBusObjectPath(m_sessionPath)), QVariantMap()};
    all.append(arguments);
    // Sent without waiting for the answer; the connection keeps the events in order.
    m_bus.send(portalCall(remoteDesktopInterface, method, all));
}

void PortalRemoteDesktopSession::movePointer(QPointF point)
{
    notify(QStringLiteral("NotifyPointerMotionAbsolute"), {m_streamNode, point.x(), point.y()});
}

void PortalRemoteDesktopSession::pressButton(int button, bool down)
{
    notify(QStringLiteral("NotifyPointerButton"), {button, down ? pressed : released});
}

void PortalRemoteDesktopSession::scroll(int steps)
{
    notify(QStringLiteral("NotifyPointerAxisDiscrete"), {verticalAxis, steps});
}

void PortalRemoteDesktopSession::pressKeysym(std::uint32_t keysym, bool down)
{
    notify(QStringLiteral("NotifyKeyboardKeysym"), {static_cast<int>(keysym), down ? pressed : released});
}
