#pragma once

#include "DisplayGeometry.h"
#include "HostSession.h"
#include "KivrenCloudProcess.h"
#include "LocalSwitchboard.h"
#include "OwnedTask.h"
#include "RegistrationLoop.h"
#include "TaskGroup.h"

#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QStringList>

#include <QCoroTask>

#include <chrono>
#include <optional>
#include <stop_token>

class DesktopBackend;
class KivrenAPI;
class KivrenTunnel;
class SettingsStore;

// The host half of the app: this machine's ID, password and host token, the local
// switchboard and public tunnel it starts, and what the home screen shows of it. The
// registration loop (RegistrationLoop) and the session a viewer opens on it (HostSession:
// pictures out, input in) each run as one owned task of this object.
//
// Lives on the main thread. Every published field is a Q_PROPERTY whose change signal is
// emitted after the new value is stored. `clientName` is published as std::optional<QString>
// (none until a viewer without a name, or no viewer at all, connected).
//
// The registration request is `registerHost` (`register` is a C++ keyword).
class MacHostService : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString publicId READ publicId NOTIFY publicIdChanged)
    Q_PROPERTY(QString password READ password NOTIFY passwordChanged)
    Q_PROPERTY(QString status READ status NOTIFY statusChanged)
    Q_PROPERTY(QString origin READ origin NOTIFY originChanged)
    Q_PROPERTY(bool live READ live NOTIFY liveChanged)
    Q_PROPERTY(std::optional<QString> clientName READ clientName NOTIFY clientNameChanged)

public:
    // Settings keys this object reads and writes.
    static inline const QString idKey = QStringLiteral("kivren.id");
    static inline const QString passwordKey = QStringLiteral("kivren.password");
    static inline const QString hostTokenKey = QStringLiteral("kivren.hostToken");
    static inline const QString cloudKey = QStringLiteral("kivren.cloud");

    struct Timing
    {
        std::chrono::milliseconds firstPass{1200};   // start -> first register + heartbeat
        std::chrono::milliseconds period{3000};      // pause between passes
        std::chrono::milliseconds tunnelDelay{800};  // start -> tunnel start
        std::chrono::milliseconds sessionPause{90};  // pause between session loop iterations
    };

    // What the service runs against; the app passes the real environment, tests their own.
    struct Options
    {
        // Required; must outlive the service.
        SettingsStore *settings = nullptr;
        // Base of every host request: the local switchboard.
        QString switchboardBase = LocalSwitchboard::loopbackOrigin();
        // Where the node launcher and the tunnel look for their tools.
        KivrenCloudProcess::Roots launcherRoots = KivrenCloudProcess::Roots::system();
        QStringList tunnelDirectories;               // empty: KivrenTunnel::defaultSearchDirectories(home)
        // Capture and injection; null: no pictures, a zero display geometry, no input applied.
        DesktopBackend *desktop = nullptr;
        // Sent as "name" ("Mac" when none); the app passes ComputerName::current().
        std::optional<QString> computerName;
        // False: neither the node child nor the tunnel is started (tests against a switchboard
        // of their own).
        bool startChildren = true;
        Timing timing;
    };

    // The app's options: its settings store, the installed desktop backend
    // (DesktopBackend::current()), the computer's name, real search roots and timings.
    static Options appOptions(SettingsStore &settings);

    // Reads or creates the identity, stores it, then starts switchboard, tunnel and
    // registration loop.
    explicit MacHostService(Options options, QObject *parent = nullptr);
    // Stops the loops and aborts every request in flight; the tunnel child ends with it.
    ~MacHostService() override;

    QString publicId() const { return m_publicId; }
    QString password() const { return m_password; }
    QString status() const { return m_status; }
    QString origin() const { return m_origin; }
    bool live() const { return m_live; }
    std::optional<QString> clientName() const { return m_clientName; }
    // Never shown; exposed for the app's own checks and for tests.
    QString hostToken() const { return m_hostToken; }

    // User operations.
    void copyId();       // the formatted ID ("123 456 789") onto the clipboard
    void copyPass();     // the password, with its hyphen, onto the clipboard
    void rotatePassword(); // a fresh password, stored and registered at once

    // One "register" request; the status follows its outcome.
    QCoro::Task<> registerHost();
    // One "heartbeat" request; may learn the origin or begin a pending session.
    QCoro::Task<> heartbeat();

    // Accepts a pending session entry from a heartbeat answer unless a session runs.
    void begin(const QJsonObject &pending);
    // One viewer message: close (ends a running session), input, key or text.
    void handle(const QJsonObject &message, const DisplayGeometry &geometry);
    // The running session, null when idle (tests read what it learned of its viewer).
    const HostSession *session() const { return m_session.get(); }

    // The request transport (tests shorten its timeout) and the tunnel (its origin reports).
    KivrenAPI &api() { return *m_api; }
    KivrenTunnel &tunnel() { return *m_tunnel; }

signals:
    void publicIdChanged(const QString &publicId);
    void passwordChanged(const QString &password);
    void statusChanged(const QString &status);
    void originChanged(const QString &origin);
    void liveChanged(bool live);
    void clientNameChanged(const std::optional<QString> &clientName);

private:
    void start();
    QCoro::Task<> registerHost(std::stop_token stop);
    QCoro::Task<> reportOrigin(QString origin, std::stop_token stop);
    // A close message ended the session: back to the ready status.
    void endSession();

    void setPassword(const QString &password);
    void setStatus(const QString &status);
    void setOrigin(const QString &origin);
    void setLive(bool live);
    void setClientName(const std::optional<QString> &name);
    QString readyStatus() const;

    Options m_options;
    KivrenAPI *m_api = nullptr;       // child
    KivrenTunnel *m_tunnel = nullptr; // child

    QString m_publicId;
    QString m_password;
    QString m_hostToken;
    QString m_status;
    QString m_origin;
    bool m_live = false;
    std::optional<QString> m_clientName;

    OwnedTask<RegistrationLoop> m_registration;
    // At most one at a time.
    OwnedTask<HostSession> m_session;
    // Origin reports and single requests; they end with the service.
    TaskGroup m_background;
};
