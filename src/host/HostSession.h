#pragma once

#include "BackgroundWorker.h"
#include "CursorShare.h"
#include "DisplayGeometry.h"
#include "HostInputQueue.h"
#include "HostKeyExchange.h"
#include "KivrenAnswer.h"
#include "PushedScreen.h"
#include "ScreenImage.h"
#include "SessionFeatures.h"
#include "SessionProtocol.h"
#include "SessionSeal.h"
#include "StoppableTask.h"

#include <chrono>
#include <functional>
#include <optional>
#include <stop_token>

class DesktopBackend;
class DesktopCapture;
class KivrenAPI;

// One viewer's session on this host: claims it, greets the viewer with the main display's size,
// then streams pictures and applies the viewer's messages until a close message ends it, or the
// switchboard answers a poll with 404 or 410 (it no longer knows the session). Other failed
// requests, a missing picture or a silent viewer never end it. When the main display changes
// size or place, the viewer is greeted again with the new size. While the desktop is not ready
// to share its screen (DesktopSharing::State), the session is claimed and polled but nothing is
// sent and no input applied: the viewer is greeted once it is.
//
// Two loops, both ended with the session: the input loop polls (a held poll when the claim's
// answer announced holds, else a poll and a pause) and applies what the viewer sent the moment
// the poll returns; the picture loop looks every frame (changeCheckInterval) whether the desktop
// may have drawn anything and, if so, captures it here (where the display connection lives) and
// hands the copy to the session's worker thread to compare, scale and encode. A picture goes out
// only when the screen differs from the last one pushed (and always first after a hello), so a
// still screen costs neither capture, encoding nor bytes. One push at a time: to a switchboard
// that holds, a paced push answered once the viewer took it, so pictures go out as fast as the
// viewer takes them and the next one is always the newest screen, its changes since the last
// push merged into one message; to one that does not, a push and a pause. A viewer that named
// "tiles" gets only the changed areas in one tiles frame, except where it might not hold the
// picture they apply to or they would cost as much: after a hello or a push not taken, when the
// picture's size changed, and for a large change it gets the whole picture. However it ends (a
// close, the switchboard forgetting it, its owner stopping it), it releases what its viewer's
// input still holds pressed. Run by an OwnedTask; main thread.
class HostSession
{
public:
    // Pictures sent to viewers are at most this wide, at this JPEG quality (0..1).
    static constexpr double pictureMaxWidth = 1280;
    static constexpr double pictureQuality = 0.42;
    // How often the picture loop asks the desktop whether anything was drawn: once a frame at
    // 60 Hz, so a change waits at most a frame before its capture. Asking is cheap (X11 reads
    // its pending DAMAGE events, Wayland compares a frame counter), about 60 wake-ups a second
    // of a few microseconds each on a still screen.
    static constexpr std::chrono::milliseconds changeCheckInterval{16};

    // The additions this host can use, announced in its hello: modifiers on key and input
    // messages, the further special keys, and pointer moves with no button held.
    static SessionFeatures offeredFeatures()
    {
        return {SessionProtocol::featureHover, SessionProtocol::featureKeys, SessionProtocol::featureModifiers};
    }

    struct Options
    {
        // Every request goes here. Used only while the session has not been stopped.
        KivrenAPI *api = nullptr;
        // Capture and injection; null: no pictures, a zero display geometry, nothing injected.
        DesktopBackend *desktop = nullptr;
        SessionProtocol::SessionKeys keys;
        // After a poll or a push the switchboard did not hold (one that announced no holds, a
        // failure, text still being typed): a switchboard is not asked again at once.
        std::chrono::milliseconds pause{90};
        // For benchmarks only: capture, encode and push on every pass, changed or not, as the
        // baseline that shows what skipping still screens saves.
        bool pushEveryPass = false;
        // For benchmarks only: the one loop hosts ran before, a picture, a poll and a pause in
        // turn with capture and encoding on this thread, and no holds asked for, as the baseline
        // that shows what the two loops save.
        bool onePassLoop = false;
        SessionFeatures offered = offeredFeatures();
        // A close message ended the session. Called last: the session may be destroyed by it.
        std::function<void()> onClosed;
        // An encrypted session's exchange is over: no failure (the viewer proved the password), or
        // the reason the session ends with (empty: the viewer left first). Must not destroy the
        // session.
        std::function<void(const std::optional<QString> &failure)> onExchanged;
        // Its viewer connected without the password: the exchange (HostKeyExchange) runs after the
        // claim with these, and every message after it is sealed. None: a plain session.
        std::optional<HostKeyExchange::Secrets> encrypted;
    };

    explicit HostSession(Options options);

    // Claim, hello, then the input loop and the picture loop until closed or stopped.
    StoppableTask<> run(std::stop_token stop);
    // A poll refused with this status means the switchboard has forgotten the session.
    static bool endsSession(const KivrenAnswer &poll);

    // The additions the viewer named in its caps message; none until it sends one.
    const SessionFeatures &peerFeatures() const { return m_peerFeatures; }
    bool peerSupports(QStringView feature) const { return m_peerFeatures.contains(feature); }
    bool closed() const { return m_closed; }
    // The viewer has been greeted: the desktop was ready to share.
    bool greeted() const { return m_greeted; }
    const SessionProtocol::SessionKeys &keys() const { return m_options.keys; }
    // The main display as the viewer was last told.
    DisplayGeometry geometry() const { return m_geometry; }
    // The exchange succeeded: every message of the session is sealed.
    bool encrypted() const { return m_seal.has_value(); }
    // The person at this computer lets this viewer only watch: its pointer, wheel, key and text
    // messages are dropped as they arrive (pictures go on).
    void setViewOnly(bool viewOnly) { m_viewOnly = viewOnly; }
    bool viewOnly() const { return m_viewOnly; }

    // The hold the input loop's polls and the picture loop's pushes ask for ("waitMs"): none
    // until the claim's answer announced one.
    std::optional<qint64> holdMs() const { return m_holdMs; }

private:
    // Polls and applies the viewer's messages until a close, or the switchboard forgetting the
    // session.
    StoppableTask<> inputLoop(std::stop_token stop);
    // Pictures out as the screen changes, paced by the viewer taking them.
    StoppableTask<> pictureLoop(DesktopCapture &desktop, std::stop_token stop);
    // The benchmarks' baseline (Options::onePassLoop).
    StoppableTask<> onePassLoop(std::stop_token stop);
    // The picture loop's one step: a capture when the screen may have changed, made into a
    // message on the worker and pushed. False when nothing was pushed.
    StoppableTask<bool> pictureStep(DesktopCapture &desktop, std::stop_token stop);

    // Every message to the viewer becomes the frame pushed here.
    SessionProtocol::Envelope outgoing(const SessionProtocol::HostMessage &message);
    // Every poll answer's frames become the viewer's messages here, before receive().
    QList<SessionProtocol::ViewerMessage> incoming(const QJsonObject &pollAnswer);
    // Hands the viewer's messages of one poll answer to receive(); false once a close ended the
    // session (the session may be gone then).
    bool receiveAll(const QList<SessionProtocol::ViewerMessage> &messages);
    // A viewer's frame failed to open: the session ends at the switchboard with the reason, and
    // here as a close ends it.
    StoppableTask<> endForFailedCheck(std::stop_token stop);

    // The hello with the display's size, as it is now.
    StoppableTask<> greet(std::stop_token stop);
    // Greets the viewer once the desktop is ready to share, and again when its display changed.
    // While it is not, the viewer is held: claimed and polled, but shown nothing.
    StoppableTask<> greetIfReady(std::stop_token stop);
    // A close or caps takes effect at once; input joins the queue, injected in order on the
    // session's passes (a long text over several).
    void receive(const SessionProtocol::ViewerMessage &message);
    // The session ends: the buttons and keys its viewer pressed and did not release, and every
    // modifier, are let go of.
    void releaseHeld();

    // The screen's picture when it may differ from the one pushed last, or must go out anyway,
    // made on this thread (the one-pass baseline).
    StoppableTask<> pushPicture(DesktopCapture &desktop, std::stop_token stop);
    // The pointer's shape and position, to a viewer that named "cursor", when they changed.
    StoppableTask<> pushCursor(DesktopCapture &desktop, std::stop_token stop);
    // The envelope a message leaves in.
    SessionProtocol::Envelope outgoing(const SessionProtocol::HostMessage &message) const;

    Options m_options;
    HostInputQueue m_input;
    DisplayGeometry m_geometry;
    PushedScreen m_pushed;
    // The next picture goes out whole, whatever it shows: the first of a session and after a
    // hello (the viewer may be new), and after a push the switchboard did not take.
    bool m_mustPush = true;
    SessionFeatures m_peerFeatures;
    CursorShare m_cursor;
    bool m_closed = false;
    bool m_greeted = false;
    std::optional<SessionSeal> m_seal;
    bool m_sealFailed = false;
    bool m_viewOnly = false;
    std::optional<qint64> m_holdMs;
    // The capture whose pixels the worker's job reads: held here, not in the loop's frame, so
    // that a loop stopped mid-job does not free them under it; let go of on this thread (where
    // the display connection lives) once the job is over, or after the worker at the latest.
    std::optional<ScreenImage> m_lent;
    // Compares, scales and encodes the picture loop's captures; its thread starts with the first.
    // Destroyed with the session before m_lent, waiting for the job it runs.
    BackgroundWorker m_worker;
};
