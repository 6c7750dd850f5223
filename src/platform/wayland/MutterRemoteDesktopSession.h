#pragma once

#include "RemoteDesktopSession.h"
#include "StoppableTask.h"
#include "TaskGroup.h"

#include <QCoroTask>
#include <QDBusConnection>
#include <QString>

#include <optional>
#include <stop_token>

class QDBusMessage;

// GNOME's own remote-desktop session (org.gnome.Mutter.RemoteDesktop with a ScreenCast session
// tied to it): unattended, no dialog. mutter ends such a session when the D-Bus connection that
// created it goes away, so everything goes through one connection kept for the whole run.
class MutterRemoteDesktopSession final : public RemoteDesktopSession
{
    Q_OBJECT

public:
    explicit MutterRemoteDesktopSession(QDBusConnection bus, QObject *parent = nullptr);
    ~MutterRemoteDesktopSession() override;

    // Whether mutter's services are on the bus (GNOME on Wayland).
    static bool available(const QDBusConnection &bus);

    void start() override;
    void stop() override;

    void movePointer(QPointF point) override;
    void pressButton(int button, bool pressed) override;
    void scroll(int steps) override;
    void pressKeysym(std::uint32_t keysym, bool pressed) override;
    bool capsLocked() const override;

private slots:
    void sessionClosed(const QDBusMessage &message);
    void sessionPropertiesChanged(const QDBusMessage &message);

private:
    StoppableTask<> run(std::stop_token stop);
    // Input while Ready.
    void notify(const QString &method, const QList<QVariant> &arguments);
    // Any call on the session, as long as there is one.
    void post(const QString &method, const QList<QVariant> &arguments);

    QDBusConnection m_bus;
    // Of the session being set up or running; empty when there is none.
    QString m_sessionPath;
    QString m_streamPath;
    // The session's CapsLockState, as mutter last told.
    bool m_capsLocked = false;
    // The set-up of the current session; stopped by stop(), also from a new start().
    TaskGroup m_run;
};
