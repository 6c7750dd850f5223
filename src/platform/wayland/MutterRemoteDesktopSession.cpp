#include "MutterRemoteDesktopSession.h"

#include "DBusReplies.h"
#include "DBusSignalCatcher.h"

#include <QCoroDBus>
#include <QDBusConnectionInterface>
#include <QDBusObjectPath>
#include <QDBusVariant>

#include <xkbcommon/xkbcommon-keysyms.h>

#include <chrono>
#include <memory>

namespace {

const QString remoteDesktopService = QStringLiteral("org.gnome.Mutter.RemoteDesktop");
const QString remoteDesktopPath = QStringLiteral("/org/gnome/Mutter/RemoteDesktop");
const QString remoteDesktopInterface = QStringLiteral("org.gnome.Mutter.RemoteDesktop");
const QString remoteDesktopSessionInterface = QStringLiteral("org.gnome.Mutter.RemoteDesktop.Session");
const QString screenCastService = QStringLiteral("org.gnome.Mutter.ScreenCast");
const QString screenCastPath = QStringLiteral("/org/gnome/Mutter/ScreenCast");
const QString screenCastInterface = QStringLiteral("org.gnome.Mutter.ScreenCast");
const QString screenCastSessionInterface = QStringLiteral("org.gnome.Mutter.ScreenCast.Session");
const QString streamInterface = QStringLiteral("org.gnome.Mutter.ScreenCast.Stream");
const QString propertiesInterface = QStringLiteral("org.freedesktop.DBus.Properties");
const QString capsLockProperty = QStringLiteral("CapsLockState");

// mutter announces the stream's PipeWire node right after the session started.
constexpr std::chrono::milliseconds streamAnnouncementTimeout{10000};
// As on the other desktops, pictures show the screen without the pointer.
constexpr uint cursorHidden = 0;
constexpr uint verticalAxis = 0;

QDBusMessage call(const QString &service, const QString &path, const QString &interface, const QString &method,
                  const QList<QVariant> &arguments = {})
{
    QDBusMessage message = QDBusMessage::createMethodCall(service, path, interface, method);
    message.setArguments(arguments);
    return message;
}

QDBusMessage propertyGet(const QString &service, const QString &path, const QString &interface,
                         const QString &property)
{
    return call(service, path, propertiesInterface, QStringLiteral("Get"), {interface, property});
}

// A new remote-desktop session's path, or the reply that refused one. A session that arrives after
// `stop` belongs to nobody: it is stopped at once, here, since the run that asked for it ends
// without another line.
QCoro::Task<QDBusMessage> createSession(QDBusConnection bus, std::stop_token stop)
{
    const QDBusMessage reply = co_await bus.asyncCall(
        call(remoteDesktopService, remoteDesktopPath, remoteDesktopInterface, QStringLiteral("CreateSession")));
    // A plain QCoro task, so it sees the stop itself: it holds nothing of the session's object.
    if (const std::optional<QString> path = DBusReplies::objectPath(reply); path && stop.stop_requested())
        bus.send(call(remoteDesktopService, *path, remoteDesktopSessionInterface, QStringLiteral("Stop")));
    co_return reply;
}

} // namespace

MutterRemoteDesktopSession::MutterRemoteDesktopSession(QDBusConnection bus, QObject *parent)
    : RemoteDesktopSession(parent)
    , m_bus(std::move(bus))
{}

MutterRemoteDesktopSession::~MutterRemoteDesktopSession()
{
    stop();
}

bool MutterRemoteDesktopSession::available(const QDBusConnection &bus)
{
    QDBusConnectionInterface *daemon = bus.interface();
    return daemon && daemon->isServiceRegistered(remoteDesktopService).value()
        && daemon->isServiceRegistered(screenCastService).value();
}

void MutterRemoteDesktopSession::start()
{
    stop();
    setState(State::Starting);
    m_run.start([this](std::stop_token stop) { return run(std::move(stop)); });
}

void MutterRemoteDesktopSession::stop()
{
    m_run.stop();
    if (!m_sessionPath.isEmpty()) {
        m_bus.disconnect(remoteDesktopService, m_sessionPath, remoteDesktopSessionInterface, QStringLiteral("Closed"),
                         this, SLOT(sessionClosed(QDBusMessage)));
        m_bus.disconnect(remoteDesktopService, m_sessionPath, propertiesInterface, QStringLiteral("PropertiesChanged"),
                         this, SLOT(sessionPropertiesChanged(QDBusMessage)));
        // Stopping the remote-desktop session ends its screen cast too.
        m_bus.send(call(remoteDesktopService, m_sessionPath, remoteDesktopSessionInterface, QStringLiteral("Stop")));
    }
    m_sessionPath.clear();
    m_streamPath.clear();
    m_capsLocked = false;
}

StoppableTask<> MutterRemoteDesktopSession::run(std::stop_token stop)
{
    QDBusConnection bus = m_bus;

    QDBusMessage reply = co_await createSession(bus, stop);
    const std::optional<QString> sessionPath = DBusReplies::objectPath(reply);
    if (!sessionPath) {
        fail(QStringLiteral("RemoteDesktop.CreateSession: ") + DBusReplies::error(reply));
        co_return;
    }
    // From here on the session is the object's: stop(), also from a new start() or the
    // destructor, closes it.
    m_sessionPath = *sessionPath;
    bus.connect(remoteDesktopService, *sessionPath, remoteDesktopSessionInterface, QStringLiteral("Closed"), this,
                SLOT(sessionClosed(QDBusMessage)));
    bus.connect(remoteDesktopService, *sessionPath, propertiesInterface, QStringLiteral("PropertiesChanged"), this,
                SLOT(sessionPropertiesChanged(QDBusMessage)));
    const auto giveUp = [this](const QString &reason) {
        this->stop();
        fail(reason);
    };

    reply = co_await bus.asyncCall(
        propertyGet(remoteDesktopService, *sessionPath, remoteDesktopSessionInterface, QStringLiteral("SessionId")));
    const QString sessionId = DBusReplies::variant(reply).toString();
    if (sessionId.isEmpty()) {
        giveUp(QStringLiteral("RemoteDesktop.Session.SessionId: ") + DBusReplies::error(reply));
        co_return;
    }

    // A screen cast tied to the remote-desktop session starts and stops with it, and gives
    // absolute pointer motion its coordinate space.
    const QVariantMap castProperties{{QStringLiteral("remote-desktop-session-id"), sessionId}};
    reply = co_await bus.asyncCall(call(screenCastService, screenCastPath, screenCastInterface,
                                        QStringLiteral("CreateSession"), {castProperties}));
    const std::optional<QString> castPath = DBusReplies::objectPath(reply);
    if (!castPath) {
        giveUp(QStringLiteral("ScreenCast.CreateSession: ") + DBusReplies::error(reply));
        co_return;
    }

    // An empty connector names the primary monitor: the main display.
    const QVariantMap recordProperties{{QStringLiteral("cursor-mode"), QVariant::fromValue(cursorHidden)}};
    reply = co_await bus.asyncCall(call(screenCastService, *castPath, screenCastSessionInterface,
                                        QStringLiteral("RecordMonitor"), {QString(), recordProperties}));
    const std::optional<QString> streamPath = DBusReplies::objectPath(reply);
    if (!streamPath) {
        giveUp(QStringLiteral("ScreenCast.Session.RecordMonitor: ") + DBusReplies::error(reply));
        co_return;
    }

    auto streamAdded = std::make_unique<DBusSignalCatcher>(bus, screenCastService, *streamPath, streamInterface,
                                                           QStringLiteral("PipeWireStreamAdded"));
    reply = co_await bus.asyncCall(
        call(remoteDesktopService, *sessionPath, remoteDesktopSessionInterface, QStringLiteral("Start")));
    if (const QString error = DBusReplies::error(reply); !error.isEmpty()) {
        giveUp(QStringLiteral("RemoteDesktop.Session.Start: ") + error);
        co_return;
    }

    const std::optional<QDBusMessage> added = co_await streamAdded->wait(streamAnnouncementTimeout, stop);
    if (!added || added->arguments().isEmpty()) {
        giveUp(QStringLiteral("ScreenCast.Stream: no PipeWire node announced"));
        co_return;
    }
    const std::uint32_t nodeId = added->arguments().constFirst().toUInt();

    reply = co_await bus.asyncCall(
        propertyGet(screenCastService, *streamPath, streamInterface, QStringLiteral("Parameters")));
    const QVariantMap parameters = DBusReplies::dictionary(DBusReplies::variant(reply));
    const std::optional<QPoint> position = DBusReplies::intPair(parameters.value(QStringLiteral("position")));
    const std::optional<QPoint> size = DBusReplies::intPair(parameters.value(QStringLiteral("size")));
    if (!position || !size || size->x() <= 0 || size->y() <= 0) {
        giveUp(QStringLiteral("ScreenCast.Stream.Parameters: no position and size"));
        co_return;
    }

    // Changes come as PropertiesChanged from now on; a mutter without the property has no Caps
    // Lock to tell of.
    reply = co_await bus.asyncCall(
        propertyGet(remoteDesktopService, *sessionPath, remoteDesktopSessionInterface, capsLockProperty));
    m_capsLocked = DBusReplies::variant(reply).toBool();

    m_streamPath = *streamPath;
    // mutter makes the session's pointer and keyboard when their first event comes, and a client
    // learns of them only after that event: the ones right behind it would be lost to it. A move
    // by nothing and a key that types nothing bring both in without any effect.
    post(QStringLiteral("NotifyPointerMotionRelative"), {0.0, 0.0});
    post(QStringLiteral("NotifyKeyboardKeysym"), {static_cast<uint>(XKB_KEY_VoidSymbol), true});
    post(QStringLiteral("NotifyKeyboardKeysym"), {static_cast<uint>(XKB_KEY_VoidSymbol), false});

    Stream stream;
    stream.nodeId = nodeId;
    stream.area = QRect(*position, QSize(size->x(), size->y()));
    setState(State::Ready, stream);
}

void MutterRemoteDesktopSession::sessionClosed(const QDBusMessage &message)
{
    if (message.path() != m_sessionPath)
        return;
    m_run.stop();
    m_sessionPath.clear();
    m_streamPath.clear();
    fail(QStringLiteral("mutter closed the remote-desktop session"));
}

void MutterRemoteDesktopSession::sessionPropertiesChanged(const QDBusMessage &message)
{
    const QList<QVariant> arguments = message.arguments();
    if (message.path() != m_sessionPath || arguments.size() < 2
        || arguments.constFirst().toString() != remoteDesktopSessionInterface)
        return;
    const QVariantMap changed = DBusReplies::dictionary(arguments.at(1));
    if (const auto found = changed.constFind(capsLockProperty); found != changed.constEnd())
        m_capsLocked = found->toBool();
}

bool MutterRemoteDesktopSession::capsLocked() const
{
    return m_capsLocked;
}

void MutterRemoteDesktopSession::notify(const QString &method, const QList<QVariant> &arguments)
{
    if (state() == State::Ready)
        post(method, arguments);
}

void MutterRemoteDesktopSession::post(const QString &method, const QList<QVariant> &arguments)
{
    if (m_sessionPath.isEmpty())
        return;
    // Sent without waiting for the answer; the connection keeps the events in order.
    m_bus.send(call(remoteDesktopService, m_sessionPath, remoteDesktopSessionInterface, method, arguments));
}

void MutterRemoteDesktopSession::movePointer(QPointF point)
{
    notify(QStringLiteral("NotifyPointerMotionAbsolute"), {m_streamPath, point.x(), point.y()});
}

void MutterRemoteDesktopSession::pressButton(int button, bool pressed)
{
    notify(QStringLiteral("NotifyPointerButton"), {button, pressed});
}

void MutterRemoteDesktopSession::scroll(int steps)
{
    notify(QStringLiteral("NotifyPointerAxisDiscrete"), {verticalAxis, steps});
}

void MutterRemoteDesktopSession::pressKeysym(std::uint32_t keysym, bool pressed)
{
    notify(QStringLiteral("NotifyKeyboardKeysym"), {static_cast<uint>(keysym), pressed});
}
