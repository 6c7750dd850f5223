#pragma once

#include "ConnectionPrompt.h"
#include "DesktopBackend.h"
#include "HostSession.h"
#include "LiveSession.h"
#include "OwnedTask.h"
#include "StoppableTask.h"
#include "SwitchboardRequests.h"
#include "TaskGroup.h"

#include <QEventLoop>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

#include <chrono>
#include <memory>
#include <optional>
#include <stop_token>

class HostIdentity;
class KivrenAPI;
class SwitchboardTrust;

// Which viewer this host serves, and whether the desktop lets it: one session at a time
// (HostSession), taken from the viewers a heartbeat hands on; another viewer meanwhile is refused
// at once with busyReason rather than left waiting. When this computer asks each time
// (setAskFirst), a viewer is let in only once the person here allowed it (ConnectionPrompt:
// `asking` names the viewer, answer() takes the choice, no answer within Options::askWithin
// refuses), and refused or timed out, it is told why. A desktop that shares its screen
// only once it is set up or the person at this computer agreed (Wayland) is followed through its
// state: `accessAction` names the button that asks the desktop again (empty: no button), and
// `sharingNote` says when the desktop asks on every start. A viewer arriving meanwhile is held
// (claimed, shown nothing) until the desktop is ready; while sharing is refused or broken a
// session is ended at the switchboard with the reason, which the viewer reads as its status.
// Main thread.
class SessionAdmission : public QObject
{
    Q_OBJECT

public:
    // The button that asks the desktop again, after a refusal and after a failure.
    static inline const QString askAgain = QStringLiteral("Ask again");
    static inline const QString tryAgain = QStringLiteral("Try again");
    // Why a session was ended at the switchboard, as the viewer reads it.
    static inline const QString sharingRefusedReason = QStringLiteral("Screen sharing was not allowed on that computer");
    static inline const QString sharingFailedReason = QStringLiteral("Screen sharing is not available on that computer");
    static inline const QString quitReason = QStringLiteral("KivrenRemote on that computer was closed");
    static inline const QString busyReason = QStringLiteral("That computer is already in a session with another viewer");
    static inline const QString endedReason = QStringLiteral("The person at that computer ended the session");
    static inline const QString passwordChangedReason =
        QStringLiteral("That computer's password was changed");
    // At most this long for the close to be taken when KivrenRemote quits during a session, and
    // then this long for the viewer's next poll to read it before the switchboard goes with the
    // app (the viewer polls every 90 ms).
    static constexpr std::chrono::milliseconds quitCloseLimit{1500};
    static constexpr std::chrono::milliseconds quitCloseRead{400};
    // The note while the desktop asks the person at this computer on every start.
    static QString asksEveryTimeNote();

    struct Options
    {
        // Capture and injection; null: no pictures, a zero display geometry, no input applied.
        DesktopBackend *desktop = nullptr;
        std::chrono::milliseconds sessionPause{90}; // pause between session loop iterations
        // For benchmarks only: sessions push a picture on every pass, changed or not.
        bool pushEveryPass = false;
        // What an encrypted session proves itself with, and whether a plain one is refused; null:
        // encrypted sessions are ended, plain ones taken.
        const HostIdentity *identity = nullptr;
        // How long the person at this computer has to allow a viewer (tests shorten it).
        std::chrono::milliseconds askWithin = ConnectionPrompt::answerWithin;
        // For benchmarks only: sessions run as one loop, as they did before (HostSession::Options).
        bool onePassLoop = false;
    };
    // Why a plain session is ended on a host that takes only encrypted viewers.
    static inline const QString encryptedOnlyReason = QStringLiteral("That PC accepts only encrypted connections");

    // What became of a viewer that asked in, for the attempt log.
    // An encrypted session is allowed, or its password found wrong, only once its exchange is over.
    enum class Admitted { allowed, refused, timedOut, busy, wrongPassword };

    // `api` and `trust` must outlive the admission; the desktop must not report to it once it
    // is gone (the destructor removes its observer).
    SessionAdmission(KivrenAPI &api, SwitchboardTrust &trust, Options options, QObject *parent = nullptr);
    ~SessionAdmission() override;

    // Follows the desktop's screen sharing from now on.
    void start();
    // A viewer waiting: its session starts unless one runs (the next heartbeat offers it again),
    // or is ended at once with the reason when sharing is refused or broken.
    void begin(const SwitchboardRequests::PendingSession &pending);
    // The switchboard is lost: the session ends without a word to it.
    void drop();
    // Asks the desktop again for screen sharing (its dialog, once more).
    void requestAccess();
    // KivrenRemote is quitting: the running session's viewer is told so (quitReason). Runs the
    // event loop until the close is taken (at most quitCloseLimit), then quitCloseRead more.
    void closeBeforeQuit();

    // Whether a viewer is let in only once the person at this computer allowed it. A question
    // already open stays open either way.
    void setAskFirst(bool askFirst);
    bool askFirst() const { return m_askFirst; }
    // The viewer the person is being asked about; none when no question is open.
    std::optional<SwitchboardRequests::PendingSession> asking() const;
    // The person's answer to the open question (nothing happens without one).
    void answer(ConnectionPrompt::Answer answer);
    // The live sessions, oldest first (at most one today).
    QList<LiveSession> sessions() const;
    // Ends one session, telling its viewer `reason`; an ID not live ends nothing.
    void end(const QString &sessionId, const QString &reason);
    // Ends every session, telling each viewer `reason`.
    void endAll(const QString &reason);
    // Lets one session's viewer only watch (true) or control again (false).
    void setViewOnly(const QString &sessionId, bool viewOnly);

    bool live() const { return m_live; }
    // The live session was opened encrypted: nothing of it leaves unsealed after the exchange.
    bool encrypted() const { return m_encrypted; }
    // The name the last viewer gave; none until a viewer without one, or no viewer at all, came.
    std::optional<QString> clientName() const { return m_clientName; }
    DesktopSharing::State sharing() const { return m_sharing; }
    QString accessAction() const { return m_accessAction; }
    QString sharingNote() const { return m_sharingNote; }
    // The running session, null when idle.
    const HostSession *session() const { return m_session.get(); }

signals:
    void liveChanged(bool live);
    void encryptedChanged(bool encrypted);
    void clientNameChanged(const std::optional<QString> &clientName);
    void sharingChanged(DesktopSharing::State sharing);
    void accessActionChanged(const QString &accessAction);
    void sharingNoteChanged(const QString &sharingNote);
    // A close message, a switchboard that forgot the session, or a refused sharing ended it.
    void sessionEnded();
    void askingChanged();
    void sessionsChanged();
    // A viewer was let in or turned away, with what it said of itself.
    void admitted(const SwitchboardRequests::PendingSession &viewer, SessionAdmission::Admitted outcome);

private:
    // Starts the viewer's session, unless the desktop will not share its screen.
    void admit(const SwitchboardRequests::PendingSession &pending);
    void startSession(const SwitchboardRequests::PendingSession &pending);
    // Ends at once a session this host cannot serve as it asks: a plain one when only encrypted
    // viewers are taken, an encrypted one without the secrets to run its exchange.
    bool refusedUnsealable(const SwitchboardRequests::PendingSession &pending);
    // The open question was answered or timed out: the viewer is let in or told why not.
    void settlePrompt();
    // A session this host refused or ended stays refused when a heartbeat offers it again.
    bool turnedAway(const QString &sessionId) const;
    void rememberTurnedAway(const QString &sessionId);
    void endSession();
    void onSharingChanged(DesktopSharing::State state);
    // Ends a session at the switchboard (the viewer's next poll is refused with `reason`).
    void refuseSession(SwitchboardRequests::SessionKeys keys, const QString &reason);
    StoppableTask<> postClose(SwitchboardRequests::SessionKeys keys, QString reason, std::stop_token stop);
    // What closeBeforeQuit waits for; shared with it, since it may stop waiting first.
    struct QuitClose
    {
        bool taken = false;
        QPointer<QEventLoop> wait;
    };
    StoppableTask<> postQuitClose(SwitchboardRequests::SessionKeys keys, std::shared_ptr<QuitClose> state,
                                  std::stop_token stop);
    void setLive(bool live);
    void setClientName(const std::optional<QString> &name);

    KivrenAPI &m_api;
    SwitchboardTrust &m_trust;
    Options m_options;
    bool m_live = false;
    bool m_encrypted = false;
    std::optional<QString> m_clientName;
    DesktopSharing::State m_sharing = DesktopSharing::State::Ready;
    QString m_accessAction;
    QString m_sharingNote;

    // At most one at a time.
    OwnedTask<HostSession> m_session;
    std::optional<LiveSession> m_liveSession;
    bool m_askFirst = false;
    std::optional<ConnectionPrompt> m_prompt;
    QTimer m_promptTimer;
    // The sessions refused lately, newest last: the switchboard may offer one again before it
    // took the close.
    QStringList m_turnedAway;
    // The closes that end refused sessions.
    TaskGroup m_refusals;
};
