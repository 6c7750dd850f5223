#pragma once

#include "CursorShare.h"
#include "DisplayGeometry.h"
#include "HostInputQueue.h"
#include "KivrenAnswer.h"
#include "PushedScreen.h"
#include "SessionFeatures.h"
#include "SessionProtocol.h"
#include "StoppableTask.h"

#include <chrono>
#include <functional>
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
// sent and no input applied: the viewer is greeted once it is. A picture goes out only when
// the screen differs from the last one the switchboard took (and always first after a hello),
// so a still screen costs neither capture, encoding nor bytes. A viewer that named "tiles" gets
// only the changed areas, all of one pass in one tiles frame, except where it might not hold the
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
        std::chrono::milliseconds pause{90}; // between one poll and the next picture
        // For benchmarks only: capture, encode and push on every pass, changed or not, as the
        // baseline that shows what skipping still screens saves.
        bool pushEveryPass = false;
        SessionFeatures offered = offeredFeatures();
        // A close message ended the session. Called last: the session may be destroyed by it.
        std::function<void()> onClosed;
    };

    explicit HostSession(Options options);

    // Claim, hello, then picture, poll, messages and pause until closed or stopped.
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

private:
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

    // The screen's picture when it may differ from the one pushed last, or must go out anyway.
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
};
