#pragma once

#include <QCoroTask>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QObject>
#include <QString>

#include <chrono>
#include <optional>
#include <stop_token>

// Catches the first emission of one D-Bus signal for a coroutine that waits for it. It is
// connected before the call that causes the signal, so that an answer coming early is not lost,
// and it belongs to the waiting coroutine, so that it lives exactly as long as the wait.
class DBusSignalCatcher : public QObject
{
    Q_OBJECT

public:
    DBusSignalCatcher(QDBusConnection bus, const QString &service, const QString &path, const QString &interface,
                      const QString &name);
    ~DBusSignalCatcher() override;
    DBusSignalCatcher(const DBusSignalCatcher &) = delete;
    DBusSignalCatcher &operator=(const DBusSignalCatcher &) = delete;

    // False when the bus refused the match rule.
    bool connected() const;
    // The signal's message once it came; none when `timeout` passed first (a negative one waits
    // without limit) or when `stop` was requested, which ends the wait from the event loop.
    QCoro::Task<std::optional<QDBusMessage>> wait(std::chrono::milliseconds timeout, std::stop_token stop);

signals:
    void caught();

private slots:
    void receive(const QDBusMessage &message);

private:
    QDBusConnection m_bus;
    QString m_service;
    QString m_path;
    QString m_interface;
    QString m_name;
    bool m_connected = false;
    std::optional<QDBusMessage> m_message;
};
