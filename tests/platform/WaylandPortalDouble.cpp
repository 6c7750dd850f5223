#include "WaylandPortalDouble.h"

#include <QDBusArgument>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusUnixFileDescriptor>
#include <QDBusVariant>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

const QString service = QStringLiteral("org.freedesktop.portal.Desktop");
const QString rootPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString requestInterface = QStringLiteral("org.freedesktop.portal.Request");
const QString sessionInterface = QStringLiteral("org.freedesktop.portal.Session");

constexpr std::uint32_t success = 0;
constexpr std::uint32_t cancelled = 1;

struct IntPair
{
    int first = 0;
    int second = 0;
};

struct PortalStream
{
    std::uint32_t node = 0;
    QVariantMap properties;
};

QDBusArgument &operator<<(QDBusArgument &argument, const IntPair &pair)
{
    argument.beginStructure();
    argument << pair.first << pair.second;
    argument.endStructure();
    return argument;
}

const QDBusArgument &operator>>(const QDBusArgument &argument, IntPair &pair)
{
    argument.beginStructure();
    argument >> pair.first >> pair.second;
    argument.endStructure();
    return argument;
}

QDBusArgument &operator<<(QDBusArgument &argument, const PortalStream &stream)
{
    argument.beginStructure();
    argument << stream.node << stream.properties;
    argument.endStructure();
    return argument;
}

const QDBusArgument &operator>>(const QDBusArgument &argument, PortalStream &stream)
{
    argument.beginStructure();
    argument >> stream.node >> stream.properties;
    argument.endStructure();
    return argument;
}

// "1.42" for ":1.42", as request and session handles spell the caller.
QString senderPart(const QString &sender)
{
    QString part = sender;
    part.remove(0, part.startsWith(QLatin1Char(':')) ? 1 : 0);
    return part.replace(QLatin1Char('.'), QLatin1Char('_'));
}

// A fresh connection to the PipeWire daemon of this session, as the portal hands out.
int pipeWireConnection()
{
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const QByteArray path = qgetenv("XDG_RUNTIME_DIR") + "/pipewire-0";
    path.left(sizeof(address.sun_path) - 1).toStdString().copy(address.sun_path, sizeof(address.sun_path) - 1);
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof(address)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

} // namespace

Q_DECLARE_METATYPE(IntPair)
Q_DECLARE_METATYPE(PortalStream)

WaylandPortalDouble::WaylandPortalDouble()
    : m_bus(QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("portal-double")))
{
    qDBusRegisterMetaType<IntPair>();
    qDBusRegisterMetaType<PortalStream>();
    qDBusRegisterMetaType<QList<PortalStream>>();
    m_registered = m_bus.registerVirtualObject(rootPath, this, QDBusConnection::SubPath)
        && m_bus.registerService(service);
}

WaylandPortalDouble::~WaylandPortalDouble()
{
    m_bus.unregisterService(service);
    m_bus.unregisterObject(rootPath, QDBusConnection::UnregisterTree);
    QDBusConnection::disconnectFromBus(QStringLiteral("portal-double"));
}

bool WaylandPortalDouble::registered() const
{
    return m_registered;
}

const QList<WaylandPortalDouble::Call> &WaylandPortalDouble::calls() const
{
    return m_calls;
}

QList<WaylandPortalDouble::Call> WaylandPortalDouble::callsOf(const QString &member) const
{
    QList<Call> found;
    for (const Call &call : m_calls) {
        if (call.member == member)
            found << call;
    }
    return found;
}

QVariantMap WaylandPortalDouble::lastDeviceOptions() const
{
    const QList<Call> selections = callsOf(QStringLiteral("SelectDevices"));
    if (selections.isEmpty())
        return {};
    return qdbus_cast<QVariantMap>(selections.last().arguments.at(1));
}

QString WaylandPortalDouble::sessionPath() const
{
    return m_sessionPath;
}

void WaylandPortalDouble::closeSession()
{
    m_bus.send(QDBusMessage::createSignal(m_sessionPath, sessionInterface, QStringLiteral("Closed"))
               << QVariantMap());
}

QString WaylandPortalDouble::introspect(const QString &) const
{
    return {};
}

void WaylandPortalDouble::respond(const QDBusMessage &message, const QVariantMap &options, std::uint32_t code,
                                  const QVariantMap &results)
{
    const QString token = options.value(QStringLiteral("handle_token")).toString();
    const QString handle = rootPath + QStringLiteral("/request/") + senderPart(message.service()) + QLatin1Char('/')
        + (token.isEmpty() ? QString::number(++m_tokens) : token);
    m_bus.send(message.createReply(QVariant::fromValue(QDBusObjectPath(handle))));
    if (answer == Answer::Never && message.member() == QStringLiteral("Start"))
        return;
    QDBusMessage response = QDBusMessage::createSignal(handle, requestInterface, QStringLiteral("Response"));
    response << code << results;
    m_bus.send(response);
}

bool WaylandPortalDouble::handleMessage(const QDBusMessage &message, const QDBusConnection &)
{
    const QString member = message.member();
    const QList<QVariant> arguments = message.arguments();
    m_calls << Call{member, arguments};
    const auto options = [&](int index) {
        return index < arguments.size() ? qdbus_cast<QVariantMap>(arguments.at(index)) : QVariantMap();
    };

    if (message.interface() == QStringLiteral("org.freedesktop.DBus.Properties") && member == QStringLiteral("Get")) {
        m_bus.send(message.createReply(QVariant::fromValue(QDBusVariant(QVariant::fromValue(version)))));
    } else if (member == QStringLiteral("CreateSession")) {
        const QVariantMap given = options(0);
        m_sessionPath = rootPath + QStringLiteral("/session/") + senderPart(message.service()) + QLatin1Char('/')
            + given.value(QStringLiteral("session_handle_token")).toString();
        respond(message, given, success, {{QStringLiteral("session_handle"), QVariant::fromValue(QDBusObjectPath(m_sessionPath))}});
    } else if (member == QStringLiteral("SelectDevices") || member == QStringLiteral("SelectSources")) {
        respond(message, options(1), success, {});
    } else if (member == QStringLiteral("Start")) {
        if (answer == Answer::Refused) {
            respond(message, options(2), cancelled, {});
            return true;
        }
        QVariantMap properties{
            {QStringLiteral("position"), QVariant::fromValue(IntPair{area.x(), area.y()})},
            {QStringLiteral("size"), QVariant::fromValue(IntPair{area.width(), area.height()})},
            {QStringLiteral("source_type"), 1u},
        };
        QVariantMap results{
            {QStringLiteral("devices"), 3u},
            {QStringLiteral("streams"), QVariant::fromValue(QList<PortalStream>{{nodeId, properties}})},
        };
        // A portal that keeps permissions hands out a token when asked to persist.
        if (version >= 2 && lastDeviceOptions().contains(QStringLiteral("persist_mode")))
            results.insert(QStringLiteral("restore_token"), QStringLiteral("token-%1").arg(callsOf(member).size()));
        respond(message, options(2), success, results);
    } else if (member == QStringLiteral("OpenPipeWireRemote")) {
        const int fd = pipeWireConnection();
        m_bus.send(message.createReply(QVariant::fromValue(QDBusUnixFileDescriptor(fd))));
        if (fd >= 0)
            close(fd);
    } else if (member.startsWith(QStringLiteral("Notify")) || member == QStringLiteral("Close")) {
        // Input and closing need no answer beyond an empty one.
        m_bus.send(message.createReply());
    } else {
        m_bus.send(message.createErrorReply(QDBusError::UnknownMethod, member));
    }
    return true;
}
