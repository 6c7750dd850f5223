#pragma once

#include "AttemptLog.h"
#include "ConnectionPrompt.h"
#include "DesktopBackend.h"
#include "HostKey.h"
#include "HostRegistration.h"
#include "HostStatus.h"
#include "KivrenCloudProcess.h"
#include "KivrenTunnel.h"
#include "LocalSwitchboard.h"
#include "SessionAdmission.h"
#include "StatusTone.h"
#include "SwitchboardKeeper.h"
#include "SwitchboardRequests.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <chrono>
#include <memory>
#include <optional>

class HostIdentity;
class HostSession;
class KivrenAPI;
class SettingsStore;
class SwitchboardTrust;

// The host half of the app as the window sees it: this machine's ID and password, what the home
// screen says of the host, and the user's actions on it. Behind it, one object per job:
// HostIdentity (the ID, password and host token, stored), SwitchboardTrust (the node child, its
// keeper and the proof that the port is this launch's own switchboard), HostRegistration
// (register and heartbeat every pass, the tunnel and its origin) and SessionAdmission (the one
// viewer served, and the desktop's screen sharing). This object only republishes what they know
// and works the status line out from it (HostStatus).
//
// Lives on the main thread. Every published field is a Q_PROPERTY whose change signal is
// emitted after the new value is stored. `clientName` is published as std::optional<QString>
// (none until a viewer without a name, or no viewer at all, connected). `status` and
// `statusTone` say in words and at a glance what works and what does not; `notice` is a second
// line for a problem beside that (settings that cannot be saved), empty when there is none.
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
    // The live session was opened encrypted end to end.
    Q_PROPERTY(bool encrypted READ encrypted NOTIFY encryptedChanged)
    // "Only encrypted viewers": a viewer that does not encrypt is refused (stored; off by default).
    Q_PROPERTY(bool encryptedOnly READ encryptedOnly WRITE setEncryptedOnly NOTIFY encryptedOnlyChanged)
    Q_PROPERTY(std::optional<QString> clientName READ clientName NOTIFY clientNameChanged)
    Q_PROPERTY(bool askFirst READ askFirst WRITE setAskFirst NOTIFY askFirstChanged)
    Q_PROPERTY(QString asking READ asking NOTIFY askingChanged)
    Q_PROPERTY(QList<LiveSession> sessions READ sessions NOTIFY sessionsChanged)
    Q_PROPERTY(QList<AttemptLog::Entry> attempts READ attempts NOTIFY attemptsChanged)
    Q_PROPERTY(QString lockoutNote READ lockoutNote NOTIFY lockoutNoteChanged)

public:
    // The file beside the settings where ssh keeps the tunnel service's host key.
    static inline const QString knownHostsName = QStringLiteral("tunnel_known_hosts");

    // The settings key of "Ask me each time" ("true"; anything else: allow with the password).
    static inline const QString askFirstKey = QStringLiteral("kivren.askEachTime");

    // The notice while the settings store cannot be written.
    static inline const QString settingsNotSaved = QStringLiteral(
        "Settings cannot be saved: this ID and password last only until KivrenRemote closes");

    struct Timing
    {
        std::chrono::milliseconds firstPass{1200};   // start -> first register + heartbeat
        std::chrono::milliseconds period{3000};      // pause between passes
        std::chrono::milliseconds tunnelDelay{800};  // switchboard first proven -> tunnel start
        std::chrono::milliseconds sessionPause{90};  // pause between session loop iterations
        // How long the person at this computer has to allow a viewer.
        std::chrono::milliseconds askWithin = ConnectionPrompt::answerWithin;
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
        // For benchmarks only: sessions run as one loop, as they did before (HostSession::Options).
        bool onePassLoop = false;
    };

    // Reads or creates the identity, stores it, then starts switchboard and registration loop
    // (and, once the switchboard is proven, the tunnel).
    explicit MacHostService(Options options, QObject *parent = nullptr);
    // Stops the loops and aborts every request in flight; the tunnel child ends with it.
    ~MacHostService() override;

    QString publicId() const;
    QString password() const;
    QString status() const { return m_status; }
    StatusTone statusTone() const { return m_statusTone; }
    QString notice() const;
    QString sharingNote() const;
    QString accessAction() const;
    // The port answers as this launch's own switchboard (always, for a switchboard the caller
    // vouches for). Until then this app's viewer must not use the loopback address either.
    bool switchboardProven() const;
    QString origin() const;
    bool live() const;
    bool encrypted() const;
    bool encryptedOnly() const;
    void setEncryptedOnly(bool only);
    std::optional<QString> clientName() const;
    // "Ask me each time" (true) or "Allow with the password" (false, the default); stored.
    bool askFirst() const;
    void setAskFirst(bool askFirst);
    // The question for the person at this computer about a viewer asking in; empty: none.
    QString asking() const;
    // How long the person has to answer it.
    std::chrono::milliseconds askWithin() const { return m_options.timing.askWithin; }
    void allowViewer();
    void refuseViewer();
    // The live sessions, oldest first; End names one by its sessionId.
    QList<LiveSession> sessions() const;
    void endSession(const QString &sessionId);
    // Lets that session's viewer only watch, or control again.
    void setViewOnly(const QString &sessionId, bool viewOnly);
    // The attempts to reach this computer, oldest first, kept across restarts.
    const QList<AttemptLog::Entry> &attempts() const;
    // "Connections are paused for N minutes after wrong passwords" while the switchboard holds
    // viewers without a device token back; empty otherwise. liftLockout ends the pause.
    QString lockoutNote() const { return m_lockoutNote; }
    void liftLockout();
    static QString lockoutWords(qint64 waitMs);
    // Never shown; exposed for the app's own checks and for tests.
    QString hostToken() const;

    // User operations.
    void copyId();       // the formatted ID ("123 456 789") onto the clipboard
    void copyPass();     // the password, with its hyphen, onto the clipboard
    // A fresh password, stored and registered at once; every live session, opened with the old
    // one, ends.
    void rotatePassword();
    void requestAccess();  // asks the desktop again for screen sharing (its dialog, once more)
    // KivrenRemote is quitting: a session's viewer is told that it was closed, not
    // left to find the connection gone. Runs the event loop for a moment, and only with a session.
    void closeSessionBeforeQuit();

    // A viewer waiting, as a heartbeat names it (tests hand one in directly).
    void begin(const SwitchboardRequests::PendingSession &pending);
    // The running session, null when idle (tests read what it learned of its viewer).
    const HostSession *session() const;

    // The request transport (tests shorten its timeout), the tunnel (its origin reports) and the
    // registration (tests send a pass's requests themselves).
    KivrenAPI &api() { return *m_api; }
    KivrenTunnel &tunnel();
    HostRegistration &registration() { return *m_registration; }

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
    void encryptedChanged(bool encrypted);
    void encryptedOnlyChanged(bool encryptedOnly);
    void clientNameChanged(const std::optional<QString> &clientName);
    void askFirstChanged(bool askFirst);
    void askingChanged(const QString &asking);
    void sessionsChanged();
    void attemptsChanged();
    void lockoutNoteChanged(const QString &lockoutNote);

private:
    void logAttempts(const QList<AttemptLog::Entry> &entries);
    void onLockoutRead(const SwitchboardRequests::LockoutAnswer &lockout);

    // Works the status line and tone out again from what the parts know now.
    void refreshStatus();

    Options m_options;
    // Declared in the order they are made; each part goes before the ones it was given.
    std::unique_ptr<KivrenAPI> m_api;
    std::unique_ptr<HostIdentity> m_identity;
    std::unique_ptr<SwitchboardTrust> m_trust;
    std::unique_ptr<HostRegistration> m_registration;
    std::unique_ptr<SessionAdmission> m_admission;
    std::unique_ptr<AttemptLog> m_attempts;
    QString m_lockoutNote;

    QString m_status;
    StatusTone m_statusTone = StatusTone::warning;
};
