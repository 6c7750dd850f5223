#include "SessionAdmission.h"

#include "HostIdentity.h"
#include "KivrenAPI.h"
#include "PlatformWording.h"
#include "SwitchboardTrust.h"

#include <QTimer>

#include <algorithm>

namespace Requests = SwitchboardRequests;

namespace {

bool sharingBroken(DesktopSharing::State state)
{
    return state == DesktopSharing::State::Refused || state == DesktopSharing::State::Failed;
}

} // namespace

QString SessionAdmission::asksEveryTimeNote()
{
    return QStringLiteral("This desktop cannot remember the permission: the person at %1 is asked to allow "
                          "screen sharing each time KivrenRemote starts")
        .arg(PlatformWording::thisComputer());
}

SessionAdmission::SessionAdmission(KivrenAPI &api, SwitchboardTrust &trust, Options options, QObject *parent)
    : QObject(parent)
    , m_api(api)
    , m_trust(trust)
    , m_options(options)
{
    m_promptTimer.setSingleShot(true);
    m_promptTimer.setTimerType(Qt::PreciseTimer);
    // A timer may come a little early: the question times out at its deadline all the same.
    connect(&m_promptTimer, &QTimer::timeout, this, [this] {
        if (m_prompt)
            m_prompt->expire(std::max(ConnectionPrompt::Clock::now(), m_prompt->deadline()));
        settlePrompt();
    });
}

// The session stops as its member goes: it resumes later (stops are delivered through the event
// loop) and ends without touching this object. The desktop outlives the admission, so it must not
// report to it any more.
SessionAdmission::~SessionAdmission()
{
    if (m_options.desktop)
        m_options.desktop->setStateObserver({});
}

void SessionAdmission::start()
{
    if (DesktopBackend *desktop = m_options.desktop) {
        // Reported on the main thread; the destructor removes the observer.
        desktop->setStateObserver([this](DesktopSharing::State state) { onSharingChanged(state); });
        onSharingChanged(desktop->state());
    }
}

void SessionAdmission::begin(const Requests::PendingSession &pending)
{
    // Refused already: the switchboard offers it until it has taken the close.
    if (turnedAway(pending.keys.id))
        return;
    if (m_session.running()) {
        // One session at a time: a second viewer is told at once rather than left waiting for
        // a picture. The session running may be offered again until its claim arrives.
        if (m_session->keys() != pending.keys) {
            rememberTurnedAway(pending.keys.id);
            refuseSession(pending.keys, busyReason);
            emit admitted(pending, Admitted::busy);
        }
        return;
    }
    // The person is being asked about a viewer: the switchboard offers the oldest first, so any
    // other waits its turn.
    if (m_prompt)
        return;
    // A viewer this host would end anyway is not asked about.
    if (refusedUnsealable(pending))
        return;
    if (m_askFirst && !sharingBroken(m_sharing)) {
        m_prompt.emplace(pending, ConnectionPrompt::Clock::now(), m_options.askWithin);
        m_promptTimer.start(m_options.askWithin);
        emit askingChanged();
        return;
    }
    admit(pending);
}

void SessionAdmission::admit(const Requests::PendingSession &pending)
{
    // Nothing would ever be shown to this viewer: it is told why at once rather than kept
    // waiting for a picture.
    if (sharingBroken(m_sharing)) {
        refuseSession(pending.keys, m_sharing == DesktopSharing::State::Refused ? sharingRefusedReason : sharingFailedReason);
        return;
    }
    if (refusedUnsealable(pending))
        return;
    startSession(pending);
    if (!pending.encrypted)
        emit admitted(pending, Admitted::allowed);
}

bool SessionAdmission::refusedUnsealable(const Requests::PendingSession &pending)
{
    // The switchboard refuses such a connect already; a switchboard that does not know the
    // setting is not trusted with it.
    const HostIdentity *identity = m_options.identity;
    if (identity && identity->encryptedOnly() && !pending.encrypted) {
        refuseSession(pending.keys, encryptedOnlyReason);
        return true;
    }
    if (!identity && pending.encrypted) {
        refuseSession(pending.keys, HostKeyExchange::failedReason);
        return true;
    }
    return false;
}

void SessionAdmission::startSession(const Requests::PendingSession &pending)
{
    setClientName(pending.clientName);
    if (m_encrypted != pending.encrypted) {
        m_encrypted = pending.encrypted;
        emit encryptedChanged(m_encrypted);
    }
    m_liveSession = LiveSession{pending.keys.id, pending.clientName, pending.clientPlatform, pending.clientAddress,
                                QDateTime::currentDateTime(), pending.encrypted};
    setLive(true);

    HostSession::Options session;
    session.api = &m_api;
    session.desktop = m_options.desktop;
    session.keys = pending.keys;
    session.pause = m_options.sessionPause;
    session.pushEveryPass = m_options.pushEveryPass;
    session.onePassLoop = m_options.onePassLoop;
    session.onClosed = [this] { endSession(); };
    // The switchboard cannot tell an encrypted opening's wrong password: only this host sees it.
    session.onExchanged = [this, pending](const std::optional<QString> &failure) {
        if (!failure)
            emit admitted(pending, Admitted::allowed);
        else if (*failure == HostKeyExchange::wrongPasswordReason)
            emit admitted(pending, Admitted::wrongPassword);
    };
    if (const HostIdentity *identity = m_options.identity; pending.encrypted && identity)
        session.encrypted = HostKeyExchange::Secrets{identity->publicId(), identity->hostToken(), identity->password()};
    m_session.start(std::move(session));
    emit sessionsChanged();
}

void SessionAdmission::setAskFirst(bool askFirst)
{
    m_askFirst = askFirst;
}

std::optional<Requests::PendingSession> SessionAdmission::asking() const
{
    return m_prompt ? std::optional<Requests::PendingSession>(m_prompt->viewer()) : std::nullopt;
}

void SessionAdmission::answer(ConnectionPrompt::Answer answer)
{
    if (!m_prompt)
        return;
    m_prompt->answer(answer, ConnectionPrompt::Clock::now());
    settlePrompt();
}

void SessionAdmission::settlePrompt()
{
    if (!m_prompt || m_prompt->outcome() == ConnectionPrompt::Outcome::pending)
        return;
    const ConnectionPrompt prompt = *m_prompt;
    m_prompt.reset();
    m_promptTimer.stop();
    emit askingChanged();
    const Requests::PendingSession &viewer = prompt.viewer();
    // Allowed: let in, unless the desktop stopped sharing meanwhile (then told why).
    if (prompt.outcome() == ConnectionPrompt::Outcome::allowed) {
        admit(viewer);
        return;
    }
    rememberTurnedAway(viewer.keys.id);
    refuseSession(viewer.keys, prompt.closeReason());
    emit admitted(viewer, prompt.outcome() == ConnectionPrompt::Outcome::refused ? Admitted::refused : Admitted::timedOut);
}

bool SessionAdmission::turnedAway(const QString &sessionId) const
{
    return m_turnedAway.contains(sessionId);
}

void SessionAdmission::rememberTurnedAway(const QString &sessionId)
{
    // A few are plenty: the switchboard takes a close within a heartbeat or two.
    constexpr qsizetype remembered = 16;
    m_turnedAway.append(sessionId);
    if (m_turnedAway.size() > remembered)
        m_turnedAway.removeFirst();
}

QList<LiveSession> SessionAdmission::sessions() const
{
    return m_liveSession ? QList<LiveSession>{*m_liveSession} : QList<LiveSession>{};
}

void SessionAdmission::end(const QString &sessionId, const QString &reason)
{
    if (!m_session || m_session->keys().id != sessionId)
        return;
    rememberTurnedAway(sessionId);
    refuseSession(m_session->keys(), reason);
    endSession();
}

void SessionAdmission::endAll(const QString &reason)
{
    for (const LiveSession &session : sessions())
        end(session.sessionId, reason);
}

void SessionAdmission::setViewOnly(const QString &sessionId, bool viewOnly)
{
    if (!m_session || !m_liveSession || m_liveSession->sessionId != sessionId || m_liveSession->viewOnly == viewOnly)
        return;
    m_session->setViewOnly(viewOnly);
    m_liveSession->viewOnly = viewOnly;
    emit sessionsChanged();
}

void SessionAdmission::drop()
{
    // Nobody can be let in through a switchboard that is not ours any more.
    if (m_prompt) {
        m_prompt.reset();
        m_promptTimer.stop();
        emit askingChanged();
    }
    if (!m_session)
        return;
    m_session.reset();
    m_liveSession.reset();
    setLive(false);
    emit sessionsChanged();
}

void SessionAdmission::endSession()
{
    m_session.reset();
    m_liveSession.reset();
    emit sessionsChanged();
    // Before `live` changes, so that whoever works the status out from both sees them together.
    emit sessionEnded();
    setLive(false);
}

void SessionAdmission::onSharingChanged(DesktopSharing::State state)
{
    using State = DesktopSharing::State;
    m_sharing = state;
    const QString action = state == State::Refused ? askAgain : state == State::Failed ? tryAgain : QString();
    if (m_accessAction != action) {
        m_accessAction = action;
        emit accessActionChanged(m_accessAction);
    }
    // Known once the desktop has begun to ask; it stays for the run.
    if (m_options.desktop && m_options.desktop->asksEveryTime() && m_sharingNote.isEmpty()) {
        m_sharingNote = asksEveryTimeNote();
        emit sharingNoteChanged(m_sharingNote);
    }
    // The person stopped sharing, or the desktop's service broke off: the viewer sees no more
    // of this screen, and is told so rather than left looking at the last picture.
    if (sharingBroken(state) && m_session) {
        refuseSession(m_session->keys(), state == State::Refused ? sharingRefusedReason : sharingFailedReason);
        endSession();
    }
    emit sharingChanged(state);
}

void SessionAdmission::requestAccess()
{
    if (m_options.desktop)
        m_options.desktop->requestAccess();
}

void SessionAdmission::closeBeforeQuit()
{
    if (!m_session)
        return;
    QEventLoop wait;
    auto state = std::make_shared<QuitClose>(QuitClose{false, &wait});
    m_refusals.start([this, keys = m_session->keys(), state](std::stop_token stop) {
        return postQuitClose(keys, state, std::move(stop));
    });
    endSession();
    QTimer::singleShot(quitCloseLimit, &wait, &QEventLoop::quit);
    wait.exec();
    if (!state->taken)
        return;
    QEventLoop read;
    QTimer::singleShot(quitCloseRead, &read, &QEventLoop::quit);
    read.exec();
}

StoppableTask<> SessionAdmission::postQuitClose(Requests::SessionKeys keys, std::shared_ptr<QuitClose> state,
                                                std::stop_token stop)
{
    co_await postClose(std::move(keys), quitReason, stop);
    // A stop ends this task before it gets here; the caller's loop may be gone all the same.
    state->taken = true;
    if (state->wait)
        state->wait->quit();
}

void SessionAdmission::refuseSession(Requests::SessionKeys keys, const QString &reason)
{
    m_refusals.start([this, keys = std::move(keys), reason](std::stop_token stop) {
        return postClose(keys, reason, std::move(stop));
    });
}

StoppableTask<> SessionAdmission::postClose(Requests::SessionKeys keys, QString reason, std::stop_token stop)
{
    // Sent only to a switchboard proven to be ours, like every session request; its answer does
    // not matter (a session it no longer knows is ended all the same).
    if (!m_trust.proven())
        co_return;
    co_await Requests::post(m_api, Requests::Close{keys, reason}, std::move(stop));
}

void SessionAdmission::setLive(bool live)
{
    if (!live && m_encrypted) {
        m_encrypted = false;
        emit encryptedChanged(false);
    }
    if (m_live == live)
        return;
    m_live = live;
    emit liveChanged(m_live);
}

void SessionAdmission::setClientName(const std::optional<QString> &name)
{
    if (m_clientName == name)
        return;
    m_clientName = name;
    emit clientNameChanged(m_clientName);
}
