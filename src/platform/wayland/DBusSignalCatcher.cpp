#include "DBusSignalCatcher.h"

#include <QCoroSignal>

DBusSignalCatcher::DBusSignalCatcher(QDBusConnection bus, const QString &service, const QString &path,
                                     const QString &interface, const QString &name)
    : m_bus(std::move(bus))
    , m_service(service)
    , m_path(path)
    , m_interface(interface)
    , m_name(name)
{
    m_connected = m_bus.connect(m_service, m_path, m_interface, m_name, this, SLOT(receive(QDBusMessage)));
}

DBusSignalCatcher::~DBusSignalCatcher()
{
    if (m_connected)
        m_bus.disconnect(m_service, m_path, m_interface, m_name, this, SLOT(receive(QDBusMessage)));
}

bool DBusSignalCatcher::connected() const
{
    return m_connected;
}

QCoro::Task<std::optional<QDBusMessage>> DBusSignalCatcher::wait(std::chrono::milliseconds timeout,
                                                                std::stop_token stop)
{
    if (m_message || stop.stop_requested())
        co_return m_message;
    // Queued: whoever requests the stop is not re-entered by the waiting coroutine.
    const std::stop_callback wake(stop, [this] {
        QMetaObject::invokeMethod(this, [this] { emit caught(); }, Qt::QueuedConnection);
    });
    // Nothing runs between the test above and the suspension, so a signal cannot slip in between.
    co_await qCoro(this, &DBusSignalCatcher::caught, timeout);
    co_return m_message;
}

void DBusSignalCatcher::receive(const QDBusMessage &message)
{
    if (m_message)
        return;
    m_message = message;
    emit caught();
}
