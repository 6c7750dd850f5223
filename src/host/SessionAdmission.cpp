#include "SessionAdmission.h"

#include "KivrenAPI.h"
#include "PlatformWording.h"
#include "SwitchboardTrust.h"

#include <QTimer>

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
    // One session at a time; the viewer waiting gets its turn on a later heartbeat.
    if (m_session.running())
        return;
    // Nothing would ever be shown to this viewer: it is told why at once rather than kept
    // waiting for a picture.
    if (sharingBroken(m_sharing)) {
        refuseSession(pending.keys, m_sharing == DesktopSharing::State::Refused ? sharingRefusedReason : sharingFailedReason);
        return;
    }
    setClientName(pending.clientName);
    setLive(true);

    HostSession::Options session;
    session.api = &m_api;
    session.desktop = m_options.desktop;
    session.keys = pending.keys;
    session.pause = m_options.sessionPause;
    session.pushEveryPass = m_options.pushEveryPass;
    session.onePassLoop = m_options.onePassLoop;
    session.onClosed = [this] { endSession(); };
    m_session.start(std::move(session));
}

void SessionAdmission::drop()
{
    if (!m_session)
        return;
    m_session.reset();
    setLive(false);
}

void SessionAdmission::endSession()
{
    m_session.reset();
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
