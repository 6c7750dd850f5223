#pragma once

#include "ScreenImage.h"

#include <QRect>

#include <memory>
#include <optional>

class X11Connection;

// Images of the X screen: MIT-SHM into a shared-memory segment, or plain GetImage where the
// server refuses shared memory (a remote server, one in another IPC namespace). Main thread only.
//
// A ScreenImage's pixels belong to its `owner`. The segment is reused from one capture to the
// next only while nobody holds the previous image; when one is still held, the next capture
// goes into a fresh segment, so a held image never changes.
class X11Capture
{
public:
    // Without `sharedMemory` every capture takes the GetImage path.
    X11Capture(std::shared_ptr<X11Connection> connection, bool sharedMemory);

    // The pixels of `rect`, in root coordinates; none when the server refuses, most likely
    // because the rectangle is no longer on screen.
    std::optional<ScreenImage> capture(const QRect &rect);

    // False once captures have fallen back to GetImage.
    bool usesSharedMemory() const { return m_sharedMemory; }

private:
    struct ShmFrame;

    std::optional<ScreenImage> captureShared(const QRect &rect);
    std::optional<ScreenImage> captureCopy(const QRect &rect);

    std::shared_ptr<X11Connection> m_connection;
    bool m_sharedMemory;
    std::shared_ptr<ShmFrame> m_frame;
};
