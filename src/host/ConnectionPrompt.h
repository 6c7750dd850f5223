#pragma once

#include "SwitchboardRequests.h"

#include <QString>

#include <chrono>

// The question put to the person at this computer when a viewer with the right password asks
// in while this computer asks each time: who it is, and the answer. No answer within the time
// allowed refuses, so a viewer is never let in while nobody is there. The first answer counts;
// later ones (a click racing the timeout) change nothing. Pure: time is handed in.
class ConnectionPrompt
{
public:
    using Clock = std::chrono::steady_clock;

    // How long the person has to answer before the viewer is refused.
    static constexpr std::chrono::milliseconds answerWithin{30'000};

    enum class Answer { allow, refuse };
    enum class Outcome { pending, allowed, refused, timedOut };

    // Why a session was ended at the switchboard, as the viewer reads it.
    static inline const QString refusedReason = QStringLiteral("The person at that computer refused the connection");
    static inline const QString timedOutReason = QStringLiteral("Nobody at that computer accepted the connection");

    ConnectionPrompt(SwitchboardRequests::PendingSession viewer, Clock::time_point askedAt,
                     std::chrono::milliseconds limit = answerWithin);

    // The person's answer at `at`: taken while the question is open and in time; a late one
    // finds it timed out. Returns the outcome from then on.
    Outcome answer(Answer answer, Clock::time_point at);
    // Time has passed: past the limit, an open question is refused as timed out.
    Outcome expire(Clock::time_point at);

    Outcome outcome() const { return m_outcome; }
    const SwitchboardRequests::PendingSession &viewer() const { return m_viewer; }
    Clock::time_point deadline() const { return m_deadline; }
    // The reason the viewer is told when it is not let in; empty while pending or allowed.
    QString closeReason() const;

    // What the prompt says: the viewer's name, its platform and where it came from, in words.
    static QString question(const SwitchboardRequests::PendingSession &viewer);

private:
    SwitchboardRequests::PendingSession m_viewer;
    Clock::time_point m_deadline;
    Outcome m_outcome = Outcome::pending;
};
