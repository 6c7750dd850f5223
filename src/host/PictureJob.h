#pragma once

#include "PushedScreen.h"
#include "ScreenImage.h"
#include "SessionProtocol.h"

#include <optional>
#include <stop_token>

// What a session makes of one capture, away from the window's thread: whether the screen
// differs from what the viewer holds, and if so the message that shows it (the changed areas
// as tiles, or the whole picture), scaled and encoded. The memory of what was pushed is handed
// over for the job and back with its outcome; the screen's pixels are lent: whoever hands the
// job in keeps them, and releases them on its own thread, until the job is over. Nothing of the
// outcome points into them.
struct PictureJob
{
    ScreenImage screen;
    PushedScreen pushed;
    // The whole picture goes out, whatever it shows (after a hello, a push not taken).
    bool whole = false;
    // The viewer named "tiles": a small change of a picture it holds goes out as tiles.
    bool tiles = false;
    // Pictures are at most this wide, at this JPEG quality (0..1).
    double maxWidth = 0;
    double quality = 0;

    struct Outcome
    {
        // What was pushed, with this screen remembered when a message was made for it or it
        // changed only below what scaling keeps.
        PushedScreen pushed;
        // None: nothing to send (unchanged, or encoding failed).
        std::optional<SessionProtocol::HostMessage> message;
        // Encoding failed: the desktop counts the screen as seen, so the next capture must go
        // out whole, or a change that failed would never reach the viewer of a still screen.
        bool failed = false;
    };

    // Runs on any thread; a stop ends it early with nothing to send.
    Outcome run(std::stop_token stop) &&;
};
