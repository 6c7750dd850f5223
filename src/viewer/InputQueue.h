#pragma once

#include "SessionProtocol.h"
#include "SessionSeal.h"
#include "StoppableTask.h"
#include "SwitchboardRequests.h"
#include "TaskGroup.h"

#include <QByteArray>
#include <QList>
#include <QTimer>

#include <chrono>
#include <memory>
#include <stop_token>

class KivrenAPI;

// The user's input on its way to one session's host, in the order it was made. The switchboard
// takes concurrent requests in any order (a release that overtook its press would leave a
// button or key held, text could arrive after the click meant to place it), so:
// - each message goes out in a push of its own (a switchboard of an older build takes one
//   frame per push), and only one push is in flight at a time;
// - while one is in flight, a move replaces a move queued right before it, a wheel event adds
//   its deltas to a wheel event queued right before it, and text joins text queued right before
//   it (up to the text limit); nothing is ever moved past a message of another kind;
// - a push unanswered after `waitLimit` is abandoned (its request is cancelled) and the queue
//   goes on. If that push had in fact reached the switchboard, it is still delivered, and may
//   be applied after messages sent behind it;
// - at most `maxQueued` messages wait; beyond that new ones are dropped.
// A queue belongs to one session: ending the session clears it, or drains it and then closes
// the session (the user's own End, so that key releases still go out). Its requests are its own
// tasks, which end when the queue goes or its lifetime ends; whoever holds a queue whose session
// ended keeps it until finished(). Main thread.
class InputQueue
{
public:
    static constexpr std::chrono::milliseconds defaultWaitLimit{3000};
    static constexpr qsizetype maxQueued = 512;

    struct Options
    {
        KivrenAPI *api = nullptr;
        SessionProtocol::SessionKeys keys;
        // Pushes and the close end with it (the viewer client going) or with the queue.
        std::stop_token lifetime;
        std::chrono::milliseconds waitLimit = defaultWaitLimit;
        // An encrypted session's channel: every message goes out sealed, and a push unanswered
        // after `waitLimit` is sent again, the same bytes, rather than given up (the host drops it
        // if the first did arrive; one that never did would make every later one fail its check).
        std::shared_ptr<SessionSeal> seal;
    };

    explicit InputQueue(Options options);
    InputQueue(const InputQueue &) = delete;
    InputQueue &operator=(const InputQueue &) = delete;

    // Sends `message` after everything queued before it. Ignored once the queue is cleared or
    // closing.
    void enqueue(SessionProtocol::ViewerMessage message);
    // Drops what waits and stops waiting for the push in flight (it still goes on, and may
    // arrive); nothing is sent any more.
    void clear();
    // Sends what waits (nothing once cleared), then posts "close" for the session. A push
    // abandoned on the way ends the drain: the close then goes out at once and the rest is
    // dropped.
    void closeAfterDrain();

    // The session's close was posted and no request of the queue is on its way any more.
    bool finished() const { return m_closed && m_requests.running() == 0; }

    qsizetype waiting() const { return m_waiting.size(); }
    bool pushInFlight() const { return m_inFlight; }
    int abandonedPushes() const { return m_abandoned; }

private:
    bool coalesce(const SessionProtocol::ViewerMessage &message);
    void sendNext();
    // Sends m_pushed.
    void startPush();
    void pushEnded(quint64 ticket);
    void abandon();
    void startClose();

    // `cancel` abandons it; the queue's own stop, `stop`, ends it too.
    StoppableTask<> push(quint64 ticket, SwitchboardRequests::Push request, std::stop_source cancel, std::stop_token stop);
    StoppableTask<> postClose(std::stop_token stop);

    Options m_options;
    QList<SessionProtocol::ViewerMessage> m_waiting;
    bool m_inFlight = false;
    // Names the push in flight; an answer carrying an older one belongs to an abandoned push.
    quint64 m_ticket = 0;
    std::stop_source m_cancel;
    // The push in flight, kept to be sent again in an encrypted session.
    SwitchboardRequests::Push m_pushed;
    QTimer m_waitTimer;
    int m_abandoned = 0;
    bool m_cleared = false;
    bool m_closing = false;
    bool m_closed = false;
    // The pushes and the close, in this order: a push abandoned or cleared goes on after the
    // queue has moved past it.
    TaskGroup m_requests;
};
