#include "HostSession.h"

#include "CancellablePause.h"
#include "DesktopBackend.h"
#include "KivrenAPI.h"
#include "MacCapture.h"
#include "MacInput.h"
#include "ScreenImage.h"
#include "SwitchboardRequests.h"
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
    DesktopBackend *desktop = m_options.desktop;
    const SessionKeys keys = m_options.keys;
    // Stopped by its owner (the viewer gone, the switchboard lost, the app ending): what the
    // viewer's input holds is let go of at once, while the desktop is certainly still there.
    const std::stop_callback releaseOnStop(stop, [this] { releaseHeld(); });

    // The claim's outcome does not matter: the session goes on either way.
    co_await Requests::post(api, Requests::Claim{keys}, stop);
    co_await greetIfReady(stop);

    // One picture and one poll per pass, strictly in turn: the frame rate follows the link.
    while (!m_closed) {
        if (desktop) {
            // A display resized or moved mid-session: input is placed on it as it is now, and
            // the viewer hears the new size before the first picture of it.
            co_await greetIfReady(stop);
            // Not greeted yet (the desktop is not ready to share): nothing to push.
            if (m_greeted) {
                co_await pushPicture(*desktop, stop);
                co_await pushCursor(*desktop, stop);
            }
        }
        // The switchboard hands each viewer message to the host once, so the cursor stays 0.
        const KivrenAnswer answer = co_await Requests::post(api, Requests::Poll{keys, Role::host, 0}, stop);
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
        if (answer.ok()) {
            // A close stops the rest of the answer too, and whatever input still waits.
            for (const ViewerMessage &message : decodeViewerMessages(answer.object)) {
                // A viewer not greeted yet has seen nothing of this screen to point at or type
                // into.
                if (!m_greeted && !std::holds_alternative<Close>(message) && !std::holds_alternative<Caps>(message))
                    continue;
                receive(message);
                if (m_closed)
                    co_return;
            }
        }
        // Also after a failed poll: text still being typed goes on.
        if (desktop)
            m_input.applyPass(*desktop, m_geometry);
        // Whatever the poll's outcome.
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
    // Before the push: the picture's pixels are only lent until the next capture.
    m_pushed.remember(*image, *picture);
    const Envelope frame = encode(*message);
    const KivrenAnswer pushed =
        co_await Requests::post(*m_options.api, Requests::Push{m_options.keys, Role::host, frame}, stop, KivrenAPI::bodyBuffer());
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
        co_await Requests::post(*m_options.api, Requests::Push{m_options.keys, Role::host, outgoing(*message)}, stop);
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
    co_await Requests::post(*m_options.api, Requests::Push{m_options.keys, Role::host, encode(HostMessage{hello})},
                            std::move(stop));
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
    m_input.append(message);
}

void HostSession::releaseHeld()
{
    if (m_options.desktop)
        m_input.releaseHeld(*m_options.desktop);
}
