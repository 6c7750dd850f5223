#pragma once

#include "DesktopBackend.h"
#include "DisplayGeometry.h"
#include "HostKey.h"
#include "HostSession.h"
#include "HostStatus.h"
#include "KivrenCloudProcess.h"
#include "KivrenTunnel.h"
#include "LocalSwitchboard.h"
#include "OwnedTask.h"
#include "RegistrationLoop.h"
#include "StatusTone.h"
#include "SwitchboardChild.h"
#include "SwitchboardKeeper.h"
#include "TaskGroup.h"

#include <QEventLoop>
#include <QJsonObject>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>

#include <QCoroTask>

#include <chrono>
#include <optional>
#include <stop_token>

class KivrenAPI;
class SettingsStore;

// The host half of the app: this machine's ID, password and host token, the local
// switchboard and public tunnel it starts, and what the home screen shows of it. The
// registration loop (RegistrationLoop) and the session a viewer opens on it (HostSession:
// pictures out, input in) each run as one owned task of this object.
//
// It trusts only its own switchboard. Nothing is sent to the port before the node child it
// started has said it listens; every registration pass first challenges the listener with a
// fresh nonce, which only the child holding this launch's HostKey answers right; and once the
// child has exited nothing more is sent, the session ends and the tunnel stops. Until a pass has
// proven the port the tunnel is not started. Every host request carries the key's header proof,
// by which the switchboard knows its own host.
//
// Lives on the main thread. Every published field is a Q_PROPERTY whose change signal is
// emitted after the new value is stored. `clientName` is published as std::optional<QString>
// (none until a viewer without a name, or no viewer at all, connected). `status` and
// `statusTone` say in words and at a glance what works and what does not; `notice` is a second
// line for a problem beside that (settings that cannot be saved), empty when there is none.
//
// A desktop that shares its screen only once it is set up or the person at this computer agreed
// (Wayland) is followed through its state: the status says what it waits for or that it was
// refused, `accessAction` names the button that asks the desktop again (empty: no button), and
// `sharingNote` says when the desktop asks on every start. A viewer arriving meanwhile is held
// (claimed, shown nothing) until the desktop is ready; while sharing is refused or broken a
// session is ended at the switchboard with the reason, which the viewer reads as its status.
//
// The registration request is `registerHost` (`register` is a C++ keyword).
class MacHostService : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString publicId READ publicId NOTIFY publicIdChanged)
    Q_PROPERTY(QString password READ password NOTIFY passwordChanged)
    Q_PROPERTY(QString status READ status NOTIFY statusChanged)
    Q_PROPERTY(StatusTone statusTone READ statusTone NOTIFY statusToneChanged)
    Q_PROPERTY(QString notice READ notice NOTIFY noticeChanged)
    Q_PROPERTY(QString sharingNote READ sharingNote NOTIFY sharingNoteChanged)
    Q_PROPERTY(QString accessAction READ accessAction NOTIFY accessActionChanged)
    Q_PROPERTY(bool switchboardProven READ switchboardProven NOTIFY switchboardProvenChanged)
    Q_PROPERTY(QString origin READ origin NOTIFY originChanged)
    Q_PROPERTY(bool live READ live NOTIFY liveChanged)
    Q_PROPERTY(std::optional<QString> clientName READ clientName NOTIFY clientNameChanged)

public:
    // Settings keys this object reads and writes.
    static inline const QString idKey = QStringLiteral("kivren.id");
    static inline const QString passwordKey = QStringLiteral("kivren.password");
    static inline const QString hostTokenKey = QStringLiteral("kivren.hostToken");
    static inline const QString cloudKey = QStringLiteral("kivren.cloud");
    // The file beside the settings where ssh keeps the tunnel service's host key.
    static inline const QString knownHostsName = QStringLiteral("tunnel_known_hosts");

    // The notice while the settings store cannot be written.
    static inline const QString settingsNotSaved = QStringLiteral(
        "Settings cannot be saved: this ID and password last only until KivrenRemote closes");

    // The note while the desktop asks the person at this computer on every start.
    static QString asksEveryTimeNote();
    // The button that asks the desktop again, after a refusal and after a failure.
    static inline const QString askAgain = QStringLiteral("Ask again");
    static inline const QString tryAgain = QStringLiteral("Try again");
    // Why a session was ended at the switchboard, as the viewer reads it.
    static inline const QString sharingRefusedReason = QStringLiteral("Screen sharing was not allowed on that computer");
    static inline const QString sharingFailedReason = QStringLiteral("Screen sharing is not available on that computer");
    static inline const QString quitReason = QStringLiteral("KivrenRemote on that computer was closed");
    // At most this long for the close to be taken when KivrenRemote quits during a session, and
    // then this long for the viewer's next poll to read it before the switchboard goes with the
    // app (the viewer polls every 90 ms).
    static constexpr std::chrono::milliseconds quitCloseLimit{1500};
    static constexpr std::chrono::milliseconds quitCloseRead{400};

    struct Timing
    {
        std::chrono::milliseconds firstPass{1200};   // start -> first register + heartbeat
        std::chrono::milliseconds period{3000};      // pause between passes
        std::chrono::milliseconds tunnelDelay{800};  // switchboard first proven -> tunnel start
        std::chrono::milliseconds sessionPause{90};  // pause between session loop iterations
    };

    // What the service runs against; the app passes the real environment, tests their own.
    struct Options
    {
        // Required; must outlive the service.
        SettingsStore *settings = nullptr;
        // Base of every host request when it starts no children: a switchboard of the caller's
        // own. With children, requests go to the port the node child says it listens on.
        QString switchboardBase = LocalSwitchboard::loopbackOrigin();
        // The port the node child is told to serve on (0: any free port, which it then names).
        quint16 switchboardPort = LocalSwitchboard::port;
        // Without children: the key the caller's switchboard was started with, so that every
        // pass proves it as the app proves its child; none: the caller vouches for it.
        std::optional<HostKey> switchboardKey;
        // Where the node launcher and the tunnel look for their tools.
        KivrenCloudProcess::Roots launcherRoots = KivrenCloudProcess::Roots::system();
        // The pauses before the node child is launched again after it ended or failed.
        SwitchboardKeeper::Timing switchboardRestart;
        QStringList tunnelDirectories;               // empty: KivrenTunnel::defaultSearchDirectories(home)
        // Where ssh keeps the tunnel service's host key; empty: knownHostsName in the settings
        // store's own folder, which only this user may write.
        QString tunnelKnownHosts;
        KivrenTunnel::Timing tunnelTiming;
        // Capture and injection; null: no pictures, a zero display geometry, no input applied.
        DesktopBackend *desktop = nullptr;
        // Sent as "name" (PlatformWording::computerNameFallback() when none); the app passes
        // ComputerName::current().
        std::optional<QString> computerName;
        // False: neither the node child nor the tunnel is started (tests against a switchboard
        // of their own).
        bool startChildren = true;
        Timing timing;
        // For benchmarks only: sessions push a picture on every pass, changed or not.
        bool pushEveryPass = false;
    };

    // The app's options: its settings store, the installed desktop backend
    // (DesktopBackend::current()), the computer's name, real search roots and timings.
    static Options appOptions(SettingsStore &settings);

    // Reads or creates the identity, stores it, then starts switchboard and registration loop
    // (and, once the switchboard is proven, the tunnel).
    explicit MacHostService(Options options, QObject *parent = nullptr);
    // Stops the loops and aborts every request in flight; the tunnel child ends with it.
    ~MacHostService() override;

    QString publicId() const { return m_publicId; }
    QString password() const { return m_password; }
    QString status() const { return m_status; }
    StatusTone statusTone() const { return m_statusTone; }
    QString notice() const { return m_notice; }
    QString sharingNote() const { return m_sharingNote; }
    QString accessAction() const { return m_accessAction; }
    // The port answers as this launch's own switchboard (always, for a switchboard the caller
    // vouches for). Until then this app's viewer must not use the loopback address either.
    bool switchboardProven() const { return m_proven; }
    QString origin() const { return m_origin; }
    bool live() const { return m_live; }
    std::optional<QString> clientName() const { return m_clientName; }
    // Never shown; exposed for the app's own checks and for tests.
    QString hostToken() const { return m_hostToken; }

    // User operations.
    void copyId();       // the formatted ID ("123 456 789") onto the clipboard
    void copyPass();     // the password, with its hyphen, onto the clipboard
    void rotatePassword(); // a fresh password, stored and registered at once
    void requestAccess();  // asks the desktop again for screen sharing (its dialog, once more)
    // KivrenRemote is quitting: a session's viewer is told that it was closed (quitReason), not
    // left to find the connection gone. Runs the event loop for a moment, and only with a session.
    void closeSessionBeforeQuit();

    // Proves the switchboard, then one "register" request; the status follows their outcome.
    QCoro::Task<> registerHost();
    // One "heartbeat" request (none while the switchboard is not proven); may learn the origin
    // or begin a pending session.
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
    void statusToneChanged(StatusTone statusTone);
    void noticeChanged(const QString &notice);
    void sharingNoteChanged(const QString &sharingNote);
    void accessActionChanged(const QString &accessAction);
    void switchboardProvenChanged(bool switchboardProven);
    void originChanged(const QString &origin);
    void liveChanged(bool live);
    void clientNameChanged(const std::optional<QString> &clientName);

private:
    void start();
    void startSwitchboard();
    // What the keeper's last attempt did: a new child to watch, or why there is none.
    void onLaunched(KivrenCloudProcess::Launch launch);
    void watch(SwitchboardChild *child);
    void onChildPhase(SwitchboardChild::Phase phase);
    // Challenges the listener; true when it is this launch's switchboard. Changes nothing when
    // the request did not get through (the next pass asks again).
    QCoro::Task<bool> proveSwitchboard(std::stop_token stop);
    // The port is not (or no longer) ours: nothing more is sent there until a pass proves it.
    void loseSwitchboard(HostStatus::Switchboard why);
    QCoro::Task<> registerHost(std::stop_token stop);
    QCoro::Task<> registerOnly(std::stop_token stop);
    QCoro::Task<> reportOrigin(QString origin, std::stop_token stop);
    // Tells the switchboard the tunnel's origin, unless it has taken it already; it takes it only
    // from this machine's host once registered, so each successful registration asks again.
    QCoro::Task<> tellOrigin(std::stop_token stop);
    // A close message, or a switchboard that forgot the session, ended it.
    void endSession();
    // The desktop's screen sharing changed: the status, the button and the running session follow.
    void onSharingChanged(DesktopBackend::State state);
    // Ends a session at the switchboard (the viewer's next poll is refused with `reason`).
    void refuseSession(SessionProtocol::SessionKeys keys, const QString &reason);
    // What closeSessionBeforeQuit waits for.
    struct QuitClose
    {
        bool taken = false;
        QPointer<QEventLoop> wait;
    };
    QCoro::Task<> postQuitClose(SessionProtocol::SessionKeys keys, std::shared_ptr<QuitClose> state, std::stop_token stop);
    QCoro::Task<> postClose(SessionProtocol::SessionKeys keys, QString reason, std::stop_token stop);
    void storeText(const QString &key, const QString &value);

    void setPassword(const QString &password);
    void setNotice(const QString &notice);
    void setSharingNote(const QString &note);
    void setAccessAction(const QString &action);
    void setProven(bool proven);
    void setOrigin(const QString &origin);
    void setLive(bool live);
    void setClientName(const std::optional<QString> &name);
    // Works the status line and tone out again from what is known now.
    void refreshStatus();

    Options m_options;
    KivrenAPI *m_api = nullptr;       // child
    KivrenTunnel *m_tunnel = nullptr; // child
    // Launches the node child and launches it again whenever it goes; null without children.
    SwitchboardKeeper *m_keeper = nullptr; // child
    // The node child of this launch (owned by the application object); null without children.
    QPointer<SwitchboardChild> m_child;
    // The key whose proofs this host asks for and sends; none when the caller vouches.
    std::optional<HostKey> m_key;

    QString m_publicId;
    QString m_password;
    QString m_hostToken;
    QString m_status;
    StatusTone m_statusTone = StatusTone::warning;
    QString m_notice;
    QString m_sharingNote;
    QString m_accessAction;
    DesktopBackend::State m_sharing = DesktopBackend::State::Ready;
    bool m_proven = false;
    QString m_origin;
    // The origin the tunnel last reported, and whether the switchboard has taken it: it hands it
    // to every host in heartbeat answers.
    QString m_tunnelOrigin;
    bool m_originTaken = false;
    bool m_live = false;
    std::optional<QString> m_clientName;
    HostStatus::Switchboard m_switchboard = HostStatus::Switchboard::starting;
    HostStatus::Registration m_registered = HostStatus::Registration::none;
    QString m_refusal;
    // The switchboard's file that is missing, while there is none to launch.
    QString m_missingFile;

    OwnedTask<RegistrationLoop> m_registration;
    // At most one at a time.
    OwnedTask<HostSession> m_session;
    // Origin reports and single requests; they end with the service.
    TaskGroup m_background;
};
