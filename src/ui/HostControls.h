#pragma once

#include "AttemptLog.h"
#include "LiveSession.h"

#include <QList>
#include <QWidget>

#include <functional>

class KivrenGhost;
class QComboBox;
class QLabel;
class QVBoxLayout;

// What the person at this computer decides and sees of the viewers, under "This device": how a
// viewer gets in ("Allow with the password" or "Ask me each time"), the lockout after wrong
// passwords with a button that lifts it, the live sessions each with "View only" and "End", and
// the attempts to connect, newest first. Keeps no state of its own: values are handed in and
// every choice goes to its action.
//
// Object names for tests and screenshots: "askMode", "lockoutNote", "liftLockout",
// "liveSessions" (rows "liveSession", buttons "endSession" and "viewOnly"), "attemptLog" (rows
// "attempt").
class HostControls : public QWidget
{
    Q_OBJECT

public:
    using Action = std::function<void()>;
    using Toggle = std::function<void(bool)>;
    using OnSession = std::function<void(const QString &sessionId)>;
    using OnSessionToggle = std::function<void(const QString &sessionId, bool on)>;

    static inline const QString allowWithPassword = QStringLiteral("Allow with the password");
    static inline const QString askEachTime = QStringLiteral("Ask me each time");
    // Rows of the attempt log shown; the log keeps more.
    static constexpr qsizetype attemptsShown = 50;

    explicit HostControls(QWidget *parent = nullptr);

    void setAskFirst(bool askFirst);
    void setOnAskFirst(Toggle action) { m_onAskFirst = std::move(action); }
    // Empty hides the lockout row.
    void setLockoutNote(const QString &note);
    void setOnLiftLockout(Action action) { m_onLiftLockout = std::move(action); }
    void setSessions(const QList<LiveSession> &sessions);
    void setOnEndSession(OnSession action) { m_onEnd = std::move(action); }
    void setOnViewOnly(OnSessionToggle action) { m_onViewOnly = std::move(action); }
    void setAttempts(const QList<AttemptLog::Entry> &attempts);

    // One line of the session list and of the attempt log, in words.
    static QString sessionWords(const LiveSession &session);
    static QString attemptWords(const AttemptLog::Entry &entry);

private:
    QComboBox *m_askMode = nullptr;
    QWidget *m_lockoutRow = nullptr;
    QLabel *m_lockoutNote = nullptr;
    KivrenGhost *m_liftLockout = nullptr;
    QWidget *m_sessionsBox = nullptr;
    QVBoxLayout *m_sessionRows = nullptr;
    QWidget *m_attemptsBox = nullptr;
    QVBoxLayout *m_attemptRows = nullptr;
    Toggle m_onAskFirst;
    Action m_onLiftLockout;
    OnSession m_onEnd;
    OnSessionToggle m_onViewOnly;
};
