#include "HostSession.h"

#include "CancellablePause.h"
#include "DesktopBackend.h"
#include "HoldPacing.h"
#include "KivrenAPI.h"
#include "MacCapture.h"
#include "MacInput.h"
#include "PictureJob.h"
#include "ScreenImage.h"
#include "SwitchboardRequests.h"
#include "TaskGroup.h"
#include "TileEncoder.h"

using namespace SessionProtocol;
namespace Requests = SwitchboardRequests;

HostSession::HostSession(Options options)
    : m_options(std::move(options))
{
}

StoppableTask<> HostSession::run(std::stop_token stop)
{
    KivrenAPI &api = *m_options.api;
    // Stopped by its owner (the viewer gone, the switchboard lost, the app ending): what the
    // viewer's input holds is let go of at once, while the desktop is certainly still there.
    const std::stop_callback releaseOnStop(stop, [this] { releaseHeld(); });

    // The claim's outcome does not matter: the session goes on either way, its polls and pushes
    // held only when the answer announced holds.
    const KivrenAnswer claimed = co_await Requests::post(api, Requests::Claim{m_options.keys}, stop);
    if (claimed.ok() && !m_options.onePassLoop)
        m_holdMs = HoldPacing::waitFor(Requests::ClaimAnswer::fromJson(claimed.object).maxWaitMs);
    // Nothing leaves in the clear but the exchange: the hello and every picture wait for it.
    if (m_options.encrypted) {
        HostKeyExchange::Outcome exchanged = co_await HostKeyExchange::run(
            {&api, m_options.keys, *m_options.encrypted, m_options.offered, m_options.pause}, stop);
        if (!exchanged.seal) {
            if (m_options.onExchanged)
                m_options.onExchanged(exchanged.endReason);
            receive(Close{});
            co_return;
        }
        m_seal = std::move(exchanged.seal);
        m_peerFeatures = exchanged.peerFeatures;
        if (m_options.onExchanged)
            m_options.onExchanged(std::nullopt);
    }
    co_await greetIfReady(stop);

    if (m_options.onePassLoop) {
        co_await onePassLoop(stop);
        co_return;
    }
    // The picture loop lives as long as this run: a close or a forgotten session ends the input
    // loop, and with this frame the group, which stops it.
    TaskGroup pictures(stop);
    if (DesktopBackend *desktop = m_options.desktop)
        pictures.start([this, desktop](std::stop_token loopStop) { return pictureLoop(*desktop, std::move(loopStop)); });
    co_await inputLoop(stop);
}

StoppableTask<> HostSession::inputLoop(std::stop_token stop)
{
    KivrenAPI &api = *m_options.api;
    DesktopBackend *desktop = m_options.desktop;
    while (!m_closed) {
        // Text still being typed goes on pass by pass: its poll is answered at once.
        const std::optional<qint64> hold = m_input.isEmpty() ? m_holdMs : std::nullopt;
        const auto sent = std::chrono::steady_clock::now();
        // The switchboard hands each viewer message to the host once, so the cursor stays 0.
        const KivrenAnswer answer =
            co_await Requests::post(api, Requests::Poll{m_options.keys, Role::host, 0, hold}, stop);
        const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - sent);
        // The switchboard restarted or expired the session: polling on would only keep every
        // new viewer waiting. It ends as a close message ends it.
        if (endsSession(answer)) {
            receive(Close{});
            co_return;
        }
        // A desktop still being set up when the viewer came had no display to place input on
        // yet: it is taken, and the viewer told its size, as soon as there is one.
        if (desktop && (!m_greeted || m_geometry.width <= 0 || m_geometry.height <= 0))
            co_await greetIfReady(stop);
        const QList<ViewerMessage> messages = answer.ok() ? incoming(answer.object) : QList<ViewerMessage>();
        if (!receiveAll(messages))
            co_return;
        if (m_sealFailed) {
            co_await endForFailedCheck(stop);
            co_return;
        }
        // Also after a failed poll: text still being typed goes on.
        if (desktop)
            m_input.applyPass(*desktop, m_geometry);
        // A failing switchboard is not asked again at once, held polls or not.
        const std::chrono::milliseconds pause =
            answer.ok() ? HoldPacing::pauseAfter(hold.has_value(), !messages.isEmpty(), took, m_options.pause) : m_options.pause;
        if (pause > std::chrono::milliseconds(0))
            co_await cancellablePause(pause, stop);
    }
}

bool HostSession::receiveAll(const QList<ViewerMessage> &messages)
{
    // A close stops the rest of the answer too, and whatever input still waits.
    for (const ViewerMessage &message : messages) {
        // A viewer not greeted yet has seen nothing of this screen to point at or type into.
        if (!m_greeted && !std::holds_alternative<Close>(message) && !std::holds_alternative<Caps>(message))
            continue;
        receive(message);
        if (m_closed)
            return false;
    }
    return true;
}

StoppableTask<> HostSession::pictureLoop(DesktopCapture &desktop, std::stop_token stop)
{
    for (;;) {
        // A display resized or moved mid-session: input is placed on it as it is now, and the
        // viewer hears the new size before the first picture of it.
        co_await greetIfReady(stop);
        // Not greeted yet (the desktop is not ready to share): nothing to push. The pointer goes
        // first: a picture waits for the viewer to take it, a moved pointer should not.
        if (m_greeted) {
            co_await pushCursor(desktop, stop);
            if (co_await pictureStep(desktop, stop))
                continue;
        }
        co_await cancellablePause(changeCheckInterval, stop);
    }
}

StoppableTask<bool> HostSession::pictureStep(DesktopCapture &desktop, std::stop_token stop)
{
    const bool whole = m_mustPush || m_options.pushEveryPass;
    // The desktop knows nothing was drawn: no capture at all.
    if (!whole && !desktop.mainDisplayMayHaveChanged())
        co_return false;
    // No picture this time (no display image): nothing to push.
    m_lent = desktop.captureMainDisplay();
    if (!m_lent || !m_lent->isUsable()) {
        m_lent.reset();
        co_return false;
    }
    // Cleared before the job: a hello while it runs asks for a whole picture again.
    m_mustPush = false;
    // The job reads the capture's own pixels, lent without their owner (m_lent).
    ScreenImage lent = *m_lent;
    lent.owner.reset();
    PictureJob job{std::move(lent), std::move(m_pushed), whole, peerSupports(featureTiles), pictureMaxWidth,
                   pictureQuality};
    std::optional<PictureJob::Outcome> made = co_await m_worker.run(
        [job = std::move(job)](std::stop_token jobStop) mutable { return std::move(job).run(std::move(jobStop)); }, stop);
    // None: the worker is going, and the session with it.
    if (!made)
        co_return false;
    // The job is over: the desktop may reuse the capture's memory.
    m_lent.reset();
    m_pushed = std::move(made->pushed);
    if (made->failed)
        m_mustPush = true;
    // Nothing new after all (or it failed to encode): the next look waits a frame, so that a
    // desktop that cannot tell whether it drew is not captured over and over.
    if (!made->message)
        co_return false;

    const Requests::Push push{m_options.keys, Role::host, outgoing(*made->message), m_holdMs};
    const KivrenAnswer pushed = co_await Requests::post(*m_options.api, push, stop, KivrenAPI::bodyBuffer());
    // A picture or tiles the switchboard did not take, or dropped before the viewer took them,
    // never reach the viewer (it refuses tiles it cannot keep): the next push is a whole
    // picture, even if the screen stays as it is.
    if (!pushed.ok() || !Requests::pushTaken(pushed.object))
        m_mustPush = true;
    // A push that was not held says nothing of the viewer's pace.
    if (!m_holdMs || !pushed.ok())
        co_await cancellablePause(m_options.pause, stop);
    co_return true;
}

StoppableTask<> HostSession::onePassLoop(std::stop_token stop)
{
    KivrenAPI &api = *m_options.api;
    DesktopBackend *desktop = m_options.desktop;
    // One picture and one poll per pass, strictly in turn: the frame rate follows the link.
    while (!m_closed) {
        if (desktop) {
            co_await greetIfReady(stop);
            if (m_greeted)
                co_await pushPicture(*desktop, stop);
        }
        const KivrenAnswer answer = co_await Requests::post(api, Requests::Poll{m_options.keys, Role::host, 0, std::nullopt}, stop);
        if (endsSession(answer)) {
            receive(Close{});
            co_return;
        }
        if (desktop && (!m_greeted || m_geometry.width <= 0 || m_geometry.height <= 0))
            co_await greetIfReady(stop);
        if (answer.ok() && !receiveAll(incoming(answer.object)))
            co_return;
        if (m_sealFailed) {
            co_await endForFailedCheck(stop);
            co_return;
        }
        if (desktop)
            m_input.applyPass(*desktop, m_geometry);
        co_await cancellablePause(m_options.pause, stop);
    }
}

StoppableTask<> HostSession::greetIfReady(std::stop_token stop)
{
    DesktopBackend *desktop = m_options.desktop;
    if (desktop && desktop->state() != DesktopSharing::State::Ready)
        co_return;
    const DisplayGeometry now = desktop ? DisplayGeometry::ofMainDisplay(*desktop) : DisplayGeometry{};
    if (m_greeted && now == m_geometry)
        co_return;
    m_geometry = now;
    m_greeted = true;
    co_await greet(std::move(stop));
}

StoppableTask<> HostSession::pushPicture(DesktopCapture &desktop, std::stop_token stop)
{
    const bool forced = m_mustPush || m_options.pushEveryPass;
    // The desktop knows nothing was drawn: no capture at all.
    if (!forced && !desktop.mainDisplayMayHaveChanged())
        co_return;
    // No picture this time (no display image, encoding failed): nothing to push.
    const std::optional<ScreenImage> image = desktop.captureMainDisplay();
    if (!image)
        co_return;
    // Drawn over with the same pixels (a caret blinking back, a desktop that cannot tell).
    if (!forced && m_pushed.sameAs(*image))
        co_return;
    const std::optional<ScreenImage> picture = MacCapture::pictureImage(*image, pictureMaxWidth);
    if (!picture)
        co_return;

    std::optional<HostMessage> message;
    // Tiles apply only to the picture the viewer holds: after a hello or a push the switchboard
    // did not take, it may hold another one, so the whole picture goes out.
    if (!forced && peerSupports(featureTiles)) {
        const std::optional<QList<QRect>> areas = m_pushed.changedAreas(*picture);
        // Changed only below what scaling keeps: the viewer's picture is the screen's already.
        if (areas && areas->isEmpty()) {
            m_pushed.remember(*image, *picture);
            co_return;
        }
        if (areas) {
            if (std::optional<Tiles> tiles = TileEncoder::encode(*picture, *areas, pictureQuality))
                message = HostMessage{std::move(*tiles)};
        }
    }
    if (!message) {
        if (std::optional<QByteArray> jpeg = MacCapture::encode(*picture, QRect(), pictureQuality))
            message = HostMessage{Picture{std::move(*jpeg)}};
    }
    // The desktop counts this screen as seen: without a retry, a change that failed to encode
    // would never reach the viewer once the screen holds still.
    if (!message) {
        m_mustPush = true;
        co_return;
    }
    // Before the push: the screen's pixels are only lent until the next capture.
    m_pushed.remember(*image, *picture);
    const Envelope frame = outgoing(*message);
    const KivrenAnswer pushed =
        co_await Requests::post(*m_options.api, Requests::Push{m_options.keys, Role::host, frame, std::nullopt}, stop, KivrenAPI::bodyBuffer());
    // A picture or tiles the switchboard did not take never reach the viewer (it refuses tiles
    // it cannot keep): the next push is a whole picture, even if the screen stays as it is.
    m_mustPush = !pushed.ok();
}

StoppableTask<> HostSession::pushCursor(DesktopCapture &desktop, std::stop_token stop)
{
    if (!peerSupports(featureCursor))
        co_return;
    const std::optional<DesktopCursor> now = desktop.cursor();
    if (!now)
        co_return;
    const std::optional<Cursor> message = m_cursor.next(*now, m_geometry);
    if (!message)
        co_return;
    const KivrenAnswer pushed =
        co_await Requests::post(*m_options.api, Requests::Push{m_options.keys, Role::host, outgoing(*message), std::nullopt}, stop);
    // Not taken: the viewer may lack the shape, so it goes again.
    if (!pushed.ok())
        m_cursor.forget();
}

Envelope HostSession::outgoing(const HostMessage &message) const
{
    return encode(message);
}

StoppableTask<> HostSession::greet(std::stop_token stop)
{
    // A new viewer, or one that dropped what it had, is told the pointer whole.
    m_cursor.forget();
    // The viewer may be new, or may have dropped what it had: it gets a picture next, changed
    // or not.
    m_mustPush = true;
    // Its outcome does not matter: the session goes on either way.
    const Hello hello{m_geometry.width, m_geometry.height, platformName, m_options.offered};
    co_await Requests::post(*m_options.api, Requests::Push{m_options.keys, Role::host, outgoing(HostMessage{hello}), std::nullopt},
                            std::move(stop));
}

Envelope HostSession::outgoing(const HostMessage &message)
{
    const Envelope frame = encode(message);
    return m_seal ? m_seal->seal(frame) : frame;
}

QList<ViewerMessage> HostSession::incoming(const QJsonObject &pollAnswer)
{
    if (!m_seal)
        return decodeViewerMessages(pollAnswer);
    const SessionSeal::Opened opened = m_seal->open(decodeFrames(pollAnswer));
    m_sealFailed = opened.failed;
    QList<ViewerMessage> messages;
    for (const Frame &frame : opened.frames) {
        if (frame.kind != kindJson || !frame.message)
            continue;
        if (std::optional<ViewerMessage> message = decodeViewerMessage(*frame.message))
            messages.append(std::move(*message));
    }
    return messages;
}

StoppableTask<> HostSession::endForFailedCheck(std::stop_token stop)
{
    // The viewer reads why; nothing of the frame that failed was applied.
    co_await Requests::post(*m_options.api, Requests::Close{m_options.keys, SessionSeal::failedCheckReason}, stop);
    receive(Close{});
}

bool HostSession::endsSession(const KivrenAnswer &poll)
{
    constexpr int unknownSession = 404;
    constexpr int endedSession = 410;
    return poll.error && poll.error->domain == KivrenError::kivrenDomain
        && (poll.error->code == unknownSession || poll.error->code == endedSession);
}

void HostSession::receive(const ViewerMessage &message)
{
    if (std::holds_alternative<Close>(message)) {
        m_closed = true;
        m_input.clear();
        releaseHeld();
        if (m_options.onClosed)
            m_options.onClosed();
        return;
    }
    if (const auto *caps = std::get_if<Caps>(&message)) {
        m_peerFeatures = caps->features;
        return;
    }
    if (m_viewOnly)
        return;
    m_input.append(message);
}

void HostSession::releaseHeld()
{
    if (m_options.desktop)
        m_input.releaseHeld(*m_options.desktop);
}
