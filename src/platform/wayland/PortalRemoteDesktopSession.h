#pragma once

#include "RemoteDesktopSession.h"
#include "StoppableTask.h"
#include "TaskGroup.h"

#include <QCoroTask>
#include <QDBusConnection>
#include <QString>
#include <QVariantMap>

#include <optional>
#include <stop_token>

class QDBusMessage;
class SettingsStore;

// A remote-desktop session through the desktop portal (org.freedesktop.portal.RemoteDesktop with
// a ScreenCast source), which KDE, GNOME and others serve. Starting it asks the person at the
// machine in the desktop's own dialog; the session lasts until this program closes it or the
// person stops sharing.
//
// Where the portal can keep the permission (RemoteDesktop version 2 and later), it is asked to,
// and the token it hands back is kept in the settings store so that the next start needs no
// dialog. Older portals (Debian 12's 1.16) ask every time.
class PortalRemoteDesktopSession final : public RemoteDesktopSession
{
    Q_OBJECT

public:
    // The settings key of the portal's restore token.
    static const QString restoreTokenKey;

    // `settings` may be null: then nothing is remembered between runs.
    PortalRemoteDesktopSession(QDBusConnection bus, SettingsStore *settings, QObject *parent = nullptr);
    ~PortalRemoteDesktopSession() override;

    void start() override;
    void stop() override;
    // Known once the portal has said its version; it does not change while this program runs.
    bool asksEveryTime() const override { return m_asksEveryTime; }

    void movePointer(QPointF point) override;
    void pressButton(int button, bool pressed) override;
    void scroll(int steps) override;
    void pressKeysym(std::uint32_t keysym, bool pressed) override;

private slots:
    void sessionClosed(const QDBusMessage &message);

private:
    // What a portal request came to.
    struct Response
    {
        enum class Outcome { Granted, Cancelled, Ended, Failed };
        Outcome outcome = Outcome::Failed;
        QVariantMap results;
        QString failure; // when Failed
    };

    StoppableTask<> run(std::stop_token stop);
    // One portal request on `bus`: the call (whose options get a handle token) and its Response
    // signal.
    static QCoro::Task<Response> request(QDBusConnection bus, QDBusMessage call, QVariantMap options,
                                         std::stop_token stop);
    // The CreateSession request; a session granted after `stop` is closed at once.
    static QCoro::Task<Response> createSession(QDBusConnection bus, std::stop_token stop);
    // The session a CreateSession answer grants; empty when none.
    static QString sessionPathIn(const Response &response);
    // Input while Ready.
    void notify(const QString &method, const QList<QVariant> &arguments);
    // Any input call on the session, as long as there is one.
    void post(const QString &method, const QList<QVariant> &arguments);
    void forgetSession();

    QDBusConnection m_bus;
    SettingsStore *m_settings = nullptr;
    QString m_sessionPath;
    std::uint32_t m_streamNode = 0;
    bool m_asksEveryTime = false;
    // The set-up of the current session; stopped by stop(), also from a new start().
    TaskGroup m_run;
};
